// A table shared by several daemons (-s): each cycle claims its due entries
// in small batches, in one short transaction each (the due rows selected
// FOR UPDATE SKIP LOCKED, their i_next set to a claim time SECONDS ahead,
// committed before any hit), hits them, and writes each reschedule only if
// the row still holds this daemon's claim. Another daemon skips the rows a
// claim holds; a claim left by a dead daemon expires at its claim time,
// when the entry is due again and the living take it over. Only the claim
// time marks a claim: a row is claimed again only after its claim time has
// passed, so the next claim's time is always a later one.
// A cycle claims an entry at most once: an entry far behind is often still
// due after one interval, and claimed again at once it would be hit back to
// back until it caught up. The ids a cycle has claimed are kept in a
// temporary table of the selection connection's own, which the claims skip
// and each cycle empties; other daemons neither see nor wait for it.
// Where the table keeps runs (i_attempt, i_run), a claim also notes the
// run's own time in i_run (unless a pending retry has put it there), so
// that a daemon taking over an expired claim resumes that run, with its
// time and its Idempotency-Key, rather than one at the claim time; the
// run's reschedule, or the hand-back, clears it again.
// Every value from a row reaches a statement as a bound parameter. The
// handles belong to the main thread.
#ifndef JANTOR_ENGINE_DB_CLAIMS_H_
#define JANTOR_ENGINE_DB_CLAIMS_H_

#include <sql.h>
#include <sqlext.h>

#include <cstddef>
#include <ctime>

struct Entry;
struct GroupedWrites;
struct HitWrite;
struct SqlDialect;

struct Claims {
  bool enabled = false;
  // PostgreSQL claims a batch in one UPDATE ... RETURNING under automatic
  // commit; MariaDB, which has no RETURNING on an update, in a transaction
  // of a select, an update a row and a commit.
  bool in_one_statement = false;
  int hold_secs = 0;
  bool notes_runs = false;  // the table keeps runs: a claim notes the run's time in i_run
  char table[64] = "";
  // On the selection connection, which runs in manual commit for claims.
  SQLHSTMT mark = SQL_NULL_HSTMT;  // sets a claimed row's i_next to the claim time
  char mark_text[256] = "";
  char mark_time[20] = "";
  SQLBIGINT mark_id = 0;
  // Also on the selection connection: the temporary table of the ids this
  // cycle has claimed (MariaDB notes them a row at a time, PostgreSQL in
  // the claim's own statement), emptied when a new cycle claims first.
  SQLHSTMT note = SQL_NULL_HSTMT;
  char note_text[128] = "";
  char forget_text[128] = "";
  bool new_cycle = true;
  // On the update connection: the reschedule that holds only under the claim.
  SQLHSTMT reschedule = SQL_NULL_HSTMT;
  char reschedule_text[256] = "";
  char next[20] = "";
  SQLBIGINT id = 0;
  char claim[20] = "";
  // MariaDB counts the rows an update changed, not those it matched: a
  // reschedule to the claim time itself changes nothing and would count as
  // a lost claim. For those few, a select on the update connection asks
  // whether the row still holds the claim (id and claim as bound above).
  bool counts_changed_rows = false;
  // The columns a claim reads (see EntryColumnsText and
  // OptionalColumnsText), as the PostgreSQL claim names the table ("entry",
  // i_next as it was before the claim, "claimed") and as MariaDB's does
  // ("due").
  char columns[1024] = "";
  char columns_due[1024] = "";
  char due_condition[64] = "";  // what else a due row must be (see DueConditionText), as "due"
  SQLHSTMT holds = SQL_NULL_HSTMT;
  char holds_text[256] = "";
  // On the update connection: the hand-back of an entry claimed and not
  // hit, its i_next as it was (and i_run cleared where the claim set it),
  // while the row still holds the claim.
  SQLHSTMT hand_back = SQL_NULL_HSTMT;
  char hand_back_text[256] = "";
  char due[20] = "";
  SQLLEN indicators[12] = {};
};

// Checks that the DBMS behind the connections can skip locked rows
// (PostgreSQL, MariaDB 10.6 or later), puts the selection connection into
// manual commit and prepares the statements; notes_runs where the table
// keeps runs (i_retries, i_attempt and i_run). false, after a line saying
// why, when it cannot.
bool OpenClaims(SQLHDBC select_conn, SQLHDBC update_conn, const SqlDialect& dialect,
                const char* table, int hold_secs, bool notes_runs, Claims* claims);

// Lets the next claim start a new cycle: the entries the last cycle claimed
// may be claimed again.
inline void StartClaimCycle(Claims* claims) { claims->new_cycle = true; }

// Claims up to most entries due at the cycle's present time (its quoted
// timestamp and day fraction) through the selection statement, until
// claim_until, none that this cycle has claimed before. Fills entries[0..n) and returns n; or -1,
// after rolling the transaction back, with the failing statement's text in failed.
int ClaimEntries(Claims* claims, SQLHDBC select_conn, SQLHSTMT select_stmt, const char* quoted_now,
                 const char* fraction, time_t claim_until, int most, Entry* entries,
                 char* claim_text, char* failed, size_t failed_size);

// Whether a claim that holds until claim_until (a second of the claiming
// daemon's clock) still covers a hit that starts at start and may last
// longest seconds. A claim no longer than the longest hit cannot cover it
// at all; there the hit must start while half the claim is left.
bool ClaimCoversHit(const Claims& claims, time_t claim_until, time_t start, int longest);

// Hands back a claimed entry that is not to be hit (entry as the claim read
// it): its row gets back the i_next it had, and loses the run time the claim
// noted, if it still holds the claim claim_text. false when the statement
// fails; the claim then expires in its time.
bool HandBackClaimed(Claims* claims, const Entry& entry, const char* claim_text);

// Writes a claimed entry's next run time, if its row still holds the claim
// claim_text. false when the statement fails; *kept says whether the claim
// held (an update that found it gone changes nothing).
bool RescheduleClaimed(Claims* claims, SQLBIGINT id, const char* next, const char* claim_text,
                       bool* kept);

// The same, with their kept state, for a chunk of claimed entries in one
// statement on the update connection (see engine/db/grouped_writes.h): each
// row moves only while it holds its own claim. false when the statement
// fails; otherwise *lost says how many had lost their claims.
bool RescheduleClaimedBatch(Claims* claims, GroupedWrites* groups, SQLHDBC update_conn,
                            HitWrite* const* writes, size_t count, size_t* lost);

#endif  // JANTOR_ENGINE_DB_CLAIMS_H_
