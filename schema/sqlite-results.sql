-- The results table for SQLite: one row for every hit of `jantor -l
-- hit_results`, written in the same transaction as the entry's reschedule.
-- due and started are local time as text "YYYY-MM-DD HH:MM:SS"; status is
-- NULL when the reply had no status line, reason NULL when it had one.
CREATE TABLE hit_results (
  id          INTEGER PRIMARY KEY,
  entry_id    INTEGER NOT NULL,
  due         TIMESTAMP,
  started     TIMESTAMP NOT NULL,
  duration_ms INTEGER NOT NULL,
  outcome     VARCHAR(16) NOT NULL,
  status      INTEGER,
  bytes       INTEGER NOT NULL,
  reason      VARCHAR(160),
  -- 1 for a run's scheduled hit, 2 for its first retry, and so on.
  attempt     INTEGER NOT NULL DEFAULT 1
);
-- The deletion of rows older than -k hours, and the questions by time.
CREATE INDEX hit_results_started ON hit_results (started);
-- The latest rows of one entry: the status page's page of an entry reads
-- its latest attempts by it, and the uptime of a page of entries the rows
-- of the hours not yet rolled up. Without it an entry hit once a week was
-- found by reading the started index back through every other entry's
-- rows, seconds of them at ten million. SQLite commits each hit's row on
-- its own (a group's rows with -c), and the index is one more page for
-- each commit to write: some 4% of -l's hits a second (doc/history.md).
CREATE INDEX hit_results_entry ON hit_results (entry_id, started);
-- Each entry's latest row.
CREATE VIEW hit_results_last AS
  SELECT id, entry_id, due, started, duration_ms, outcome, status, bytes, reason, attempt
  FROM (SELECT *, ROW_NUMBER() OVER (PARTITION BY entry_id ORDER BY started DESC, id DESC) AS newest
        FROM hit_results)
  WHERE newest = 1;

-- Hourly rollups: with `jantor -l hit_results`, where this table exists,
-- each hour of hit_results, once it is over, is summed up here by one
-- grouped statement, one row for each entry with rows in the hour, and
-- kept for -g days (400 unless given), long after -k has deleted the rows
-- themselves. Without this table jantor keeps the results as it always
-- did. hour_start is the hour's local start. A run is counted in the hour
-- its first attempt began (attempt 1), failed when no attempt of it in
-- that hour succeeded; the outcome columns count attempts; the ms_
-- columns count the attempts whose duration_ms is under their bound (and
-- at least the one before), the last those of a minute or more.
CREATE TABLE hit_results_hourly (
  entry_id        INTEGER NOT NULL,
  hour_start      TIMESTAMP NOT NULL,
  attempts        INTEGER NOT NULL,
  runs            INTEGER NOT NULL,
  failed_runs     INTEGER NOT NULL,
  ok              INTEGER NOT NULL,
  redirect        INTEGER NOT NULL,
  client_error    INTEGER NOT NULL,
  server_error    INTEGER NOT NULL,
  no_status       INTEGER NOT NULL,
  unreachable     INTEGER NOT NULL,
  timeout         INTEGER NOT NULL,
  too_large       INTEGER NOT NULL,
  tls             INTEGER NOT NULL,
  bad_host        INTEGER NOT NULL,
  error           INTEGER NOT NULL,
  bad_request     INTEGER NOT NULL,
  bad_schedule    INTEGER NOT NULL,
  unexpected      INTEGER NOT NULL,
  no_token        INTEGER NOT NULL,
  duration_ms_sum INTEGER NOT NULL,
  duration_ms_max INTEGER NOT NULL,
  ms_under_10     INTEGER NOT NULL,
  ms_under_25     INTEGER NOT NULL,
  ms_under_50     INTEGER NOT NULL,
  ms_under_100    INTEGER NOT NULL,
  ms_under_250    INTEGER NOT NULL,
  ms_under_500    INTEGER NOT NULL,
  ms_under_1000   INTEGER NOT NULL,
  ms_under_2500   INTEGER NOT NULL,
  ms_under_5000   INTEGER NOT NULL,
  ms_under_10000  INTEGER NOT NULL,
  ms_under_30000  INTEGER NOT NULL,
  ms_under_60000  INTEGER NOT NULL,
  ms_over_60000   INTEGER NOT NULL,
  -- Without a rowid the rows are kept in the order of the key: an entry's
  -- hours lie together, and its 30 days are a few pages.
  PRIMARY KEY (entry_id, hour_start)
) WITHOUT ROWID;
-- How far the filling has come, and the deletion of rows older than -g days.
CREATE INDEX hit_results_hourly_hour ON hit_results_hourly (hour_start);
