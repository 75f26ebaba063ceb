#include "http/ll_target.h"

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gtest/gtest.h"

namespace {

using Params = std::vector<std::pair<std::string, std::string>>;

struct TargetCase {
  std::string target;
  int result;
  const char* path;  // "" unless read
  Params params;     // none unless read
};

// Reads from an exact-size heap copy, so that a read past the terminator is
// caught by the address sanitizer, into a record full of garbage, so that a
// field left unterminated shows.
void Check(const TargetCase& c) {
  SCOPED_TRACE(testing::Message() << "target: \"" << c.target << "\"");
  std::unique_ptr<char[]> exact(new char[c.target.size() + 1]);
  memcpy(exact.get(), c.target.c_str(), c.target.size() + 1);
  auto out = std::make_unique<HttpTarget>();
  memset(out.get(), 'x', sizeof *out);
  ASSERT_EQ(ReadHttpTarget(exact.get(), out.get()), c.result);
  EXPECT_STREQ(out->path, c.path);
  ASSERT_EQ(out->param_count, static_cast<int>(c.params.size()));
  for (size_t i = 0; i < c.params.size(); ++i) {
    EXPECT_STREQ(out->params[i].name, c.params[i].first.c_str()) << i;
    EXPECT_STREQ(out->params[i].value, c.params[i].second.c_str()) << i;
  }
}

// "/?p0=v&p1=v..." with count parameters.
std::string WithParams(int count) {
  std::string target = "/?";
  for (int i = 0; i < count; ++i) target += (i ? "&p" : "p") + std::to_string(i) + "=v";
  return target;
}

TEST(ReadHttpTarget, PathsAndQueries) {
  const TargetCase cases[] = {
      {"/", kTargetRead, "/", {}},
      {"/?", kTargetRead, "/", {}},
      {"/status/entry?", kTargetRead, "/status/entry", {}},
      {"/a%20b/%C3%a9%7E", kTargetRead, "/a b/\xC3\xA9~", {}},
      {"/a+b?x=a+b%2B", kTargetRead, "/a+b", {{"x", "a b+"}}},
      {"/?a=b=c", kTargetRead, "/", {{"a", "b=c"}}},
      {"/?&&", kTargetRead, "/", {}},
      {"/?&a&&b=&", kTargetRead, "/", {{"a", ""}, {"b", ""}}},
      {"/?a=1&a=2", kTargetRead, "/", {{"a", "1"}, {"a", "2"}}},
      {"/?x=%3D%26%3f%2F", kTargetRead, "/", {{"x", "=&?/"}}},
      {"/p?x=1?y=2#f", kTargetRead, "/p", {{"x", "1?y=2#f"}}},
      {"/p#f", kTargetRead, "/p#f", {}},
      {"/?%41+b=%01", kTargetRead, "/", {{"A b", "\x01"}}},
  };
  for (const TargetCase& c : cases) Check(c);
}

TEST(ReadHttpTarget, LimitsHoldUpToTheirBound) {
  const std::string name(32, 'n'), value(256, 'v');
  std::string escaped_name;
  for (int i = 0; i < 32; ++i) escaped_name += "%41";
  Params sixteen;
  for (int i = 0; i < 16; ++i) sixteen.push_back({"p" + std::to_string(i), "v"});
  const std::string longest_path = "/" + std::string(kRequestTargetSize - 2, 'p');
  const TargetCase cases[] = {
      {WithParams(16), kTargetRead, "/", sixteen},
      {WithParams(16) + "&&", kTargetRead, "/", sixteen},
      {"/?" + name + "=" + value, kTargetRead, "/", {{name, value}}},
      {"/?" + escaped_name + "=" + std::string(256, '+'),
       kTargetRead,
       "/",
       {{std::string(32, 'A'), std::string(256, ' ')}}},
      {longest_path, kTargetRead, longest_path.c_str(), {}},
  };
  for (const TargetCase& c : cases) Check(c);
}

// ---- Refused targets -----------------------------------------------------------

TEST(ReadHttpTarget, MalformedTargets) {
  const char* targets[] = {
      "",        "a",       "x/?a=b", "%2F", "/%",     "/%4",       "/%zz",   "/%4g",   "/%00",
      "/a%2Fb",  "/a%2fb",  "/a b",   "/\t", "/\x7f",  "/\xC3\xA9", "/?a=%",  "/?a=%4", "/?a%zz=b",
      "/?a=%00", "/?%00=b", "/?=v",   "/?=", "/?a&=b", "/?a=\x01",  "/?a=b c"};
  for (const char* target : targets) Check({target, kTargetMalformed, "", {}});
  HttpTarget out;
  out.param_count = 5;
  EXPECT_EQ(ReadHttpTarget(nullptr, &out), kTargetMalformed);
  EXPECT_STREQ(out.path, "");
  EXPECT_EQ(out.param_count, 0);
}

TEST(ReadHttpTarget, TargetsPastALimit) {
  const std::string value(257, 'v');
  const TargetCase cases[] = {
      {WithParams(17), kTargetTooLarge, "", {}},
      {"/?" + std::string(33, 'n') + "=v", kTargetTooLarge, "", {}},
      {"/?n=" + value, kTargetTooLarge, "", {}},
      {"/?n=" + std::string(257, '+'), kTargetTooLarge, "", {}},
      {"/" + std::string(kRequestTargetSize - 1, 'p'), kTargetTooLarge, "", {}},
      // The first fault from the left decides.
      {"/?n=" + value + "%zz", kTargetTooLarge, "", {}},
      {"/?n=%zz" + value, kTargetMalformed, "", {}},
      {WithParams(16) + "&b=%zz", kTargetTooLarge, "", {}},
      {"/%zz" + std::string(kRequestTargetSize, 'p'), kTargetTooLarge, "", {}},
  };
  for (const TargetCase& c : cases) Check(c);
}

}  // namespace
