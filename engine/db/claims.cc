#include "engine/db/claims.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/ll_cpapi.h"
#include "engine/db/grouped_writes.h"
#include "engine/db/odbc_calls.h"
#include "engine/db/sql_dialect.h"
#include "engine/rules/entry.h"

namespace {

// Session-local on both databases, so each daemon's connection has its own.
constexpr char kClaimedIds[] = "jantor_cycle_claims";

bool Prepare(SQLHDBC connection, SQLHSTMT* stmt, char* text) {
  return SQLOK(SQLAllocHandle(SQL_HANDLE_STMT, connection, stmt)) &&
         SQLOK(SQLPrepare(*stmt, Sql(text), SQL_NTS));
}

// Whether the row of id still holds claim_text, for a reschedule whose row
// count cannot tell (see Claims::counts_changed_rows).
bool StillClaimed(Claims* claims, SQLBIGINT id, const char* claim_text) {
  claims->id = id;
  snprintf(claims->claim, sizeof claims->claim, "%s", claim_text);
  SQLFreeStmt(claims->holds, SQL_CLOSE);
  SQLBIGINT rows = 0;
  SQLLEN indicator = 0;
  bool held = SQLOK(SQLExecute(claims->holds)) && SQLOK(SQLFetch(claims->holds)) &&
              SQLOK(SQLGetData(claims->holds, 1, SQL_C_SBIGINT, &rows, 0, &indicator)) && rows > 0;
  SQLFreeStmt(claims->holds, SQL_CLOSE);
  return held;
}

bool SameTime(const char* next, const char* claim_text) { return strcmp(next, claim_text) == 0; }

// Whether the failure on handle was the database ending the transaction to
// break a deadlock or a serialization conflict (SQLSTATE class 40): daemons
// racing for the same rows can meet that, and the claim is simply made
// again. Claims made in vain a few times running are a real failure.
constexpr int kClaimTries = 3;
bool TransactionConflict(SQLSMALLINT type, SQLHANDLE handle) {
  SQLCHAR state[6] = "";
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  if (!SQLOK(SQLGetDiagRec(type, handle, 1, state, &native, nullptr, 0, &length))) return false;
  return state[0] == '4' && state[1] == '0';
}

// The hand-back's statement, its parameters bound to claims' fields.
bool PrepareHandBack(SQLHDBC update_conn, Claims* claims) {
  SQLHSTMT& stmt = claims->hand_back;
  SQLLEN* ind = claims->indicators;
  SQLUSMALLINT number = 1;
  return Prepare(update_conn, &stmt, claims->hand_back_text) &&
         SQLOK(BindTimestampText(stmt, number++, claims->due, sizeof claims->due, &ind[8])) &&
         (!claims->notes_runs ||
          SQLOK(BindTimestampText(stmt, number++, claims->due, sizeof claims->due, &ind[9]))) &&
         SQLOK(BindKey(stmt, number++, &claims->id, &ind[10])) &&
         SQLOK(BindTimestampText(stmt, number++, claims->claim, sizeof claims->claim, &ind[11]));
}

}  // namespace

bool OpenClaims(SQLHDBC select_conn, SQLHDBC update_conn, const SqlDialect& dialect,
                const char* table, int hold_secs, bool notes_runs, Claims* claims) {
  char name[64] = "", version[64] = "";
  SQLSMALLINT length = 0;
  SQLGetInfo(select_conn, SQL_DBMS_NAME, name, sizeof name, &length);
  SQLGetInfo(select_conn, SQL_DBMS_VER, version, sizeof version, &length);
  if (!SkipsLockedRows(dialect, version)) {
    PrintFormat(
        "Sharing the table needs PostgreSQL or MariaDB 10.6 or later, which skip locked "
        "rows; this data source is %s %s.\r\n",
        name[0] != '\0' ? name : "an unknown DBMS", version);
    return false;
  }
  claims->hold_secs = hold_secs;
  claims->notes_runs = notes_runs;
  snprintf(claims->table, sizeof claims->table, "%s", table);
  // MariaDB assigns from left to right, each assignment seeing the ones
  // before it: i_run is set from i_next before i_next becomes the claim.
  snprintf(claims->mark_text, sizeof claims->mark_text, "update %s set %si_next = ? where id = ?",
           table, notes_runs ? "i_run = coalesce(i_run, i_next), " : "");
  snprintf(claims->hand_back_text, sizeof claims->hand_back_text,
           "update %s set i_next = ?%s where id = ? and i_next = ?", table,
           notes_runs ? ", i_run = nullif(i_run, ?)" : "");
  snprintf(claims->reschedule_text, sizeof claims->reschedule_text,
           "update %s set i_next = ? where id = ? and i_next = ?", table);
  claims->in_one_statement = dialect.update_returning;
  claims->counts_changed_rows = dialect.counts_changed_rows;
  snprintf(claims->holds_text, sizeof claims->holds_text,
           "select count(*) from %s where id = ? and i_next = ?", table);
  snprintf(claims->note_text, sizeof claims->note_text, "insert into %s (id) values (?)",
           kClaimedIds);
  bool created = MakeCycleIdsTable(select_conn, dialect, kClaimedIds, table, claims->forget_text,
                                   sizeof claims->forget_text);
  SQLLEN* ind = claims->indicators;
  bool ready =
      created && (claims->in_one_statement || SetAutocommit(select_conn, false)) &&
      (claims->in_one_statement || (Prepare(select_conn, &claims->note, claims->note_text) &&
                                    SQLOK(BindKey(claims->note, 1, &claims->mark_id, &ind[5])))) &&
      Prepare(select_conn, &claims->mark, claims->mark_text) &&
      SQLOK(BindTimestampText(claims->mark, 1, claims->mark_time, sizeof claims->mark_time,
                              &ind[0])) &&
      SQLOK(BindKey(claims->mark, 2, &claims->mark_id, &ind[1])) &&
      Prepare(update_conn, &claims->reschedule, claims->reschedule_text) &&
      SQLOK(BindTimestampText(claims->reschedule, 1, claims->next, sizeof claims->next, &ind[2])) &&
      SQLOK(BindKey(claims->reschedule, 2, &claims->id, &ind[3])) &&
      SQLOK(
          BindTimestampText(claims->reschedule, 3, claims->claim, sizeof claims->claim, &ind[4])) &&
      Prepare(update_conn, &claims->holds, claims->holds_text) &&
      SQLOK(BindKey(claims->holds, 1, &claims->id, &ind[6])) &&
      SQLOK(BindTimestampText(claims->holds, 2, claims->claim, sizeof claims->claim, &ind[7])) &&
      PrepareHandBack(update_conn, claims);
  if (!ready) {
    PrintFormat("Could not prepare the claims on table %s.\r\n", table);
    return false;
  }
  claims->enabled = true;
  return true;
}

int ClaimEntries(Claims* claims, SQLHDBC select_conn, SQLHSTMT select_stmt, const char* quoted_now,
                 const char* fraction, time_t claim_until, int most, Entry* entries,
                 char* claim_text, char* failed, size_t failed_size) {
  LocalTimeText(claim_until, claim_text, 20);
  char select[2048];
  if (claims->new_cycle) {
    // On MariaDB the emptying joins the first claim's transaction.
    if (!Execute(select_stmt, claims->forget_text)) {
      if (!claims->in_one_statement) SQLEndTran(SQL_HANDLE_DBC, select_conn, SQL_ROLLBACK);
      snprintf(failed, failed_size, "%s", claims->forget_text);
      return -1;
    }
    claims->new_cycle = false;
  }
  if (claims->in_one_statement) {
    // The batch in one statement, committed on its own: the rows it locks
    // are claimed and let go in the same round trip, and the driver has no
    // transaction of several statements to guard.
    snprintf(
        select, sizeof select,
        "with claimed as (select id, i_next from %s as due where i_next < %s AND %s >= i_start "
        "and %s <= i_stop%s and not exists (select 1 from %s as seen where seen.id = due.id) "
        "order by i_next limit %d for update skip locked), "
        "noted as (insert into %s select id from claimed) "
        "update %s as entry set %si_next = '%s' from claimed where entry.id = claimed.id "
        "returning %s",
        claims->table, quoted_now, fraction, fraction, claims->due_condition, kClaimedIds, most,
        kClaimedIds,
        claims->table, claims->notes_runs ? "i_run = coalesce(entry.i_run, claimed.i_next), " : "",
        claim_text, claims->columns);
    bool executed = false;
    for (int attempt = 1; !executed && attempt <= kClaimTries; ++attempt) {
      executed = Execute(select_stmt, select);
      if (!executed && !TransactionConflict(SQL_HANDLE_STMT, select_stmt)) break;
    }
    if (!executed) {
      snprintf(failed, failed_size, "%s", select);
      return -1;
    }
    int claimed = 0;
    while (claimed < most && SQLOK(SQLFetch(select_stmt)))
      FetchEntry(select_stmt, &entries[claimed++]);
    SQLFreeStmt(select_stmt, SQL_CLOSE);
    return claimed;
  }
  // An outer join, not "not exists": MariaDB answers the subquery by
  // copying the whole temporary table for every claim, which at a few
  // hundred thousand claimed ids took milliseconds a row; the join looks
  // each due row up in the table's index.
  snprintf(select, sizeof select,
           "select %s from %s as due left join %s as seen on "
           "seen.id = due.id where due.i_next < %s AND %s >= due.i_start and %s <= due.i_stop%s "
           "and seen.id is null order by due.i_next limit %d for update skip locked",
           claims->columns_due, claims->table, kClaimedIds, quoted_now, fraction, fraction,
           claims->due_condition, most);
  snprintf(claims->mark_time, sizeof claims->mark_time, "%s", claim_text);
  const char* failing = nullptr;
  int claimed = 0;
  for (int attempt = 1; attempt <= kClaimTries; ++attempt) {
    failing = nullptr;
    claimed = 0;
    SQLSMALLINT failed_type = SQL_HANDLE_STMT;
    SQLHANDLE failed_handle = select_stmt;
    if (!Execute(select_stmt, select)) {
      failing = select;
    } else {
      while (claimed < most && SQLOK(SQLFetch(select_stmt)))
        FetchEntry(select_stmt, &entries[claimed++]);
      SQLFreeStmt(select_stmt, SQL_CLOSE);
      for (int i = 0; i < claimed && failing == nullptr; ++i) {
        claims->mark_id = entries[i].key;
        SQLFreeStmt(claims->mark, SQL_CLOSE);
        if (!SQLOK(SQLExecute(claims->mark))) {
          failing = claims->mark_text;
          failed_handle = claims->mark;
          break;
        }
        // The entry as the mark left its row, as PostgreSQL's claim returns it.
        if (claims->notes_runs && entries[i].run[0] == '\0')
          snprintf(entries[i].run, sizeof entries[i].run, "%s", entries[i].next);
        SQLFreeStmt(claims->note, SQL_CLOSE);
        if (!SQLOK(SQLExecute(claims->note))) {
          failing = claims->note_text;
          failed_handle = claims->note;
        }
      }
    }
    // Committed before any hit: no row lock is held while the network waits.
    if (failing == nullptr && !SQLOK(SQLEndTran(SQL_HANDLE_DBC, select_conn, SQL_COMMIT))) {
      failing = claims->mark_text;
      failed_type = SQL_HANDLE_DBC;
      failed_handle = select_conn;
    }
    if (failing == nullptr) break;
    bool conflict = TransactionConflict(failed_type, failed_handle);
    SQLEndTran(SQL_HANDLE_DBC, select_conn, SQL_ROLLBACK);
    if (!conflict) break;
  }
  if (failing != nullptr) {
    snprintf(failed, failed_size, "%s", failing);
    return -1;
  }
  return claimed;
}

bool ClaimCoversHit(const Claims& claims, time_t claim_until, time_t start, int longest) {
  // Another daemon takes the row over once its clock has passed the claim's
  // second, at claim_until + 1 at the earliest; counting from the present's
  // whole second to claim_until keeps up to a second of that for the write
  // after the hit.
  long long left = static_cast<long long>(claim_until) - static_cast<long long>(start);
  if (claims.hold_secs > longest) return left > longest;
  return 2 * left >= claims.hold_secs;
}

bool HandBackClaimed(Claims* claims, const Entry& entry, const char* claim_text) {
  claims->id = entry.key;
  snprintf(claims->due, sizeof claims->due, "%.19s", entry.next);
  snprintf(claims->claim, sizeof claims->claim, "%s", claim_text);
  SQLFreeStmt(claims->hand_back, SQL_CLOSE);
  return SQLOK(SQLExecute(claims->hand_back));
}

bool RescheduleClaimed(Claims* claims, SQLBIGINT id, const char* next, const char* claim_text,
                       bool* kept) {
  claims->id = id;
  snprintf(claims->next, sizeof claims->next, "%s", next);
  snprintf(claims->claim, sizeof claims->claim, "%s", claim_text);
  SQLFreeStmt(claims->reschedule, SQL_CLOSE);
  if (!SQLOK(SQLExecute(claims->reschedule))) return false;
  SQLLEN rows = 0;
  *kept = (SQLOK(SQLRowCount(claims->reschedule, &rows)) && rows > 0) ||
          (claims->counts_changed_rows && SameTime(next, claim_text) &&
           StillClaimed(claims, id, claim_text));
  return true;
}

bool RescheduleClaimedBatch(Claims* claims, GroupedWrites* groups, SQLHDBC update_conn,
                            HitWrite* const* writes, size_t count, size_t* lost) {
  SQLLEN rows = 0;
  if (!WriteGroupedChunk(groups, update_conn, writes, count, true, &rows)) return false;
  if (rows < 0) rows = static_cast<SQLLEN>(count);
  size_t kept = static_cast<size_t>(rows);
  // A row that changes nothing but its reschedule to the claim time itself
  // is not counted where the DBMS counts changed rows.
  bool unchanged = writes[0]->state.changes == 0;
  for (size_t i = 0; i < count && claims->counts_changed_rows && unchanged; ++i)
    if (SameTime(writes[i]->next, writes[i]->claim) &&
        StillClaimed(claims, writes[i]->id, writes[i]->claim))
      ++kept;
  *lost = count - std::min(count, kept);
  return true;
}
