// Platform and memory services of the support library.
//
// Conventions shared by the whole support library:
// - Results: most operations return 1 for success and 0 for failure;
//   in-place text operations return the text they were given. The socket
//   layer returns 0 or a result code; the registry returns 0 or -1.
// - Managed strings: a handle is the address of the first usable byte of a
//   heap block with a 32-bit recorded size in the four bytes before it; text
//   in it is always NUL-terminated. Its owner keeps the handle in a slot
//   (a char* variable). Every writer that may allocate, move or replace the
//   block takes the slot's address and stores the new handle there; a null
//   slot means "no buffer yet" and is accepted by every writer. The owner
//   releases the block with firee().
// - Context argument: the leading int of the managed-string writers and of
//   the operations built on them; passed on unchanged, otherwise ignored.
//   Every caller passes 0.
// - An exhausted heap, a refused date and a failed hit are reported on
//   standard output with the setting-error line (SettingError below), with
//   codes 110, 580 and 1900 respectively.
// - Threads: each header says which of its calls may run on several threads
//   at once. Here: the allocation, output, sleeping and module calls may;
//   the watchdog's context is one per process. errno and the timer slack
//   are the calling thread's own.
#ifndef JANTOR_BASE_LL_CPAPI_H_
#define JANTOR_BASE_LL_CPAPI_H_

#include <pthread.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

// ---- Tracked allocation -------------------------------------------------

// Every growth by a managed-string writer asks for need + GAllocGran bytes,
// so a run of small appends reallocates only about every GAllocGran bytes.
// Read at each use; initially 128. Atomic, so that a change made while
// other threads allocate is seen whole by them.
extern std::atomic<int> GAllocGran;

// Setting-error codes printed by SettingError.
enum : int {
  kSettingErrorNoMemory = 110,
  kSettingErrorBadDate = 580,
  kSettingErrorNoConnect = 1900,
};

// ---- Output -----------------------------------------------------------------
// Every word the library prints goes through the helpers below. They write
// to the calling thread's destination: standard output (and, for system
// error texts, standard error) unless the thread has set a capture, which
// then gathers both streams' pieces in order, so that one thread's words can
// be put out later as one uninterrupted block. The helpers may be called
// from several threads at once: without captures the threads' words mix as
// stdio mixes them, with captures they never do.

// One thread's gathered output. The capturing thread alone touches it until
// it has ended the capture; then it may be handed to the thread that puts
// it out.
struct OutputCapture {
  std::string bytes;                       // the pieces, back to back
  std::vector<unsigned long> error_spans;  // [start, end) pairs of standard error pieces
  // Gathering is bounded: past kOutputCaptureLimit bytes the thread takes the
  // standard streams for itself (waiting for any other holder), writes what
  // it has gathered and then writes straight through until it ends the
  // capture. A huge reply thus costs no memory here, and its block stays
  // whole, only put out before its hit has ended.
  bool streaming = false;
};
enum : unsigned long { kOutputCaptureLimit = 64 * 1024 };

// Sends the calling thread's words into capture from now on; null ends the
// capture and sends them to the standard streams again (a streaming capture
// then gives the streams back). Returns the previous capture.
OutputCapture *CaptureOutput(OutputCapture *capture);

// Writes what an ended capture gathered to the standard streams, in order
// (standard output is flushed before each standard error piece), without
// any other capture's words coming between, then empties it.
void ReplayOutput(OutputCapture *capture);

// Where the standard streams lead, which decides what keeping their order
// costs. Read it with SenseOutputStreams; it holds while descriptors 1 and
// 2 are left as they are.
enum OutputStreams : int {
  // Not known: standard output is flushed before each standard error piece.
  kStreamsUnknown,
  // Both reach one file, pipe or terminal: the standard error pieces go
  // through standard output's buffer in their places, so the file gets
  // the same bytes in the same order without a write for every piece.
  kStreamsOneFile,
  // Two different files: the order between them cannot be seen, so
  // standard output stays buffered and the standard error pieces of all
  // the captures replayed together are written at once.
  kStreamsApart,
};
OutputStreams SenseOutputStreams();

// How words printed outside a capture may treat the streams: as unknown
// (the default: standard output is flushed before each system error text)
// or as sensed, for a caller that keeps descriptors 1 and 2 as they are
// while the setting holds.
void SetOutputStreams(OutputStreams streams);

// ReplayOutput for several ended captures, in the order given, as one
// block, for streams as sensed. Standard output may be left in its buffer.
void ReplayOutputs(OutputCapture *const *captures, unsigned long count, OutputStreams streams);

// ReplayOutputs if no other thread holds the streams (a capture past its
// bound writes straight through until it ends, which may take as long as
// its reply); false, with nothing written, if one does.
bool TryReplayOutputs(OutputCapture *const *captures, unsigned long count, OutputStreams streams);

// Silences the calling thread's words while on: every helper below then
// drops what it is given, for both streams and any capture. Returns the
// previous state. A caller that wants the lower layers' trace words kept
// out (jantor's quiet mode) turns it on around the calls that print them.
bool MuteOutput(bool on);

// Mutes the calling thread's words for the guard's life when on is true;
// does nothing otherwise.
class MutedOutput {
 public:
  explicit MutedOutput(bool on) : on_(on), previous_(on && MuteOutput(true)) {}
  ~MutedOutput() {
    if (on_) MuteOutput(previous_);
  }
  MutedOutput(const MutedOutput &) = delete;
  MutedOutput &operator=(const MutedOutput &) = delete;

 private:
  bool on_;
  bool previous_;
};

// Text as it is, no line end added. Never used as a format.
void PrintText(const char *text);

// printf-style output to the calling thread's destination.
void PrintFormat(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Prints "\r\n***** Setting Error <code> *****\r\n\r\n".
void SettingError(int code);

// The library's trace words: word, then "\r\n" as a piece of its own. The
// word is printed as text, never as a format.
void PrintWord(const char *word);

// The system's error text for error_number (an errno value read right after
// the failing call), as perror with an empty prefix prints it: on standard
// error after flushing standard output, so that the two streams keep their
// order, or into the thread's capture. errno is left as it was.
void PrintSystemError(int error_number);

// Owns a managed buffer inside a function and releases it with firee on
// every return: ManagedText text(mialloc(n)).
struct ManagedFree {
  void operator()(char *handle) const;
};
using ManagedText = std::unique_ptr<char, ManagedFree>;

// Returns the handle of a new block with len usable bytes (recorded size len,
// content uninitialised), or null when the heap refuses or len is negative.
// Prints nothing.
char *mialloc(int len);

// Resizes the block of handle to len usable bytes, keeping the content up to
// the smaller size; the block may move. Returns the new handle, or null when
// the heap refuses, in which case the old block stays allocated and
// unchanged. REQUIRES: handle came from mialloc or reialloc.
char *reialloc(void *handle, int len);

// Releases the whole block, header included. A null handle does nothing.
void firee(void *handle);

// The recorded size of the block. REQUIRES: handle is not null.
unsigned int misize(const void *handle);

// ---- Case folding and reversal -------------------------------------------

// In-place operations; each returns the text it was given.
// REQUIRES: text is not null and NUL-terminated.

// Folds "A" to "Z" to lower case; nothing else changes.
char *istrlwr(char *text);

// Folds "a" to "z" to upper case; nothing else changes.
char *istrupr(char *text);

// Reverses the characters; the terminator stays in place.
char *strrev(char *text);

// ---- Sleeping, yielding and the watchdog ---------------------------------
// Waits use select() with no descriptors, never the alarm timer, which the
// poll cycle keeps for its own sleep. A signal cuts a wait short.

#include <csetjmp>

// The platform's last error number (errno).
int __error(void);

// Waits us microseconds. Returns 0 after the full wait, -1 when a signal cut
// it short or us is negative (then at once).
int msleep(int us);

// Waits ms milliseconds (counted in 64 bits, so any int is a valid wait).
// Returns 1.
int iSleep(int ms);

// Microseconds of the monotonic clock, for measuring how long something
// took or when a limit runs out; never steps with the wall clock.
long long MonotonicUs(void);

// Gives the processor away for the shortest wait, msleep(1), between polls
// of a socket that has no data yet; the wait really lasts the process's
// timer slack (see prctl PR_SET_TIMERSLACK). Returns 1.
int YieldSlice(void);

// 1 when no input is waiting on fd at this instant; 0 when input (or the end
// of input) is waiting, or fd cannot be checked (negative or 1024 and above).
int _eof(int fd);

// The watchdog: a component that wants to recover from a hang saves its
// context with sigsetjmp(*GetJmpEnv(), 1) and installs HandleSignal as the
// handler of the signal it arms; HandleSignal jumps back with the value 1.
// The saved context is valid only while the function that saved it is active.
sigjmp_buf *GetJmpEnv(void);
[[noreturn]] void HandleSignal(int signal_number);
void WatchdogTripped(void);

// An address inside the caller's stack region: the current stack position.
void *GetSP(void);

// No effect on this platform; return 1.
int EmptyMessages(void);
int Beep(void);

// ---- Semaphores, threads and modules -------------------------------------
// This platform runs one thread, so the semaphore and mutex operations are
// placeholders that succeed at once without excluding anyone; only
// iDestroySem does real work, removing a System V semaphore set. Callers
// follow the order open, wait (a set time-out flag means a failed wait, with
// no done), guarded work, done. The thread operations report that no thread
// can be made. Modules map onto the dynamic loader.

// Return 1 and create nothing.
int iCreateSem(void);
int iCreateMutex(void);

// Returns 1 and leaves *sem unchanged; key and flags are not used.
int iOpenSem(int *sem, int key, int flags);

// Sets *timed_out to 0 (when the address is not null) and returns 1 at once;
// the time-out is not used.
int iWaitSingleSem(int *sem, int timeout, int *timed_out);
int iWaitSingleMutex(int *sem, int timeout, int *timed_out);

// Returns 1; releases nothing.
int iDoneSingleSem(int *sem);

// Returns 1.
int iCloseSem(void);

// Removes the System V semaphore set whose identifier is *sem. Returns 1, or
// 0 when the removal is refused (no such set, no permission) or sem is null.
int iDestroySem(int *sem);

// No thread can be made on this platform: each returns 0.
int iCreateThread(void);
int iWaitThread(void);
int iGetThreadHandle(void);
int iSetThreadPriority(void);

// The process identifier, the same on every call.
int iGetThreadID(void);

// Starts a thread that takes no signal: a thread inherits the mask of its
// maker, so every signal is blocked while it is made, and the process's
// signals (SIGALRM, SIGTERM) keep going to the main thread's handlers.
// Returns pthread_create's result. Safe from any thread.
int StartSignalFreeThread(pthread_t *thread, const pthread_attr_t *attributes, void *(*run)(void *),
                          void *argument);

// Loads the shared object at path, binding its functions lazily (on first
// call). Returns the module handle, or null on failure or for a null path.
void *LoadMod(const char *path);

// The address of the symbol name in module, or null when the module does not
// export it or either argument is null.
void *GetFuncAddress(void *module, const char *name);

// Unloads module. A null module returns 1 at once; otherwise the result is
// the bitwise complement of the loader's status: -1 after a successful
// unload, 0 after a failed one.
int UnloadMod(void *module);

#endif  // JANTOR_BASE_LL_CPAPI_H_
