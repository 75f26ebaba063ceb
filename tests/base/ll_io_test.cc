// Files, directory removal, temporary names and CGI input and output.
#include "base/ll_io.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "base/ll_cpapi.h"

// The allocator's fault seam; deliberately not in any header.
extern bool (*jantor_alloc_refuse_for_test)(std::size_t bytes);

namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;
const char kNoMemoryLine[] = "\r\n***** Setting Error 110 *****\r\n\r\n";

// A fresh directory under /tmp (reachable by the unprivileged user), removed
// with everything in it at the end; remove_all never follows links.
struct TempDir {
  TempDir() {
    char pattern[] = "/tmp/jantor_io_XXXXXX";
    path = mkdtemp(pattern);
    chmod(path.c_str(), 0755);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  std::string path;
};

void WriteFile(const std::string& path, const std::string& content = "x") {
  std::ofstream(path) << content;
}

bool Exists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

// Runs fn with standard output sent to a file and returns what it printed.
std::string CaptureStdout(const std::function<void()>& fn) {
  fflush(stdout);
  FILE* sink = std::tmpfile();
  int saved = dup(1);
  dup2(fileno(sink), 1);
  fn();
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::string out;
  rewind(sink);
  for (int c; (c = fgetc(sink)) != EOF;) out += static_cast<char>(c);
  fclose(sink);
  return out;
}

struct ChildResult {
  int status = -1;  // fn's result as exit status; -1 when the child died
  std::string out;  // what the child wrote on standard output
};

struct ChildSetup {
  bool as_nobody = false;
  int stdin_fd = -1;                  // becomes the child's standard input
  const char* stdout_path = nullptr;  // instead of the capture pipe
};

// Runs fn in a forked child with standard output on a pipe (or a file),
// optionally as the unprivileged user nobody, and returns fn's result (0 to
// 255) and the output. Unprivileged runs make permission failures real even
// though the tests run as root.
ChildResult RunInChild(const std::function<int()>& fn, ChildSetup setup = {}) {
  int out_pipe[2];
  if (pipe(out_pipe) != 0) return {};
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    alarm(30);
    close(out_pipe[0]);
    if (setup.stdin_fd >= 0) dup2(setup.stdin_fd, 0);
    int out_fd = out_pipe[1];
    if (setup.stdout_path != nullptr) out_fd = open(setup.stdout_path, O_WRONLY);
    dup2(out_fd, 1);
    if (setup.as_nobody &&
        (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
      _exit(250);
    }
    int result = fn();
    fflush(stdout);
    _exit(result & 0xff);
  }
  close(out_pipe[1]);
  ChildResult child;
  char chunk[4096];
  for (ssize_t n; (n = read(out_pipe[0], chunk, sizeof chunk)) > 0;) child.out.append(chunk, n);
  close(out_pipe[0]);
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    child.status = WEXITSTATUS(status);
  }
  return child;
}

std::string Report(const std::string& word, const std::string& path) {
  return word + "\r\n" + path + "\r\n";
}
std::string Deleting(const std::string& p) { return Report("In DeleteDirectory. Deleting : ", p); }
std::string Attempting(const std::string& p) { return Report("Attempting to delete: ", p); }
std::string FileError(const std::string& p) {
  return Report("DeleteDirectory: Error deleting file: ", p);
}
std::string DirError(const std::string& p) {
  return Report("DeleteDirectory: Error deleting directory: ", p);
}

// ---- iFileExists and iopen ---------------------------------------------------

TEST(FileExists, NeedsAReadableFile) {
  TempDir dir;
  const std::string file = dir.path + "/f";
  WriteFile(file);
  EXPECT_EQ(1, iFileExists(file.c_str()));
  EXPECT_EQ(1, iFileExists(dir.path.c_str()));
  EXPECT_EQ(0, iFileExists((dir.path + "/missing").c_str()));
  EXPECT_EQ(0, iFileExists(nullptr));

  chmod(file.c_str(), 0);
  ChildResult child = RunInChild([&] { return iFileExists(file.c_str()); }, {.as_nobody = true});
  EXPECT_EQ(0, child.status);
}

TEST(Iopen, MissingFileIsCreatedWriteOnlyOnlyWithTheCreateFlag) {
  TempDir dir;
  const std::string file = dir.path + "/new";
  int fd = 0;
  EXPECT_EQ("", CaptureStdout([&] { fd = iopen(file.c_str(), O_RDWR); }));
  EXPECT_EQ(-1, fd);
  EXPECT_FALSE(Exists(file));

  mode_t old_mask = umask(0);
  std::string out = CaptureStdout([&] { fd = iopen(file.c_str(), O_RDWR | O_CREAT); });
  umask(old_mask);
  ASSERT_GE(fd, 0);
  EXPECT_EQ("Attempting create\r\n", out);
  EXPECT_EQ(O_WRONLY, fcntl(fd, F_GETFL) & O_ACCMODE);
  close(fd);
  struct stat st;
  ASSERT_EQ(0, stat(file.c_str(), &st));
  EXPECT_EQ(0664u, st.st_mode & 0777);

  // The attempt is announced even when it fails.
  out = CaptureStdout([&] { fd = iopen((dir.path + "/no/dir/f").c_str(), O_WRONLY | O_CREAT); });
  EXPECT_EQ(-1, fd);
  EXPECT_EQ("Attempting create\r\n", out);
}

TEST(Iopen, ExistingFileKeepsTheAskedAccessAndContent) {
  TempDir dir;
  const std::string file = dir.path + "/old";
  WriteFile(file, "kept");
  int fd = -1;
  EXPECT_EQ("", CaptureStdout([&] { fd = iopen(file.c_str(), O_RDWR | O_CREAT); }));
  ASSERT_GE(fd, 0);
  EXPECT_EQ(O_RDWR, fcntl(fd, F_GETFL) & O_ACCMODE);
  char buf[8] = {};
  EXPECT_EQ(4, read(fd, buf, sizeof buf));
  EXPECT_STREQ("kept", buf);
  close(fd);
}

// ---- iDeleteDirectory ----------------------------------------------------------

TEST(DeleteDirectory, NestedTreePrintsEveryStepInOrder) {
  TempDir dir;
  const std::string p = dir.path + "/tree";
  fs::create_directories(p + "/sub");
  WriteFile(p + "/a.txt");
  WriteFile(p + "/sub/b.txt");

  int result = 0;
  std::string out = CaptureStdout([&] { result = iDeleteDirectory(p.c_str()); });
  EXPECT_EQ(1, result);
  EXPECT_FALSE(Exists(p));
  // The top directory yields its two entries in an order of its own.
  const std::string sub =
      Attempting(p + "/sub") + Deleting(p + "/sub") + Attempting(p + "/sub/b.txt");
  const std::string file_first = Deleting(p) + Attempting(p + "/a.txt") + sub;
  const std::string sub_first = Deleting(p) + sub + Attempting(p + "/a.txt");
  EXPECT_TRUE(out == file_first || out == sub_first) << out;
}

TEST(DeleteDirectory, LinksInsideTheTreeAreRemovedNotFollowed) {
  TempDir dir;
  const std::string outside = dir.path + "/outside";
  fs::create_directories(outside + "/deeper");
  WriteFile(outside + "/precious");
  WriteFile(outside + "/deeper/precious");
  const std::string p = dir.path + "/tree";
  fs::create_directories(p + "/sub");
  fs::create_symlink(outside, p + "/dirlink");
  fs::create_symlink(outside, p + "/sub/dirlink");
  fs::create_symlink(outside + "/precious", p + "/filelink");

  int result = 0;
  std::string out = CaptureStdout([&] { result = iDeleteDirectory(p.c_str()); });
  EXPECT_EQ(1, result) << out;
  EXPECT_FALSE(Exists(p));
  EXPECT_TRUE(Exists(outside + "/precious"));
  EXPECT_TRUE(Exists(outside + "/deeper/precious"));
  EXPECT_EQ(std::string::npos, out.find(outside)) << out;
}

TEST(DeleteDirectory, ALinkGivenAsTheTreeIsRefused) {
  TempDir dir;
  const std::string target = dir.path + "/target";
  fs::create_directories(target);
  WriteFile(target + "/precious");
  const std::string link = dir.path + "/link";
  fs::create_symlink(target, link);

  for (const std::string& given : {link, link + "/"}) {
    int result = 1;
    std::string out = CaptureStdout([&] { result = iDeleteDirectory(given.c_str()); });
    EXPECT_EQ(0, result);
    EXPECT_EQ("Error opening directory.\r\n" + given + "\r\n", out);
  }
  EXPECT_TRUE(Exists(target + "/precious"));
  EXPECT_TRUE(Exists(link));
}

// ---- iDeleteDirectory: error paths ---------------------------------------------

TEST(DeleteDirectory, PlainOrMissingPathCannotBeOpened) {
  TempDir dir;
  const std::string file = dir.path + "/plain";
  WriteFile(file);
  for (const std::string& path : {file, dir.path + "/missing"}) {
    int result = 1;
    std::string out = CaptureStdout([&] { result = iDeleteDirectory(path.c_str()); });
    EXPECT_EQ(0, result);
    EXPECT_EQ("Error opening directory.\r\n" + path + "\r\n", out);
  }
  EXPECT_TRUE(Exists(file));
  EXPECT_EQ(0, iDeleteDirectory(nullptr));
}

// Builds p/a/.../f where the directory holding f is read-only, then removes
// p as nobody, who owns everything but cannot remove f.
ChildResult RemoveTreeWithStuckFile(const std::string& p, const std::string& middle) {
  const std::string holder = p + middle;
  fs::create_directories(holder);
  WriteFile(holder + "/f");
  for (const auto& entry : fs::recursive_directory_iterator(p)) {
    chown(entry.path().c_str(), kNobody, kNobody);
  }
  chown(p.c_str(), kNobody, kNobody);
  chmod(holder.c_str(), 0555);
  return RunInChild([&] { return iDeleteDirectory(p.c_str()); }, {.as_nobody = true});
}

TEST(DeleteDirectory, StuckFileTwoLevelsDownIsReportedUpTheChain) {
  TempDir dir;
  const std::string p = dir.path + "/tree";
  ChildResult child = RemoveTreeWithStuckFile(p, "/a");
  EXPECT_EQ(0, child.status);
  EXPECT_EQ(Deleting(p) + Attempting(p + "/a") + Deleting(p + "/a") + Attempting(p + "/a/f") +
                FileError(p + "/a/f") + DirError(p + "/a"),
            child.out);
  EXPECT_TRUE(Exists(p + "/a/f"));
}

TEST(DeleteDirectory, ChildPathThatCannotBeAllocatedIsAFailedDeletion) {
  TempDir dir;
  const std::string p = dir.path + "/tree";
  fs::create_directories(p);
  WriteFile(p + "/only");
  int result = 1;
  std::string out = CaptureStdout([&] {
    jantor_alloc_refuse_for_test = [](std::size_t) { return true; };
    result = iDeleteDirectory(p.c_str());
    jantor_alloc_refuse_for_test = nullptr;
  });
  EXPECT_EQ(0, result);
  EXPECT_EQ(Deleting(p) + FileError(p + "/only"), out);
  EXPECT_TRUE(Exists(p + "/only"));
}

// ---- tempfile ------------------------------------------------------------------

std::string HexSecond(time_t t) {
  char hex[16];
  snprintf(hex, sizeof hex, "%lX", static_cast<unsigned long>(t) & 0x0FFFFFFFul);
  return hex;
}

struct TempResult {
  int result = -1;
  std::string name;   // what the slot held afterwards
  std::string hex;    // the time digits of the second the call ran in
  unsigned size = 0;  // recorded size of the slot
};

// Occupies the candidates with counters 0 to taken - 1 for the current second
// (as files, or as dangling links), calls tempfile and clears them again.
// Retries when the clock ticked over during the call, so every candidate the
// call built used the second the files were made for.
TempResult TempfileWithTaken(const std::string& directory, const std::string& ext, int taken,
                             bool as_links = false) {
  TempResult r;
  for (int attempt = 0; attempt < 5; ++attempt) {
    const time_t before = time(nullptr);
    r.hex = HexSecond(before);
    std::string base = directory;
    if (base.back() != '/') base += '/';
    for (int i = 0; i < taken; ++i) {
      const std::string path = base + r.hex + std::to_string(i) + ext;
      if (as_links) {
        fs::create_symlink(base + "nowhere", path);
      } else {
        WriteFile(path);
      }
    }
    char* slot = nullptr;
    r.result = tempfile(0, directory.c_str(), ext.c_str(), &slot);
    r.name = slot != nullptr ? slot : "(null)";
    r.size = slot != nullptr ? misize(slot) : 0;
    firee(slot);
    for (int i = 0; i < taken; ++i) fs::remove(base + r.hex + std::to_string(i) + ext);
    if (time(nullptr) == before) break;
  }
  return r;
}

TEST(Tempfile, DirectoryWithOrWithoutSlashGivesTheSameName) {
  const std::string ext = ".j" + std::to_string(getpid() % 100000);
  for (const std::string& directory : {std::string("/tmp"), std::string("/tmp/")}) {
    TempResult r = TempfileWithTaken(directory, ext, 1);
    EXPECT_EQ(1, r.result) << directory;
    EXPECT_EQ(r.hex + "1" + ext, r.name) << directory;
    EXPECT_EQ(153u, r.size);
  }
}

TEST(Tempfile, TakenCandidatesMoveTheCounterOn) {
  TempDir dir;
  TempResult one = TempfileWithTaken(dir.path, ".tmp", 1);
  EXPECT_EQ(1, one.result);
  EXPECT_EQ(one.hex + "1.tmp", one.name);

  TempResult last = TempfileWithTaken(dir.path + "/", ".tmp", 99);
  EXPECT_EQ(1, last.result);
  EXPECT_EQ(last.hex + "99.tmp", last.name);
  EXPECT_FALSE(Exists(dir.path + "/" + last.name));  // the name is not claimed
}

TEST(Tempfile, AllHundredCandidatesTakenFails) {
  TempDir dir;
  TempResult r = TempfileWithTaken(dir.path, ".tmp", 100);
  EXPECT_EQ(0, r.result);
  EXPECT_EQ(r.hex + "100.tmp", r.name);  // the slot keeps the last candidate built
}

TEST(Tempfile, DanglingLinkIsNotAFreeName) {
  TempDir dir;
  TempResult r = TempfileWithTaken(dir.path, ".tmp", 1, /*as_links=*/true);
  EXPECT_EQ(1, r.result);
  EXPECT_EQ(r.hex + "1.tmp", r.name);
}

// ---- tempfile: error paths -------------------------------------------------------

TEST(Tempfile, NullArgumentsAndLongExtensionsAreRefusedSilently) {
  char* slot = nullptr;
  std::string out = CaptureStdout([&] {
    EXPECT_EQ(0, tempfile(0, nullptr, ".tmp", &slot));
    EXPECT_EQ(0, tempfile(0, "/tmp", nullptr, &slot));
    EXPECT_EQ(0, tempfile(0, "/tmp", ".tmp", nullptr));
    EXPECT_EQ(0, tempfile(0, "/tmp", ".fifteen_chars_", &slot));
  });
  EXPECT_EQ("", out);
  EXPECT_EQ(nullptr, slot);

  ASSERT_EQ(1, tempfile(0, "/tmp", ".fourteenchars", &slot));
  EXPECT_NE(nullptr, strstr(slot, ".fourteenchars"));
  firee(slot);
}

TEST(Tempfile, UnsearchableDirectoryGivesNoName) {
  TempDir dir;
  const std::string locked = dir.path + "/locked";
  fs::create_directories(locked);
  chmod(locked.c_str(), 0700);
  ChildResult child = RunInChild(
      [&] {
        char* slot = nullptr;
        int result = tempfile(0, locked.c_str(), ".tmp", &slot);
        firee(slot);
        return result;
      },
      {.as_nobody = true});
  EXPECT_EQ(0, child.status);
  EXPECT_EQ("", child.out);
}

TEST(Tempfile, ExhaustedHeapPrintsTheSettingErrorOnce) {
  char* slot = nullptr;
  int result = 1;
  std::string out = CaptureStdout([&] {
    jantor_alloc_refuse_for_test = [](std::size_t) { return true; };
    result = tempfile(0, "/tmp", ".tmp", &slot);
    jantor_alloc_refuse_for_test = nullptr;
  });
  EXPECT_EQ(0, result);
  EXPECT_EQ(kNoMemoryLine, out);
  EXPECT_EQ(nullptr, slot);

  // Only the name slot refused: the path buffer already made is released
  // (the leak checker of the sanitizer build would report it otherwise).
  static int requests;
  requests = 0;
  out = CaptureStdout([&] {
    jantor_alloc_refuse_for_test = [](std::size_t) { return ++requests == 2; };
    result = tempfile(0, "/tmp", ".tmp", &slot);
    jantor_alloc_refuse_for_test = nullptr;
  });
  EXPECT_EQ(0, result);
  EXPECT_EQ(kNoMemoryLine, out);
  EXPECT_EQ(nullptr, slot);
}

// ---- CGISendBuffers -------------------------------------------------------------

TEST(CgiSend, HeadGetsAnEmptyLineAndTraceLinesFrameTheParts) {
  char head[64] = "Content-Type: text/plain\r\n";
  ChildResult child = RunInChild([&] { return CGISendBuffers(head, "hello", 1, 5); });
  EXPECT_EQ(1, child.status);
  EXPECT_EQ(
      "Entering Tramex Output\r\n"
      "Content-Type: text/plain\r\n\r\n"
      "Tramex Wrote Headbuffer\r\n"
      "hello"
      "Tramex wrote bodybuffer\r\n",
      child.out);
}

TEST(CgiSend, WithoutSendheadOnlyTheBodyGoesOutButTheHeadIsStillExtended) {
  char head[64] = "Status: 200\r\n";
  int result = 0;
  ChildResult child = RunInChild([&] { return CGISendBuffers(head, "body!", 0, 5); });
  EXPECT_EQ(1, child.status);
  EXPECT_EQ("Entering Tramex Output\r\nTramex Wrote Headbuffer\r\nbody!Tramex wrote bodybuffer\r\n",
            child.out);
  CaptureStdout([&] { result = CGISendBuffers(head, nullptr, 0, 0); });
  EXPECT_EQ(1, result);
  EXPECT_STREQ("Status: 200\r\n\r\n", head);
}

TEST(CgiSend, NoBodyBytesWithoutABodyOrAPositiveLength) {
  struct Case {
    const char* body;
    int len;
  };
  for (Case c : {Case{nullptr, 5}, Case{"abc", 0}, Case{"abc", -3}}) {
    char head[8] = "H";
    ChildResult child = RunInChild([&] { return CGISendBuffers(head, c.body, 1, c.len); });
    EXPECT_EQ(1, child.status);
    EXPECT_EQ(
        "Entering Tramex Output\r\nH\r\nTramex Wrote Headbuffer\r\nTramex wrote bodybuffer\r\n",
        child.out);
  }
}

// ---- CGISendBuffers: error paths ---------------------------------------------------

TEST(CgiSend, NullHeadAndShortWritesFail) {
  ChildResult child = RunInChild([] { return CGISendBuffers(nullptr, "x", 1, 1); });
  EXPECT_EQ(0, child.status);
  EXPECT_EQ("Entering Tramex Output\r\n", child.out);
  // Every write to /dev/full falls short: the head's, and the body's.
  for (int sendhead : {1, 0}) {
    char head[16] = "H: 1\r\n";
    child = RunInChild([&] { return CGISendBuffers(head, "x", sendhead, 1); },
                       {.stdout_path = "/dev/full"});
    EXPECT_EQ(0, child.status) << sendhead;
  }
}

// ---- getCGIPost ------------------------------------------------------------------

// Feeds the chunks into the child's standard input, pausing between them,
// then closes it; the child reads with getCGIPost(length) and prints what it
// got, or "(none)".
ChildResult PostThroughPipe(const std::vector<std::string>& chunks, int length, int calls = 1) {
  int in_pipe[2];
  if (pipe(in_pipe) != 0) return {};
  signal(SIGPIPE, SIG_IGN);
  pid_t feeder = fork();
  if (feeder == 0) {
    close(in_pipe[0]);
    for (const std::string& chunk : chunks) {
      if (write(in_pipe[1], chunk.data(), chunk.size()) < 0) break;
      usleep(50 * 1000);
    }
    _exit(0);
  }
  close(in_pipe[1]);
  ChildResult child = RunInChild(
      [&] {
        for (int i = 0; i < calls; ++i) {
          char buffer[64];
          memset(buffer, 'x', sizeof buffer);
          char* got = getCGIPost(buffer, length);
          fputs(got == nullptr ? "(none)" : got, stdout);
          fputs("|", stdout);
        }
        return 0;
      },
      {.stdin_fd = in_pipe[0]});
  close(in_pipe[0]);
  waitpid(feeder, nullptr, 0);
  return child;
}

TEST(CgiPost, ReadsUpToTheLengthEvenWhenTheBodyArrivesInPieces) {
  EXPECT_EQ("name=value|", PostThroughPipe({"name=value"}, 10).out);
  EXPECT_EQ("helloworld|", PostThroughPipe({"hello", "wor", "ld"}, 10).out);
  EXPECT_EQ("abc|def|gh|", PostThroughPipe({"abcdefgh"}, 3, 3).out);
  // Input ending early: terminated right after the bytes read.
  EXPECT_EQ("abcde|", PostThroughPipe({"abcde"}, 20).out);
}

TEST(CgiPost, NothingToReadGivesNone) {
  EXPECT_EQ("(none)|", PostThroughPipe({}, 10).out);
  EXPECT_EQ("(none)|", PostThroughPipe({"waiting"}, 0).out);
  char buffer[4];
  EXPECT_EQ(nullptr, getCGIPost(nullptr, 3));
  EXPECT_EQ(nullptr, getCGIPost(buffer, -1));
}

}  // namespace
