// An entry's fixed offset from its schedule (i_splay, 0 to kMostSplaySecs
// seconds): derived from the entry's key, so it is the same on every daemon
// and after every restart, and spreads entries that share a schedule over
// the splay. A calendar entry runs its offset after each match. An interval
// entry keeps its spacing: its runs sit at the offset within windows of the
// largest divisor of its interval that is at most i_splay + 1 seconds, so
// each step of the interval keeps the same place in its window; the first
// run jantor computes moves forward into place, by less than a window.
// Pure functions: any thread may call them.
#ifndef JANTOR_ENGINE_RULES_SPLAY_H_
#define JANTOR_ENGINE_RULES_SPLAY_H_

#include <ctime>

enum : int { kMostSplaySecs = 3600 };

// Each takes the entry's key (its id as read) and its i_splay text.

// An i_splay text: a whole number of seconds from 0 to kMostSplaySecs;
// anything else (NULL, empty, out of range, not a whole number) is 0.
int SplaySecs(const char* splay);

// The offset of a calendar entry's runs after their matches, 0 to
// SplaySecs(splay).
int CalendarOffset(const char* key, const char* splay);

// next, an interval entry's next run, moved forward into its place (see
// above); next itself without a splay or a positive interval.
time_t PlaceIntervalRun(const char* key, const char* splay, long long interval, time_t next);

#endif  // JANTOR_ENGINE_RULES_SPLAY_H_
