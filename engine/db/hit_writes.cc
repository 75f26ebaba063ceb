#include "engine/db/hit_writes.h"

#include <sqlext.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "engine/db/grouped_writes.h"
#include "engine/db/odbc_calls.h"
#include "engine/db/run_state.h"
#include "engine/db/sql_dialect.h"
#include "engine/metrics.h"

namespace {

// The entry's reschedule, with what it changes of the entry's kept state;
// with -s, only while the row holds the claim (*lost counts it when the
// claim had gone). Returns the failed statement's text, or null.
const char* Reschedule(Schedule* db, HitWrite* write, size_t* lost) {
  bool kept = true;
  const char* claim = db->claims.enabled ? write->claim : nullptr;
  if (write->state.changes != 0) {
    if (!WriteRunState(&db->state, db->update_conn, *write, claim, &kept)) return db->state.text;
  } else if (claim == nullptr) {
    if (!Execute(db->update_stmt, write->update)) return write->update;
  } else if (!RescheduleClaimed(&db->claims, write->id, write->next, claim, &kept)) {
    return db->claims.reschedule_text;
  }
  if (!kept) ++*lost;
  return nullptr;
}

void NoteFailed(const char* statement, char* failed, size_t failed_size) {
  NoteDatabaseError();
  if (failed[0] == '\0') snprintf(failed, failed_size, "%s", statement);
}

// The writes of one hit alone: with a results table the reschedule and the
// row in one transaction, both or neither (on PostgreSQL in one statement;
// should that fail, as two, so that the error line names the one that
// fails); without, the reschedule alone under automatic commit.
void WriteOne(Schedule* db, HitWrite* write, char* failed, size_t failed_size) {
  if (!write->key_ok) {
    NoteFailed(write->update, failed, failed_size);
    return;
  }
  size_t lost = 0;
  if (!db->results.enabled) {
    if (const char* failing = Reschedule(db, write, &lost)) NoteFailed(failing, failed, failed_size);
    NoteClaimsLost(lost);
    return;
  }
  size_t done = 0;
  if (!db->claims.enabled && write->state.changes == 0 &&
      CanWriteInOneStatement(db->results, &write, 1) &&
      WriteMovesAndRows(&db->results, &db->groups, db->update_conn, &write, 1, &done))
    return;
  Transaction transaction(db->update_conn, db->results.manual_commit);
  if (!transaction.begun()) {
    NoteFailed(write->update, failed, failed_size);
    return;
  }
  const char* failing = Reschedule(db, write, &lost);
  if (failing == nullptr && !InsertResults(&db->results, db->update_conn, &write, 1))
    failing = db->results.insert_text;
  if (failing == nullptr && !transaction.Commit()) failing = write->update;
  if (failing != nullptr)
    NoteFailed(failing, failed, failed_size);
  else
    NoteClaimsLost(lost);
}

// Whether a chunk (ChunkLength) goes as one statement: its keys allow it,
// and where it changes kept state, the dialect groups such writes.
bool Groups(const Schedule* db, HitWrite* const* chunk, size_t n) {
  return ChunkFits(chunk, n) && (chunk[0]->state.changes == 0 || db->dialect->groups_kept_state);
}

// One chunk's reschedules in one statement; *lost counts the entries whose
// claims had gone. false when the statement fails.
bool WriteChunk(Schedule* db, HitWrite* const* chunk, size_t n, size_t* lost) {
  size_t gone = 0;
  SQLLEN changed = 0;
  bool written =
      db->claims.enabled
          ? RescheduleClaimedBatch(&db->claims, &db->groups, db->update_conn, chunk, n, &gone)
          : WriteGroupedChunk(&db->groups, db->update_conn, chunk, n, false, &changed);
  *lost += gone;
  return written;
}

// The reschedules of a group sorted by SortByChanges, in the caller's
// transaction: a chunk to a statement where Groups allows, else its rows
// one at a time. *lost counts the entries whose claims had gone. false
// when a statement fails.
bool RescheduleGroup(Schedule* db, HitWrite* const* writes, size_t count, size_t* lost) {
  for (size_t at = 0, n = 0; at < count; at += n) {
    n = ChunkLength(writes + at, count - at);
    HitWrite* const* chunk = writes + at;
    bool written = Groups(db, chunk, n)
                       ? WriteChunk(db, chunk, n, lost)
                       : std::all_of(chunk, chunk + n,
                                     [&](HitWrite* w) { return !Reschedule(db, w, lost); });
    if (!written) return false;
  }
  return true;
}

}  // namespace

// Most of a write's cost is its round trips and its commit (on SQLite a
// dozen system calls, on a server a flush of its log), and the main thread
// writing one commit per hit would hold up the workers; so the writes of
// hits that ended while the previous ones were written share one
// transaction: the reschedules a chunk of up to GroupedWrites::kRowsMost
// to a statement, with their kept state (engine/db/grouped_writes.h), and with
// -l the result rows ResultsTable::kRowsMost to an insert. Where the
// dialect writes in one statement (PostgreSQL), a group with result rows
// and without claims is that statement a chunk. That loses nothing more to
// a kill than before: there are only as many jobs as workers, so hits in
// flight and writes not yet committed are never more than -c together.
// Should any statement of the group fail, the group is rolled back and
// written again one by one, so that every write that can be made is made
// and the first failing one is named; the claims found gone are counted
// only once a commit holds.
bool WriteHits(Schedule* db, HitWrite* const* given, size_t count, char* failed,
               size_t failed_size) {
  failed[0] = '\0';
  if (count > 1 && std::all_of(given, given + count, [](HitWrite* w) { return w->key_ok; })) {
    std::vector<HitWrite*> sorted(given, given + count);
    SortByChanges(sorted.data(), count);
    HitWrite* const* writes = sorted.data();
    bool results = db->results.enabled;
    if (results && !db->claims.enabled && CanWriteInOneStatement(db->results, writes, count)) {
      size_t done = 0;
      if (WriteMovesAndRows(&db->results, &db->groups, db->update_conn, writes, count, &done))
        return true;
      NoteDatabaseError();
      for (size_t i = done; i < count; ++i) WriteOne(db, writes[i], failed, failed_size);
      return failed[0] == '\0';
    }
    size_t lost = 0;
    if (!results && ChunkLength(writes, count) == count && Groups(db, writes, count)) {
      // One statement under automatic commit is its own transaction, in one
      // round trip where an explicit one takes three.
      if (WriteChunk(db, writes, count, &lost)) {
        NoteClaimsLost(lost);
        return true;
      }
      NoteDatabaseError();
      for (size_t i = 0; i < count; ++i) WriteOne(db, given[i], failed, failed_size);
      return failed[0] == '\0';
    }
    // The group's transaction ends (rolled back unless committed) before
    // its writes are tried again one by one.
    Transaction transaction(db->update_conn, db->results.manual_commit);
    if (transaction.begun() && RescheduleGroup(db, writes, count, &lost) &&
        (!results || InsertResults(&db->results, db->update_conn, writes, count)) &&
        transaction.Commit()) {
      NoteClaimsLost(lost);
      return true;
    }
    if (transaction.begun()) NoteDatabaseError();
  }
  for (size_t i = 0; i < count; ++i) WriteOne(db, given[i], failed, failed_size);
  return failed[0] == '\0';
}

bool WriteSkippedRows(Schedule* db, HitWrite* const* writes, size_t count, char* failed,
                      size_t failed_size) {
  if (!db->results.enabled) return true;
  std::vector<ResultRow> rows;
  for (size_t i = 0; i < count; ++i)
    if (writes[i]->skipped.outcome[0] != '\0') rows.push_back(writes[i]->skipped);
  if (rows.empty()) return true;
  Transaction transaction(db->update_conn, db->results.manual_commit);
  if (transaction.begun() &&
      InsertResultRows(&db->results, db->update_conn, rows.data(), rows.size()) &&
      transaction.Commit())
    return true;
  NoteDatabaseError();
  snprintf(failed, failed_size, "insert into %s", db->results.name);
  return false;
}
