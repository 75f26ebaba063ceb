-- The schedule table for MariaDB (and MySQL). One row is one scheduled web
-- request. i_next is local time without zone (DATETIME, not TIMESTAMP,
-- which the server would convert between zones); i_start and i_stop are the
-- daily window as fractions of the day (0 = midnight, 1 = next midnight).
CREATE TABLE schedule_2 (
  id         INTEGER NOT NULL AUTO_INCREMENT PRIMARY KEY,
  i_user     VARCHAR(62),
  i_pass     VARCHAR(62),
  i_port     INTEGER,
  i_object   VARCHAR(126),
  i_host     VARCHAR(126),
  i_timeout  INTEGER,
  i_interval INTEGER,
  i_next     DATETIME,
  i_start    DOUBLE DEFAULT 0,
  i_stop     DOUBLE DEFAULT 1,
  -- The entry's own web call, each NULL for today's GET: a method (GET,
  -- HEAD, POST, PUT, PATCH, DELETE, OPTIONS), header lines "Name: value"
  -- one to a line, and a body of up to 1 MiB. A table without them works.
  i_method   VARCHAR(16),
  i_headers  TEXT,
  i_body     MEDIUMTEXT,
  -- How the call is authorized, NULL for by the columns above alone:
  -- OAuth2 client credentials, "oauth2 TOKEN_URL client_id=ID
  -- client_secret=SECRET [scope=S] [audience=A]", whose values may be
  -- ${cred:NAME} references; the call then carries the token jantor
  -- fetched, as "Authorization: Bearer ...".
  i_auth     VARCHAR(1024),
  -- A calendar schedule in place of the interval, NULL for the interval:
  -- a five-field cron expression, and the IANA zone it is read in (NULL for
  -- the daemon's own local time).
  i_cron     VARCHAR(120),
  i_zone     VARCHAR(60),
  -- Retries of a failed run: how many more attempts it may make (0 to 20,
  -- NULL for none) and the seconds before the first (1 to 86400, NULL for
  -- 30), doubled for each further one up to an hour.
  i_retries     INTEGER,
  i_retry_delay INTEGER,
  -- Kept by jantor and written with each reschedule: the attempt a pending
  -- retry will be and the scheduled time of the run it belongs to (both
  -- NULL when none is pending), the runs in a row that ended failed, and
  -- the latest attempt's outcome word.
  i_attempt     INTEGER,
  i_run         DATETIME,
  i_failures    INTEGER,
  i_outcome     VARCHAR(16),
  -- Kept by jantor for the status page: the latest attempts' outcome
  -- letters (up to 60, the newest last), and the latest one's status, length
  -- and start.
  i_recent      VARCHAR(60),
  i_status      INTEGER,
  i_duration_ms INTEGER,
  i_last        DATETIME,
  -- What runs missed while jantor was away come to ("each", made one a
  -- cycle; "one", one run for all; "none", no run; NULL for each on an
  -- interval, one on a calendar), and the end of a pause: while it is to
  -- come the entry is not hit, and the runs it passes over are skipped.
  i_missed      VARCHAR(8),
  i_paused_until DATETIME,
  -- What a successful reply is, NULL for any 2xx or 3xx: status codes,
  -- classes and ranges ("200,204", "2xx", "200-299"), then optionally
  -- "; body contains TEXT" or "; body lacks TEXT". And the most
  -- seconds (0 to 3600, NULL for none) of the entry's fixed offset from its
  -- schedule, which spreads entries that share one.
  i_expect      VARCHAR(255),
  i_splay       INTEGER
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
-- Keeps the due-entries select proportional to the due rows, not the table:
-- a paused entry is passed over in the index itself, never read.
CREATE INDEX schedule_2_next ON schedule_2 (i_next, id, i_paused_until);
-- Finds the pauses that have ended; a hit's write never touches it.
CREATE INDEX schedule_2_paused ON schedule_2 (i_paused_until);
-- Makes "which entries fail" (the view below, jantor_entries_failing with
-- -m, the status page) a range read. Like the index on i_next, it holds the
-- key too (the table's key is part of every index here), so that the status
-- page reads a page from the one before it by index.
CREATE INDEX schedule_2_failures ON schedule_2 (i_failures);
-- The entries whose last run failed, with how many runs in a row did.
CREATE VIEW schedule_2_failing AS
  SELECT id, i_host, i_object, i_failures, i_outcome, i_next
  FROM schedule_2
  WHERE i_failures > 0;
