// The statements of paused entries (i_paused_until): the due select and
// the claims leave every row with a pause out (engine/db/schedule.h), so a
// paused entry costs a cycle nothing however long it is paused; once a
// pause has ended, the cycle reads the row here, through the index on
// i_paused_until, and writes it back unpaused at its next run. The resume
// holds only where the row still has the pause end that was read, so that
// of several daemons sharing the table one resumes each entry, and a pause
// the user moved meanwhile is left alone. The handles are the update
// connection's and belong to the main thread.
#ifndef JANTOR_ENGINE_DB_PAUSES_H_
#define JANTOR_ENGINE_DB_PAUSES_H_

#include <sql.h>

#include <cstddef>
#include <string>
#include <vector>

#include "engine/rules/entry.h"

struct Pauses {
  bool enabled = false;
  bool keeps_retries = false;  // a resume may also end a pending retry's run
  char table[64] = "";
  SQLHSTMT resume[2] = {SQL_NULL_HSTMT, SQL_NULL_HSTMT};  // keeping, and ending, a pending retry
  std::string resume_text[2];
  SQLHSTMT count = SQL_NULL_HSTMT;  // the entries still paused
  std::string count_text;
  char next[20] = "";  // the bound values
  SQLBIGINT id = 0;
  char until[64] = "";
  SQLLEN indicators[3] = {};
};

// The most ended pauses a cycle resumes; the rest wait for the next.
enum : int { kMostResumedAtOnce = 10000 };

// Prepares the statements on the update connection. false when one
// cannot be prepared.
bool OpenPauses(SQLHDBC update_conn, const char* table, bool keeps_retries, Pauses* pauses);

// Reads the entries whose pause ended by the cycle's present (its quoted
// timestamp), columns as the due select names them, up to
// kMostResumedAtOnce; the read's transaction ends with it. false, with the
// statement in failed, when it fails.
bool ReadEndedPauses(Pauses* pauses, SQLHDBC update_conn, bool manual_commit,
                     const std::string& columns, const char* quoted_now,
                     std::vector<Entry>* ended, std::string* failed);

// Writes an entry's next run and clears its pause (and with end_retry its
// pending retry), where the row still has the pause end until. *kept says
// whether it had. false when the statement fails; its text is
// resume_text[end_retry].
bool ResumeEntry(Pauses* pauses, SQLBIGINT id, const char* next, const char* until,
                 bool end_retry, bool* kept);

// Counts the entries whose pause is still to come (after the cycle's
// resumes, every pause left). false when the count fails.
bool CountPausedEntries(Pauses* pauses, SQLHDBC update_conn, bool manual_commit,
                        long long* count);

#endif  // JANTOR_ENGINE_DB_PAUSES_H_
