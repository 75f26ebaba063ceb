#include "engine/watch/status_rows.h"

#include <sqlext.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "engine/db/odbc_calls.h"
#include "engine/db/sql_dialect.h"

namespace {

// The columns a page reads, in this order; the optional ones read as NULL
// where the table lacks them. Never i_user, i_pass, i_headers or i_body.
enum Column : SQLUSMALLINT {
  kId = 1,
  kHost,
  kPort,
  kObject,
  kInterval,
  kNext,
  kStart,
  kStop,
  kMethod,
  kCron,
  kZone,
  kRetries,
  kAttempt,
  kFailures,
  kOutcome,
  kRecent,
  kStatus,
  kDuration,
  kLast,
  kPausedUntil,
  kColumnCount = kPausedUntil,
};
constexpr const char* kOptional[] = {"i_method",  "i_cron",        "i_zone",   "i_retries",
                                     "i_attempt", "i_failures",    "i_outcome", "i_recent",
                                     "i_status",  "i_duration_ms", "i_last",   "i_paused_until"};
constexpr int kOptionalCount = sizeof kOptional / sizeof kOptional[0];

// Seconds the entries' count is kept before it is counted again.
constexpr time_t kTotalsKeptSecs = 60;

struct StatementFree {
  void operator()(void* stmt) const { SQLFreeHandle(SQL_HANDLE_STMT, stmt); }
};
using Statement = std::unique_ptr<void, StatementFree>;

// A bound parameter's value, kept where the driver can read it until the
// statement has run.
struct Parameter {
  enum Kind { kText, kTime, kKey, kCount } kind;
  std::string text;
  SQLBIGINT key = 0;
  SQLINTEGER count = 0;
  SQLLEN indicator = 0;
  static Parameter Text(Kind kind, std::string text) { return {kind, std::move(text), 0, 0, 0}; }
  static Parameter Key(long long key) { return {kKey, "", key, 0, 0}; }
  static Parameter Count(int count) { return {kCount, "", 0, count, 0}; }
};

}  // namespace

struct StatusSource {
  const RunSettings* settings;
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC conn = SQL_NULL_HDBC;
  bool connected = false;
  unsigned long connections = 0;  // connections made so far
  bool has[kOptionalCount] = {};
  // The dialect's expression of i_object before its '?'; "" where the DBMS
  // has none, and a search then sifts the paths itself (see ReadPart).
  std::string path_of_object;
  std::string select;  // "select <columns> from <table>"
  StatusTotals totals;
  time_t totals_at = 0;
};

namespace {

std::string DiagnosticOf(SQLSMALLINT type, SQLHANDLE handle) {
  SQLCHAR state[6] = "";
  SQLCHAR message[512] = "";
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  if (!SQLOK(SQLGetDiagRec(type, handle, 1, state, &native, message, sizeof message, &length)))
    return "no diagnostic";
  return "[" + std::string(reinterpret_cast<char*>(state)) + "] " +
         std::string(reinterpret_cast<char*>(message));
}

void Disconnect(StatusSource* source) {
  if (source->conn != SQL_NULL_HDBC) {
    if (source->connected) SQLDisconnect(source->conn);
    SQLFreeHandle(SQL_HANDLE_DBC, source->conn);
  }
  if (source->env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, source->env);
  source->conn = SQL_NULL_HDBC;
  source->env = SQL_NULL_HENV;
  source->connected = false;
}

bool NewStatement(StatusSource* source, Statement* stmt) {
  SQLHSTMT handle = SQL_NULL_HSTMT;
  if (!SQLOK(SQLAllocHandle(SQL_HANDLE_STMT, source->conn, &handle))) return false;
  stmt->reset(handle);
  // A page should not wait long for a busy database; a driver that cannot
  // limit a query just waits.
  SQLSetStmtAttr(handle, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(5), 0);
  return true;
}

// Connects when not connected, and finds the table's optional columns.
bool Connect(StatusSource* source, std::string* why) {
  if (source->connected) return true;
  const RunSettings* s = source->settings;
  auto text = [](const char* value) {
    return reinterpret_cast<SQLCHAR*>(const_cast<char*>(value));
  };
  if (!SQLOK(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &source->env)) ||
      !SQLOK(SQLSetEnvAttr(source->env, SQL_ATTR_ODBC_VERSION,
                           reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0)) ||
      !SQLOK(SQLAllocHandle(SQL_HANDLE_DBC, source->env, &source->conn))) {
    *why = "no ODBC handles";
    Disconnect(source);
    return false;
  }
  SQLSetConnectAttr(source->conn, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(5), 0);
  if (!SQLOK(SQLConnect(source->conn, text(s->dsn), SQL_NTS, text(s->user), SQL_NTS,
                        text(s->password), SQL_NTS))) {
    *why = DiagnosticOf(SQL_HANDLE_DBC, source->conn);
    Disconnect(source);
    return false;
  }
  source->connected = true;
  ++source->connections;
  Statement stmt;
  std::string probe = std::string("select * from ") + s->table + " where 1 = 0";
  if (!NewStatement(source, &stmt) ||
      !SQLOK(SQLExecDirect(stmt.get(), Sql(probe.data()), SQL_NTS))) {
    *why = stmt ? DiagnosticOf(SQL_HANDLE_STMT, stmt.get()) : "no statement";
    Disconnect(source);
    return false;
  }
  std::string columns = "id, i_host, i_port, i_object, i_interval, i_next, i_start, i_stop";
  for (int i = 0; i < kOptionalCount; ++i) {
    source->has[i] = ResultHasColumn(stmt.get(), kOptional[i]);
    // Every column named, so that a search can read them from a derived
    // table (MariaDB refuses one whose columns share a name).
    columns += ", " + std::string(source->has[i] ? kOptional[i] : "null as ") +
               (source->has[i] ? "" : kOptional[i]);
  }
  source->select = "select " + columns + " from " + s->table;
  const char* path = DialectOf(source->conn).path_of_object;
  source->path_of_object = path != nullptr ? path : "";
  return true;
}

bool Has(const StatusSource& source, Column column) { return source.has[column - kMethod]; }

// Column number of the current row as text; NULL as "".
std::string Text(SQLHSTMT stmt, SQLUSMALLINT number, bool* null = nullptr) {
  char value[1024];
  SQLLEN indicator = 0;
  if (!SQLOK(SQLGetData(stmt, number, SQL_C_CHAR, value, sizeof value, &indicator)) ||
      indicator == SQL_NULL_DATA) {
    if (null != nullptr) *null = true;
    return "";
  }
  if (null != nullptr) *null = false;
  return value;
}

long long Number(SQLHSTMT stmt, SQLUSMALLINT number, long long absent) {
  bool null = false;
  std::string text = Text(stmt, number, &null);
  return null || text.empty() ? absent : strtoll(text.c_str(), nullptr, 10);
}

StatusRow ReadRow(SQLHSTMT stmt) {
  StatusRow row;
  row.id = Number(stmt, kId, 0);
  row.host = Text(stmt, kHost);
  row.port = static_cast<int>(Number(stmt, kPort, 0));
  row.path = Text(stmt, kObject);
  row.path = row.path.substr(0, row.path.find('?'));
  row.interval = Number(stmt, kInterval, 0);
  row.next = Text(stmt, kNext).substr(0, 19);
  row.start_text = Text(stmt, kStart);
  row.start = strtod(row.start_text.c_str(), nullptr);
  row.stop_text = Text(stmt, kStop);
  row.stop = row.stop_text.empty() ? 1 : strtod(row.stop_text.c_str(), nullptr);
  row.method = Text(stmt, kMethod);
  row.cron = Text(stmt, kCron);
  row.zone = Text(stmt, kZone);
  row.retries = static_cast<int>(std::clamp<long long>(Number(stmt, kRetries, 0), 0, 20));
  row.attempt = static_cast<int>(std::clamp<long long>(Number(stmt, kAttempt, 0), 0, 21));
  row.failures = static_cast<int>(std::clamp<long long>(Number(stmt, kFailures, 0), 0, 1 << 30));
  row.outcome = Text(stmt, kOutcome);
  row.recent = Text(stmt, kRecent);
  row.status = static_cast<int>(Number(stmt, kStatus, 0));
  row.duration_ms = static_cast<int>(Number(stmt, kDuration, -1));
  row.last = Text(stmt, kLast).substr(0, 19);
  row.paused_until = Text(stmt, kPausedUntil).substr(0, 19);
  return row;
}

bool Bind(SQLHSTMT stmt, std::vector<Parameter>* parameters) {
  SQLUSMALLINT number = 1;
  for (Parameter& p : *parameters) {
    SQLRETURN rc;
    switch (p.kind) {
      case Parameter::kTime:
        rc = BindTimestampText(stmt, number, p.text.data(), static_cast<SQLLEN>(p.text.size() + 1),
                               &p.indicator);
        break;
      case Parameter::kText:
        rc = BindText(stmt, number, p.text.data(), static_cast<SQLLEN>(p.text.size() + 1),
                      &p.indicator);
        break;
      case Parameter::kKey:
        rc = BindKey(stmt, number, &p.key, &p.indicator);
        break;
      default:
        rc = BindInteger(stmt, number, &p.count, &p.indicator);
        break;
    }
    if (!SQLOK(rc)) return false;
    ++number;
  }
  return true;
}

// Whether the text is in the row's host or path, byte for byte.
bool Holds(const StatusRow& row, const std::string& text) {
  return row.host.find(text) != std::string::npos || row.path.find(text) != std::string::npos;
}

// Runs text with its parameters and appends up to most of its rows to *rows;
// with sift, only rows that hold it (see Holds).
bool Run(StatusSource* source, const std::string& text, std::vector<Parameter> parameters,
         size_t most, std::vector<StatusRow>* rows, std::string* why,
         const std::string* sift = nullptr) {
  Statement stmt;
  std::string statement = text;
  if (!NewStatement(source, &stmt) ||
      !SQLOK(SQLPrepare(stmt.get(), Sql(statement.data()), SQL_NTS)) ||
      !Bind(stmt.get(), &parameters) || !SQLOK(SQLExecute(stmt.get()))) {
    *why = stmt ? DiagnosticOf(SQL_HANDLE_STMT, stmt.get()) : "no statement";
    return false;
  }
  for (size_t kept = 0; kept < most && SQLOK(SQLFetch(stmt.get()));) {
    StatusRow row = ReadRow(stmt.get());
    if (sift != nullptr && !Holds(row, *sift)) continue;
    rows->push_back(std::move(row));
    ++kept;
  }
  return true;
}

// A LIKE pattern that finds text anywhere, with '!' as the escape, which
// every DBMS takes alike (a backslash is an escape of MariaDB's strings).
std::string Pattern(const std::string& text) {
  std::string pattern = "%";
  for (char c : text) {
    if (c == '%' || c == '_' || c == '!') pattern += '!';
    pattern += c;
  }
  return pattern + "%";
}

// One part of the page's order, read from key on (or from its start) in
// either direction: the failing entries (failures down, key down) or the
// others (next run up, key up). *text gets "where ... order by ...", and
// *parameters its values.
void PartText(const StatusSource& source, bool failing_part, bool backward, const StatusKey* from,
              std::string* text, std::vector<Parameter>* parameters) {
  if (failing_part) {
    *text = " where i_failures > 0";
  } else {
    *text =
        Has(source, kFailures) ? " where (i_failures is null or i_failures <= 0)" : " where 1 = 1";
    *text += " and i_next is not null";
  }
  // Failing entries run down their order going forward, the others up.
  // Past the key: a range of the ordering column, where an index scan can
  // start (an "or" of the column and the key is none, and would read every
  // row before the key), and within it the row value, which sorts ties by
  // key.
  bool descending = failing_part != backward;
  const std::string beyond = descending ? "<" : ">";
  const char* column = failing_part ? "i_failures" : "i_next";
  if (from != nullptr) {
    *text += std::string(" and ") + column + " " + beyond + "= ? and (" + column + ", id) " +
             beyond + " (?, ?)";
    for (int i = 0; i < 2; ++i)
      parameters->push_back(failing_part ? Parameter::Count(from->failures)
                                         : Parameter::Text(Parameter::kTime, from->next));
    parameters->push_back(Parameter::Key(from->id));
  }
  const char* order = descending ? " desc" : "";
  *text += std::string(" order by ") + column + order + ", id" + order;
}

std::string Limit(size_t most) {
  char limit[32];
  snprintf(limit, sizeof limit, " limit %zu", most);
  return limit;
}

// What reading a part came to.
struct PartRead {
  size_t looked = 0;    // entries of the part a search looked through
  bool window = false;  // a search's window ended before the part did
  StatusKey last;       // then the last entry it looked through
};

bool Count(StatusSource* source, const std::string& text, std::vector<Parameter> parameters,
           long long* count, std::string* why);

// Reads up to most entries of a part into *rows. A search looks through at
// most window entries of the part, in its order and by index, and keeps
// those whose host or path holds the text: a text found nowhere would
// otherwise read the whole table, seconds of it at a million entries.
bool ReadPart(StatusSource* source, const StatusQuery& query, bool failing_part, bool backward,
              const StatusKey* from, size_t most, size_t window, std::vector<StatusRow>* rows,
              PartRead* read, std::string* why) {
  *read = PartRead();
  if (failing_part && !Has(*source, kFailures)) return true;
  std::string part;
  std::vector<Parameter> parameters;
  PartText(*source, failing_part, backward, from, &part, &parameters);
  const std::string table = source->settings->table;
  if (query.search.empty())
    return Run(source, source->select + part + Limit(most), parameters, most, rows, why);

  std::string scan = source->select + part + Limit(window);
  std::string order = part.substr(part.find(" order by "));
  std::vector<Parameter> found = parameters;
  for (int i = 0; i < 2; ++i)
    found.push_back(Parameter::Text(Parameter::kText, Pattern(query.search)));
  // Where the DBMS cannot cut the object at its '?', the whole object only
  // narrows the window down, and the rows read are sifted by their paths
  // here: a query string must never decide whether an entry is found, or
  // a series of searches would spell out a token it holds. Without the
  // database's LIKE the text must then match byte for byte.
  bool sifted = source->path_of_object.empty();
  if (!Run(source,
           "select * from (" + scan + ") scan where (i_host like ? escape '!' or " +
               (sifted ? std::string("i_object") : source->path_of_object) + " like ? escape '!')" +
               order + (sifted ? "" : Limit(most)),
           found, most, rows, why, sifted ? &query.search : nullptr))
    return false;
  // Whether the window is full, by its last entry: where the next search of
  // this part goes on from. Only a part that ends inside the window is
  // counted.
  std::vector<StatusRow> last;
  char offset[32];
  snprintf(offset, sizeof offset, " offset %zu", window - 1);
  if (!Run(source, source->select + part + " limit 1" + offset, parameters, 1, &last, why))
    return false;
  if (!last.empty()) {
    read->looked = window;
    read->window = true;
    read->last = {failing_part, last[0].failures, last[0].next, last[0].id};
    return true;
  }
  long long looked = 0;
  if (!Count(source,
             "select count(*) from (select id from " + table + part + Limit(window) + ") scan",
             parameters, &looked, why))
    return false;
  read->looked = static_cast<size_t>(looked);
  return true;
}

StatusKey KeyOfRow(const StatusRow& row) {
  return {row.failures > 0, row.failures, row.next, row.id};
}

bool ReadPage(StatusSource* source, const StatusQuery& query, StatusPage* page, std::string* why) {
  const size_t want = kRowsAPage + 1;  // one more tells whether a page follows
  std::vector<StatusRow>& rows = page->rows;
  rows.clear();
  page->pauses = Has(*source, kPausedUntil);
  page->looked = query.search.empty() ? -1 : 0;
  page->window_ended = false;
  const StatusKey& key = query.key;
  size_t window = kSearchWindow;
  PartRead read;
  // Notes what a part's read came to; true when the page is to end there
  // (a search's window ended inside the part).
  auto ended = [&](const PartRead& r) {
    page->looked += static_cast<long long>(r.looked);
    window -= std::min(window, r.looked);
    if (!r.window) return false;
    page->window_ended = true;
    return true;
  };
  if (query.direction != StatusQuery::kBefore) {
    bool after = query.direction == StatusQuery::kAfter;
    bool stop = false;
    if (!after || key.failing) {
      if (!ReadPart(source, query, true, false, after ? &key : nullptr, want, window, &rows, &read,
                    why))
        return false;
      stop = ended(read);
    }
    if (!stop && rows.size() < want && !query.failing_only && window > 0) {
      if (!ReadPart(source, query, false, false, after && !key.failing ? &key : nullptr,
                    want - rows.size(), window, &rows, &read, why))
        return false;
      ended(read);
    }
    page->more_before = after;
    if (!rows.empty()) page->before_key = KeyOfRow(rows.front());
    if (rows.size() > kRowsAPage) {
      rows.resize(kRowsAPage);
      page->more_after = true;
      page->after_key = KeyOfRow(rows.back());
    } else if (page->window_ended) {
      page->more_after = true;  // searched as far as the window, no further
      page->after_key = read.last;
    }
    return true;
  }
  bool stop = false;
  if (!key.failing && !query.failing_only) {
    if (!ReadPart(source, query, false, true, &key, want, window, &rows, &read, why)) return false;
    stop = ended(read);
  }
  if (!stop && rows.size() < want && window > 0) {
    if (!ReadPart(source, query, true, true, key.failing ? &key : nullptr, want - rows.size(),
                  window, &rows, &read, why))
      return false;
    ended(read);
  }
  if (rows.size() > kRowsAPage) {
    rows.resize(kRowsAPage);
    page->more_before = true;
  } else if (page->window_ended) {
    page->more_before = true;
  }
  std::reverse(rows.begin(), rows.end());
  page->before_key = rows.empty() || (rows.size() < kRowsAPage && page->window_ended)
                         ? read.last
                         : KeyOfRow(rows.front());
  page->more_after = true;
  page->after_key = rows.empty() ? key : KeyOfRow(rows.back());
  if (rows.empty() && !page->window_ended) {  // nothing before the key: the first page, then
    StatusQuery first = query;
    first.direction = StatusQuery::kFirst;
    return ReadPage(source, first, page, why);
  }
  return true;
}

bool Count(StatusSource* source, const std::string& text, std::vector<Parameter> parameters,
           long long* count, std::string* why) {
  Statement stmt;
  std::string statement = text;
  SQLBIGINT value = 0;
  SQLLEN indicator = 0;
  if (!NewStatement(source, &stmt) ||
      !SQLOK(SQLPrepare(stmt.get(), Sql(statement.data()), SQL_NTS)) ||
      !Bind(stmt.get(), &parameters) || !SQLOK(SQLExecute(stmt.get())) ||
      !SQLOK(SQLFetch(stmt.get())) ||
      !SQLOK(SQLGetData(stmt.get(), 1, SQL_C_SBIGINT, &value, 0, &indicator))) {
    *why = stmt ? DiagnosticOf(SQL_HANDLE_STMT, stmt.get()) : "no statement";
    return false;
  }
  *count = indicator == SQL_NULL_DATA ? 0 : value;
  return true;
}

// Runs read, connected; a failure drops the connection, so that the next
// read makes it again (the database may have restarted).
template <typename Read>
bool Connected(StatusSource* source, std::string* why, Read read) {
  if (!Connect(source, why)) return false;
  if (read()) return true;
  Disconnect(source);
  return false;
}

}  // namespace

std::string StatusKeyText(const StatusKey& key) {
  char text[64];
  if (key.failing) {
    snprintf(text, sizeof text, "f.%d.%lld", key.failures, key.id);
  } else {
    std::string digits;
    for (char c : key.next)
      if (c >= '0' && c <= '9') digits += c;
    snprintf(text, sizeof text, "n.%s.%lld", digits.c_str(), key.id);
  }
  return text;
}

bool ReadStatusKey(const std::string& text, StatusKey* key) {
  auto digits = [](const std::string& s, size_t most) {
    return !s.empty() && s.size() <= most && s.find_first_not_of("0123456789") == std::string::npos;
  };
  size_t first = text.find('.'), second = text.find('.', first + 1);
  if (first != 1 || second == std::string::npos) return false;
  std::string middle = text.substr(2, second - 2), id = text.substr(second + 1);
  if (!digits(id, 18)) return false;
  key->id = strtoll(id.c_str(), nullptr, 10);
  if (text[0] == 'f' && digits(middle, 9)) {
    key->failing = true;
    key->failures = atoi(middle.c_str());
    return true;
  }
  if (text[0] != 'n' || middle.size() != 14 || !digits(middle, 14)) return false;
  key->failing = false;
  key->next = middle.substr(0, 4) + "-" + middle.substr(4, 2) + "-" + middle.substr(6, 2) + " " +
              middle.substr(8, 2) + ":" + middle.substr(10, 2) + ":" + middle.substr(12, 2);
  return true;
}

StatusSource* NewStatusSource(const RunSettings* settings) {
  auto* source = new StatusSource;
  source->settings = settings;
  return source;
}

void FreeStatusSource(StatusSource* source) {
  if (source == nullptr) return;
  Disconnect(source);
  delete source;
}

bool ReadStatusPage(StatusSource* source, const StatusQuery& query, StatusPage* page,
                    std::string* why) {
  return Connected(source, why, [&] { return ReadPage(source, query, page, why); });
}

bool ReadStatusEntry(StatusSource* source, long long id, StatusRow* row, bool* found,
                     std::string* why) {
  return Connected(source, why, [&] {
    std::vector<StatusRow> rows;
    if (!Run(source, source->select + " where id = ?", {Parameter::Key(id)}, 1, &rows, why))
      return false;
    *found = !rows.empty();
    if (*found) *row = rows[0];
    return true;
  });
}

bool ReadThroughStatusSource(
    StatusSource* source, std::string* why,
    const std::function<bool(SQLHDBC connection, unsigned long number)>& read) {
  return Connected(source, why, [&] { return read(source->conn, source->connections); });
}

bool ReadStatusTotals(StatusSource* source, time_t now, StatusTotals* totals, std::string* why) {
  return Connected(source, why, [&] {
    const char* table = source->settings->table;
    if (source->totals_at == 0 || now - source->totals_at >= kTotalsKeptSecs ||
        now < source->totals_at) {
      if (!Count(source, std::string("select count(*) from ") + table, {}, &source->totals.entries,
                 why))
        return false;
      source->totals_at = now;
    }
    if (Has(*source, kFailures) &&
        !Count(source, std::string("select count(*) from ") + table + " where i_failures > 0", {},
               &source->totals.failing, why))
      return false;
    *totals = source->totals;
    return true;
  });
}
