// The command line: reads the arguments into the run settings, echoing each
// option as it is read, and refuses a command line that cannot work. The
// settings are one plain record that the main routine owns for the life of
// the process; nothing changes them after ReadCommandLine, so any thread may
// read them. ReadCommandLine itself runs once, before any other thread.
#ifndef JANTOR_ENGINE_COMMAND_LINE_H_
#define JANTOR_ENGINE_COMMAND_LINE_H_

// Every setting is kept as the text that was typed, in a field of fixed
// capacity (terminator included); longer values are cut to fit.
struct RunSettings {
  char dsn[64];           // -d, data source name of both connections
  char interval[36];      // -i, seconds of sleep after each cycle, as typed
  char user[32];          // -u, data source user name
  char password[32];      // -p, data source password
  char table[64];         // -t, schedule table name, put into SQL as typed
  char runtime[64];       // -r, seconds to run; not a positive number: for ever
  char concurrency[36];   // -c, most hits in flight at once, as typed
  char results[64];       // -l, results table name, "" for none; put into SQL as typed
  char keep[36];          // -k, hours of results to keep, as typed
  char keep_rollups[36];  // -g, days of hourly rollups to keep, as typed
  char metrics[64];       // -m, [ADDRESS:]PORT of the metrics endpoint
  char share[36];         // -s, seconds a claim on a shared table holds, as typed
  char failing[36];       // -f, failed runs in a row that make an entry failing, as typed
  char host_cap[36];      // -h, most hits in flight to one host, as typed
  char credentials[256];  // -a, the folder of the files that ${cred:NAME} names
  unsigned given;         // OptionGiven: the options read
  int verbose;            // -v
  int quiet;              // -q: no trace words of the lower layers, one line a failed hit
  int interval_secs;      // the interval text as an integer, parsed once
  int concurrent_hits;    // -c as a number from 1 to kMostConcurrentHits
  int keep_hours;         // -k as a number from 0 (keep all) to kMostKeptHours
  int keep_rollup_days;   // -g as a number from 0 (keep all) to kMostKeptRollupDays
  int claim_secs;         // -s as a number from kLeastClaimSecs to kMostClaimSecs; 0 without -s
  int failing_runs;       // -f as a number from 1 to kMostFailingRuns
  int hits_per_host;      // -h as a number from 1 to kMostConcurrentHits; 0 without -h
};

// Whether the option of that letter (lower case) was on the command line.
inline bool OptionGiven(const RunSettings* s, char letter) {
  return (s->given >> (letter - 'a')) & 1u;
}

enum : int {
  kMostConcurrentHits = 1024,  // the most hits -c lets be in flight at once
  kMostKeptHours = 876000,     // a hundred years of results
  kMostKeptRollupDays = 36500,  // a hundred years of hourly rollups
  kLeastClaimSecs = 10,
  kMostClaimSecs = 86400,
  kMostFailingRuns = 1000000,
};

// What the command line asks for.
enum StartOutcome : int {
  kStartRun = -1,  // settings accepted: go on to the database
  kStartStop = 0,  // unknown option: usage printed, exit status 0
  kStartRefused = 1,
};

// Reads argv into *settings, printing the echo lines, usage texts and
// refusals. Returns kStartRun or the exit status to end with.
int ReadCommandLine(int argc, char** argv, RunSettings* settings);

#endif  // JANTOR_ENGINE_COMMAND_LINE_H_
