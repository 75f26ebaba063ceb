// The daemon's metrics, in the Prometheus text format (version 0.0.4) that
// the -m endpoint serves: hits by outcome word and by duration, cycles, the
// last cycle's length, due rows and end, hits in flight, database errors,
// retries, failed runs and failing entries, the build, and the usual
// process series. Every label has a small fixed
// set of values known at start, and every series is there from the first
// scrape, at 0.
// Threads: the Note calls are made on the hit path by any thread at once
// and cost a few relaxed atomic additions, no lock; RenderMetrics may run
// on another thread at the same time and reads each value once.
#ifndef JANTOR_ENGINE_METRICS_H_
#define JANTOR_ENGINE_METRICS_H_

#include <cstddef>
#include <ctime>
#include <string>

#include "engine/rules/hit_outcome.h"

// A hit is under way.
void NoteHitStarted();
// A hit has ended, with its outcome, after duration_us microseconds.
void NoteHitEnded(HitOutcome outcome, long long duration_us);
// A cycle has ended: due rows fetched, its length, its end.
void NoteCycleEnded(int due, double seconds, time_t end);
// A database statement has failed.
void NoteDatabaseError();
// count reschedules found their claims on a shared table gone (-s).
void NoteClaimsLost(size_t count);

// A failed attempt's retry has been planned.
void NoteRetry();

// -H caps the hits in flight to one host: the waits it made are shown.
void NoteHostCap();
// An entry waited in its cycle for a place among the hits to its host.
void NoteHostWait();

// The table says what each entry's reply must be (i_expect): the outcome
// "unexpected" is then shown even while none has come. Any thread.
void NoteExpectsReplies();
bool ExpectsReplies();
// The table may authorize calls with OAuth2 tokens (i_auth): the outcome
// "no-token" is then shown even while none has come. Any thread.
void NoteFetchesTokens();
bool FetchesTokens();
// A run (a scheduled hit and its retries) has ended failed.
void NoteRunFailed();
// count entries have failed at least -f runs in a row, as last counted.
void NoteEntriesFailing(long long count);

// The table has i_missed or i_paused_until: the runs skipped and the
// entries paused are shown, even while there are none.
void NoteSkipsCounted();
// count runs were passed over (by i_missed one or none, or a pause).
void NoteRunsSkipped(long long count);
// count entries are paused, as last counted.
void NoteEntriesPaused(long long count);

// What the status page shows of the daemon, read once each.
struct MetricsSnapshot {
  long long cycles;
  double last_cycle_seconds;
  long long last_cycle_end;  // seconds since the epoch; 0 before the first
  int due_entries;           // fetched by the last cycle
  long long entries_failing;
  // Hits that ended in the last hour (the current minute and the 59 before
  // it), by outcome.
  long long last_hour[kHitOutcomeCount];
};
void ReadMetricsSnapshot(MetricsSnapshot* out);

// The whole exposition, replacing *out.
void RenderMetrics(std::string* out);

#endif  // JANTOR_ENGINE_METRICS_H_
