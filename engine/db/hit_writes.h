// The writes of ended hits: each entry's reschedule (with -s, only while
// the row holds its claim) and, with -l, its result row in the same
// transaction, written alone or as a group sharing one commit, through the
// update connection. Main thread only.
#ifndef JANTOR_ENGINE_DB_HIT_WRITES_H_
#define JANTOR_ENGINE_DB_HIT_WRITES_H_

#include <cstddef>

#include "engine/db/schedule.h"
#include "engine/rules/entry.h"

// Writes the hits' reschedules (and result rows) through the update
// connection; with -s a reschedule whose claim has gone (expired and taken
// by another daemon) changes nothing and is counted, not failed. Returns
// true when all were written; otherwise failed gets the text of the first
// statement that failed, and every write that could be made has been made.
bool WriteHits(Schedule* db, HitWrite* const* writes, size_t count, char* failed,
               size_t failed_size);

// With -l, the rows of the runs that written hits passed over (a write's
// skipped row, where it has one), in a transaction of their own after the
// hits' writes: a kill between them loses the count of runs passed over,
// never an entry's schedule. false, with the statement in failed, when
// the insert fails.
bool WriteSkippedRows(Schedule* db, HitWrite* const* writes, size_t count, char* failed,
                      size_t failed_size);

#endif  // JANTOR_ENGINE_DB_HIT_WRITES_H_
