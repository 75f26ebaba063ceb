-- The results table for MariaDB (10.2 or later): one row for every hit of
-- `jantor -l hit_results`, written in the same transaction as the entry's
-- reschedule. due and started are local time (DATETIME); status is NULL
-- when the reply had no status line, reason NULL when it had one.
CREATE TABLE hit_results (
  id          BIGINT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  entry_id    BIGINT NOT NULL,
  due         DATETIME,
  started     DATETIME NOT NULL,
  duration_ms INTEGER NOT NULL,
  outcome     VARCHAR(16) NOT NULL,
  status      INTEGER,
  bytes       BIGINT NOT NULL,
  reason      VARCHAR(160),
  -- 1 for a run's scheduled hit, 2 for its first retry, and so on.
  attempt     INTEGER NOT NULL DEFAULT 1
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
-- The latest rows of one entry.
CREATE INDEX hit_results_entry ON hit_results (entry_id, started);
-- The deletion of rows older than -k hours.
CREATE INDEX hit_results_started ON hit_results (started);
-- Each entry's latest row.
CREATE VIEW hit_results_last AS
  SELECT id, entry_id, due, started, duration_ms, outcome, status, bytes, reason, attempt
  FROM (SELECT h.*, ROW_NUMBER() OVER (PARTITION BY entry_id ORDER BY started DESC, id DESC)
               AS newest
        FROM hit_results h) ranked
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
  entry_id        BIGINT NOT NULL,
  hour_start      DATETIME NOT NULL,
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
  duration_ms_sum BIGINT NOT NULL,
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
  -- InnoDB keeps the rows in the order of the key: an entry's hours lie
  -- together.
  PRIMARY KEY (entry_id, hour_start)
) ENGINE=InnoDB;
-- How far the filling has come, and the deletion of rows older than -g days.
CREATE INDEX hit_results_hourly_hour ON hit_results_hourly (hour_start);
