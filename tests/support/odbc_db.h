// Real databases for the tests, reached through unixODBC as jantor reaches
// them. Each test process writes its own ODBC configuration folder under
// the build tree and points ODBCSYSINI/ODBCINI at it, so neither the tests
// nor the program under test ever read the system's ODBC files.
#ifndef JANTOR_TESTS_SUPPORT_ODBC_DB_H_
#define JANTOR_TESTS_SUPPORT_ODBC_DB_H_

#include <ctime>
#include <string>
#include <vector>

namespace testsupport {

struct TestDb {
  std::string kind;      // "sqlite", "postgres" or "mariadb"
  std::string dsn;       // data source name to give jantor with -d
  std::string user;      // "" for SQLite
  std::string password;  // "" for SQLite
  std::string path;      // SQLite: the database file
  // The jantor arguments that reach this database: -d, and -u/-p when set.
  std::vector<std::string> Args() const;
};

// The environment entries (ODBCSYSINI, ODBCINI) that reach this process's
// data sources; pass them to a child process.
std::vector<std::string> OdbcEnv();

// A fresh, empty SQLite database file and a data source for it.
TestDb MakeSqliteDb(const std::string& name);
// A fresh, empty database on the test PostgreSQL server (the pg fixture)
// and a data source for it.
TestDb MakePostgresDb(const std::string& name);
// A fresh, empty database on the test MariaDB server (the mariadb fixture)
// and a data source for it.
TestDb MakeMariadbDb(const std::string& name);
// One of the above by kind.
TestDb MakeDb(const std::string& kind, const std::string& name);
// A fresh database of the given kind named after the running test.
TestDb MakeDbForCurrentTest(const std::string& kind);

// Executes one statement; on failure returns false and fills *error.
bool Exec(const TestDb& db, const std::string& sql, std::string* error = nullptr);
// Runs a query and returns its rows as text; NULL becomes "<NULL>".
std::vector<std::vector<std::string>> Query(const TestDb& db, const std::string& sql);

// Creates the schedule table `table` from the shipped schema for db.kind.
void CreateScheduleTable(const TestDb& db, const std::string& table = "schedule_2");
// The same with the optional columns (an entry's own web call and its
// calendar schedule), as shipped.
void CreateScheduleTableWithCalls(const TestDb& db, const std::string& table = "schedule_2");
// The same with every optional column as shipped: those and an entry's
// retries and the state jantor keeps of it, with their index and view.
void CreateShippedScheduleTable(const TestDb& db, const std::string& table = "schedule_2");
// Creates the results table `table` (with its indexes and its view of the
// latest rows) from the shipped schema for db.kind, without the column
// attempt, as it was before retries.
void CreateResultsTable(const TestDb& db, const std::string& table = "hit_results");
// The same with every column as shipped.
void CreateShippedResultsTable(const TestDb& db, const std::string& table = "hit_results");

// Local time formatted "%Y-%m-%d %H:%M:%S", offset by seconds from now.
std::string LocalTimestamp(long offset_seconds = 0);
// Seconds since the epoch of a local "%Y-%m-%d %H:%M:%S" text (anything
// after the seconds is ignored), or -1 when the text is not of that form.
time_t ParseLocalTimestamp(const std::string& text);

}  // namespace testsupport

#endif  // JANTOR_TESTS_SUPPORT_ODBC_DB_H_
