#include "support/odbc_db.h"

#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "support/process.h"
#include "support/test_paths.h"

namespace testsupport {

namespace {

std::string ConfigDir() {
  static const std::string dir = [] {
    std::string d = std::string(JANTOR_TEST_WORK) + "/odbc-" + std::to_string(getpid());
    Shell("rm -rf '" + d + "' && mkdir -p '" + d + "'");
    setenv("ODBCSYSINI", d.c_str(), 1);
    setenv("ODBCINI", (d + "/odbc.ini").c_str(), 1);
    return d;
  }();
  return dir;
}

void AddDsn(const std::string& args) {
  std::string cmd =
      std::string(JANTOR_SOURCE_DIR) + "/scripts/odbc-dsn.sh '" + ConfigDir() + "' " + args;
  if (Shell(cmd) != 0) throw std::runtime_error("odbc-dsn.sh failed: " + cmd);
}

std::string Diagnostic(SQLHENV env, SQLHDBC dbc, SQLHSTMT stmt) {
  SQLCHAR state[16] = {0}, text[1024] = {0};
  SQLINTEGER native = 0;
  SQLSMALLINT len = 0;
  SQLError(env, dbc, stmt, state, &native, text, sizeof text, &len);
  return "[" + std::string(reinterpret_cast<char*>(state)) + "] " + reinterpret_cast<char*>(text);
}

// One connection for the length of one call; tests are not hot paths.
struct Connection {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  SQLHSTMT stmt = SQL_NULL_HSTMT;

  explicit Connection(const TestDb& db) {
    ConfigDir();
    SQLAllocEnv(&env);
    SQLAllocConnect(env, &dbc);
    auto* dsn = reinterpret_cast<SQLCHAR*>(const_cast<char*>(db.dsn.c_str()));
    auto* user = reinterpret_cast<SQLCHAR*>(const_cast<char*>(db.user.c_str()));
    auto* pass = reinterpret_cast<SQLCHAR*>(const_cast<char*>(db.password.c_str()));
    if (!SQL_SUCCEEDED(SQLConnect(dbc, dsn, SQL_NTS, user, SQL_NTS, pass, SQL_NTS)))
      throw std::runtime_error("connect to " + db.dsn +
                               " failed: " + Diagnostic(env, dbc, SQL_NULL_HSTMT));
    SQLAllocStmt(dbc, &stmt);
  }
  ~Connection() {
    SQLFreeStmt(stmt, SQL_DROP);
    SQLDisconnect(dbc);
    SQLFreeConnect(dbc);
    SQLFreeEnv(env);
  }
};

}  // namespace

std::vector<std::string> TestDb::Args() const {
  std::vector<std::string> args{"-d", dsn};
  if (!user.empty()) args.insert(args.end(), {"-u", user});
  if (!password.empty()) args.insert(args.end(), {"-p", password});
  return args;
}

std::vector<std::string> OdbcEnv() {
  std::string dir = ConfigDir();
  return {"ODBCSYSINI=" + dir, "ODBCINI=" + dir + "/odbc.ini"};
}

TestDb MakeSqliteDb(const std::string& name) {
  TestDb db;
  db.kind = "sqlite";
  db.dsn = name;
  db.path = ConfigDir() + "/" + name + ".db";
  unlink(db.path.c_str());
  AddDsn("'" + name + "' sqlite '" + db.path + "'");
  return db;
}

TestDb MakePostgresDb(const std::string& mixed_case_name) {
  // The server folds unquoted names to lower case; the data source must
  // name the database as the server stores it.
  std::string name = mixed_case_name;
  for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  std::string pgdir = std::string(JANTOR_TEST_WORK) + "/pg";
  std::string port = Trimmed(ReadFile(pgdir + "/port"));
  if (port.empty())
    throw std::runtime_error("the PostgreSQL test server is not running (" + pgdir + ")");
  TestDb admin{"postgres", "pg_admin", "jantor", Trimmed(ReadFile(pgdir + "/password")), ""};
  // Through the server's Unix socket: it is reachable from the tests'
  // private network namespaces, where 127.0.0.1 is another machine's.
  std::string socket_dir = Trimmed(ReadFile(pgdir + "/socketdir"));
  AddDsn("pg_admin postgres '" + socket_dir + "' " + port + " jantor");
  Exec(admin, "drop database if exists " + name);
  std::string error;
  if (!Exec(admin, "create database " + name, &error)) throw std::runtime_error(error);
  TestDb db = admin;
  db.dsn = name;
  AddDsn("'" + name + "' postgres '" + socket_dir + "' " + port + " " + name);
  return db;
}

TestDb MakeMariadbDb(const std::string& mixed_case_name) {
  // Database names are case sensitive on this server; lower case keeps them
  // in step with the PostgreSQL ones.
  std::string name = mixed_case_name;
  for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  std::string dir = std::string(JANTOR_TEST_WORK) + "/mariadb";
  std::string port = Trimmed(ReadFile(dir + "/port"));
  if (port.empty())
    throw std::runtime_error("the MariaDB test server is not running (" + dir + ")");
  TestDb admin{"mariadb", "mariadb_admin", "jantor", Trimmed(ReadFile(dir + "/password")), ""};
  // Through the server's Unix socket, as for PostgreSQL: the tests' own
  // network namespaces have a 127.0.0.1 of their own.
  std::string socket = "'" + Trimmed(ReadFile(dir + "/socket")) + "' ";
  AddDsn("mariadb_admin mariadb " + socket + port + " jantor");
  Exec(admin, "drop database if exists " + name);
  std::string error;
  if (!Exec(admin, "create database " + name, &error)) throw std::runtime_error(error);
  TestDb db = admin;
  db.dsn = name;
  AddDsn("'" + name + "' mariadb " + socket + port + " " + name);
  return db;
}

TestDb MakeDb(const std::string& kind, const std::string& name) {
  if (kind == "postgres") return MakePostgresDb(name);
  if (kind == "mariadb") return MakeMariadbDb(name);
  return MakeSqliteDb(name);
}

TestDb MakeDbForCurrentTest(const std::string& kind) {
  const auto* info = testing::UnitTest::GetInstance()->current_test_info();
  // Names of letters, digits and underscores, within the 32 characters
  // that ODBC allows a data source name, unique per test and parameter.
  std::string full = std::string(info->test_suite_name()) + "_" + info->name();
  std::string name;
  for (char c : full)
    name += isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(tolower(c)) : '_';
  if (name.size() > 28)
    name = name.substr(0, 20) + "_" + std::to_string(std::hash<std::string>{}(full) % 1000000);
  return MakeDb(kind, "t_" + name);
}

bool Exec(const TestDb& db, const std::string& sql, std::string* error) {
  Connection c(db);
  auto* text = reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str()));
  SQLRETURN rc = SQLExecDirect(c.stmt, text, SQL_NTS);
  if (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA) return true;
  if (error) *error = Diagnostic(c.env, c.dbc, c.stmt);
  return false;
}

std::vector<std::vector<std::string>> Query(const TestDb& db, const std::string& sql) {
  Connection c(db);
  auto* text = reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str()));
  if (!SQL_SUCCEEDED(SQLExecDirect(c.stmt, text, SQL_NTS)))
    throw std::runtime_error("query failed: " + sql + ": " + Diagnostic(c.env, c.dbc, c.stmt));
  SQLSMALLINT columns = 0;
  SQLNumResultCols(c.stmt, &columns);
  std::vector<std::vector<std::string>> rows;
  while (SQL_SUCCEEDED(SQLFetch(c.stmt))) {
    std::vector<std::string> row;
    for (SQLUSMALLINT i = 1; i <= columns; ++i) {
      char buf[4096];
      SQLLEN ind = 0;
      SQLGetData(c.stmt, i, SQL_C_CHAR, buf, sizeof buf, &ind);
      row.push_back(ind == SQL_NULL_DATA ? "<NULL>" : std::string(buf));
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

namespace {

// Which optional columns of a shipped table a test's table has.
enum class Columns {
  kPlain,    // none: the table as it was before any optional column (a
             // results table without attempt)
  kCalls,    // an entry's own web call (i_method, i_headers, i_body) and its
             // calendar schedule (i_cron, i_zone)
  kShipped,  // those, its retries and kept state (i_retries ... i_last),
             // what its reply must be and its splay (i_expect, i_splay), and
             // how its call is authorized (i_auth)
};

bool StartsWithAny(const std::string& line, size_t first,
                   std::initializer_list<const char*> words) {
  for (const char* word : words)
    if (line.compare(first, strlen(word), word) == 0) return true;
  return false;
}

// Runs the shipped schema file (schema/<kind><suffix>.sql), with its table
// name replaced by table, and with the optional columns that columns leaves
// out taken out (with the statements that use them).
void RunSchema(const TestDb& db, const std::string& suffix, const std::string& shipped_name,
               const std::string& table, Columns columns = Columns::kShipped) {
  std::string schema =
      ReadFile(std::string(JANTOR_SOURCE_DIR) + "/schema/" + db.kind + suffix + ".sql");
  if (schema.empty()) throw std::runtime_error("no schema for " + db.kind + suffix);
  for (size_t at = 0; (at = schema.find(shipped_name, at)) != std::string::npos; at += table.size())
    schema.replace(at, shipped_name.size(), table);
  // Comment lines go first: they may hold semicolons of their own.
  std::stringstream lines(schema);
  std::string line, code;
  while (std::getline(lines, line)) {
    size_t first = line.find_first_not_of(' ');
    if (first != std::string::npos && line.compare(first, 2, "--") == 0) continue;
    if (columns == Columns::kPlain && first != std::string::npos &&
        StartsWithAny(line, first, {"i_method ", "i_headers ", "i_body ", "i_cron ", "i_zone "}))
      continue;
    if (columns != Columns::kShipped && first != std::string::npos &&
        StartsWithAny(
            line, first,
            {"i_retries ", "i_retry_delay ", "i_attempt ", "i_run ", "i_failures ", "i_outcome ",
             "i_recent ", "i_status ", "i_duration_ms ", "i_last ", "i_expect ", "i_splay ",
             "i_missed ", "i_paused_until ", "i_auth ", "attempt "}))
      continue;
    // Without the pause column the due index is on i_next (and the key) alone.
    if (columns != Columns::kShipped) {
      size_t paused = line.find(", i_paused_until)");
      if (paused != std::string::npos) line.erase(paused, 16);
    }
    // The results' view names the attempt after the reason.
    if (columns != Columns::kShipped) {
      size_t attempt = line.find("reason, attempt");
      if (attempt != std::string::npos) line.erase(attempt + 6, 9);
    }
    code += line + "\n";
  }
  if (columns != Columns::kShipped) {
    size_t end = code.find(",\n)");
    if (end != std::string::npos) code.erase(end, 1);
  }
  std::stringstream statements(code);
  std::string sql, error;
  while (std::getline(statements, sql, ';')) {
    if (sql.find_first_not_of(" \n\t") == std::string::npos) continue;
    if (columns != Columns::kShipped && (sql.find("i_failures") != std::string::npos ||
                                         sql.find("i_paused_until") != std::string::npos))
      continue;
    if (!Exec(db, sql, &error)) throw std::runtime_error("schema statement failed: " + sql + error);
  }
}

}  // namespace

void CreateScheduleTable(const TestDb& db, const std::string& table) {
  RunSchema(db, "", "schedule_2", table, Columns::kPlain);
}

void CreateScheduleTableWithCalls(const TestDb& db, const std::string& table) {
  RunSchema(db, "", "schedule_2", table, Columns::kCalls);
}

void CreateShippedScheduleTable(const TestDb& db, const std::string& table) {
  RunSchema(db, "", "schedule_2", table, Columns::kShipped);
}

void CreateResultsTable(const TestDb& db, const std::string& table) {
  RunSchema(db, "-results", "hit_results", table, Columns::kPlain);
}

void CreateShippedResultsTable(const TestDb& db, const std::string& table) {
  RunSchema(db, "-results", "hit_results", table, Columns::kShipped);
}

std::string LocalTimestamp(long offset_seconds) {
  time_t t = time(nullptr) + offset_seconds;
  struct tm tm;
  localtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

time_t ParseLocalTimestamp(const std::string& text) {
  struct tm tm = {};
  tm.tm_isdst = -1;
  if (!strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &tm)) return -1;
  return mktime(&tm);
}

}  // namespace testsupport
