#include "http/ll_target.h"

#include <cstring>
#include <string_view>

#include "http/ll_chars.h"

namespace {

// The parts differ in two rules: '+' is a space only in the query, and an
// escaped '/' is refused only in the path.
enum Part : int { kInPath, kInQuery };

// Decodes text into the room bytes at out, NUL included. Stops at the first
// fault, leaving out unterminated: the caller then drops the whole record.
int Decode(std::string_view text, Part part, char* out, size_t room) {
  size_t length = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (!IsVisibleChar(c)) return kTargetMalformed;
    if (c == '%') {
      if (text.size() - i < 3) return kTargetMalformed;
      int high = HexDigitValue(text[i + 1]);
      int low = HexDigitValue(text[i + 2]);
      if (high < 0 || low < 0) return kTargetMalformed;
      c = static_cast<char>(high * 16 + low);
      // A NUL would end the text early for every reader after this one.
      if (c == '\0' || (part == kInPath && c == '/')) return kTargetMalformed;
      i += 2;
    } else if (c == '+' && part == kInQuery) {
      c = ' ';
    }
    if (length + 1 >= room) return kTargetTooLarge;
    out[length++] = c;
  }
  out[length] = '\0';
  return kTargetRead;
}

// One "name[=value]" piece of the query, not empty.
int ReadParam(std::string_view piece, HttpTargetParam* param) {
  size_t equals = piece.find('=');
  std::string_view name = piece.substr(0, equals);
  std::string_view value = equals == std::string_view::npos ? "" : piece.substr(equals + 1);
  if (name.empty()) return kTargetMalformed;
  int result = Decode(name, kInQuery, param->name, sizeof param->name);
  if (result != kTargetRead) return result;
  return Decode(value, kInQuery, param->value, sizeof param->value);
}

int ReadTarget(std::string_view target, HttpTarget* out) {
  if (target.empty() || target[0] != '/') return kTargetMalformed;
  size_t question = target.find('?');
  int result = Decode(target.substr(0, question), kInPath, out->path, sizeof out->path);
  if (result != kTargetRead || question == std::string_view::npos) return result;

  std::string_view query = target.substr(question + 1);
  for (;;) {
    size_t piece_end = query.find('&');
    std::string_view piece = query.substr(0, piece_end);
    // Skipped rather than refused, as browsers skip them when they read a
    // query: a form or a hand-made link easily leaves a stray '&'.
    if (!piece.empty()) {
      if (out->param_count == kTargetMostParams) return kTargetTooLarge;
      result = ReadParam(piece, &out->params[out->param_count]);
      if (result != kTargetRead) return result;
      ++out->param_count;
    }
    if (piece_end == std::string_view::npos) return kTargetRead;
    query.remove_prefix(piece_end + 1);
  }
}

}  // namespace

int ReadHttpTarget(const char* target, HttpTarget* out) {
  out->path[0] = '\0';
  out->param_count = 0;
  if (target == nullptr) return kTargetMalformed;
  // Never more than the room of a request head's target is looked at.
  size_t length = strnlen(target, kRequestTargetSize);
  if (length == static_cast<size_t>(kRequestTargetSize)) return kTargetTooLarge;
  int result = ReadTarget(std::string_view(target, length), out);
  if (result != kTargetRead) {
    out->path[0] = '\0';
    out->param_count = 0;
  }
  return result;
}
