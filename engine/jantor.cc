#include "engine/jantor.h"

#include <signal.h>
#include <sys/resource.h>
#include <sqlext.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <vector>

#include "base/ll_cpapi.h"
#include "engine/hit_pool.h"
#include "base/ll_datetime.h"
#include "http/ll_hosttext.h"
#include "http/ll_http.h"

#ifndef JANTOR_VERSION
#define JANTOR_VERSION "unknown"
#endif

namespace {

constexpr char kLongUsage[] =
    "Usage :  jantor -d (dsnname) -i (interval) -u (username) -p (password) -v  -t (tablename) "
    "-r (runtime seconds)\r\n";
constexpr char kShortUsage[] =
    "Usage :  jantor -d (dsnname) -i (interval) -u (username) -p (password) -v  -t (tablename)\r\n";

// Fixed texts are written as they are; variable text only ever goes
// through a "%s", so a value that contains "%" is printed, not obeyed.
// Both go through the library's output helpers, so that a hit made on a
// worker thread lands in that hit's own block.
void Say(const char* text) { PrintText(text); }

// Integer of a decimal text: leading blanks and a sign allowed, stops at the
// first non-digit, no digits give 0. Out-of-range values are clamped rather
// than left to overflow.
long ParseDecimal(const char* text) { return strtol(text, nullptr, 10); }

int ParseInt(const char* text) {
  long value = ParseDecimal(text);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// Copies a value into its field, cut to the field's capacity.
template <size_t N>
void StoreSetting(char (&field)[N], const char* value) {
  snprintf(field, N, "%s", value);
}

struct ValueOption {
  char letter;
  size_t offset;  // the field inside RunSettings
  size_t capacity;
  const char* echo;  // printf text with one %s for the stored value
};

constexpr ValueOption kValueOptions[] = {
    {'d', offsetof(RunSettings, dsn), sizeof(RunSettings::dsn), "Using %s DSN.\r\n"},
    {'i', offsetof(RunSettings, interval), sizeof(RunSettings::interval),
     "Using %ss interval.\r\n"},
    {'u', offsetof(RunSettings, user), sizeof(RunSettings::user), "Using %s username.\r\n"},
    {'p', offsetof(RunSettings, password), sizeof(RunSettings::password), "Using %s password.\r\n"},
    {'t', offsetof(RunSettings, table), sizeof(RunSettings::table), "Using %s table.\r\n"},
    {'r', offsetof(RunSettings, runtime), sizeof(RunSettings::runtime), "Using %s(s) runtime.\r\n"},
    {'c', offsetof(RunSettings, concurrency), sizeof(RunSettings::concurrency),
     "Using %s concurrent hits.\r\n"},
};

// The -c text as a count of hits, or 0 when it is not a whole number from 1
// to kMostConcurrentHits (digits only: no sign, no blanks).
int ConcurrentHits(const char* text) {
  size_t digits = strspn(text, "0123456789");
  if (digits == 0 || text[digits] != '\0') return 0;
  long value = ParseDecimal(text);
  return value >= 1 && value <= kMostConcurrentHits ? static_cast<int>(value) : 0;
}

// Every hit in flight holds a socket; a soft limit below what -c needs is
// raised as far as the hard limit allows.
void AllowDescriptorsFor(int concurrent_hits) {
  constexpr rlim_t kOtherDescriptors = 64;  // standard streams, database, resolver
  rlim_t wanted = static_cast<rlim_t>(concurrent_hits) + kOtherDescriptors;
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted) return;
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
  setrlimit(RLIMIT_NOFILE, &limit);
}

// ---- Database start-up ----------------------------------------------------

struct Schedule {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC select_conn = SQL_NULL_HDBC;  // reads the due entries
  SQLHDBC update_conn = SQL_NULL_HDBC;  // writes next run times between fetches
  SQLHSTMT select_stmt = SQL_NULL_HSTMT;
  SQLHSTMT update_stmt = SQL_NULL_HSTMT;
};

SQLCHAR* Sql(char* text) { return reinterpret_cast<SQLCHAR*>(text); }

// Prints the driver's first diagnostic for a failed connect as
// "[SQLSTATE] text"; an absent record prints as empty texts.
void ReportConnectError(SQLHENV env, SQLHDBC conn) {
  char state[32] = "";
  char message[1024] = "";
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  SQLError(env, conn, SQL_NULL_HSTMT, Sql(state), &native, Sql(message), 100, &length);
  PrintFormat("[%s] %s\r\n", state, message);
}

bool Connect(RunSettings* s, SQLHDBC conn) {
  return SQLOK(
      SQLConnect(conn, Sql(s->dsn), SQL_NTS, Sql(s->user), SQL_NTS, Sql(s->password), SQL_NTS));
}

// Closes the statement's open result set and runs text on it.
bool Execute(SQLHSTMT stmt, char* text) {
  SQLFreeStmt(stmt, SQL_CLOSE);
  return SQLOK(SQLExecDirect(stmt, Sql(text), SQL_NTS));
}

// Lets the statement's next executions produce at most rows rows (0: all).
// The table checks only ask whether their statements run, but the SQLite
// and MariaDB drivers build a statement's whole result set when it is
// executed: unlimited, a SQLite table of a million rows was read into
// memory (close to 400 MB) before the first cycle. PostgreSQL's driver
// answers the lifting of the limit with a warning while the check's rows
// are open, and lifts it for the next execution all the same.
bool LimitRows(SQLHSTMT stmt, SQLULEN rows) {
  return SQLOK(SQLSetStmtAttr(stmt, SQL_ATTR_MAX_ROWS, reinterpret_cast<SQLPOINTER>(rows), 0));
}

// Opens both connections and checks the table; 0 when ready, else the
// exit status after the failure's message.
int OpenSchedule(RunSettings* s, Schedule* db) {
  if (!SQLOK(SQLAllocEnv(&db->env))) {
    Say("Could not allocate ODBC environment.\r\n");
    return 1;
  }
  if (!SQLOK(SQLAllocConnect(db->env, &db->select_conn))) {
    Say("Could not allocate first (selection) ODBC connection.\r\n");
    return 1;
  }
  if (!SQLOK(SQLAllocConnect(db->env, &db->update_conn))) {
    Say("Could not allocate second (update) ODBC connection.\r\n");
    return 1;
  }
  if (!Connect(s, db->select_conn)) {
    Say("Could not connect first (selection) ODBC connection.\r\n");
    ReportConnectError(db->env, db->select_conn);
    return 1;
  }
  if (!Connect(s, db->update_conn)) {
    Say("Could not connect second (update) ODBC connection.\r\n");
    ReportConnectError(db->env, db->update_conn);
    return 1;
  }
  if (!SQLOK(SQLAllocStmt(db->select_conn, &db->select_stmt))) {
    Say("Could not allocate first (selection) ODBC statement.\r\n");
    return 1;
  }
  if (!SQLOK(SQLAllocStmt(db->update_conn, &db->update_stmt))) {
    Say("Could not allocate second (update) ODBC statement.\r\n");
    return 1;
  }
  // Without the limit the checks only cost more; with it left in place
  // every cycle would see one due entry, so it must come off again.
  bool limited = LimitRows(db->select_stmt, 1);
  char statement[1024];
  snprintf(statement, sizeof statement, "select * from %s", s->table);
  if (!Execute(db->select_stmt, statement)) {
    PrintFormat("Error - No such table as %s\r\n", s->table);
    return 1;
  }
  snprintf(statement, sizeof statement, "select i_stop from %s", s->table);
  if (!Execute(db->select_stmt, statement)) {
    PrintFormat("Error - table %s is not v2.x schedule format.\r\n", s->table);
    return 1;
  }
  if (limited && !LimitRows(db->select_stmt, 0)) {
    Say("Could not lift the row limit of the first (selection) ODBC statement.\r\n");
    return 1;
  }
  return 0;
}

// ---- Poll cycle -------------------------------------------------------------

// One due entry as fetched: every column as text, NULL as the empty text.
struct Entry {
  char id[31];
  char user[63];
  char password[63];
  char port[31];
  char object[127];
  char host[127];
  char timeout[31];
  char interval[31];
  char next[63];
};

void FetchEntry(SQLHSTMT stmt, Entry* entry) {
  struct Column {
    char* field;
    SQLLEN capacity;
  };
  const Column columns[] = {
      {entry->id, sizeof entry->id},
      {entry->user, sizeof entry->user},
      {entry->password, sizeof entry->password},
      {entry->port, sizeof entry->port},
      {entry->object, sizeof entry->object},
      {entry->host, sizeof entry->host},
      {entry->timeout, sizeof entry->timeout},
      {entry->interval, sizeof entry->interval},
      {entry->next, sizeof entry->next},
  };
  SQLUSMALLINT number = 1;
  for (const Column& c : columns) {
    // A failed read must not leave the previous entry's text behind.
    c.field[0] = '\0';
    SQLLEN indicator = 0;
    SQLGetData(stmt, number++, SQL_C_CHAR, c.field, c.capacity, &indicator);
    if (indicator == SQL_NULL_DATA) c.field[0] = '\0';
    c.field[c.capacity - 1] = '\0';
  }
}

// ---- Hitting an entry --------------------------------------------------------

// One HTTP GET for the entry. The entry is rescheduled whatever the outcome,
// so the result only decides what verbose output says.
void Hit(const Entry& entry, int verbose, char** reply) {
  if (verbose) {
    // A host text with a scheme shows that scheme, and the host without it.
    const char* scheme = "http";
    const char* host = entry.host;
    HostText target;
    const char* separator = strstr(entry.host, "://");
    if (separator != nullptr && ParseHostText(entry.host, &target, nullptr) == kHostTextParsed) {
      scheme = target.tls ? "https" : "http";
      host = separator + 3;
    }
    if (entry.user[0] != '\0')
      PrintFormat("Hitting - %s://%s:%s@%s:%s%s with %ss timeout.", scheme, entry.user,
                  entry.password, host, entry.port, entry.object, entry.timeout);
    else
      PrintFormat("Hitting - %s://%s:%s%s with %ss timeout.", scheme, host, entry.port,
                  entry.object, entry.timeout);
    if (entry.object[0] != '/')
      Say("\r\nWarning - Object missing / - hit not likely to succeed\r\n");
  }
  int port = ParseInt(entry.port);
  if (port == 0) port = 80;
  if (verbose)
    PrintFormat("\r\n-%s- -%s- -%s- -%s- *%i*\r\n", entry.host, entry.object, entry.user, entry.password,
           port);
  int hit = HttpRequest(0, entry.host, entry.object, "", nullptr, 0, reply, port, 1, entry.user,
                        entry.password, 1, 0);
  if (verbose) Say(hit ? "\r\n   (Successful)\r\n" : "\r\n   (Hit Failed)\r\n");
  if (*reply != nullptr) {
    if (verbose) PrintFormat("Server said - %s\r\n", *reply);
    firee(*reply);
    *reply = nullptr;
  }
}

// Largest moment written back: one the table's timestamp columns and the
// date scanners all accept, and that is never due.
constexpr char kLatestNextRun[] = "9999-12-31 23:59:59";

// The next run time: the stored i_next plus the interval. A stored time
// that cannot be read (or placed on the calendar) is rescheduled from the
// cycle's present time instead, so the entry is neither lost nor hit in
// every cycle for ever.
void NextRunText(const Entry& entry, time_t present, int verbose, char* out, size_t out_size) {
  struct tm record;
  memset(&record, 0, sizeof record);
  record.tm_isdst = -1;
  int date_ok = ScanODBCDate(0, entry.next, &record, 1);
  int time_ok = ScanODBCTime(0, entry.next, &record, 0);
  // The date scanner leaves the daylight-saving flag of the day's midnight
  // in the record. On the days the clocks change that flag is wrong for
  // the stored time, and mktime would move it by an hour in every cycle; the
  // stored text is a wall-clock time, so let mktime find its own flag.
  record.tm_isdst = -1;
  time_t stored = (date_ok && time_ok) ? mktime(&record) : static_cast<time_t>(-1);
  if (stored == static_cast<time_t>(-1)) {
    stored = present;
    if (verbose) PrintFormat("Unreadable next run time -%s- - rescheduled from now.\r\n", entry.next);
  }
  long long next = static_cast<long long>(stored) + ParseInt(entry.interval);
  struct tm broken;
  time_t next_time = static_cast<time_t>(next);
  if (localtime_r(&next_time, &broken) == nullptr || broken.tm_year > 9999 - 1900) {
    snprintf(out, out_size, "%s", kLatestNextRun);
    return;
  }
  strftime(out, out_size, "%Y-%m-%d %H:%M:%S", &broken);
}

// The id goes into the update unquoted, so only a number may: any other text
// (NULL, a number cut to the field, or "1 or 1=1" in a table whose id column
// holds text) would fail the statement at best, and at worst move the next
// run of entries that were never hit. Such an update counts as failed.
bool IsKeyNumber(const char* id, size_t capacity) {
  size_t length = strlen(id);
  if (length + 1 >= capacity) return false;  // may have been cut
  constexpr char kDigits[] = "0123456789";
  const char* at = id + (id[0] == '-' ? 1 : 0);
  size_t whole = strspn(at, kDigits);
  if (whole == 0) return false;
  at += whole;
  if (*at == '.') {  // a key kept in a floating-point column
    size_t fraction = strspn(at + 1, kDigits);
    if (fraction == 0) return false;
    at += 1 + fraction;
  }
  return *at == '\0';
}

// The update that writes the entry's next run time back (the date
// scanners print their lines on the way). false when the entry's key may
// not go into a statement: the update then counts as failed.
bool PrepareUpdate(RunSettings* s, const Entry& entry, time_t present, char* update,
                   size_t update_size) {
  char next[64];
  NextRunText(entry, present, s->verbose, next, sizeof next);
  snprintf(update, update_size, "update %s set i_next = '%s' where id = %s", s->table, next,
           entry.id);
  return IsKeyNumber(entry.id, sizeof entry.id);
}

// Writes the entry's next run time back through the update connection.
// false when the update fails; update then holds its text.
bool Reschedule(RunSettings* s, Schedule* db, const Entry& entry, time_t present, char* update,
                size_t update_size) {
  return PrepareUpdate(s, entry, present, update, update_size) &&
         Execute(db->update_stmt, update);
}

// ---- Hits in parallel ----------------------------------------------------------

// One entry on its way through a worker. The worker gathers the hit's words
// in output, which the main thread puts out as one block when the hit has
// ended.
struct HitJob {
  Entry entry;
  time_t present;  // the cycle's
  OutputCapture output;
  char update[1024];  // the reschedule, once the hit has ended
  bool key_ok;        // the update may be executed
};

// The hit, then its reschedule's text (the date scanners' words follow the
// hit's own), so that the main thread has only the statement left to run.
void HitOnWorker(void* job_pointer, void* settings) {
  auto* job = static_cast<HitJob*>(job_pointer);
  auto* s = static_cast<RunSettings*>(settings);
  CaptureOutput(&job->output);
  char* reply = nullptr;
  Hit(job->entry, s->verbose, &reply);
  job->key_ok = PrepareUpdate(s, job->entry, job->present, job->update, sizeof job->update);
  CaptureOutput(nullptr);
}

struct ParallelHits {
  HitPool* pool = nullptr;
  std::vector<HitJob> jobs;  // one for each worker, reused from cycle to cycle
  ParallelHits() = default;
  ParallelHits(const ParallelHits&) = delete;
  ParallelHits& operator=(const ParallelHits&) = delete;
  ~ParallelHits() { StopHitPool(pool); }
};

bool SetAutocommit(SQLHDBC connection, bool on) {
  SQLULEN mode = on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF;
  return SQLOK(SQLSetConnectAttr(connection, SQL_ATTR_AUTOCOMMIT,
                                 reinterpret_cast<SQLPOINTER>(mode), 0));
}

// Writes the updates of hits that ended together. Most of an update's cost
// is its commit (on SQLite a dozen system calls), and the main thread
// writing one commit per hit would hold up the workers; so the updates of
// hits that ended while the previous ones were written share one commit.
// That loses nothing more to a kill than before: there are only as many
// jobs as workers, so hits in flight and updates not yet committed are
// never more than -c together. Should any update of the group fail, the
// group is rolled back and written again one by one, so that every update
// that can be made is made and the first failing one is named in failed.
void WriteUpdates(Schedule* db, const std::vector<HitJob*>& group, char* failed,
                  size_t failed_size) {
  bool keys_ok = std::all_of(group.begin(), group.end(), [](HitJob* job) { return job->key_ok; });
  if (group.size() > 1 && keys_ok && SetAutocommit(db->update_conn, false)) {
    bool written = std::all_of(group.begin(), group.end(),
                               [db](HitJob* job) { return Execute(db->update_stmt, job->update); });
    written = written && SQLOK(SQLEndTran(SQL_HANDLE_DBC, db->update_conn, SQL_COMMIT));
    if (!written) SQLEndTran(SQL_HANDLE_DBC, db->update_conn, SQL_ROLLBACK);
    SetAutocommit(db->update_conn, true);
    if (written) return;
  }
  for (HitJob* job : group) {
    if ((!job->key_ok || !Execute(db->update_stmt, job->update)) && failed[0] == '\0')
      snprintf(failed, failed_size, "%s", job->update);
  }
}

// The blocks of ended hits that are not yet put out, in the order the hits
// ended. A hit whose words pass the capture's bound (a large reply) holds
// the streams until it ends, which may take minutes; the other hits go on
// meanwhile, and their blocks wait here, up to kUnwrittenLimit bytes, after
// which the main thread waits for the streams rather than gather more.
class UnwrittenBlocks {
 public:
  static constexpr size_t kUnwrittenLimit = 4 << 20;

  // Moves what capture has gathered to the end of the blocks.
  void Keep(OutputCapture* capture) {
    if (capture->bytes.empty()) return;
    OutputCapture& block = blocks_.emplace_back();
    block.bytes.swap(capture->bytes);
    block.error_spans.swap(capture->error_spans);
    bytes_ += block.bytes.size();
  }

  // Puts the blocks out, if the streams are free or wait is set (or the
  // blocks have reached their limit).
  void PutOut(OutputStreams streams, bool wait) {
    if (blocks_.empty()) return;
    order_.clear();
    for (OutputCapture& block : blocks_) order_.push_back(&block);
    if (wait || bytes_ > kUnwrittenLimit) {
      ReplayOutputs(order_.data(), order_.size(), streams);
    } else if (!TryReplayOutputs(order_.data(), order_.size(), streams)) {
      return;
    }
    blocks_.clear();
    bytes_ = 0;
  }

 private:
  std::deque<OutputCapture> blocks_;
  std::vector<OutputCapture*> order_;  // kept from group to group, so as not to allocate
  size_t bytes_ = 0;
};

// Hits the fetched rows on the workers, at most one per worker at a time.
// Rows are read from the select only as workers become free, and each entry
// is rescheduled as soon as its own hit has ended, so a process that is
// killed loses no more than the reschedules of the hits in flight. After a
// failed update nothing more is fetched; the hits in flight end and are
// rescheduled, and the failure is reported last. Returns 0, or 1 after a
// failed update.
int HitInParallel(Schedule* db, ParallelHits* hits, int fetched, time_t present,
                  OutputStreams streams) {
  std::vector<HitJob*> idle;
  for (HitJob& job : hits->jobs) idle.push_back(&job);
  // The main thread's own words (the driver's, the error line) wait their
  // turn like a worker's, so that no hit's block is ever split.
  OutputCapture own;
  CaptureOutput(&own);
  UnwrittenBlocks unwritten;
  bool more = SQLOK(fetched);
  size_t in_flight = 0;
  char failed_update[1024] = "";
  std::vector<void*> ended;
  std::vector<HitJob*> group;
  for (;;) {
    while (more && failed_update[0] == '\0' && !idle.empty()) {
      HitJob* job = idle.back();
      idle.pop_back();
      FetchEntry(db->select_stmt, &job->entry);
      job->present = present;
      SubmitHit(hits->pool, job);
      ++in_flight;
      more = SQLOK(SQLFetch(db->select_stmt));
    }
    // Once the workers have their next hits.
    unwritten.PutOut(streams, /*wait=*/false);
    if (in_flight == 0) break;
    ended.clear();
    AwaitFinishedHits(hits->pool, &ended);
    in_flight -= ended.size();
    group.clear();
    for (void* ended_job : ended) {
      auto* job = static_cast<HitJob*>(ended_job);
      unwritten.Keep(&job->output);
      group.push_back(job);
    }
    WriteUpdates(db, group, failed_update, sizeof failed_update);
    unwritten.Keep(&own);  // the words of these updates and of the next fetches
    idle.insert(idle.end(), group.begin(), group.end());
  }
  if (failed_update[0] != '\0') PrintFormat("Error Executing - %s\r\n", failed_update);
  unwritten.Keep(&own);
  CaptureOutput(nullptr);
  unwritten.PutOut(streams, /*wait=*/true);
  return failed_update[0] != '\0' ? 1 : 0;
}

// Starts the workers of -c; false when none could be made.
bool StartParallelHits(RunSettings* s, ParallelHits* hits) {
  int started = 0;
  hits->pool = StartHitPool(s->concurrent_hits, HitOnWorker, s, &started);
  if (started < s->concurrent_hits)
    PrintFormat("Could only start %d of %d hit threads.\r\n", started, s->concurrent_hits);
  hits->jobs = std::vector<HitJob>(static_cast<size_t>(started));
  return started > 0;
}

// Runs cycles until the run time has passed (0) or a statement fails (1).
int RunCycles(RunSettings* s, Schedule* db) {
  long runtime = ParseDecimal(s->runtime);
  time_t end_time = runtime > 0 ? time(nullptr) + runtime : 0;
  ParallelHits hits;
  bool parallel = s->concurrent_hits > 1 && StartParallelHits(s, &hits);

  for (;;) {
    // Read afresh each cycle: a standard stream may be reopened meanwhile.
    OutputStreams streams = SenseOutputStreams();
    SetOutputStreams(streams);
    char* reply = nullptr;
    time_t present = time(nullptr);
    struct tm local;
    localtime_r(&present, &local);
    char quoted_now[64];
    strftime(quoted_now, 31, "'%Y-%m-%d %H:%M:%S'", &local);
    char fraction[64];
    double day_fraction = (local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec) / 86400.0;
    snprintf(fraction, sizeof fraction, "%f", day_fraction);
    if (s->verbose)
      PrintFormat("\r\nThe time is %s and %s is the current day fraction.\r\n", quoted_now,
                  fraction);
    ODBCDateDriverKludge2(0, db->select_conn, quoted_now);

    char select[1024];
    snprintf(select, sizeof select,
             "select id, i_user, i_pass, i_port, i_object, i_host, i_timeout, i_interval, i_next "
             "from %s where i_next < %s AND %s >= i_start and %s <= i_stop",
             s->table, quoted_now, fraction, fraction);
    if (!Execute(db->select_stmt, select)) {
      PrintFormat("Error Executing - %s\r\n", select);
      return 1;
    }

    int fetched = SQLFetch(db->select_stmt);
    if (s->verbose && !SQLOK(fetched))
      PrintFormat("Nothing to check - recheck in %ss.\r\n", s->interval);
    if (parallel) {
      if (HitInParallel(db, &hits, fetched, present, streams) != 0) return 1;
    } else {
      while (SQLOK(fetched)) {
        Entry entry;
        FetchEntry(db->select_stmt, &entry);
        Hit(entry, s->verbose, &reply);
        char update[1024];
        if (!Reschedule(s, db, entry, present, update, sizeof update)) {
          PrintFormat("Error Executing - %s\r\n", update);
          return 1;
        }
        fetched = SQLFetch(db->select_stmt);
      }
    }

    if (end_time != 0 && present > end_time) return 0;
    fflush(stdout);  // the cycle's last words, before the sleep
    Sleep_sec(s->interval_secs);
  }
}

}  // namespace

int SQLOK(int rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

int ODBCDateDriverKludge2(int, SQLHDBC, char*) { return 1; }

void wakeup(int) {}

int Sleep_sec(int seconds) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = wakeup;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  if (sigaction(SIGALRM, &action, nullptr) != 0) {
    fflush(stdout);
    perror("sigaction");
    return 0;
  }
  // What was printed so far reaches its file or pipe before the wait, so a
  // process killed while it sleeps leaves its output whole.
  fflush(stdout);
  // SIGALRM is held back between arming the alarm and waiting, so an alarm
  // that fires early still ends the wait instead of being lost before it.
  sigset_t alarm_only, previous;
  sigemptyset(&alarm_only);
  sigaddset(&alarm_only, SIGALRM);
  sigprocmask(SIG_BLOCK, &alarm_only, &previous);
  alarm(static_cast<unsigned>(seconds));
  sigset_t wait_mask = previous;
  sigdelset(&wait_mask, SIGALRM);
  sigsuspend(&wait_mask);
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  return 1;
}

int ReadCommandLine(int argc, char** argv, RunSettings* s) {
  memset(s, 0, sizeof *s);
  StoreSetting(s->interval, "60");
  StoreSetting(s->table, "schedule_2");
  StoreSetting(s->runtime, "0");
  StoreSetting(s->concurrency, "1");

  for (int i = 1; i < argc;) {
    const char* arg = argv[i];
    char letter =
        arg[0] != '\0' ? static_cast<char>(tolower(static_cast<unsigned char>(arg[1]))) : 0;
    if (letter == 'v') {
      s->verbose = 1;
      Say("Using verbose.\r\n");
      i += 1;
      continue;
    }
    const ValueOption* option = nullptr;
    for (const ValueOption& o : kValueOptions)
      if (letter != 0 && o.letter == letter) option = &o;
    // An unknown option, or a value option with nothing after it.
    if (option == nullptr || i + 1 >= argc) {
      Say("\r\n");
      Say(kLongUsage);
      return kStartStop;
    }
    char* field = reinterpret_cast<char*>(s) + option->offset;
    snprintf(field, option->capacity, "%s", argv[i + 1]);
    PrintFormat(option->echo, field);
    i += 2;
  }

  if (s->dsn[0] == '\0') {
    Say("\r\n");
    Say(kShortUsage);
    Say("\r\nYou must supply a dsn.\r\n");
    return kStartRefused;
  }
  s->interval_secs = ParseInt(s->interval);
  if (s->interval_secs <= 3) {
    Say("\r\n");
    Say(kShortUsage);
    Say("\r\nYou must supply an interval larger than 3seconds.\r\n");
    return kStartRefused;
  }
  s->concurrent_hits = ConcurrentHits(s->concurrency);
  if (s->concurrent_hits == 0) {
    Say("\r\n");
    Say(kShortUsage);
    Say("\r\nYou must supply between 1 and 1024 concurrent hits.\r\n");
    return kStartRefused;
  }
  if (s->concurrent_hits > 1) AllowDescriptorsFor(s->concurrent_hits);
  return kStartRun;
}

int main(int argc, char** argv) {
  Say("jantor " JANTOR_VERSION " - scheduled web requests from a database table\r\n");
  static RunSettings settings;
  int outcome = ReadCommandLine(argc, argv, &settings);
  if (outcome != kStartRun) return outcome;
  // With TZ unset, glibc looks at /etc/localtime again (a stat) in every
  // mktime, two for each hit's reschedule. Naming the same file in TZ reads
  // it once; only a change of the system's zone while jantor runs then
  // waits for a restart, as it already did for the cycle's own clock.
  setenv("TZ", ":/etc/localtime", 0);
  static Schedule schedule;
  if (int status = OpenSchedule(&settings, &schedule)) return status;
  return RunCycles(&settings, &schedule);
}
