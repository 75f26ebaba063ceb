// Where a cycle's entries come from, and how many it may wait on for one
// host: DueEntries hands out the rows of the due select (a page at a time
// where the driver would hold them all) or, sharing the table (-s), rows
// claimed in batches; HostPlaces (engine/flow/host_places.h) holds back the
// entries over a host's cap. Both belong to the main thread, for one cycle.
#ifndef JANTOR_ENGINE_FLOW_DUE_H_
#define JANTOR_ENGINE_FLOW_DUE_H_

#include <sqlext.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "base/ll_cpapi.h"
#include "base/ll_string.h"
#include "engine/command_line.h"
#include "engine/db/claims.h"
#include "engine/db/odbc_calls.h"
#include "engine/db/schedule.h"
#include "engine/metrics.h"
#include "engine/rules/entry.h"
#include "engine/watch/service.h"

// The most seconds a hit of entry may take: with -w its own time limit,
// else the usual limits, the reply's deadline and a connect before it.
int LongestHit(const RunSettings* s, const Entry& entry);

// A page of due entries as their texts, each field ending in its NUL: a
// few dozen bytes an entry, where an Entry takes 567, so that a page of
// them costs less than the driver's own copy of the rows.
class PackedEntries {
 public:
  void Clear() {
    bytes_.clear();
    starts_.clear();
  }
  size_t size() const { return starts_.size(); }
  void Add(Entry* entry) {  // only read
    starts_.push_back(bytes_.size());
    for (const EntryField& field : EntryFields(entry))
      bytes_.append(field.text, strlen(field.text) + 1);
  }
  // The entry at, as it was added.
  void Get(size_t at, Entry* entry) const {
    const char* text = bytes_.data() + starts_[at];
    for (const EntryField& field : EntryFields(entry)) {
      snprintf(field.text, field.capacity, "%s", text);
      text += strlen(text) + 1;
    }
    ReadEntryKey(entry);
  }
  const char* Id(size_t at) const { return bytes_.data() + starts_[at]; }  // the first field

 private:
  std::string bytes_;
  std::vector<size_t> starts_;
};

// Where a cycle's entries come from: the rows of its select, fetched one at
// a time (or, where the driver would hold every due row, a page at a time);
// or, sharing the table (-s), rows claimed in batches of as many as
// the hits can take at the moment, at least a quarter of the workers, and
// as many as the cycle started hits in kClaimAheadUs at the rate since the
// batch before (up to kClaimMost). A claim is a round trip and a commit:
// claiming only as many rows as workers had just freed made one for every
// few hits, and against fast servers a sharing daemon spent half its time
// claiming. Sizing batches by the hits started keeps what is claimed ahead
// to what the daemon will hit within about a quarter of a second, however
// fast or slow its hits (a slow server's entries are claimed a few at a
// time, as other daemons could take them); an entry that waits for its
// host (-H) is no hit started, so a host cap holds the batches to what it
// lets through. A claimed entry is handed out only while its claim still
// covers its longest hit (ClaimCoversHit); one that no longer does, and
// those left when the cycle stops early, are handed back (see Release).
class DueEntries {
 public:
  DueEntries(const RunSettings* s, Schedule* db, const char* quoted_now, const char* fraction)
      : s_(s), db_(db), quoted_now_(quoted_now), fraction_(fraction) {}

  // Runs the select (or the first claim, of up to room entries). false
  // when that fails; failed() names the statement.
  bool Start(int room) {
    DatabaseCall starting;
    if (db_->claims.enabled) {
      StartClaimCycle(&db_->claims);
      return Claim(room);
    }
    char select[1024];
    if (!SelectDueEntries(s_, db_, quoted_now_, fraction_, select, sizeof select)) {
      Fail(select);
      return false;
    }
    if (db_->pages.enabled) {
      ReadPage();
      return true;
    }
    more_ = SQLOK(SQLFetch(db_->select_stmt));
    return true;
  }

  // Whether the select had no row (or the first claim none) at all.
  bool NoneAtStart() const { return !more_ && batch_.empty() && page_.size() == 0; }

  // The next entry, and with -s its claim time; room entries could be hit
  // now. false when none is left, or a claim failed (see failed()).
  bool Next(int room, Entry* entry, char* claim) {
    DatabaseCall fetching;
    if (db_->pages.enabled) {
      if (failed_[0] != '\0') return false;
      if (next_ == page_.size() && (!NextPage() || page_.size() == 0)) return false;
      page_.Get(next_++, entry);
      return true;
    }
    if (!db_->claims.enabled) {
      if (!more_) return false;
      FetchEntry(db_->select_stmt, entry);
      more_ = SQLOK(SQLFetch(db_->select_stmt));
      return true;
    }
    for (;;) {
      if (next_ == batch_.size() && (!more_ || !Claim(room) || batch_.empty())) return false;
      const Entry& claimed = batch_[next_++];
      if (ClaimCoversHit(db_->claims, claim_until_, time(nullptr), LongestHit(s_, claimed))) {
        *entry = claimed;
        snprintf(claim, 20, "%s", claim_text_);
        return true;
      }
      HandBackClaimed(&db_->claims, claimed, claim_text_);
    }
  }

  // With -s, until when the claim of the entry Next handed out last holds.
  time_t claim_until() const { return claim_until_; }

  // A hit has started, of an entry handed out now or earlier.
  void Started() { ++started_; }

  const char* failed() const { return failed_; }

  // Hands back the claimed entries that were not hit (a stop, or a failed
  // write, ended the cycle early): their rows get back the i_next they had,
  // if they still hold the claim, and are due at once for any daemon rather
  // than when the claim would have expired. A failure here leaves the claim
  // to expire.
  void Release() {
    if (!db_->claims.enabled) return;
    DatabaseCall releasing;
    for (; next_ < batch_.size(); ++next_)
      HandBackClaimed(&db_->claims, batch_[next_], claim_text_);
  }

 private:
  static constexpr long long kClaimAheadUs = 250 * 1000;
  static constexpr size_t kClaimMost = 1024;

  bool Claim(int room) {
    long long now = MonotonicUs();
    size_t ahead = 0;
    // Where some of the batch before wait for their host (or were handed
    // back), its pace says only how many places came free, not how fast more
    // could start: then as many as started, and no more.
    if (claimed_at_ > 0 && now > claimed_at_)
      ahead = started_ < batch_.size()
                  ? started_
                  : static_cast<size_t>(std::min<long long>(
                        static_cast<long long>(started_) * kClaimAheadUs / (now - claimed_at_),
                        kClaimMost));
    claimed_at_ = now;
    started_ = 0;
    batch_.resize(
        std::max({static_cast<size_t>(std::max({room, 1, s_->concurrent_hits / 4})), ahead}));
    next_ = 0;
    claim_until_ = time(nullptr) + db_->claims.hold_secs;
    int got = ClaimEntries(&db_->claims, db_->select_conn, db_->select_stmt, quoted_now_, fraction_,
                           claim_until_, static_cast<int>(batch_.size()), batch_.data(),
                           claim_text_, failed_, sizeof failed_);
    if (got < 0) NoteDatabaseError();
    batch_.resize(static_cast<size_t>(std::max(got, 0)));
    more_ = got > 0;
    return got >= 0;
  }
  // The rows of the page just selected, all read before any is hit: the
  // driver holds them in memory already, and SQLite's keeps the table's
  // read lock until the statement is gone, which every write would wait
  // for.
  void ReadPage() {
    page_.Clear();
    next_ = 0;
    Entry entry;
    while (page_.size() < db_->pages.rows && SQLOK(SQLFetch(db_->select_stmt))) {
      FetchEntry(db_->select_stmt, &entry);
      page_.Add(&entry);
    }
    more_ = page_.size() > 0;
    if (!EndDuePage(db_, page_.size() == db_->pages.rows))
      Fail("the first (selection) ODBC statement could not be made again");
  }
  // After a full page, the next one; false when none follows or its select
  // failed.
  bool NextPage() {
    char select[1024];
    std::vector<const char*> ids(page_.size());
    for (size_t i = 0; i < ids.size(); ++i) ids[i] = page_.Id(i);
    if (!NextDuePage(s_, db_, quoted_now_, fraction_, ids.data(), ids.size(), select,
                     sizeof select)) {
      if (select[0] != '\0') Fail(select);
      return false;
    }
    ReadPage();
    return true;
  }
  void Fail(const char* statement) {
    NoteDatabaseError();
    snprintf(failed_, sizeof failed_, "%s", statement);
  }

  const RunSettings* s_;
  Schedule* db_;
  const char* quoted_now_;
  const char* fraction_;
  bool more_ = false;         // the last fetch had a row, or the last claim some
  std::vector<Entry> batch_;  // the last claim's entries
  long long claimed_at_ = 0;  // when it was made (MonotonicUs)
  time_t claim_until_ = 0;    // its claim time
  size_t started_ = 0;        // the hits started since
  PackedEntries page_;        // or the current page's
  size_t next_ = 0;           // the next of them to hand out
  char claim_text_[20] = "";
  char failed_[1024] = "";
};

#endif  // JANTOR_ENGINE_FLOW_DUE_H_
