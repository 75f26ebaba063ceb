// How jantor runs as a service: the stop on SIGTERM or SIGINT, and what it
// tells systemd through libsystemd's sd_notify when systemd gave it a
// notification socket (NOTIFY_SOCKET): READY=1 once the start-up checks
// have passed, STATUS= with each cycle's summary, WATCHDOG=1 while the main
// loop makes progress, STOPPING=1 when asked to stop. Without the socket
// nothing is sent and no thread is started.
//
// The first SIGTERM or SIGINT only asks for a stop: no new hit starts, the
// hits in flight end within their own time limits and are written, and the
// process ends with status 0. A second one ends it at once, by the signal.
//
// Threads: the stop handlers run on the main thread (every other thread
// blocks signals); StopRequested and DatabaseCall may be used from any
// thread; the other calls belong to the main thread. The notifier thread
// reads only atomics.
#ifndef JANTOR_ENGINE_WATCH_SERVICE_H_
#define JANTOR_ENGINE_WATCH_SERVICE_H_

// Installs the SIGTERM and SIGINT handlers. Call once, before any thread
// is started.
void InstallStopHandlers();

// True once a SIGTERM or SIGINT has arrived.
bool StopRequested();

// READY=1; starts the notifier thread, which feeds the watchdog at half the
// interval that systemd asks for (WATCHDOG_USEC) and says STOPPING=1 as
// soon as a stop is asked for.
void ServiceReady();

// STATUS= with the last cycle's summary.
void ServiceCycleStatus(int due, int hit, int failed, double took_seconds);

// STOPPING=1, unless the notifier has said it already; for the main thread
// on its way out after a stop.
void ServiceStopping();

// Marks a database call of the main loop for its life. The watchdog is fed
// only while no such call has lasted longer than half the watchdog
// interval: a call that never returns (a server gone without a reset)
// starves it, and systemd restarts the daemon.
class DatabaseCall {
 public:
  DatabaseCall();
  ~DatabaseCall();
  DatabaseCall(const DatabaseCall&) = delete;
  DatabaseCall& operator=(const DatabaseCall&) = delete;
};

#endif  // JANTOR_ENGINE_WATCH_SERVICE_H_
