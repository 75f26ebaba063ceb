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
-- SQLite commits each hit's row on its own (a group's rows with -c), and
-- every index is one more page each commit writes: an index for the latest
-- rows of one entry made hits on a local server with -l some 8% slower. A
-- query for one entry reads the started index backwards, which is quick
-- for entries hit often. Where the rare ones are asked about often, add it:
--   CREATE INDEX hit_results_entry ON hit_results (entry_id, started);
-- Each entry's latest row.
CREATE VIEW hit_results_last AS
  SELECT id, entry_id, due, started, duration_ms, outcome, status, bytes, reason, attempt
  FROM (SELECT *, ROW_NUMBER() OVER (PARTITION BY entry_id ORDER BY started DESC, id DESC) AS newest
        FROM hit_results)
  WHERE newest = 1;
