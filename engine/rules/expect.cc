#include "engine/rules/expect.h"

#include <algorithm>

#include "base/ll_ascii.h"

namespace {

constexpr std::string_view kContains = "body contains";
constexpr std::string_view kLacks = "body lacks";
// A quoted part of i_expect in a reason is cut here: the reason's field is
// short, and the whole text is in the table anyway.
constexpr size_t kQuotedMost = 40;

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string Cut(std::string_view text) {
  return std::string(text.substr(0, kQuotedMost)) + (text.size() > kQuotedMost ? "..." : "");
}

std::string Quoted(std::string_view text) { return "'" + Cut(text) + "'"; }

// A whole number of exactly three digits from 100 to 599, or -1.
int StatusCode(std::string_view text) {
  if (text.size() != 3 || !std::all_of(text.begin(), text.end(), IsDigit)) return -1;
  int code = (text[0] - '0') * 100 + (text[1] - '0') * 10 + (text[2] - '0');
  return code >= 100 && code <= 599 ? code : -1;
}

bool ReadStatus(std::string_view item, ExpectRule::Range* range) {
  if (item.size() == 3 && item[0] >= '1' && item[0] <= '5' &&
      (item.substr(1) == "xx" || item.substr(1) == "XX")) {
    range->low = (item[0] - '0') * 100;
    range->high = range->low + 99;
    return true;
  }
  size_t dash = item.find('-');
  if (dash == std::string_view::npos) {
    range->low = range->high = StatusCode(item);
    return range->low > 0;
  }
  range->low = StatusCode(Trimmed(item.substr(0, dash)));
  range->high = StatusCode(Trimmed(item.substr(dash + 1)));
  return range->low > 0 && range->high >= range->low;
}

// Whether text starts with the clause's keyword, then a blank or its end.
bool Starts(std::string_view text, std::string_view keyword) {
  return text.substr(0, keyword.size()) == keyword &&
         (text.size() == keyword.size() || IsBlank(text[keyword.size()]));
}

// Where the clause after at begins: the next ';' that a clause follows.
size_t NextClause(std::string_view text, size_t at) {
  for (size_t semicolon = text.find(';', at); semicolon != std::string_view::npos;
       semicolon = text.find(';', semicolon + 1)) {
    std::string_view rest = Trimmed(text.substr(semicolon + 1));
    if (Starts(rest, kContains) || Starts(rest, kLacks)) return semicolon;
  }
  return text.size();
}

}  // namespace

bool ParseExpect(std::string_view text, bool head, ExpectRule* rule, std::string* reason) {
  *rule = ExpectRule();
  size_t end = std::min(text.find(';'), text.size());
  std::string_view list = Trimmed(text.substr(0, end));
  rule->statuses_text = std::string(list);
  if (!list.empty()) {
    for (size_t at = 0; at <= list.size();) {
      size_t comma = std::min(list.find(',', at), list.size());
      std::string_view item = Trimmed(list.substr(at, comma - at));
      ExpectRule::Range range;
      if (!ReadStatus(item, &range)) {
        *reason = item.empty() ? "i_expect: an empty status in " + Quoted(list)
                               : "i_expect: " + Quoted(item) + " is no status code, class or range";
        return false;
      }
      rule->statuses.push_back(range);
      at = comma + 1;
    }
  }
  while (end < text.size()) {
    size_t next = NextClause(text, end + 1);
    std::string_view clause = Trimmed(text.substr(end + 1, next - end - 1));
    bool contains = Starts(clause, kContains);
    bool lacks = Starts(clause, kLacks);
    if (!contains && !lacks) {
      *reason = "i_expect: " + Quoted(clause) +
                " is no clause (body contains TEXT, or body lacks TEXT)";
      return false;
    }
    std::string_view body = Trimmed(clause.substr(contains ? kContains.size() : kLacks.size()));
    if (body.empty()) {
      *reason = std::string("i_expect: body ") + (contains ? "contains" : "lacks") + " needs a text";
      return false;
    }
    if (head) {
      *reason = "i_expect: a HEAD reply has no body to look into";
      return false;
    }
    rule->body.push_back({contains, std::string(body)});
    end = next;
  }
  return true;
}

bool ExpectsStatus(const ExpectRule& rule, int status) {
  if (rule.statuses.empty()) return status >= 200 && status <= 399;
  return std::any_of(rule.statuses.begin(), rule.statuses.end(),
                     [status](const ExpectRule::Range& r) { return status >= r.low && status <= r.high; });
}

bool MeetsExpect(const ExpectRule& rule, int status, std::string_view body, std::string* reason) {
  if (!ExpectsStatus(rule, status)) {
    *reason = "status " + std::to_string(status) + " not in " +
              (rule.statuses.empty() ? std::string("2xx,3xx") : Cut(rule.statuses_text));
    return false;
  }
  std::string_view looked = body.substr(0, std::min(body.size(), size_t{kExpectBodyMost}));
  for (const ExpectRule::BodyClause& clause : rule.body) {
    bool found = looked.find(clause.text) != std::string_view::npos;
    if (found != clause.contains) {
      *reason = clause.contains ? "body lacks the expected text" : "body holds the text it must lack";
      return false;
    }
  }
  return true;
}
