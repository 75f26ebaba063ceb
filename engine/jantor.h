// The scheduler: reads its command line into the run settings, opens two
// ODBC connections to the schedule table and runs poll cycles that hit
// every due entry and write its next run time back. The main thread owns
// the database; with -c above 1 the hits themselves run on worker threads
// (engine/hit_pool.h), each hit's words gathered and put out as one block. The run settings and
// the ODBC handles belong to the main routine for the life of the process;
// nothing is released on any end, the exit status is all that is returned.
#ifndef JANTOR_ENGINE_JANTOR_H_
#define JANTOR_ENGINE_JANTOR_H_

#include <sql.h>

// Every setting is kept as the text that was typed, in a field of fixed
// capacity (terminator included); longer values are cut to fit.
struct RunSettings {
  char dsn[64];       // -d, data source name of both connections
  char interval[36];  // -i, seconds of sleep after each cycle, as typed
  char user[32];      // -u, data source user name
  char password[32];  // -p, data source password
  char table[64];     // -t, schedule table name, put into SQL as typed
  char runtime[64];   // -r, seconds to run; not a positive number: for ever
  char concurrency[36];  // -c, most hits in flight at once, as typed
  int verbose;           // -v
  int interval_secs;     // the interval text as an integer, parsed once
  int concurrent_hits;   // -c as a number from 1 to kMostConcurrentHits
};

// The most hits -c lets be in flight at once.
enum : int { kMostConcurrentHits = 1024 };

// What the command line asks for.
enum StartOutcome : int {
  kStartRun = -1,  // settings accepted: go on to the database
  kStartStop = 0,  // unknown option: usage printed, exit status 0
  kStartRefused = 1,
};

// Reads argv into *settings, printing the echo lines, usage texts and
// refusals. Returns kStartRun or the exit status to end with.
int ReadCommandLine(int argc, char** argv, RunSettings* settings);

// 1 for SQL_SUCCESS and SQL_SUCCESS_WITH_INFO, 0 for every other code.
int SQLOK(int rc);

// Hook for drivers that need the cycle's timestamp literal in another form;
// the drivers in use take it as it is, so the text is left unchanged.
int ODBCDateDriverKludge2(int context, SQLHDBC connection, char* quoted_timestamp);

// Sleeps for the given seconds on SIGALRM; 1 after sleeping, 0 when the
// handler could not be installed (then it returns at once).
int Sleep_sec(int seconds);
// The SIGALRM handler: its arrival ends the wait, nothing more.
void wakeup(int signal_number);

#endif  // JANTOR_ENGINE_JANTOR_H_
