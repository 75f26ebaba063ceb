#include "engine/db/grouped_writes.h"

#include <sqlext.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>

#include "base/ll_string.h"
#include "engine/db/odbc_calls.h"
#include "engine/db/sql_dialect.h"

namespace {

enum class Value { kTime, kInteger, kText };

// The columns a grouped write may set, in the order its text names them,
// each with the change that writes it (0: every write), the GroupedRow
// field its values come from and that field's indicator. The text, the
// binding and the copy all walk this one table.
struct Column {
  unsigned change;
  const char* name;
  Value value;
  size_t offset;
  SQLLEN size;
  int indicator;
  bool appends;  // the value is a letter the database appends (append_recent)
};

enum : int { kIdIndicator = 0, kClaimIndicator = 10 };

constexpr Column kColumns[] = {
    {0, "i_next", Value::kTime, offsetof(GroupedRow, next), 20, 1, false},
    {kRetryChanged, "i_attempt", Value::kInteger, offsetof(GroupedRow, attempt), 0, 2, false},
    {kRetryChanged, "i_run", Value::kTime, offsetof(GroupedRow, run), 20, 3, false},
    {kFailuresChanged, "i_failures", Value::kInteger, offsetof(GroupedRow, failures), 0, 4, false},
    {kOutcomeChanged, "i_outcome", Value::kText, offsetof(GroupedRow, outcome), 16, 5, false},
    {kLatestChanged, "i_recent", Value::kText, offsetof(GroupedRow, recent), 2, 6, true},
    {kLatestChanged, "i_status", Value::kInteger, offsetof(GroupedRow, status), 0, 7, false},
    {kLatestChanged, "i_duration_ms", Value::kInteger, offsetof(GroupedRow, duration_ms), 0, 8, false},
    {kLatestChanged, "i_last", Value::kTime, offsetof(GroupedRow, last), 20, 9, false},
};

bool Sets(const Column& column, unsigned changes) {
  return column.change == 0 || (changes & column.change) != 0;
}

SQLRETURN BindValue(SQLHSTMT stmt, SQLUSMALLINT number, const Column& column, GroupedRow* row) {
  char* field = reinterpret_cast<char*>(row) + column.offset;
  SQLLEN* indicator = &row->indicators[column.indicator];
  switch (column.value) {
    case Value::kTime:
      return BindTimestampText(stmt, number, field, column.size, indicator);
    case Value::kInteger:
      return BindInteger(stmt, number, reinterpret_cast<SQLINTEGER*>(field), indicator);
    case Value::kText:
      return BindText(stmt, number, field, column.size, indicator);
  }
  return SQL_ERROR;
}

}  // namespace

void OpenGroupedWrites(const char* table, const SqlDialect& dialect, GroupedWrites* groups) {
  CopyText(groups->table, table);
  groups->key = dialect.key_parameter;
  groups->append_recent = dialect.append_recent;
}

void SortByChanges(HitWrite** writes, size_t count) {
  std::stable_sort(writes, writes + count, [](const HitWrite* a, const HitWrite* b) {
    return a->state.changes < b->state.changes;
  });
}

size_t ChunkLength(HitWrite* const* writes, size_t count) {
  size_t most = std::min(count, GroupedWrites::kRowsMost), n = 1;
  while (n < most && writes[n]->state.changes == writes[0]->state.changes) ++n;
  return std::min(n, count);
}

bool ChunkFits(HitWrite* const* writes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (!writes[i]->key_whole) return false;
    for (size_t j = 0; j < i; ++j)
      if (writes[j]->id == writes[i]->id) return false;
  }
  return true;
}

std::string GroupedWriteText(const GroupedWrites& groups, unsigned changes, bool claimed,
                             size_t count) {
  std::string text = std::string("update ") + groups.table + " set ";
  std::string key = groups.key;
  bool first = true;
  for (const Column& column : kColumns) {
    if (!Sets(column, changes)) continue;
    // The else branch gives the case the column's type, so that the driver
    // and the database type each value as they do in the one-row write.
    std::string value = column.appends ? groups.append_recent : "?";
    text += std::string(first ? "" : ", ") + column.name + " = case id";
    for (size_t i = 0; i < count; ++i) text += " when " + key + " then " + value;
    text += std::string(" else ") + column.name + " end";
    first = false;
  }
  text += " where ";
  for (size_t i = 0; i < count; ++i) {
    if (claimed)
      text += (i == 0 ? "(id = " : " or (id = ") + key + " and i_next = ?)";
    else
      text += (i == 0 ? "id in (" : ", ") + key;
  }
  return claimed ? text : text + ")";
}

bool BindGroupedWrite(GroupedWrites* groups, SQLHSTMT stmt, unsigned changes, bool claimed,
                      size_t count, SQLUSMALLINT* number) {
  GroupedRow* rows = groups->rows;
  for (const Column& column : kColumns) {
    if (!Sets(column, changes)) continue;
    for (size_t i = 0; i < count; ++i) {
      if (!SQLOK(BindKey(stmt, (*number)++, &rows[i].id, &rows[i].indicators[kIdIndicator])) ||
          !SQLOK(BindValue(stmt, (*number)++, column, &rows[i])))
        return false;
    }
  }
  for (size_t i = 0; i < count; ++i) {
    if (!SQLOK(BindKey(stmt, (*number)++, &rows[i].id, &rows[i].indicators[kIdIndicator])))
      return false;
    if (claimed && !SQLOK(BindTimestampText(stmt, (*number)++, rows[i].claim,
                                            sizeof rows[i].claim,
                                            &rows[i].indicators[kClaimIndicator])))
      return false;
  }
  return true;
}

void SetGroupedRows(GroupedWrites* groups, HitWrite* const* writes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const HitWrite& write = *writes[i];
    const RunStateWrite& state = write.state;
    GroupedRow& row = groups->rows[i];
    row.id = write.id;
    CopyText(row.next, write.next);
    CopyText(row.claim, write.claim);
    row.attempt = state.attempt;
    CopyText(row.run, state.run);
    row.failures = state.failures;
    CopyText(row.outcome, state.outcome);
    CopyText(row.recent, state.recent);
    row.status = state.status;
    row.duration_ms = state.duration_ms;
    CopyText(row.last, state.last);
    // No pending retry, and no status, are NULL, as in the one-row write.
    SQLLEN* ind = row.indicators;
    ind[kIdIndicator] = ind[4] = ind[8] = 0;
    ind[1] = ind[3] = ind[5] = ind[6] = ind[9] = ind[kClaimIndicator] = SQL_NTS;
    ind[2] = row.attempt != 0 ? 0 : SQL_NULL_DATA;
    if (row.run[0] == '\0') ind[3] = SQL_NULL_DATA;
    ind[7] = row.status != 0 ? 0 : SQL_NULL_DATA;
  }
}

bool WriteGroupedChunk(GroupedWrites* groups, SQLHDBC update_conn, HitWrite* const* writes,
                       size_t count, bool claimed, SQLLEN* changed) {
  if (count == 0 || count > GroupedWrites::kRowsMost) return false;
  unsigned changes = writes[0]->state.changes % kRunStateChangeSets;
  SQLHSTMT& stmt = groups->stmts[claimed][changes][count];
  if (stmt == SQL_NULL_HSTMT) {
    std::string text = GroupedWriteText(*groups, changes, claimed, count);
    SQLUSMALLINT number = 1;
    bool ready = SQLOK(SQLAllocHandle(SQL_HANDLE_STMT, update_conn, &stmt)) &&
                 SQLOK(SQLPrepare(stmt, Sql(text.data()), SQL_NTS)) &&
                 BindGroupedWrite(groups, stmt, changes, claimed, count, &number);
    if (!ready) {
      if (stmt != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, stmt);
      stmt = SQL_NULL_HSTMT;
      return false;
    }
  }
  SetGroupedRows(groups, writes, count);
  SQLFreeStmt(stmt, SQL_CLOSE);
  if (!SQLOK(SQLExecute(stmt))) return false;
  if (!SQLOK(SQLRowCount(stmt, changed))) *changed = -1;
  return true;
}
