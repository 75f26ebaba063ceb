// The date and time scanners on any text: a refused text leaves the calendar
// record exactly as it was, an accepted date holds fields in range, and
// IsDate changes its text only by turning "-" and "." into "/".
// Input: one flag byte (bit 0: day-first order, bit 1: reset, bit 2: start
// from a record of odd values), then the text; for ScanDMY and ScanHMS the
// text is also cut at NUL bytes into three fields.
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "base/ll_datetime.h"
#include "fuzz/fuzz_util.h"

namespace {

struct tm StartRecord(bool odd) {
  struct tm record;
  memset(&record, 0, sizeof record);
  if (odd) {
    // Fields a caller might leave behind; with reset 0 they stay and meet
    // mktime together with the scanned ones.
    record.tm_year = 8099;
    record.tm_mon = 11;
    record.tm_mday = 31;
    record.tm_hour = 23;
    record.tm_isdst = 1;
  } else {
    record.tm_year = 100;
    record.tm_mday = 15;
    record.tm_isdst = -1;
  }
  return record;
}

bool Same(const struct tm& a, const struct tm& b) {
  return a.tm_sec == b.tm_sec && a.tm_min == b.tm_min && a.tm_hour == b.tm_hour &&
         a.tm_mday == b.tm_mday && a.tm_mon == b.tm_mon && a.tm_year == b.tm_year &&
         a.tm_isdst == b.tm_isdst;
}

// Runs one scanner; a refusal must not have touched the record.
template <typename Scan>
int Check(bool odd, Scan scan) {
  struct tm record = StartRecord(odd);
  struct tm before = record;
  int accepted = scan(&record);
  FUZZ_CHECK(accepted == 0 || accepted == 1);
  if (!accepted) FUZZ_CHECK(Same(record, before));
  return accepted;
}

bool DateInRange(const struct tm& r) {
  return r.tm_mon >= 0 && r.tm_mon <= 11 && r.tm_mday >= 1 && r.tm_mday <= 31;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int flags = data[0];
  GbEuroDateOrder = flags & 1;
  const int reset = (flags >> 1) & 1;
  const bool odd = (flags >> 2) & 1;
  const std::string text = fuzz::Text(data + 1, size - 1);
  const char* t = text.c_str();

  Check(odd, [&](struct tm* r) {
    int ok = ScanODBCDate(0, t, r, reset);
    if (ok && reset) FUZZ_CHECK(DateInRange(*r) && r->tm_hour == 0);
    return ok;
  });
  Check(odd, [&](struct tm* r) {
    int ok = ScanODBCTime(0, t, r, reset);
    if (ok) FUZZ_CHECK(r->tm_hour >= 0 && r->tm_hour <= 23 && r->tm_min >= 0 && r->tm_min <= 59);
    return ok;
  });
  // The scheduler's own sequence on a stored next-run time.
  {
    struct tm r = StartRecord(odd);
    if (ScanODBCDate(0, t, &r, 1) && ScanODBCTime(0, t, &r, 0)) {
      r.tm_isdst = -1;
      mktime(&r);
    }
  }
  Check(odd, [&](struct tm* r) {
    int ok = ScanDate(0, t, r, reset);
    if (ok && reset) FUZZ_CHECK(DateInRange(*r));
    return ok;
  });
  Check(odd, [&](struct tm* r) { return ScanTime(0, t, r, reset); });

  auto parts = fuzz::Fields(data + 1, size - 1, 3);
  for (auto& p : parts) p = p.substr(0, p.find('\0'));
  Check(odd, [&](struct tm* r) {
    return ScanDMY(0, parts[0].c_str(), parts[1].c_str(), parts[2].c_str(), r, reset);
  });
  Check(odd, [&](struct tm* r) {
    int ok = ScanHMS(0, parts[0].c_str(), parts[1].c_str(), parts[2].c_str(), r, reset);
    if (ok) FUZZ_CHECK(r->tm_hour >= 0 && r->tm_hour <= 24);
    return ok;
  });

  // IsDate works in place on an exact-size copy.
  std::vector<char> copy(text.begin(), text.end());
  copy.push_back('\0');
  int is_date = IsDate(0, copy.data());
  FUZZ_CHECK(is_date == 0 || is_date == 1);
  FUZZ_CHECK(copy.back() == '\0' && strlen(copy.data()) == text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (copy[i] != text[i]) FUZZ_CHECK((text[i] == '-' || text[i] == '.') && copy[i] == '/');
  }
  return 0;
}
