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
