// Date and time scanning into a calendar record, and the present local date
// and time as text.
//
// The scanners fill a caller's struct tm and never allocate. Each prints a
// trace line on entry and, on refusal, the setting-error line with 580; a
// refused text leaves the record exactly as it was. The text writers fill a
// caller's buffer and keep no state between calls. Threads: every operation
// may be called from several threads at once (the reentrant time calls are
// used throughout).
#ifndef JANTOR_BASE_LL_DATETIME_H_
#define JANTOR_BASE_LL_DATETIME_H_

#include <stddef.h>
#include <time.h>

// When non-zero, the numeric forms of ScanDate and IsDate read their first
// two numbers as day and month instead of month and day. Initially 0.
extern int GbEuroDateOrder;

// ---- Scanning -------------------------------------------------------------
// Every scanner takes the context argument first (ignored) and a reset flag
// last. With the reset flag set, the record is first set to 1970-01-01 (day
// 0 for ScanDate and ScanDMY) 00:00:00 with the daylight-saving flag -1, and
// only then are the scanned fields stored; with the flag 0 the other fields
// keep their values. The reset happens only for an accepted text.
// Each returns 1 when it accepted the text (or had nothing to do), else 0.
// A null text counts as "". REQUIRES: record is not null.

// Reads "YYYY-MM-DD" (anything after the day is ignored) and stores day,
// month and year, then normalises the record with mktime and takes the
// daylight-saving flag in force at the resulting moment. Years 70 to 99 and
// 1970 on are accepted.
int ScanODBCDate(int context, const char *text, struct tm *record, int reset);

// Reads "YYYY-MM-DD hh:mm:ss", checks the date as ScanODBCDate does and
// stores only hour, minute and second; mktime is not called, so the date and
// the daylight-saving flag stay. A refused time names its first bad field
// ("h", "min" or "S") before the setting-error line. A missing time reads as
// 00:00:00; anything after the seconds (such as ".000") is ignored.
int ScanODBCTime(int context, const char *text, struct tm *record, int reset);

// Reads month, day and year separated by any single characters
// ("12/25/2000", "12-25-05"; day first under GbEuroDateOrder); a year of up
// to 34 means 20xx, a missing year is 2000. Years 0 to 34, 70 to 99 and 1970
// to 2034 are accepted. Prints "Leaving ScanDate" on every path. An empty
// text with reset 0 is accepted without touching the record.
int ScanDate(int context, const char *text, struct tm *record, int reset);

// Reads day, month and year from three decimal texts; years 70 to 99 and
// 1970 to 2034. Normalises with mktime like ScanODBCDate.
int ScanDMY(int context, const char *day, const char *month, const char *year, struct tm *record,
            int reset);

// Reads "hh:mm:ss" (hour 0 to 23). An empty text with reset 0 is accepted
// without touching the record.
int ScanTime(int context, const char *text, struct tm *record, int reset);

// Reads hour, minute and second from three decimal texts; hour 24 is
// accepted here.
int ScanHMS(int context, const char *hour, const char *minute, const char *second,
            struct tm *record, int reset);

// Returns 1 when text is a date in one of the forms "Dec 25 2000",
// "12/25/2000" (also with "-" or "."; day first under GbEuroDateOrder) or
// "25dec2000" / "25 Dec 2000", else 0. A text holding a comma is never a
// date. Stores nothing, but every "-" and "." of a text that does not start
// with a letter is changed to "/" in place.
int IsDate(int context, char *text);

// 3600 times the difference of the two records' daylight-saving flags, each
// counted as 1 when non-zero: 3600, 0 or -3600. Prints nothing.
// REQUIRES: both records are not null.
int DSTDeltaSeconds(const struct tm *first, const struct tm *second);

// ---- Present date and time ------------------------------------------------
// Each reads the clock once, breaks it down in local time, writes into the
// caller's buffer and returns it. curdate, curtime and now write at most
// size bytes, terminator included; when the text does not fit, the buffer
// holds "" (nothing is written when size is 0).

// "%Y-%m-%d", 10 characters.
char *curdate(char *buffer, size_t size);

// "%H:%M:%S", 8 characters.
char *curtime(char *buffer, size_t size);

// "%Y-%m-%d %H:%M:%S", 19 characters: the form of a stored next-run time.
char *now(char *buffer, size_t size);

// The fraction of the local day, hour / 24 + minute / 1440 + second / 86400
// in double precision, as "%f" (0.000000 to 0.999988). On a few hundred
// seconds a day its last digit differs from the scheduler's day fraction,
// which divides whole seconds by 86400.
// REQUIRES: buffer holds at least 9 bytes.
char *curtimefrac(char *buffer);

#endif  // JANTOR_BASE_LL_DATETIME_H_
