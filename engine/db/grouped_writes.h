// The reschedules of a group of ended hits in one statement: up to
// kRowsMost entries that change the same parts of their kept state,
//   update T set i_next = case id when K then ? ... else i_next end
//     [, each changed column of the kept state alike]
//   where id in (K, ...)
// or, for entries claimed by this daemon, "where (id = K and i_next = ?)
// or ...", so that each row moves only while it holds its own claim. K is
// the dialect's placeholder of a key. The plain group, the claims' batch
// and PostgreSQL's one statement with the result rows all build and bind
// their update here. A group is written in chunks: its writes sorted by
// what they change, each run of equal ones cut at kRowsMost. Every value
// reaches the database as a bound parameter. Main thread only.
#ifndef JANTOR_ENGINE_DB_GROUPED_WRITES_H_
#define JANTOR_ENGINE_DB_GROUPED_WRITES_H_

#include <sql.h>

#include <cstddef>
#include <string>

#include "engine/db/run_state.h"
#include "engine/rules/entry.h"

struct SqlDialect;

// What the next SQLExecute of a grouped write sends for one row.
struct GroupedRow {
  SQLBIGINT id;
  char next[20];
  char claim[20];
  SQLINTEGER attempt;
  char run[20];
  SQLINTEGER failures;
  char outcome[16];
  char recent[2];
  SQLINTEGER status;
  SQLINTEGER duration_ms;
  char last[20];
  SQLLEN indicators[11];
};

struct GroupedWrites {
  static constexpr size_t kRowsMost = 32;
  char table[64] = "";
  const char* key = "?";            // SqlDialect::key_parameter
  const char* append_recent = "?";  // SqlDialect::append_recent
  // Prepared on the update connection for each kind, change set and count
  // as it first comes up: [claimed][changes][count].
  SQLHSTMT stmts[2][kRunStateChangeSets][kRowsMost + 1] = {};
  GroupedRow rows[kRowsMost] = {};
};

// Names the table and takes the dialect's texts; prepares nothing yet.
void OpenGroupedWrites(const char* table, const SqlDialect& dialect, GroupedWrites* groups);

// Orders writes by what they change (stably), so that a group's chunks
// are runs of equal change sets.
void SortByChanges(HitWrite** writes, size_t count);

// The length of the chunk that starts at writes[0]: the writes that change
// what the first does, kRowsMost at most.
size_t ChunkLength(HitWrite* const* writes, size_t count);

// Whether one statement may write the chunk: every key whole (kKeyWhole)
// and none twice, since a case takes the first of two equal keys where
// two updates leave the last.
bool ChunkFits(HitWrite* const* writes, size_t count);

// The update of count rows that change changes, claimed or not.
std::string GroupedWriteText(const GroupedWrites& groups, unsigned changes, bool claimed,
                             size_t count);

// Binds the parameters of GroupedWriteText from *number on to rows, and
// moves *number past them.
bool BindGroupedWrite(GroupedWrites* groups, SQLHSTMT stmt, unsigned changes, bool claimed,
                      size_t count, SQLUSMALLINT* number);

// Copies the keys, next runs, claims and kept state of count writes into
// the bound rows.
void SetGroupedRows(GroupedWrites* groups, HitWrite* const* writes, size_t count);

// Writes one chunk (ChunkFits) through the update connection, in the
// caller's transaction or under automatic commit. false when the statement
// fails or cannot be prepared; otherwise *changed gets its row count
// (-1 when the driver cannot tell).
bool WriteGroupedChunk(GroupedWrites* groups, SQLHDBC update_conn, HitWrite* const* writes,
                       size_t count, bool claimed, SQLLEN* changed);

#endif  // JANTOR_ENGINE_DB_GROUPED_WRITES_H_
