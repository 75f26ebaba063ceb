#include "engine/watch/service.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "base/ll_cpapi.h"

namespace {

volatile sig_atomic_t stop_signals = 0;
std::atomic<bool> stop_requested{false};

// Written by the handler so that the notifier thread wakes at once; the
// main thread itself sees the flag at its next step.
int stop_pipe[2] = {-1, -1};

// Monotonic microseconds at which the main loop's current database call
// began; 0 when it is in none.
std::atomic<int64_t> database_call_since{0};

// libsystemd, loaded only when systemd has given a notification socket:
// linked, it would add a megabyte to every daemon's resident memory, the
// most of it its own libraries' relocations, to say nothing when there is
// no one to hear it.
struct Systemd {
  decltype(&sd_notify) notify = nullptr;
  decltype(&sd_watchdog_enabled) watchdog_enabled = nullptr;
};
Systemd systemd;  // written once by ServiceReady, before the notifier starts

bool LoadSystemd() {
  void* library = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return false;
  systemd.notify = reinterpret_cast<decltype(&sd_notify)>(dlsym(library, "sd_notify"));
  systemd.watchdog_enabled =
      reinterpret_cast<decltype(&sd_watchdog_enabled)>(dlsym(library, "sd_watchdog_enabled"));
  return systemd.notify != nullptr && systemd.watchdog_enabled != nullptr;
}

void Notify(const char* state) { systemd.notify(0, state); }

bool notifying = false;  // NOTIFY_SOCKET was set at ServiceReady, and libsystemd loaded
std::atomic<bool> stopping_sent{false};

// STOPPING=1, once, from whichever thread sees the stop first: the
// notifier as soon as the signal arrives, or the main thread on its way out.
void SayStopping() {
  if (!stopping_sent.exchange(true)) Notify("STOPPING=1");
}

void OnStopSignal(int signal_number) {
  if (stop_signals > 0) {
    // Asked twice: end at once, as the signal's default action would.
    signal(signal_number, SIG_DFL);
    raise(signal_number);
    return;
  }
  stop_signals = 1;
  stop_requested.store(true);
  if (stop_pipe[1] >= 0) {
    int saved = errno;
    char byte = 1;
    ssize_t ignored = write(stop_pipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
  }
}

// The notifier: STOPPING=1 once a stop is asked for, and WATCHDOG=1 every
// half interval while the main loop is not stuck in a database call.
void* RunNotifier(void* argument) {
  uint64_t watchdog_us = reinterpret_cast<uintptr_t>(argument);
  int64_t half_us = static_cast<int64_t>(watchdog_us / 2);
  for (;;) {
    bool stopping = stop_requested.load();
    if (stopping) SayStopping();
    if (watchdog_us > 0) {
      int64_t since = database_call_since.load(std::memory_order_relaxed);
      if (since == 0 || MonotonicUs() - since <= half_us) Notify("WATCHDOG=1");
    }
    if (watchdog_us == 0 && stopping) return nullptr;
    pollfd wake{stop_pipe[0], POLLIN, 0};
    int timeout_ms = watchdog_us > 0 ? static_cast<int>(std::max<int64_t>(half_us / 1000, 1)) : -1;
    if (stopping) wake.fd = -1;  // only the watchdog is left to feed
    if (poll(&wake, 1, timeout_ms) > 0) {
      char drained[16];
      ssize_t ignored = read(stop_pipe[0], drained, sizeof drained);
      (void)ignored;
    }
  }
}

}  // namespace

void InstallStopHandlers() {
  if (pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) stop_pipe[0] = stop_pipe[1] = -1;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // Calls under way on the main thread (a connect, a database call) go on
  // rather than fail; the loop looks at the flag between its steps.
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

bool StopRequested() { return stop_requested.load(std::memory_order_relaxed); }

void ServiceReady() {
  const char* socket = getenv("NOTIFY_SOCKET");
  if (socket == nullptr || socket[0] == '\0') return;
  if (!LoadSystemd()) {
    PrintText("Could not load libsystemd: systemd is not told how jantor goes.\r\n");
    return;
  }
  notifying = true;
  Notify("READY=1");
  uint64_t watchdog_us = 0;
  if (systemd.watchdog_enabled(0, &watchdog_us) <= 0) watchdog_us = 0;
  pthread_t thread;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attributes, 256 * 1024);
  StartSignalFreeThread(&thread, &attributes, RunNotifier,
                        reinterpret_cast<void*>(static_cast<uintptr_t>(watchdog_us)));
  pthread_attr_destroy(&attributes);
}

void ServiceCycleStatus(int due, int hit, int failed, double took_seconds) {
  if (!notifying) return;
  char status[160];
  snprintf(status, sizeof status, "STATUS=Last cycle: %d due, %d hit, %d failed, took %.3f s", due,
           hit, failed, took_seconds);
  Notify(status);
}

void ServiceStopping() {
  if (notifying) SayStopping();
}

DatabaseCall::DatabaseCall() {
  database_call_since.store(MonotonicUs(), std::memory_order_relaxed);
}

DatabaseCall::~DatabaseCall() { database_call_since.store(0, std::memory_order_relaxed); }
