#include <pthread.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <csetjmp>
#include <cstdint>

#include "base/ll_cpapi.h"
#include "gtest/gtest.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void IgnoreSignal(int) {}

// Arms a one-shot real-time timer whose signal interrupts system calls (no
// SA_RESTART), and puts SIGALRM back as it was afterwards.
class InterruptAfter {
 public:
  InterruptAfter(void (*handler)(int), int milliseconds) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, &previous_);
    itimerval timer{};
    timer.it_value.tv_sec = milliseconds / 1000;
    timer.it_value.tv_usec = (milliseconds % 1000) * 1000;
    setitimer(ITIMER_REAL, &timer, nullptr);
  }
  ~InterruptAfter() {
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous_, nullptr);
  }

 private:
  struct sigaction previous_ {};
};

TEST(Sleep, MsleepWaitsTheFullTimeIncludingMicroseconds) {
  auto start = Clock::now();
  EXPECT_EQ(msleep(2500000), 0);
  double waited = SecondsSince(start);
  EXPECT_GE(waited, 2.5);
  EXPECT_LT(waited, 10.0);
}

TEST(Sleep, MsleepOfZeroAndOfANegativeCountReturnAtOnce) {
  auto start = Clock::now();
  EXPECT_EQ(msleep(0), 0);
  EXPECT_EQ(msleep(-1), -1);
  EXPECT_EQ(msleep(-2500000), -1);
  EXPECT_LT(SecondsSince(start), 1.0);
}

TEST(Sleep, ISleepWaitsMilliseconds) {
  auto start = Clock::now();
  EXPECT_EQ(iSleep(5), 1);
  EXPECT_GE(SecondsSince(start), 0.005);
}

TEST(Sleep, ASignalCutsTheWaitShort) {
  InterruptAfter timer(IgnoreSignal, 100);
  auto start = Clock::now();
  EXPECT_EQ(msleep(5000000), -1);
  EXPECT_LT(SecondsSince(start), 4.0);
}

// 3,000,000 ms times 1000 does not fit in 32 bits; computed there it would
// wrap to a negative count and return at once instead of waiting.
TEST(Sleep, ISleepBeyondThirtyTwoBitMicrosecondsStillWaits) {
  InterruptAfter timer(IgnoreSignal, 200);
  auto start = Clock::now();
  EXPECT_EQ(iSleep(3000000), 1);
  EXPECT_GE(SecondsSince(start), 0.15);
}

// The poll cycle keeps the alarm timer for its own sleep between cycles.
TEST(Sleep, WaitsLeaveTheAlarmTimerAlone) {
  alarm(30);
  msleep(1000);
  iSleep(1);
  EXPECT_EQ(YieldSlice(), 1);
  unsigned remaining = alarm(0);
  EXPECT_GE(remaining, 29u);
  EXPECT_LE(remaining, 30u);
}

TEST(Eof, TellsWhetherInputIsWaitingOnAPipe) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  EXPECT_EQ(_eof(fds[0]), 1);  // empty, writer still open
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  EXPECT_EQ(_eof(fds[0]), 0);  // unread byte
  char byte;
  ASSERT_EQ(read(fds[0], &byte, 1), 1);
  EXPECT_EQ(_eof(fds[0]), 1);
  close(fds[1]);
  EXPECT_EQ(_eof(fds[0]), 0);  // the end of input counts as readable
  close(fds[0]);
}

TEST(Eof, ADescriptorOutsideTheSetCannotBeChecked) {
  EXPECT_EQ(_eof(-1), 0);
  EXPECT_EQ(_eof(1024), 0);
  EXPECT_EQ(_eof(1 << 20), 0);
}

volatile sig_atomic_t jumps_back = 0;

TEST(Watchdog, HandleSignalJumpsBackToTheSavedContext) {
  struct sigaction action {
  }, previous{};
  action.sa_handler = HandleSignal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
  jumps_back = 0;
  if (sigsetjmp(*GetJmpEnv(), 1) == 0) {
    itimerval timer{};
    timer.it_value.tv_usec = 50000;
    setitimer(ITIMER_REAL, &timer, nullptr);
    for (int i = 0; i < 500; ++i) msleep(10000);  // a "hang" of at most 5 s
  } else {
    jumps_back = 1;
  }
  sigaction(SIGALRM, &previous, nullptr);
  EXPECT_EQ(jumps_back, 1);
  // The jump restores the signal mask saved with the context, so the alarm
  // signal is not left blocked as it was inside the handler.
  sigset_t mask;
  sigprocmask(SIG_BLOCK, nullptr, &mask);
  EXPECT_FALSE(sigismember(&mask, SIGALRM));
  WatchdogTripped();
}

// Each level keeps a 1 KB frame alive across its call, so the frames of
// deeper levels lie below it.
__attribute__((noinline)) uintptr_t SpAtDepth(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  uintptr_t position = depth > 0 ? SpAtDepth(depth - 1) : reinterpret_cast<uintptr_t>(GetSP());
  frame[1] = frame[0];
  return position;
}

TEST(StackPosition, GetSPFollowsTheStackOfTheCallingThread) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_getattr_np(pthread_self(), &attr), 0);
  void *stack_low = nullptr;
  size_t stack_size = 0;
  pthread_attr_getstack(&attr, &stack_low, &stack_size);
  pthread_attr_destroy(&attr);
  auto low = reinterpret_cast<uintptr_t>(stack_low);

  uintptr_t shallow = SpAtDepth(0);
  uintptr_t deep = SpAtDepth(4);
  EXPECT_GE(shallow, low);
  EXPECT_LT(shallow, low + stack_size);
  // Four more frames of at least 1 KB each lie between the two positions.
  EXPECT_GE(shallow - deep, 4u * 1024u);
  EXPECT_LT(shallow - deep, 64u * 1024u);
}

}  // namespace
