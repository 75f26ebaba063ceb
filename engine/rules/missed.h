// Runs an entry's schedule passed while it could not be made: missed while
// jantor was down or behind (what i_missed says of them: each, one or
// none) and passed over by a pause (i_paused_until). An entry's slots are
// its schedule's run times from its stored i_next on: i_next plus whole
// intervals, which keeps an interval entry's phase, or the calendar's
// matches (shifted by the splay). Pure functions of the entry and the
// times given: any thread may call them.
#ifndef JANTOR_ENGINE_RULES_MISSED_H_
#define JANTOR_ENGINE_RULES_MISSED_H_

#include <cstddef>
#include <ctime>
#include <string>

#include "engine/rules/entry.h"

enum MissedPolicy : int {
  kMissedEach,     // "each": every missed run is made, one a cycle
  kMissedOne,      // "one": one run now for all that were missed
  kMissedNone,     // "none": no run now; the next one is the first slot after the present
  kMissedRefused,  // a word that is none of those
};

// The policy of an i_missed text, in any letter case and without the
// blanks around it; NULL or empty is what the schedule did before there
// was a choice: each for an interval entry, one for a calendar entry.
MissedPolicy MissedPolicyOf(const char* text, bool calendar);

// The most matches of a calendar that are counted one by one; past it a
// count says "more than".
enum : int { kMostCountedMatches = 100000 };

// The slots of the entry from first (a slot: the stored i_next) on that
// come before end, and the first that does not.
struct SlotsPassed {
  long long count;  // slots before end
  bool more;        // a calendar's count stopped at kMostCountedMatches
  time_t first;     // the first and last of them; -1 when count is 0
  time_t last;
  time_t second;  // the slot after first, -1 when it is not before end
  time_t next;    // the first slot at or after end; -1 when there is none
};

// Fills *passed. false when the entry has no slots to count: an interval
// that is not positive, or a calendar that is refused.
bool SlotsBefore(const Entry& entry, time_t first, time_t end, SlotsPassed* passed);

// The scheduled run after a pending retry's run (of time run_time), which
// the retry was planned to come before: the interval from the run's time,
// or the calendar's next match after the retry's time (the stored i_next,
// the same as after the present it was planned in, as no match came
// between). -1 when it cannot be told.
time_t NextRunAfterRetriedRun(const Entry& entry, time_t run_time);

// The reason of a results row for count runs from first to last: "skipped
// 23 runs, 2026-12-08 10:00:00 to 2026-12-09 08:00:00" (and "more than"
// where the count stopped), with what added after it.
std::string SkippedReason(long long count, bool more, time_t first, time_t last,
                          const char* what = "");

#endif  // JANTOR_ENGINE_RULES_MISSED_H_
