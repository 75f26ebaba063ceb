// Entries whose pause has ended come back at their first scheduled run at
// or after the pause's end, never in a burst of the runs the pause passed
// over: those are skipped, counted (jantor_runs_skipped_total) and, with
// -l, told in one results row ("skipped 23 runs, ... to ..., while
// paused"). A retry that was pending when the pause began is made after
// it, unless its run's next scheduled time has passed meanwhile: then that
// run ends with the pause, neither failed nor retried. Runs on the main
// thread, as the cycle starts.
#ifndef JANTOR_ENGINE_FLOW_PAUSES_H_
#define JANTOR_ENGINE_FLOW_PAUSES_H_

#include <ctime>

#include "engine/command_line.h"
#include "engine/db/schedule.h"

// Resumes the entries whose pause ended by present (quoted_now as the due
// select writes it). false after the failed statement's error line.
bool ResumeEndedPauses(const RunSettings* s, Schedule* db, time_t present, const char* quoted_now);

#endif  // JANTOR_ENGINE_FLOW_PAUSES_H_
