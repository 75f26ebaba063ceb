// Tracked allocation, the setting-error line and the case/reversal operations.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/ll_cpapi.h"
#include "base/ll_string.h"

// The allocator's fault seam; deliberately not in any header.
extern bool (*jantor_alloc_refuse_for_test)(std::size_t bytes);

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderAsan = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kUnderAsan = true;
#else
constexpr bool kUnderAsan = false;
#endif
#else
constexpr bool kUnderAsan = false;
#endif

const char kNoMemoryLine[] = "\r\n***** Setting Error 110 *****\r\n\r\n";

struct RefuseAllHeapRequests {
  RefuseAllHeapRequests() {
    jantor_alloc_refuse_for_test = [](std::size_t) { return true; };
  }
  ~RefuseAllHeapRequests() { jantor_alloc_refuse_for_test = nullptr; }
};

TEST(TrackedAllocation, RecordsTheSizeAskedFor) {
  char *block = mialloc(0);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(misize(block), 0u);
  firee(block);

  block = mialloc(10);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(misize(block), 10u);
  std::memcpy(block, "0123456789", 10);
  block = reialloc(block, 4000);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(misize(block), 4000u);
  EXPECT_EQ(std::string(block, 10), "0123456789");
  block = reialloc(block, 3);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(misize(block), 3u);
  EXPECT_EQ(std::string(block, 3), "012");
  firee(block);
}

TEST(TrackedAllocation, FireeOfNullDoesNothing) { firee(nullptr); }

TEST(TrackedAllocation, NegativeLengthIsRefused) {
  EXPECT_EQ(mialloc(-1), nullptr);
  char *block = mialloc(5);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(reialloc(block, -5), nullptr);
  EXPECT_EQ(misize(block), 5u);
  firee(block);
}

TEST(SettingError, PrintsTheExactLine) {
  testing::internal::CaptureStdout();
  SettingError(110);
  SettingError(kSettingErrorBadDate);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            std::string(kNoMemoryLine) + "\r\n***** Setting Error 580 *****\r\n\r\n");
}

TEST(CaseAndReversal, FoldOnlyAsciiLetters) {
  char text[] = "Key\\Path-Z@[a`z{\xc4";
  EXPECT_EQ(istrlwr(text), text);
  EXPECT_STREQ(text, "key\\path-z@[a`z{\xc4");
  EXPECT_EQ(istrupr(text), text);
  EXPECT_STREQ(text, "KEY\\PATH-Z@[A`Z{\xc4");
}

TEST(CaseAndReversal, ReverseKeepsTerminator) {
  char text[] = "abcd";
  EXPECT_STREQ(strrev(text), "dcba");
  char odd[] = "abc";
  EXPECT_STREQ(strrev(odd), "cba");
  char empty[] = "";
  EXPECT_STREQ(strrev(empty), "");
}

// ---- Error paths ------------------------------------------------------------

TEST(TrackedAllocationErrors, RefusalsPrintNothingAndKeepTheOldBlock) {
  char *block = mialloc(4);
  ASSERT_NE(block, nullptr);
  std::memcpy(block, "abc", 4);
  testing::internal::CaptureStdout();
  {
    RefuseAllHeapRequests refuse;
    EXPECT_EQ(mialloc(16), nullptr);
    EXPECT_EQ(reialloc(block, 1000), nullptr);
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(misize(block), 4u);
  EXPECT_STREQ(block, "abc");
  firee(block);
}

// Runs fn in a child whose address space is capped 64 MiB above its present
// size, so a large request fails in the real heap. Returns what the child
// printed; *result gets fn's result.
template <typename Fn>
std::string RunUnderAddressLimit(Fn fn, int *result) {
  int out[2];
  if (pipe(out) != 0) return "pipe failed";
  fflush(stdout);
  pid_t child = fork();
  if (child == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    long pages = 0;
    FILE *statm = fopen("/proc/self/statm", "r");
    if (statm == nullptr || fscanf(statm, "%ld", &pages) != 1) _exit(99);
    fclose(statm);
    rlim_t limit = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (64u << 20);
    rlimit cap{limit, limit};
    if (setrlimit(RLIMIT_AS, &cap) != 0) _exit(98);
    int value = fn();
    fflush(stdout);
    _exit(value);
  }
  close(out[1]);
  std::string printed;
  char chunk[256];
  ssize_t got;
  while ((got = read(out[0], chunk, sizeof(chunk))) > 0) printed.append(chunk, got);
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  *result = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return printed;
}

TEST(TrackedAllocationErrors, ExhaustedHeapPrintsSettingError110) {
  if (kUnderAsan) {
    GTEST_SKIP() << "AddressSanitizer reserves terabytes of shadow memory, so "
                    "an address-space limit cannot be applied; the seam "
                    "tests cover this path in that build";
  }
  int result = -1;
  // A writer on a null slot: the first allocation is refused.
  std::string printed = RunUnderAddressLimit(
      [] {
        char *slot = nullptr;
        int ok = mmemcat(0, &slot, "x", 1 << 30, 1);
        return ok == 0 && slot == nullptr ? 7 : 1;
      },
      &result);
  EXPECT_EQ(result, 7);
  EXPECT_EQ(printed, kNoMemoryLine);

  // A writer on a buffer that must grow: the growth is refused.
  printed = RunUnderAddressLimit(
      [] {
        char *slot = nullptr;
        if (!mstrcpy(0, &slot, "abc")) return 2;
        int ok = mmemcat(0, &slot, "x", 1 << 30, 1);
        return ok == 0 && slot == nullptr ? 7 : 1;
      },
      &result);
  EXPECT_EQ(result, 7);
  EXPECT_EQ(printed, kNoMemoryLine);
}

}  // namespace
