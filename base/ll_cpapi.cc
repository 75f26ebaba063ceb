#include "base/ll_cpapi.h"

// ---- Tracked allocation -------------------------------------------------

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

std::atomic<int> GAllocGran{128};

// Fault-injection seam for tests only: when set, it is asked before every
// heap request of this section and a true answer refuses the request, so the
// exhausted-heap paths can be driven even under the sanitizers (which do not
// honour an address-space limit). Nothing in the library sets it and no
// header declares it.
bool (*jantor_alloc_refuse_for_test)(std::size_t bytes) = nullptr;

namespace {

// The recorded size sits in front of the usable bytes.
using SizeHeader = std::int32_t;
constexpr std::size_t kHeaderBytes = sizeof(SizeHeader);
static_assert(kHeaderBytes == 4, "the size header is four bytes");

bool HeapRefuses(std::size_t bytes) {
  return jantor_alloc_refuse_for_test != nullptr && jantor_alloc_refuse_for_test(bytes);
}

char *BlockOf(const void *handle) {
  return const_cast<char *>(static_cast<const char *>(handle)) - kHeaderBytes;
}

char *HandleOf(char *block, int len) {
  SizeHeader recorded = len;
  std::memcpy(block, &recorded, kHeaderBytes);
  return block + kHeaderBytes;
}

}  // namespace

// ---- Output -----------------------------------------------------------------

namespace {

thread_local OutputCapture *thread_capture = nullptr;
thread_local bool thread_muted = false;

std::atomic<OutputStreams> uncaptured_streams{kStreamsUnknown};

// Held by whoever writes a capture's words to the standard streams, so that
// no other capture's words come between them.
std::mutex stream_owner;

enum Stream : int { kStandardOutput, kStandardError };

void WriteStream(Stream stream, const char *bytes, size_t length) {
  if (length == 0) return;
  if (stream == kStandardError) {
    fflush(stdout);
    fwrite(bytes, 1, length, stderr);
  } else {
    fwrite(bytes, 1, length, stdout);
  }
}

// Writes the gathered pieces out and empties the capture; standard error
// pieces of streams apart are added to *errors, to be written by the caller.
// REQUIRES: the caller holds stream_owner.
void WriteGathered(OutputCapture *capture, OutputStreams streams = kStreamsUnknown,
                   std::string *errors = nullptr) {
  const std::string &bytes = capture->bytes;
  if (streams == kStreamsOneFile) {
    fwrite(bytes.data(), 1, bytes.size(), stdout);
  } else {
    size_t at = 0;
    for (size_t i = 0; i + 1 < capture->error_spans.size(); i += 2) {
      size_t start = capture->error_spans[i], end = capture->error_spans[i + 1];
      WriteStream(kStandardOutput, bytes.data() + at, start - at);
      if (streams == kStreamsApart)
        errors->append(bytes, start, end - start);
      else
        WriteStream(kStandardError, bytes.data() + start, end - start);
      at = end;
    }
    WriteStream(kStandardOutput, bytes.data() + at, bytes.size() - at);
  }
  capture->bytes.clear();
  capture->error_spans.clear();
}

void Emit(Stream stream, const char *bytes, size_t length) {
  if (thread_muted) return;
  OutputCapture *capture = thread_capture;
  if (capture == nullptr || capture->streaming) {
    WriteStream(stream, bytes, length);
    return;
  }
  if (stream == kStandardError) capture->error_spans.push_back(capture->bytes.size());
  capture->bytes.append(bytes, length);
  if (stream == kStandardError) capture->error_spans.push_back(capture->bytes.size());
  if (capture->bytes.size() > kOutputCaptureLimit) {
    stream_owner.lock();  // given back when the capture ends
    WriteGathered(capture);
    capture->streaming = true;
  }
}

}  // namespace

OutputCapture *CaptureOutput(OutputCapture *capture) {
  OutputCapture *previous = thread_capture;
  if (previous != nullptr && previous != capture && previous->streaming) {
    fflush(stdout);
    previous->streaming = false;
    stream_owner.unlock();
  }
  thread_capture = capture;
  return previous;
}

void ReplayOutput(OutputCapture *capture) { ReplayOutputs(&capture, 1, kStreamsUnknown); }

void SetOutputStreams(OutputStreams streams) { uncaptured_streams = streams; }

OutputStreams SenseOutputStreams() {
  struct stat out, error;
  if (fstat(STDOUT_FILENO, &out) != 0 || fstat(STDERR_FILENO, &error) != 0) return kStreamsUnknown;
  return out.st_dev == error.st_dev && out.st_ino == error.st_ino ? kStreamsOneFile : kStreamsApart;
}

namespace {

// REQUIRES: the caller holds stream_owner.
void WriteAllGathered(OutputCapture *const *captures, unsigned long count, OutputStreams streams) {
  std::string errors;
  for (unsigned long i = 0; i < count; ++i) WriteGathered(captures[i], streams, &errors);
  if (!errors.empty()) fwrite(errors.data(), 1, errors.size(), stderr);
}

bool HoldsStreams() { return thread_capture != nullptr && thread_capture->streaming; }

}  // namespace

void ReplayOutputs(OutputCapture *const *captures, unsigned long count, OutputStreams streams) {
  std::unique_lock<std::mutex> hold(stream_owner, std::defer_lock);
  if (!HoldsStreams()) hold.lock();
  WriteAllGathered(captures, count, streams);
}

bool TryReplayOutputs(OutputCapture *const *captures, unsigned long count, OutputStreams streams) {
  std::unique_lock<std::mutex> hold(stream_owner, std::defer_lock);
  if (!HoldsStreams() && !hold.try_lock()) return false;
  WriteAllGathered(captures, count, streams);
  return true;
}

void PrintText(const char *text) { Emit(kStandardOutput, text, strlen(text)); }

bool MuteOutput(bool on) {
  bool was = thread_muted;
  thread_muted = on;
  return was;
}

void PrintFormat(const char *format, ...) {
  if (thread_muted) return;
  va_list arguments;
  va_start(arguments, format);
  if (thread_capture == nullptr || thread_capture->streaming) {
    vprintf(format, arguments);
    va_end(arguments);
    return;
  }
  char small[256];
  va_list again;
  va_copy(again, arguments);
  int length = vsnprintf(small, sizeof small, format, arguments);
  if (length >= 0 && static_cast<size_t>(length) < sizeof small) {
    Emit(kStandardOutput, small, static_cast<size_t>(length));
  } else if (length > 0) {
    std::string large(static_cast<size_t>(length), '\0');
    vsnprintf(large.data(), large.size() + 1, format, again);
    Emit(kStandardOutput, large.data(), large.size());
  }
  va_end(again);
  va_end(arguments);
}

void SettingError(int code) { PrintFormat("\r\n***** Setting Error %i *****\r\n\r\n", code); }

void PrintWord(const char *word) {
  PrintText(word);
  PrintText("\r\n");
}

void PrintSystemError(int error_number) {
  if (thread_muted) return;
  int saved = errno;
  OutputStreams streams = thread_capture == nullptr ? uncaptured_streams.load() : kStreamsUnknown;
  if ((thread_capture == nullptr || thread_capture->streaming) && streams != kStreamsOneFile) {
    if (streams == kStreamsUnknown) fflush(stdout);
    errno = error_number;
    perror("");
  } else {
    // perror's own text: strerror's, then a line end; for one file, in its
    // place in standard output's buffer.
    char text[256];
    std::string line = strerror_r(error_number, text, sizeof text);
    line += '\n';
    if (streams == kStreamsOneFile)
      fwrite(line.data(), 1, line.size(), stdout);
    else
      Emit(kStandardError, line.data(), line.size());
  }
  errno = saved;
}

char *mialloc(int len) {
  if (len < 0) return nullptr;
  std::size_t bytes = static_cast<std::size_t>(len) + kHeaderBytes;
  if (HeapRefuses(bytes)) return nullptr;
  char *block = static_cast<char *>(std::malloc(bytes));
  if (block == nullptr) return nullptr;
  return HandleOf(block, len);
}

char *reialloc(void *handle, int len) {
  if (handle == nullptr) return mialloc(len);
  if (len < 0) return nullptr;
  std::size_t bytes = static_cast<std::size_t>(len) + kHeaderBytes;
  if (HeapRefuses(bytes)) return nullptr;
  char *block = static_cast<char *>(std::realloc(BlockOf(handle), bytes));
  if (block == nullptr) return nullptr;
  return HandleOf(block, len);
}

void ManagedFree::operator()(char *handle) const { firee(handle); }

void firee(void *handle) {
  if (handle == nullptr) return;
  std::free(BlockOf(handle));
}

unsigned int misize(const void *handle) {
  SizeHeader recorded;
  std::memcpy(&recorded, BlockOf(handle), kHeaderBytes);
  return static_cast<unsigned int>(recorded);
}

// ---- Case folding and reversal -------------------------------------------

#include <algorithm>

// Folding is by plain ASCII ranges, not the locale: key paths and date words
// must fold the same way whatever locale the process runs in.
char *istrlwr(char *text) {
  for (char *p = text; *p != '\0'; ++p) {
    if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p + ('a' - 'A'));
  }
  return text;
}

char *istrupr(char *text) {
  for (char *p = text; *p != '\0'; ++p) {
    if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - ('a' - 'A'));
  }
  return text;
}

char *strrev(char *text) {
  std::reverse(text, text + std::strlen(text));
  return text;
}

// ---- Sleeping, yielding and the watchdog ---------------------------------

#include <sys/select.h>

#include <cerrno>
#include <csetjmp>

namespace {

// One process-wide context for the watchdog; filled by whoever arms it.
sigjmp_buf env;

// select() with no descriptors is the one wait that takes microseconds and
// leaves the alarm timer alone. A negative count gives EINVAL and -1 at once.
int WaitMicroseconds(long long us) {
  timeval wait_time{};
  wait_time.tv_sec = static_cast<time_t>(us / 1000000);
  wait_time.tv_usec = static_cast<suseconds_t>(us % 1000000);
  return select(0, nullptr, nullptr, nullptr, &wait_time);
}

// The pause between two polls of a socket that has no data: the shortest
// wait there is. The kernel stretches it to the caller's timer slack (50 us
// unless the process sets another), so a caller that may wait long sets a
// larger slack around its yields rather than a longer wait here.
constexpr int kYieldMicroseconds = 1;

}  // namespace

int __error(void) { return errno; }

int msleep(int us) { return WaitMicroseconds(us); }

// The product is formed in 64 bits: in 32 bits every wait above 35 minutes
// would wrap to a negative count and return at once.
int iSleep(int ms) {
  WaitMicroseconds(static_cast<long long>(ms) * 1000);
  return 1;
}

long long MonotonicUs(void) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

int YieldSlice(void) {
  msleep(kYieldMicroseconds);
  return 1;
}

int _eof(int fd) {
  if (fd < 0 || fd >= FD_SETSIZE) return 0;  // outside the set: cannot check
  fd_set read_set;
  FD_ZERO(&read_set);
  FD_SET(fd, &read_set);
  timeval no_wait{};
  return select(fd + 1, &read_set, nullptr, nullptr, &no_wait) == 0 ? 1 : 0;
}

sigjmp_buf *GetJmpEnv(void) { return &env; }

void HandleSignal(int /*signal_number*/) { siglongjmp(env, 1); }

void WatchdogTripped(void) {}

// Kept out of line so that the frame is GetSP's own, just below the caller's.
__attribute__((noinline)) void *GetSP(void) { return __builtin_frame_address(0); }

int EmptyMessages(void) { return 1; }

int Beep(void) { return 1; }

// ---- Semaphores, threads and modules -------------------------------------

#include <dlfcn.h>
#include <sys/sem.h>
#include <unistd.h>

int iCreateSem(void) { return 1; }

int iCreateMutex(void) { return 1; }

int iOpenSem(int * /*sem*/, int /*key*/, int /*flags*/) { return 1; }

int iWaitSingleSem(int * /*sem*/, int /*timeout*/, int *timed_out) {
  if (timed_out != nullptr) *timed_out = 0;
  return 1;
}

int iWaitSingleMutex(int *sem, int timeout, int *timed_out) {
  return iWaitSingleSem(sem, timeout, timed_out);
}

int iDoneSingleSem(int * /*sem*/) { return 1; }

int iCloseSem(void) { return 1; }

int iDestroySem(int *sem) {
  if (sem == nullptr) return 0;
  return semctl(*sem, 0, IPC_RMID) == -1 ? 0 : 1;
}

int iCreateThread(void) { return 0; }

int iWaitThread(void) { return 0; }

int iGetThreadHandle(void) { return 0; }

int iSetThreadPriority(void) { return 0; }

int iGetThreadID(void) { return static_cast<int>(getpid()); }

void *LoadMod(const char *path) {
  // dlopen(nullptr) would hand back the main program, which is not what a
  // caller naming a module wants.
  if (path == nullptr) return nullptr;
  return dlopen(path, RTLD_LAZY);
}

void *GetFuncAddress(void *module, const char *name) {
  // A null handle would mean RTLD_DEFAULT to glibc, a search of the whole
  // process instead of the module.
  if (module == nullptr || name == nullptr) return nullptr;
  return dlsym(module, name);
}

int UnloadMod(void *module) {
  if (module == nullptr) return 1;
  return ~dlclose(module);
}

int StartSignalFreeThread(pthread_t *thread, const pthread_attr_t *attributes, void *(*run)(void *),
                          void *argument) {
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  int made = pthread_create(thread, attributes, run, argument);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return made;
}
