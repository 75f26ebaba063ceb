// Semaphores, threads and loadable modules.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "base/ll_cpapi.h"

namespace {

// ---- Semaphores ----------------------------------------------------------------

TEST(Semaphore, PlaceholdersSucceedAndExcludeNoOne) {
  int sem = 1234;
  int timed_out = 1;
  EXPECT_EQ(1, iCreateSem());
  EXPECT_EQ(1, iCreateMutex());
  EXPECT_EQ(1, iOpenSem(&sem, 5556, 1));
  EXPECT_EQ(1234, sem);
  EXPECT_EQ(1, iWaitSingleSem(&sem, 10000, &timed_out));
  EXPECT_EQ(0, timed_out);
  // A second wait without a done would block on a real semaphore.
  timed_out = 1;
  EXPECT_EQ(1, iWaitSingleMutex(&sem, 10000, &timed_out));
  EXPECT_EQ(0, timed_out);
  EXPECT_EQ(1, iWaitSingleSem(&sem, 10000, nullptr));
  EXPECT_EQ(1, iDoneSingleSem(&sem));
  EXPECT_EQ(1, iCloseSem());
  EXPECT_EQ(1234, sem);
}

TEST(Semaphore, DestroyRemovesARealSetExactlyOnce) {
  int id = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
  ASSERT_GE(id, 0) << "System V semaphores unavailable, errno " << errno;
  EXPECT_EQ(1, iDestroySem(&id));
  errno = 0;
  EXPECT_EQ(-1, semctl(id, 0, GETVAL));
  EXPECT_TRUE(errno == EINVAL || errno == EIDRM) << errno;
  EXPECT_EQ(0, iDestroySem(&id));
  EXPECT_EQ(0, iDestroySem(nullptr));
}

// ---- Threads -------------------------------------------------------------------

TEST(Thread, NoThreadCanBeMade) {
  EXPECT_EQ(0, iCreateThread());
  EXPECT_EQ(0, iWaitThread());
  EXPECT_EQ(0, iGetThreadHandle());
  EXPECT_EQ(0, iSetThreadPriority());
}

TEST(Thread, IdIsTheProcessIdentifier) {
  EXPECT_EQ(getpid(), iGetThreadID());
  EXPECT_EQ(iGetThreadID(), iGetThreadID());
  // A child has its own: the value is asked for, not remembered.
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) _exit(iGetThreadID() == getpid() && iGetThreadID() != getppid() ? 0 : 1);
  int status = -1;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// The daemon's signals must reach its main thread: a thread made by
// StartSignalFreeThread blocks them all, and its maker's mask is as before.
TEST(SignalFreeThread, BlocksEverySignalInTheThreadOnly) {
  sigset_t before, after;
  pthread_sigmask(SIG_SETMASK, nullptr, &before);
  static sigset_t seen;
  pthread_t thread;
  ASSERT_EQ(0, StartSignalFreeThread(
                   &thread, nullptr,
                   [](void*) -> void* {
                     pthread_sigmask(SIG_SETMASK, nullptr, &seen);
                     return nullptr;
                   },
                   nullptr));
  pthread_join(thread, nullptr);
  for (int signal_number : {SIGALRM, SIGTERM, SIGINT, SIGUSR1})
    EXPECT_EQ(1, sigismember(&seen, signal_number)) << signal_number;
  pthread_sigmask(SIG_SETMASK, nullptr, &after);
  for (int signal_number : {SIGALRM, SIGTERM, SIGINT, SIGUSR1})
    EXPECT_EQ(sigismember(&before, signal_number), sigismember(&after, signal_number));
}

// ---- Modules -------------------------------------------------------------------

TEST(Module, LoadsWithLazyBindingAndFindsExportedFunctions) {
  // The module holds a call to a function nothing defines: eager binding
  // refuses it, so loading it shows that LoadMod binds lazily.
  void* eager = dlopen(JANTOR_TEST_MODULE, RTLD_NOW);
  if (eager != nullptr) dlclose(eager);
  ASSERT_EQ(nullptr, eager);

  void* module = LoadMod(JANTOR_TEST_MODULE);
  ASSERT_NE(nullptr, module) << dlerror();
  auto answer = reinterpret_cast<int (*)(void)>(GetFuncAddress(module, "jantor_module_answer"));
  ASSERT_NE(nullptr, answer);
  EXPECT_EQ(42, answer());
  EXPECT_NE(nullptr, GetFuncAddress(module, "jantor_module_unbound"));
  EXPECT_EQ(nullptr, GetFuncAddress(module, "jantor_module_missing"));
  EXPECT_EQ(nullptr, GetFuncAddress(module, "no_such_function"));
  EXPECT_EQ(nullptr, GetFuncAddress(module, nullptr));
  EXPECT_EQ(-1, UnloadMod(module));
}

// ---- Modules: error paths --------------------------------------------------------

TEST(Module, FailuresGiveNullAndANullUnloadSucceeds) {
  EXPECT_EQ(nullptr, LoadMod("/nonexistent/libnothing.so"));
  EXPECT_EQ(nullptr, LoadMod(JANTOR_SOURCE_DIR "/CMakeLists.txt"));  // not a shared object
  EXPECT_EQ(nullptr, LoadMod(nullptr));
  // A null module must not turn into a search of the whole process.
  EXPECT_EQ(nullptr, GetFuncAddress(nullptr, "malloc"));
  EXPECT_EQ(1, UnloadMod(nullptr));
}

}  // namespace
