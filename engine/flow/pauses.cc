#include "engine/flow/pauses.h"

#include <string>
#include <vector>

#include "base/ll_cpapi.h"
#include "base/ll_string.h"
#include "engine/db/odbc_calls.h"
#include "engine/db/pauses.h"
#include "engine/flow/hit.h"
#include "engine/metrics.h"
#include "engine/rules/missed.h"
#include "engine/watch/service.h"

namespace {

// Where the resumed entry goes next, and what the pause passed over.
struct Resume {
  char next[20];
  bool end_retry = false;
  SlotsPassed passed{};
};

void PlanResume(const Schedule& db, const Entry& entry, time_t pause_end, Resume* resume) {
  time_t stored = StoredTime(entry.next);
  CopyText(resume->next, entry.next);
  if (stored == -1) return;
  time_t first = stored;
  // A pending retry waits for the pause; its run ends with it where the
  // run's next scheduled time has come meanwhile, and the schedule goes on
  // from that time.
  if (db.state.columns.keeps_retries() && entry.attempt[0] != '\0') {
    time_t run_time = StoredTime(entry.run);
    time_t after = run_time == -1 ? -1 : NextRunAfterRetriedRun(entry, run_time);
    if (after == -1 || after > pause_end) return;  // the retry is still to come
    resume->end_retry = true;
    first = after;
  }
  if (!SlotsBefore(entry, first, pause_end, &resume->passed)) {
    LocalTimeText(first, resume->next, sizeof resume->next);
    return;
  }
  LocalTimeText(resume->passed.next, resume->next, sizeof resume->next);
}

}  // namespace

bool ResumeEndedPauses(const RunSettings* s, Schedule* db, time_t present, const char* quoted_now) {
  std::vector<Entry> ended;
  std::string failed;
  std::string columns = EntryColumnsText(nullptr) + OptionalColumnsText(db, nullptr);
  DatabaseCall reading;
  if (!ReadEndedPauses(&db->pauses, db->update_conn, db->results.manual_commit, columns,
                       quoted_now, &ended, &failed)) {
    NoteDatabaseError();
    PrintFormat("Error Executing - %s\r\n", failed.c_str());
    return false;
  }
  if (ended.empty()) return true;
  std::vector<ResultRow> rows;
  char started[20];
  LocalTimeText(present, started, sizeof started);
  // The resumes and their rows in one transaction: a kill leaves the
  // entries paused and untold, or resumed and told.
  Transaction transaction(db->update_conn, db->results.manual_commit);
  auto fail = [](const std::string& statement) {
    NoteDatabaseError();
    PrintFormat("Error Executing - %s\r\n", statement.c_str());
    return false;
  };
  if (!transaction.begun()) return fail(db->pauses.resume_text[0]);
  for (const Entry& entry : ended) {
    if (entry.key_kind != kKeyWhole) continue;
    time_t pause_end = StoredTime(entry.paused_until);
    if (pause_end == -1) pause_end = present;
    Resume resume;
    PlanResume(*db, entry, pause_end, &resume);
    bool kept = false;
    if (!ResumeEntry(&db->pauses, entry.key, resume.next, entry.paused_until, resume.end_retry,
                     &kept))
      return fail(db->pauses.resume_text[resume.end_retry ? 1 : 0]);
    const SlotsPassed& passed = resume.passed;
    if (!kept || passed.count == 0) continue;  // another daemon resumed it, or nothing was passed
    NoteRunsSkipped(passed.count);
    if (s->verbose)
      PrintFormat("Resuming - id %s - %s.\r\n", entry.id,
                  SkippedReason(passed.count, passed.more, passed.first, passed.last,
                                ", while paused")
                      .c_str());
    if (db->results.enabled) {
      ResultRow& row = rows.emplace_back();
      FillSkippedRow(entry, started, passed, ", while paused", &row);
    }
  }
  if (!rows.empty() && !InsertResultRows(&db->results, db->update_conn, rows.data(), rows.size()))
    return fail(std::string("insert into ") + db->results.name);
  if (!transaction.Commit()) return fail(db->pauses.resume_text[0]);
  return true;
}
