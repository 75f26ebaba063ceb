// A due entry as the cycle fetches it (every column as text), the order in
// which every select names its columns, and what moves it on after its
// hit: the reschedule's text and, with -l, its result row. The text
// helpers touch no handle and may run on any thread; FetchEntry reads a
// statement of the caller's thread.
#ifndef JANTOR_ENGINE_RULES_ENTRY_H_
#define JANTOR_ENGINE_RULES_ENTRY_H_

#include <sql.h>

#include <array>
#include <cstddef>
#include <ctime>
#include <string>

struct RunSettings;

// What an entry's key is, judged once when the row is fetched: the key
// reaches a statement bound as a BIGINT, or as a number in the text of the
// one-row reschedule, and never as text from the row.
enum EntryKey : unsigned char {
  kKeyUnread,   // not judged yet (an Entry that was never fetched)
  kKeyWhole,    // a whole number as the table writes it ("42", "-7"): usable anywhere
  kKeyNumber,   // another number ("7.0" of a floating-point key, "007"): named in the
                // one-row reschedule's text only, as the table writes it
  kKeyRefused,  // no number, or one cut to the field: the entry's writes fail
};

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
  // Where the table has the columns of an entry's own web call: "1" when
  // this entry's row has a value in one of them, "0" when none (a plain
  // GET, with nothing more to read); "" otherwise.
  char call[4];
  char cron[128];  // i_cron: a five-field cron expression; "" for the interval
  char zone[64];   // i_zone: the IANA zone of cron; "" for the daemon's own
  // Where the table keeps runs (engine/db/run_state.h): the retry rule the
  // user sets, and what jantor keeps of the entry between its hits.
  char retries[16];      // i_retries
  char retry_delay[16];  // i_retry_delay
  char attempt[16];      // i_attempt: the attempt a pending retry will be
  char run[64];          // i_run: the scheduled time of the pending retry's run
  char failures[16];     // i_failures: runs in a row that ended failed
  char outcome[16];      // i_outcome: the latest attempt's outcome word
  // What a successful reply is (engine/rules/expect.h), and the most seconds of
  // the entry's fixed offset from its schedule (engine/rules/splay.h); "" for
  // none, and where the table lacks the columns.
  char expect[256];  // i_expect
  char splay[16];    // i_splay
  // What runs missed while jantor was away come to (engine/rules/missed.h),
  // and the time a pause ends; "" for the default and for none, and where
  // the table lacks the columns.
  char missed[16];        // i_missed
  char paused_until[64];  // i_paused_until
  EntryKey key_kind;     // set by ReadEntryKey, with key
  SQLBIGINT key;         // the key's value (its whole part for kKeyNumber)
};

// The entry's columns in the order every select of them names them, each
// with its capacity, terminator included.
struct EntryField {
  char* text;
  size_t capacity;
};
std::array<EntryField, 22> EntryFields(Entry* entry);

// The columns every read of due entries names first, in Entry's order
// ("id, i_user, ..., i_next"), each qualified by alias when it is not null;
// next, when not null, is read in place of i_next (a claim reads the value
// the row had before it was claimed).
std::string EntryColumnsText(const char* alias, const char* next = nullptr);

// Judges entry->id (see EntryKey) into key_kind and key: the one rule of
// a key, applied when a row is fetched.
void ReadEntryKey(Entry* entry);

// Reads the current row's columns into *entry (the optional ones only
// where the statement selects them), and judges its key.
void FetchEntry(SQLHSTMT stmt, Entry* entry);

// One hit, as the results table keeps it.
struct ResultRow {
  SQLBIGINT entry_id;
  char due[64];      // the entry's i_next as fetched
  char started[20];  // local time the hit began, "%Y-%m-%d %H:%M:%S"
  SQLINTEGER duration_ms;
  char outcome[16];   // the word of engine/rules/hit_outcome.h
  SQLINTEGER status;  // the reply's status code; 0 stands for NULL
  SQLBIGINT bytes;
  char reason[160];    // "" stands for NULL
  SQLINTEGER attempt;  // 1 for a run's scheduled hit, 2 for its first retry, ...
};

// What a hit changes of the entry's kept state besides i_next, where the
// table keeps it (engine/db/run_state.h); changes 0 for nothing.
struct RunStateWrite {
  unsigned changes;     // RunStateChange bits
  SQLINTEGER attempt;   // i_attempt: the pending retry's attempt; 0 for none (NULL)
  char run[20];         // i_run: its run's scheduled time; "" for none (NULL)
  SQLINTEGER failures;  // i_failures
  char outcome[16];     // i_outcome
  char recent[2];       // the letter i_recent gains (the database appends it)
  SQLINTEGER status;    // i_status; 0 for none (NULL)
  SQLINTEGER duration_ms;
  char last[20];  // i_last
};

// The writes that move one entry on after its hit.
struct HitWrite {
  char update[1024];  // the reschedule
  bool key_ok;        // the update may be executed (its key is a number)
  bool key_whole;     // and the key may be bound (kKeyWhole)
  SQLBIGINT id;       // the entry's key, for the statements that bind it
  char next[20];      // the next run time that update writes
  char claim[20];     // with -s, the claim time the row must still hold
  ResultRow row;      // with -l, the hit's result row
  RunStateWrite state;
  // With -l, the row of the runs that i_missed had this hit pass over
  // ("one"), written after the write; an empty skipped.outcome for none.
  ResultRow skipped;
};

// Writes the reschedule's text for entry into write->update (the date
// scanners print their lines on the way) and sets write->key_ok. The next
// run is the stored i_next plus the interval; a stored time that cannot be
// read is rescheduled from present.
void PrepareUpdate(const RunSettings* s, const Entry& entry, time_t present, HitWrite* write);

// The same to a next run time of the caller's ("YYYY-MM-DD HH:MM:SS").
void PrepareUpdateTo(const RunSettings* s, const Entry& entry, const char* next, HitWrite* write);

// The moment of a stored local time as the reschedule reads i_next (in any
// form the date scanners take), or -1 when it cannot be read. Prints nothing.
time_t StoredTime(const char* text);

// moment as local time in the form the table keeps i_next in,
// "YYYY-MM-DD HH:MM:SS" (out needs 20 bytes).
void LocalTimeText(time_t moment, char* out, size_t size);

#endif  // JANTOR_ENGINE_RULES_ENTRY_H_
