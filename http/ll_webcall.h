// The web call an entry may ask for in place of a plain GET: a method, the
// user's header lines and a body, each read from the entry's own columns,
// and checked here before any connection is made. A call that is refused
// never reaches the network, and the reason says what was refused by name
// and position ("header 2: value holds a line break"), never by value:
// header values and bodies hold secrets. Pure functions over the caller's
// buffers; any thread may call them at once.
#ifndef JANTOR_HTTP_LL_WEBCALL_H_
#define JANTOR_HTTP_LL_WEBCALL_H_

// What the checks let through at most.
enum : int {
  kWebCallHeaderLinesMost = 64,
  kWebCallHeaderBytesMost = 16 * 1024,  // of the header text as stored
  kWebCallBodyMost = 1024 * 1024,
  // Room for the header lines as sent: the stored text with every line
  // ending turned into CR LF and a blank after each name's colon.
  kWebCallHeaderLinesSize = kWebCallHeaderBytesMost + 3 * kWebCallHeaderLinesMost + 1,
};

struct WebCall {
  char method[8];       // "GET", "HEAD", "POST", "PUT", "PATCH", "DELETE" or "OPTIONS"
  const char *headers;  // the lines to send, each "Name: value\r\n"; "" for none
  const char *body;     // the bytes to send after the head; null for none
  int body_length;
  // Seconds the whole exchange may take, from the name lookup to the last
  // byte of the reply, in place of the usual limits; 0 keeps those.
  int time_limit;
};

// The method that text names, as the list above writes it (the letters'
// case does not matter): "GET" for null or empty text, null when it names
// none.
const char *WebCallMethod(const char *text);

// Checks an entry's method text, header text and body (null or empty counts
// as absent; the body is body_length bytes) and fills *call. The header
// lines go, in the order given and with CR LF endings, into header_lines
// (header_lines_size bytes, at least kWebCallHeaderLinesSize), which
// call->headers then points at; call->body points at body. has_credentials
// says that Basic credentials will be sent. Returns 1, or 0 with the reason
// of the refusal in reason (reason_size bytes) and *call unusable.
int PrepareWebCall(const char *method, const char *header_text, const char *body, int body_length,
                   int has_credentials, WebCall *call, char *header_lines, int header_lines_size,
                   char *reason, int reason_size);

#endif  // JANTOR_HTTP_LL_WEBCALL_H_
