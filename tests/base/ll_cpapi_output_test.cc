// The output helpers' captures: a thread's words, both streams, gathered
// and put out later as one block in their order; a capture that grows past
// its bound takes the streams and writes straight through.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>

#include "base/ll_cpapi.h"
#include "gtest/gtest.h"
#include "support/process.h"
#include "support/test_paths.h"

namespace {

// Standard output and standard error both go to one file while it lives,
// as they do for a daemon whose output goes to a journal; or, apart, each
// to a file of its own.
class JoinedStreams {
 public:
  explicit JoinedStreams(bool apart = false) {
    fflush(stdout);
    fflush(stderr);
    path_ = std::string(JANTOR_TEST_WORK) + "/joined-" + std::to_string(getpid());
    int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    saved_out_ = dup(1);
    saved_err_ = dup(2);
    dup2(fd, 1);
    close(fd);
    fd = apart ? open(ErrorPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600) : dup(1);
    dup2(fd, 2);
    close(fd);
  }
  ~JoinedStreams() {
    fflush(stdout);
    dup2(saved_out_, 1);
    dup2(saved_err_, 2);
    close(saved_out_);
    close(saved_err_);
    unlink(path_.c_str());
    unlink(ErrorPath().c_str());
  }
  std::string Text() {
    fflush(stdout);
    return testsupport::ReadFile(path_);
  }
  std::string ErrorText() { return testsupport::ReadFile(ErrorPath()); }

 private:
  std::string ErrorPath() const { return path_ + ".err"; }
  std::string path_;
  int saved_out_ = -1, saved_err_ = -1;
};

TEST(OutputCapture, GathersBothStreamsAndReplaysThemInOrder) {
  JoinedStreams streams;
  OutputCapture capture;
  EXPECT_EQ(CaptureOutput(&capture), nullptr);
  errno = EINTR;
  PrintWord("j3");
  PrintSystemError(ECONNREFUSED);
  PrintFormat("%s %d\r\n", "%s", 7);
  SettingError(1900);
  EXPECT_EQ(errno, EINTR);
  EXPECT_EQ(CaptureOutput(nullptr), &capture);
  EXPECT_EQ(streams.Text(), "") << "a capture wrote before its replay";
  PrintWord("direct");
  ReplayOutput(&capture);
  EXPECT_EQ(streams.Text(),
            "direct\r\nj3\r\nConnection refused\n%s 7\r\n"
            "\r\n***** Setting Error 1900 *****\r\n\r\n");
  EXPECT_TRUE(capture.bytes.empty());
  EXPECT_TRUE(capture.error_spans.empty());
}

// Several blocks replayed together, and words printed outside a capture,
// with fewer writes where the streams allow: one file still gets every byte
// in its place, and two files each get their own stream's bytes in order.
TEST(OutputCapture, AGroupReplaysAsTheStreamsLie) {
  auto fill = [](OutputCapture* capture, const char* name) {
    CaptureOutput(capture);
    PrintWord(name);
    PrintSystemError(ECONNREFUSED);
    PrintWord("recv success");
    PrintSystemError(0);
    CaptureOutput(nullptr);
  };
  struct Case {
    bool apart;
    OutputStreams sensed;
    const char* out;    // standard output's file
    const char* error;  // standard error's, when apart
  };
  const Case cases[] = {
      {false, kStreamsOneFile,
       "one\r\nConnection refused\nrecv success\r\nSuccess\n"
       "two\r\nConnection refused\nrecv success\r\nSuccess\n"
       "direct\r\nNo such file or directory\nafter\r\n",
       ""},
      {true, kStreamsApart, "one\r\nrecv success\r\ntwo\r\nrecv success\r\ndirect\r\nafter\r\n",
       "Connection refused\nSuccess\nConnection refused\nSuccess\nNo such file or directory\n"},
  };
  for (const Case& c : cases) {
    JoinedStreams streams(c.apart);
    ASSERT_EQ(SenseOutputStreams(), c.sensed);
    OutputCapture first, second;
    OutputCapture* group[] = {&first, &second};
    fill(&first, "one");
    fill(&second, "two");
    ReplayOutputs(group, 2, c.sensed);
    SetOutputStreams(c.sensed);
    PrintWord("direct");
    PrintSystemError(ENOENT);
    PrintWord("after");
    SetOutputStreams(kStreamsUnknown);
    EXPECT_EQ(streams.Text(), c.out) << c.apart;
    if (c.apart) {
      EXPECT_EQ(streams.ErrorText(), c.error);
    }
    EXPECT_TRUE(first.bytes.empty() && second.error_spans.empty());
  }
}

// A thread whose words pass the bound writes them at once, and holds the
// streams until it ends its capture: a replay by another thread in the
// meantime waits, so the large block stays whole.
TEST(OutputCapture, ALargeBlockStreamsAndStaysWhole) {
  JoinedStreams streams;
  const std::string piece(1000, 'x');
  std::string large_block;
  OutputCapture small;
  small.bytes = "small block\r\n";
  std::thread large([&] {
    OutputCapture capture;
    CaptureOutput(&capture);
    for (int i = 0; i < 80; ++i) {
      PrintWord(piece.c_str());
      large_block += piece + "\r\n";
    }
    EXPECT_TRUE(capture.streaming);
    PrintSystemError(ENOENT);
    large_block += "No such file or directory\n";
    usleep(200 * 1000);  // the other thread's replay must wait for this
    PrintWord("end");
    large_block += "end\r\n";
    CaptureOutput(nullptr);
  });
  for (int i = 0; i < 5000 && streams.Text().size() < 64 * 1024; ++i) usleep(1000);
  ReplayOutput(&small);
  large.join();
  EXPECT_EQ(streams.Text(), large_block + "small block\r\n");
}

}  // namespace
