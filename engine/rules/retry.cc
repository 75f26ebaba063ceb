#include "engine/rules/retry.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "base/ll_ascii.h"

namespace {

// A whole number of digits only, up to nine of them; -1 for any other text.
long WholeNumber(std::string_view text) {
  if (text.empty() || text.size() > 9) return -1;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && (IsBlank(text.back()) || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

// An HTTP date in any of the three forms servers send (the preferred
// "Sun, 06 Nov 1994 08:49:37 GMT", the old "Sunday, 06-Nov-94 08:49:37 GMT"
// and asctime's "Sun Nov  6 08:49:37 1994"), always in UTC; -1 otherwise.
time_t HttpDate(std::string_view value) {
  std::string text(value);
  for (const char* form :
       {"%a, %d %b %Y %H:%M:%S GMT", "%A, %d-%b-%y %H:%M:%S GMT", "%a %b %e %H:%M:%S %Y"}) {
    struct tm parts;
    memset(&parts, 0, sizeof parts);
    const char* end = strptime(text.c_str(), form, &parts);
    if (end != nullptr && *end == '\0') return timegm(&parts);
  }
  return -1;
}

}  // namespace

RetryRule RetryRuleOf(const char* retries, const char* delay) {
  RetryRule rule{0, kDefaultRetryDelaySecs};
  long count = WholeNumber(retries);
  if (count >= 0 && count <= kMostRetries) rule.retries = static_cast<int>(count);
  long secs = WholeNumber(delay);
  if (secs >= 1 && secs <= kMostRetryDelaySecs) rule.delay_secs = static_cast<int>(secs);
  return rule;
}

bool MayRetry(HitOutcome outcome, int status, const char* method) {
  bool server_did_not_act = status == 408 || status == 429 || status == 503;
  if (strcmp(method, "POST") == 0 || strcmp(method, "PATCH") == 0)
    return outcome == kHitUnreachable || outcome == kHitNoToken ||
           ((outcome == kHitClientError || outcome == kHitServerError) && server_did_not_act);
  switch (outcome) {
    case kHitUnreachable:
    case kHitNoToken:
    case kHitTimeout:
    case kHitNoStatus:
    case kHitServerError:
      return true;
    case kHitClientError:
      return status == 408 || status == 429;
    default:
      return false;
  }
}

long RetryAfterSecs(const char* reply, time_t now) {
  std::string_view rest(reply != nullptr ? reply : "");
  bool status_line = true;
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (status_line) {
      status_line = false;
      continue;
    }
    if (line.empty()) break;  // the end of the header
    constexpr std::string_view kName = "retry-after:";
    if (line.size() < kName.size() || strncasecmp(line.data(), kName.data(), kName.size()) != 0)
      continue;
    std::string_view value = Trim(line.substr(kName.size()));
    if (!value.empty() && std::all_of(value.begin(), value.end(), IsDigit))
      return value.size() > 9 ? 999999999L : WholeNumber(value);
    time_t when = HttpDate(value);
    if (when == -1) return -1;
    return when > now ? static_cast<long>(when - now) : 0;
  }
  return -1;
}

time_t NextAttemptTime(const RetryRule& rule, int attempt, HitOutcome outcome, int status,
                       const char* method, long retry_after, time_t now, time_t next_run,
                       uint32_t random) {
  if (HitSucceeded(outcome) || attempt < 1 || attempt > rule.retries ||
      !MayRetry(outcome, status, method) || retry_after > kLongestRetryWaitSecs)
    return -1;
  // The doubling stops at the cap long before it could overflow.
  long longest = rule.delay_secs;
  for (int n = 1; n < attempt && longest < kLongestRetryWaitSecs; ++n) longest *= 2;
  longest = std::min<long>(longest, kLongestRetryWaitSecs);
  long shortest = (longest + 1) / 2;
  long wait = shortest + static_cast<long>(random % static_cast<uint32_t>(longest - shortest + 1));
  wait = std::max(wait, retry_after);
  time_t when = now + wait;
  return when < next_run ? when : -1;
}
