#include "engine/hit_writes.h"

#include <sqlext.h>

#include <algorithm>
#include <cstdio>

#include "engine/metrics.h"
#include "engine/odbc_calls.h"
#include "engine/run_state.h"

namespace {

// The entry's reschedule, with what it changes of the entry's kept state;
// with -s, only while the row holds the claim. Returns the failed
// statement's text, or null.
const char* Reschedule(Schedule* db, HitWrite* write) {
  if (write->state.changes != 0) {
    bool kept = true;
    const char* claim = db->claims.enabled ? write->claim : nullptr;
    if (!WriteRunState(&db->state, db->update_conn, *write, claim, &kept)) return db->state.text;
    if (!kept) NoteClaimsLost(1);
    return nullptr;
  }
  if (!db->claims.enabled) return Execute(db->update_stmt, write->update) ? nullptr : write->update;
  bool kept = true;
  if (!RescheduleClaimed(&db->claims, write->id, write->next, write->claim, &kept))
    return db->claims.reschedule_text;
  if (!kept) NoteClaimsLost(1);
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
  if (!db->results.enabled) {
    if (const char* failing = Reschedule(db, write)) NoteFailed(failing, failed, failed_size);
    return;
  }
  size_t done = 0;
  if (!db->claims.enabled && write->state.changes == 0 &&
      CanWriteInOneStatement(db->results, &write, 1) &&
      WriteMovesAndRows(&db->results, db->update_conn, &write, 1, &done))
    return;
  Transaction transaction(db->update_conn, db->results.manual_commit);
  if (!transaction.begun()) {
    NoteFailed(write->update, failed, failed_size);
    return;
  }
  const char* failing = Reschedule(db, write);
  if (failing == nullptr && !InsertResults(&db->results, db->update_conn, &write, 1))
    failing = db->results.insert_text;
  if (failing == nullptr && !transaction.Commit()) failing = write->update;
  if (failing != nullptr) NoteFailed(failing, failed, failed_size);
}

// The reschedules of a group of claimed entries, Claims::kBatchMost to a
// statement: a statement per hit was a third of a sharing daemon's
// processor time. A batch whose statement fails is handed to failed_batch
// (its writes and their count), which says whether to go on; *lost counts
// the entries whose claims had gone. false when a batch failed and
// failed_batch said to stop.
template <typename FailedBatch>
bool RescheduleClaimedBatches(Schedule* db, HitWrite* const* writes, size_t count, size_t* lost,
                              FailedBatch failed_batch) {
  for (size_t at = 0; at < count; at += Claims::kBatchMost) {
    size_t batch = std::min(count - at, Claims::kBatchMost), gone = 0;
    if (RescheduleClaimedBatch(&db->claims, db->update_conn, writes + at, batch, &gone)) {
      *lost += gone;
    } else if (!failed_batch(writes + at, batch)) {
      return false;
    }
  }
  return true;
}

}  // namespace

// Most of a write's cost is its commit (on SQLite a dozen system calls), and
// the main thread writing one commit per hit would hold up the workers; so
// the writes of hits that ended while the previous ones were written share
// one commit. That loses nothing more to a kill than before: there are only
// as many jobs as workers, so hits in flight and writes not yet committed
// are never more than -c together. Should any statement of the group fail,
// the group is rolled back and written again one by one, so that every
// write that can be made is made and the first failing one is named.
// Sharing the table, the reschedules go in batches; without result rows
// each batch is a statement of its own under automatic commit, since each
// row's reschedule stands alone. The group's result rows go in one insert
// (ResultsTable::kRowsMost to a statement), since an insert a row was most
// of what -l cost a group; and with -l so do its reschedules. Where the
// dialect writes in one statement (PostgreSQL), the whole group is one. A
// write that changes an entry's kept state (engine/run_state.h) has a
// statement of its own, in the group's transaction.
bool WriteHits(Schedule* db, HitWrite* const* writes, size_t count, char* failed,
               size_t failed_size) {
  failed[0] = '\0';
  bool keys_ok = std::all_of(writes, writes + count, [](HitWrite* w) { return w->key_ok; });
  bool claimed = db->claims.enabled;
  bool results = db->results.enabled;
  // A write that changes an entry's kept state has a statement of its own.
  bool state = AnyRunStateChange(writes, count);
  if (count > 1 && keys_ok && claimed && !results && !state) {
    // Each batch stands alone under automatic commit: one that fails is
    // written again a row at a time, and the others hold.
    size_t lost = 0;
    RescheduleClaimedBatches(db, writes, count, &lost, [&](HitWrite* const* batch, size_t n) {
      NoteDatabaseError();
      for (size_t i = 0; i < n; ++i) WriteOne(db, batch[i], failed, failed_size);
      return true;
    });
    NoteClaimsLost(lost);
    return failed[0] == '\0';
  }
  if (count > 1 && results && !claimed && !state &&
      CanWriteInOneStatement(db->results, writes, count)) {
    size_t done = 0;
    if (WriteMovesAndRows(&db->results, db->update_conn, writes, count, &done)) return true;
    NoteDatabaseError();
    for (size_t i = done; i < count; ++i) WriteOne(db, writes[i], failed, failed_size);
    return failed[0] == '\0';
  }
  if (count > 1 && keys_ok) {
    // The group's transaction ends (rolled back unless committed) before
    // its writes are tried again one by one.
    Transaction transaction(db->update_conn, results && db->results.manual_commit);
    size_t lost = 0;
    bool written =
        transaction.begun() &&
        (claimed && !state
             ? RescheduleClaimedBatches(db, writes, count, &lost,
                                        [](HitWrite* const*, size_t) { return false; })
         : results && !state && CanMoveGroup(db->results, writes, count)
             ? MoveGroup(&db->results, db->update_conn, writes, count)
             : std::all_of(writes, writes + count,
                           [db](HitWrite* w) { return Reschedule(db, w) == nullptr; })) &&
        (!results || InsertResults(&db->results, db->update_conn, writes, count)) &&
        transaction.Commit();
    if (written) {
      NoteClaimsLost(lost);  // only once the commit holds
      return true;
    }
    if (transaction.begun()) NoteDatabaseError();
  }
  for (size_t i = 0; i < count; ++i) WriteOne(db, writes[i], failed, failed_size);
  return failed[0] == '\0';
}
