// The HTTP/1.0 client: one request per connection, the reply read byte by
// byte until the server closes. HttpRequest owns the connection and every
// text it builds and releases them before it returns; only the reply, a
// managed string stored through the caller's slot, passes to the caller, who
// releases it with firee(). Every operation prints its progress words
// through the library's output helpers (standard output, or the calling
// thread's capture), unconditionally; server texts are printed as data.
// Threads: every operation may be called from several threads at once, each
// on connections of its own; a connection belongs to one thread at a time.
#ifndef JANTOR_HTTP_LL_HTTP_H_
#define JANTOR_HTTP_LL_HTTP_H_

#include "http/ll_hosttext.h"
#include "http/ll_webcall.h"
#include "net/ll_socks.h"

// Results of the connection operations (0 is success).
enum : int {
  kHttpOpenFailed = 20002,
  kHttpCloseFailed = 20003,
};

// The most bytes one reader stores from a reply (header and body together).
// A server that is still sending at that point is not read any further: the
// reply is cut there and counts as complete, so a server that never stops
// cannot hold a hit or grow its memory without bound. No real page comes
// near it.
enum : int { kHttpReplyLimit = 8 * 1024 * 1024 };

// Both readers also treat GWinsockTimeout seconds without a single byte as
// the end of the connection: what has arrived is the reply, with result 1.
// And one reader call lasts at most kHttpReplyDeadlineFactor times
// GWinsockTimeout (3 minutes by default): a server that drips its reply a
// byte now and then is cut off there in the same way, so no server can hold
// a hit, and with it every later entry of the cycle, for longer. While the
// thread has a deadline set (net/ll_socks.h), that deadline takes the place
// of both limits.
enum : int { kHttpReplyDeadlineFactor = 4 };

// Performs one exchange with host: connects (the "http" service first, port
// only when that fails; a host text with a scheme, a port or an IPv6 address
// is read as http/ll_hosttext.h says: "https://" connects to the "https"
// service or the text's own port first and verifies the server over TLS,
// and the Host header then carries the name alone), sends raw_request when it is not empty, else a
// composed GET (or POST when body is not null and body_length > 0) with Basic
// credentials when user or password is not empty, reads the reply into
// *reply with get_http_data and closes the connection. Returns 1 when the
// reply was read to its end, whatever its HTTP status; 0 otherwise, with
// *reply untouched unless the reader had begun to store it. Null texts count
// as empty. context and reserved are passed on and not used.
// REQUIRES: reply is not null; *reply is null or a managed string.
int HttpRequest(int context, const char *host, const char *object, const char *raw_request,
                const char *body, int body_length, char **reply, int port, int want_header,
                const char *user, const char *password, int want_body, int reserved);

// How one exchange ended, for callers that report on it.
enum HttpEnd : int {
  kHttpReplyRead = 0,  // the reply was read to the end of the connection
  kHttpNotReached,     // the name did not resolve, or every port tried refused or was unreachable
  kHttpTimedOut,       // the connect, a send or the reply ran out of time
  kHttpReplyTooLarge,  // the reply reached kHttpReplyLimit and was cut there
  kHttpTlsRefused,     // the TLS handshake or the certificate check failed
  kHttpHostRefused,    // the host text was refused before any connect
  kHttpOtherFailure,   // anything else: no memory, a failed send or socket
};

struct HttpResult {
  int end;           // HttpEnd
  int status;        // code of the reply's status line ("HTTP/1.1 404 ..."); 0 when none was read
  long long bytes;   // bytes of the reply as received: status line, headers and body
  char reason[160];  // the failure's words as the trace printed them; "" after a status line
};

// HttpRequest, and what became of the exchange in *result (always filled).
// Prints exactly what HttpRequest prints. REQUIRES: result is not null.
int HttpRequestWithResult(int context, const char *host, const char *object,
                          const char *raw_request, const char *body, int body_length, char **reply,
                          int port, int want_header, const char *user, const char *password,
                          int want_body, int reserved, HttpResult *result);

// Everything one exchange sends, gathered once per request: the target
// (its host text taken apart once, by HttpRequestFor), the fallback port,
// the Basic credentials, and what goes on the wire. The record points at
// the caller's texts and owns nothing; it is valid while they are.
struct HttpRequestRecord {
  const char *host;     // the host text as written, for the trace's words
  int host_kind;        // HostTextKind of host
  const char *refusal;  // with kHostTextBad, why the text was refused
  HostText target;      // with kHostTextParsed, its parts: name, port, TLS
  const char *object;   // the path requested
  int port;             // tried when the host's standard service (or its own port) refuses
  const char *user;     // Basic credentials, sent when either is not empty
  const char *password;
  // What is sent: raw_request as it is when not empty; else the web call's
  // head and body when call is not null; else a GET, or a POST of body
  // when it holds bytes.
  const char *raw_request;
  const WebCall *call;
  const char *body;
  int body_length;
  // Seconds the whole exchange may take, name lookup to last byte, in
  // place of the usual limits; 0 keeps those.
  int time_limit;
  int want_header;  // as get_http_data takes them
  int want_body;
};

// Fills *request for a plain GET of object from host (a null text counts
// as empty), reading header and body, with the host text taken apart once;
// the caller then sets what else the exchange sends. Returns
// request->host_kind. Prints nothing. REQUIRES: request is not null.
int HttpRequestFor(HttpRequestRecord *request, const char *host, const char *object, int port,
                   const char *user, const char *password);

// The one exchange behind every request of the client: connects (the
// "http" service first, port only when that fails; a host text with a
// scheme, a port or an IPv6 address as http/ll_hosttext.h reads it: over
// TLS for "https://", the server verified, and the Host header then
// carrying the name alone), sends what the record says, reads the reply
// into *reply with get_http_data and closes the connection. With a
// time_limit the exchange runs under that deadline on this thread
// (net/ll_socks.h) from start to end, and when it runs out it ends as
// kHttpTimedOut with the reason "time limit of <n> s ran out", whatever
// part of the reply had come. Returns 1 when the reply was read to its
// end, whatever its status, else 0; *result is always filled.
// REQUIRES: request, reply and result are not null; *reply is null or a
// managed string.
int HttpSend(int context, const HttpRequestRecord *request, char **reply, HttpResult *result);

// HttpSend of a web call that PrepareWebCall let through
// (http/ll_webcall.h): the request "<method> <object> HTTP/1.0", the Host
// header, the call's header lines, the Basic credentials (when user or
// password is not empty), a Content-Length for a body (and "0" for a POST,
// PUT or PATCH without one), the empty line and the body, under the call's
// time_limit. A null call is a plain GET. REQUIRES: result is not null.
int HttpRequestWithCall(int context, const char *host, const char *object, const WebCall *call,
                        char **reply, int port, int want_header, const char *user,
                        const char *password, int want_body, HttpResult *result);

// The code of a reply's status line, "HTTP/<version> <three digits>" at the
// very start of the reply; 0 when the reply does not start with one.
int HttpStatusCode(const char *reply);

// Connects to host's "http" service, and when that fails to port. 0 with the
// handle in *out, or kHttpOpenFailed with *out null.
int open_http_socket(gensock_connection **out, const char *host, int port);

// One connect to host and service (a port number or a service name). 0 with
// the handle in *out, or kHttpOpenFailed with *out null.
int open_telnet_socket(gensock_connection **out, const char *host, const char *service);

// Closes and frees the connection: 0, or kHttpCloseFailed when the socket
// layer reports an error (a null handle included).
int close_http_socket(gensock_connection *connection);

// Sends text up to its terminator in one gensock_put_data call. 1 or 0.
int put_http_line(gensock_connection *connection, const char *text);

// Sends length bytes in pieces of at most 16384. 1 when all were sent (also
// for length <= 0, which sends nothing), else 0.
int put_http_data(gensock_connection *connection, const char *data, int length);

// Reads the reply to the end of the connection and splits it after the first
// CR or LF that directly follows an LF (that byte ends the header). *reply
// becomes the header (want_header), then the body (want_body), each up to
// its first NUL byte. Returns 1, or 0 after the setting-error line when a
// text cannot be had. REQUIRES: reply is not null.
int get_http_data(int context, gensock_connection *connection, char **reply, int want_header,
                  int want_body, int reserved);

// Reads into *out until the end of the connection or until: limit bytes
// (limit > 0); a byte of value -limit (limit <= 0); with limit -1 also an LF
// that follows a CR or an LF. The stopping byte is kept. Returns 1, or 0
// when the text cannot be had. REQUIRES: out is not null.
int get_http_num(int context, gensock_connection *connection, char **out, int limit);

// 1 when select finds descriptor writable (or in error) within one
// microsecond, else 0.
int SocketPeek(int descriptor);

// Does nothing; returns 0. Kept for callers that ping a host before a
// request: the connect itself reports a host that cannot be reached.
int ping_host(void);

#endif  // JANTOR_HTTP_LL_HTTP_H_
