// What a successful reply is for one entry (i_expect): a list of status
// codes, classes and ranges ("200", "200,204", "2xx,301", "200-299"),
// optionally followed by clauses on the body ("; body contains TEXT",
// "; body lacks TEXT"), every one of which must hold. TEXT is compared as
// bytes within the first kExpectBodyMost bytes of the body and is never
// printed: a reason names the clause that failed, not what the body held.
// An empty list stands for what counts as success without i_expect (2xx
// and 3xx). Pure functions: any thread may call them at once.
#ifndef JANTOR_ENGINE_RULES_EXPECT_H_
#define JANTOR_ENGINE_RULES_EXPECT_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

enum : size_t { kExpectBodyMost = 1024 * 1024 };

struct ExpectRule {
  struct Range {
    int low, high;
  };
  struct BodyClause {
    bool contains;  // "body contains"; else "body lacks"
    std::string text;
  };
  std::vector<Range> statuses;  // empty: 200-399
  std::string statuses_text;    // the list as written, for a reason ("200,204")
  std::vector<BodyClause> body;
};

// Reads text into *rule. false, with *reason naming the clause that cannot
// be read ("i_expect: '2x9' is no status code, class or range"), when it
// does not parse; a HEAD entry (head) may have no body clause.
bool ParseExpect(std::string_view text, bool head, ExpectRule* rule, std::string* reason);

// Whether the rule lists status.
bool ExpectsStatus(const ExpectRule& rule, int status);

// Whether a reply of status with that body meets the rule; when it does
// not, *reason says which part failed ("status 204 not in 200", "body lacks
// the expected text", "body holds the text it must lack").
bool MeetsExpect(const ExpectRule& rule, int status, std::string_view body, std::string* reason);

#endif  // JANTOR_ENGINE_RULES_EXPECT_H_
