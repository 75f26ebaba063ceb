// ReadHttpTarget on any text stays inside it (up to its terminator) and
// inside its record: a read target has every field terminated within its
// room, a path that begins with '/' and is never longer than the text, and
// as many names as it has parameters, none empty; a refused one leaves the
// record empty. Reading the same text again, into a record that held other
// garbage, gives the same result and the same fields.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "http/ll_target.h"

namespace {

bool Terminated(const char* field, size_t size) { return strnlen(field, size) < size; }

// Reads from an exact-size copy, so that a read past the terminator is
// caught, into a record first filled with filler.
std::unique_ptr<HttpTarget> Read(const std::string& text, char filler, int* result) {
  std::vector<char> exact(text.begin(), text.end());
  exact.push_back('\0');
  auto out = std::make_unique<HttpTarget>();
  memset(out.get(), filler, sizeof *out);
  *result = ReadHttpTarget(exact.data(), out.get());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text = fuzz::Text(data, size);
  int result;
  std::unique_ptr<HttpTarget> out = Read(text, 'x', &result);
  FUZZ_CHECK(result == kTargetRead || result == kTargetMalformed || result == kTargetTooLarge);
  if (text.size() >= static_cast<size_t>(kRequestTargetSize)) FUZZ_CHECK(result == kTargetTooLarge);
  if (result != kTargetRead) {
    FUZZ_CHECK(out->path[0] == '\0' && out->param_count == 0);
    return 0;
  }

  FUZZ_CHECK(Terminated(out->path, sizeof out->path));
  std::string_view path = out->path;
  std::string_view raw_path = std::string_view(text).substr(0, text.find('?'));
  FUZZ_CHECK(!path.empty() && path[0] == '/' && path.size() <= raw_path.size());
  // An escaped '/' is refused, so the decoded path has the separators the
  // client wrote and no others.
  FUZZ_CHECK(std::count(path.begin(), path.end(), '/') ==
             std::count(raw_path.begin(), raw_path.end(), '/'));
  if (raw_path.find('%') == std::string_view::npos) FUZZ_CHECK(path == raw_path);
  FUZZ_CHECK(out->param_count >= 0 && out->param_count <= kTargetMostParams);
  FUZZ_CHECK(static_cast<size_t>(out->param_count) <=
             std::count(text.begin(), text.end(), '&') + 1u);
  for (int i = 0; i < out->param_count; ++i) {
    const HttpTargetParam& param = out->params[i];
    FUZZ_CHECK(Terminated(param.name, sizeof param.name) && param.name[0] != '\0');
    FUZZ_CHECK(Terminated(param.value, sizeof param.value));
  }

  int again;
  std::unique_ptr<HttpTarget> second = Read(text, 'y', &again);
  FUZZ_CHECK(again == result && second->param_count == out->param_count);
  FUZZ_CHECK(strcmp(second->path, out->path) == 0);
  for (int i = 0; i < out->param_count; ++i) {
    FUZZ_CHECK(strcmp(second->params[i].name, out->params[i].name) == 0);
    FUZZ_CHECK(strcmp(second->params[i].value, out->params[i].value) == 0);
  }
  return 0;
}
