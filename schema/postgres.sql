-- The schedule table for PostgreSQL. One row is one scheduled web request.
-- i_next is local time without zone; i_start and i_stop are the daily
-- window as fractions of the day (0 = midnight, 1 = next midnight).
CREATE TABLE schedule_2 (
  id         SERIAL PRIMARY KEY,
  i_user     VARCHAR(62),
  i_pass     VARCHAR(62),
  i_port     INTEGER,
  i_object   VARCHAR(126),
  i_host     VARCHAR(126),
  i_timeout  INTEGER,
  i_interval INTEGER,
  i_next     TIMESTAMP(0) WITHOUT TIME ZONE,
  i_start    DOUBLE PRECISION DEFAULT 0,
  i_stop     DOUBLE PRECISION DEFAULT 1,
  -- The entry's own web call, each NULL for today's GET: a method (GET,
  -- HEAD, POST, PUT, PATCH, DELETE, OPTIONS), header lines "Name: value"
  -- one to a line, and a body of up to 1 MiB. A table without them works.
  i_method   VARCHAR(16),
  i_headers  TEXT,
  i_body     TEXT,
  -- A calendar schedule in place of the interval, NULL for the interval:
  -- a five-field cron expression, and the IANA zone it is read in (NULL for
  -- the daemon's own local time).
  i_cron     VARCHAR(120),
  i_zone     VARCHAR(60)
);
-- Keeps the due-entries select proportional to the due rows, not the table.
CREATE INDEX schedule_2_next ON schedule_2 (i_next);
