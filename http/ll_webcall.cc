#include "http/ll_webcall.h"

#include <cstdio>
#include <cstring>

#include "http/ll_chars.h"

namespace {

constexpr const char *kMethods[] = {"GET", "HEAD", "POST", "PUT", "PATCH", "DELETE", "OPTIONS"};

// The names jantor writes itself: a second Host would let a table row aim
// the request at another site than the one it connected to, and framing
// headers of the user's would make the server read the body differently
// from what is sent.
constexpr const char *kFramingNames[] = {"Host", "Content-Length", "Transfer-Encoding"};

// Formats the reason when there is room for one; returns 0, the result of
// every refusal. Only fixed words and numbers are ever formatted: the
// refused text itself may be a secret.
int Refuse(char *reason, int reason_size, const char *format, int number = 0,
           const char *word = "") {
  if (reason != nullptr && reason_size > 0) snprintf(reason, reason_size, format, number, word);
  return 0;
}

// ASCII only: a locale must not decide what a method or a name is.
char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameWord(const char *text, size_t length, const char *word) {
  if (strlen(word) != length) return false;
  for (size_t i = 0; i < length; ++i) {
    if (Upper(text[i]) != Upper(word[i])) return false;
  }
  return true;
}

// The output of the header lines, bounded by the caller's buffer.
struct LineWriter {
  char *at;
  char *end;  // one past the last byte that may hold text (the terminator's place stays free)
  bool Put(const char *bytes, size_t length) {
    if (length > static_cast<size_t>(end - at)) return false;
    memcpy(at, bytes, length);
    at += length;
    return true;
  }
};

// Checks one non-empty header line (without its line end and trailing
// white space) and writes it as "Name: value\r\n". Returns 1, or 0 with the
// reason.
int PutHeaderLine(const char *line, size_t length, int position, int has_credentials,
                  LineWriter *out, char *reason, int reason_size) {
  const char *colon = static_cast<const char *>(memchr(line, ':', length));
  if (colon == nullptr) {
    return Refuse(reason, reason_size, "header %d: no colon after the name", position);
  }
  size_t name_length = static_cast<size_t>(colon - line);
  bool token = name_length > 0;
  for (size_t i = 0; token && i < name_length; ++i) {
    token = IsTokenChar(line[i]);
  }
  if (!token) return Refuse(reason, reason_size, "header %d: name is not a token", position);
  for (const char *framing : kFramingNames) {
    if (SameWord(line, name_length, framing)) {
      return Refuse(reason, reason_size, "header %d: %s is written by jantor", position, framing);
    }
  }
  if (has_credentials && SameWord(line, name_length, "Authorization")) {
    return Refuse(reason, reason_size,
                  "header %d: Authorization given while i_user or i_pass is set; keep one of them",
                  position);
  }

  const char *value = colon + 1;
  const char *value_end = line + length;
  while (value < value_end && IsBlank(*value)) ++value;
  for (const char *at = value; at < value_end; ++at) {
    // A CR or LF would end the line early and let the rest pose as a
    // header, or as the end of the head, of the user's making.
    if (*at == '\r' || *at == '\n') {
      return Refuse(reason, reason_size, "header %d: value holds a line break", position);
    }
    if (!IsFieldValueChar(*at)) {
      return Refuse(reason, reason_size, "header %d: value holds a control character", position);
    }
  }
  if (!out->Put(line, name_length) || !out->Put(": ", 2) ||
      !out->Put(value, static_cast<size_t>(value_end - value)) || !out->Put("\r\n", 2)) {
    return Refuse(reason, reason_size, "headers: too long once written out");
  }
  return 1;
}

// Checks every line of the header text and writes them all into
// header_lines (header_lines_size > 0 bytes). 1, or 0 with the reason and
// what was written so far left in header_lines.
int WriteHeaderLines(const char *header_text, int has_credentials, char *header_lines,
                     int header_lines_size, char *reason, int reason_size) {
  if (strlen(header_text) > static_cast<size_t>(kWebCallHeaderBytesMost)) {
    return Refuse(reason, reason_size, "headers: more than %d bytes", kWebCallHeaderBytesMost);
  }
  LineWriter out{header_lines, header_lines + header_lines_size - 1};
  int lines = 0;
  for (const char *line = header_text; *line != '\0';) {
    const char *line_end = strchr(line, '\n');
    if (line_end == nullptr) line_end = line + strlen(line);
    const char *next = *line_end == '\n' ? line_end + 1 : line_end;
    // Trailing white space is invisible in an editor, and a CR there is
    // what a CR LF ending leaves.
    while (line_end > line && (IsBlank(line_end[-1]) || line_end[-1] == '\r')) --line_end;
    if (line_end > line) {
      if (++lines > kWebCallHeaderLinesMost) {
        return Refuse(reason, reason_size, "headers: more than %d lines", kWebCallHeaderLinesMost);
      }
      if (!PutHeaderLine(line, static_cast<size_t>(line_end - line), lines, has_credentials, &out,
                         reason, reason_size)) {
        return 0;
      }
    }
    line = next;
  }
  *out.at = '\0';
  return 1;
}

}  // namespace

const char *WebCallMethod(const char *text) {
  if (text == nullptr || text[0] == '\0') return "GET";
  size_t length = strlen(text);
  for (const char *known : kMethods) {
    if (SameWord(text, length, known)) return known;
  }
  return nullptr;
}

int PrepareWebCall(const char *method, const char *header_text, const char *body, int body_length,
                   int has_credentials, WebCall *call, char *header_lines, int header_lines_size,
                   char *reason, int reason_size) {
  if (reason != nullptr && reason_size > 0) reason[0] = '\0';
  if (header_lines != nullptr && header_lines_size > 0) header_lines[0] = '\0';
  // Until it succeeds the call holds no method, so it cannot be sent.
  call->method[0] = '\0';
  call->headers = "";
  call->body = nullptr;
  call->body_length = 0;
  call->time_limit = 0;

  const char *chosen = WebCallMethod(method);
  if (chosen == nullptr) {
    return Refuse(reason, reason_size,
                  "method: not one of GET, HEAD, POST, PUT, PATCH, DELETE, OPTIONS");
  }

  bool has_body = body != nullptr && body_length > 0;
  if (has_body && body_length > kWebCallBodyMost) {
    return Refuse(reason, reason_size, "body: more than %d bytes", kWebCallBodyMost);
  }
  if (has_body && strcmp(chosen, "HEAD") == 0) {
    return Refuse(reason, reason_size, "body: given with HEAD");
  }

  if (header_lines == nullptr || header_lines_size <= 0) {
    return Refuse(reason, reason_size, "headers: no room to write them");
  }
  if (!WriteHeaderLines(header_text != nullptr ? header_text : "", has_credentials, header_lines,
                        header_lines_size, reason, reason_size)) {
    header_lines[0] = '\0';  // no half of the lines stays behind
    return 0;
  }

  snprintf(call->method, sizeof call->method, "%s", chosen);
  call->headers = header_lines;
  call->body = has_body ? body : nullptr;
  call->body_length = has_body ? body_length : 0;
  return 1;
}
