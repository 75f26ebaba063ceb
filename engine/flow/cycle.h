// The poll cycles: each reads the present time, selects the due entries,
// hits them (one after the other, or with -c on the worker threads of
// engine/flow/hit_pool.h, each hit's words put out as one block) and writes each
// entry's next run time back, then sleeps for the interval. The main thread
// runs the cycles and alone touches the database; a worker owns only the
// job it was handed.
#ifndef JANTOR_ENGINE_FLOW_CYCLE_H_
#define JANTOR_ENGINE_FLOW_CYCLE_H_

#include "engine/command_line.h"
#include "engine/db/schedule.h"

// Runs cycles until the run time has passed (returns 0) or a statement
// fails (returns 1, after the failure's line).
int RunCycles(const RunSettings* s, Schedule* db);

// Sleeps for the given seconds on SIGALRM; 1 after sleeping, 0 when the
// handler could not be installed (then it returns at once).
int Sleep_sec(int seconds);
// The SIGALRM handler: its arrival ends the wait, nothing more.
void wakeup(int signal_number);

#endif  // JANTOR_ENGINE_FLOW_CYCLE_H_
