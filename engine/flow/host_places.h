// With -H, the places among the hits in flight that each host has, and the
// entries that wait in the cycle for one. Main thread only, for one cycle.
#ifndef JANTOR_ENGINE_FLOW_HOST_PLACES_H_
#define JANTOR_ENGINE_FLOW_HOST_PLACES_H_

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <deque>
#include <string>
#include <unordered_map>

#include "base/ll_string.h"
#include "engine/command_line.h"
#include "engine/db/claims.h"
#include "engine/db/schedule.h"
#include "engine/flow/due.h"
#include "engine/metrics.h"
#include "engine/rules/entry.h"
#include "engine/watch/service.h"

// With -H, the hits in flight to each host (its text as written, in lower
// case, with its port) and the entries that wait in the cycle for a place:
// an entry over its host's cap is put aside, not failed, and the workers
// take the entries of other hosts meanwhile. The aside are bounded, so that
// a cycle of one slow host's entries does not hold them all in memory; past
// the bound an entry whose host has no place is left, not held: without -s
// it is simply not hit in this cycle (its i_next untouched, it stays due for
// the next), with -s it is handed back to whichever daemon claims it next.
// Either way the cycle goes on to the entries of other hosts, and meets
// each row once. Sharing the table, an entry waits only as long as its
// claim will still cover its hit: the hits of its host that have ended
// show how long they take, and an entry that would wait past that is
// handed back at once, rather than held until its claim runs out and
// another daemon takes it over while this one still means to hit it.
class HostPlaces {
 public:
  HostPlaces(const RunSettings* s, Schedule* db)
      : s_(s),
        db_(db),
        most_(s->hits_per_host),
        most_aside_(std::max<size_t>(1024, 16 * static_cast<size_t>(s->concurrent_hits))) {}
  bool capped() const { return most_ > 0; }
  // Takes a place for the entry; false when its host has none free.
  bool Take(const Entry& entry) {
    if (!capped()) return true;
    Host& host = hosts_[Key(entry)];
    if (host.in_flight >= most_) return false;
    ++host.in_flight;
    return true;
  }
  // Gives back the place of a hit of entry that lasted duration_us. With
  // -s, the pace that now shows may leave the last entries of the host's
  // queue too late for their claims: those are handed back.
  void Give(const Entry& entry, long long duration_us) {
    if (!capped()) return;
    auto at = hosts_.find(Key(entry));
    if (at == hosts_.end()) return;
    Host& host = at->second;
    --host.in_flight;
    host.ended_us += std::max(duration_us, 0LL);
    ++host.ended;
    time_t now = time(nullptr);
    while (db_->claims.enabled && !host.aside.empty() &&
           !InTime(host, host.aside.back(), host.aside.size() - 1, now)) {
      HandBack(host.aside.back().entry, host.aside.back().claim);
      host.aside.pop_back();
      --aside_;
    }
    if (!host.aside.empty()) ready_.push_back(&host);
  }
  // Puts the entry (with -s claimed by claim, until claim_until) aside
  // until its host has a place; false when it is left instead (see above).
  bool PutAside(const Entry& entry, const char* claim, time_t claim_until) {
    Host& host = hosts_[Key(entry)];
    host.aside.push_back({entry, {}, claim_until});
    Aside& waiting = host.aside.back();
    CopyText(waiting.claim, claim);
    if (aside_ < most_aside_ &&
        (!db_->claims.enabled || InTime(host, waiting, host.aside.size() - 1, time(nullptr)))) {
      ++aside_;
      NoteHostWait();
      return true;
    }
    if (db_->claims.enabled) HandBack(waiting.entry, waiting.claim);
    host.aside.pop_back();
    return false;
  }
  // Moves the first entry put aside for a host that now has a place into
  // *entry and claim, taking the place; false when there is none. Each
  // place given back to a host with entries aside makes it ready once, so
  // finding one costs no search. With -s, an entry whose claim no longer
  // covers its hit is handed back, and the host's next one is looked at.
  bool TakeAside(Entry* entry, char* claim) {
    while (!ready_.empty()) {
      Host* host = ready_.front();
      if (host->aside.empty() || host->in_flight >= most_) {
        ready_.pop_front();
        continue;
      }
      Aside& first = host->aside.front();
      bool in_time =
          !db_->claims.enabled || ClaimCoversHit(db_->claims, first.claim_until, time(nullptr),
                                                 LongestHit(s_, first.entry));
      if (in_time) {
        ready_.pop_front();
        ++host->in_flight;
        *entry = first.entry;
        snprintf(claim, sizeof first.claim, "%s", first.claim);
      } else {
        HandBack(first.entry, first.claim);
      }
      host->aside.pop_front();
      --aside_;
      if (in_time) return true;
    }
    return false;
  }
  // Hands back the claims of the entries still aside when the cycle ends
  // early (a stop, a failed write), as DueEntries::Release does for the
  // claimed entries not yet handed out.
  void Release() {
    if (!db_->claims.enabled) return;
    for (auto& [key, host] : hosts_) {
      for (const Aside& aside : host.aside) HandBack(aside.entry, aside.claim);
      host.aside.clear();
    }
    aside_ = 0;
  }

 private:
  struct Aside {
    Entry entry;
    char claim[20];
    time_t claim_until;
  };
  // A host's hits in flight and its entries aside, and how long its hits
  // that ended took together. Kept for the whole cycle (the map's nodes
  // stay where they are, for ready_).
  struct Host {
    int in_flight = 0;
    std::deque<Aside> aside;
    long long ended_us = 0;
    int ended = 0;
  };
  static std::string Key(const Entry& entry) {
    std::string key = entry.host;
    for (char& c : key)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    int port = ParseInt(entry.port);
    return key + ":" + std::to_string(port == 0 ? 80 : port);
  }
  // Whether waiting, at position in its host's queue, will start while its
  // claim covers its hit: each place of the host frees up once a hit of the
  // host's average length, or at once while none has ended yet (that first
  // guess is put right as the host's hits end, see Give).
  bool InTime(const Host& host, const Aside& waiting, size_t position, time_t now) const {
    long long wait_us = 0;
    if (host.ended > 0)
      wait_us = static_cast<long long>(position / static_cast<size_t>(most_) + 1) *
                (host.ended_us / host.ended);
    time_t start = now + static_cast<time_t>((wait_us + 999999) / 1000000);
    return ClaimCoversHit(db_->claims, waiting.claim_until, start, LongestHit(s_, waiting.entry));
  }
  // A failure leaves the claim to expire.
  void HandBack(const Entry& entry, const char* claim) {
    DatabaseCall handing_back;
    HandBackClaimed(&db_->claims, entry, claim);
  }
  const RunSettings* s_;
  Schedule* db_;
  int most_;
  size_t most_aside_;
  size_t aside_ = 0;
  std::unordered_map<std::string, Host> hosts_;
  std::deque<Host*> ready_;
};

#endif  // JANTOR_ENGINE_FLOW_HOST_PLACES_H_
