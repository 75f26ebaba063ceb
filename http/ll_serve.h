// A small HTTP/1.x server for one local endpoint (the daemon's metrics page):
// one thread of its own answers one request per connection, with a handler
// the caller gives. The server owns its listener and every connection it
// accepts; StopHttpServer closes them all. The handler runs on the server's
// thread, while the caller's threads go on: it must read shared state only
// through atomics or locks of its own, and a response that takes long to make
// is answered later, from another thread, with HttpAnswer (see HttpHandler),
// so that the server goes on answering others meanwhile. Clients that connect
// and say nothing, however many, cannot keep others from being answered: the
// server sheds them (see StartHttpServer); nor can answers that are slow to
// come, which hold only some of the turns.
// Threads: ReadHttpRequest, OpenHttpListener, HttpAnswerLater and
// HttpResponse share nothing, so any number of threads may call them at once;
// HttpAnswer and HttpClientWaiting may be called from any thread between
// StartHttpServer and StopHttpServer; StartHttpServer and StopHttpServer
// belong to the thread that owns the server.
#ifndef JANTOR_HTTP_LL_SERVE_H_
#define JANTOR_HTTP_LL_SERVE_H_

#include <cstddef>
#include <string>
#include <string_view>

enum : int {
  kMostRequestBytes = 8192,   // longest request head, its blank line included
  kServedAtOnce = 16,         // connections served at once, each within its deadline
  kAwaitingAtOnce = 12,       // of those, waiting for a later answer at most (see HttpHandler)
  kQueuedAtOnce = 48,         // more accepted ones waiting their turn (see StartHttpServer)
  kRequestDeadlineMs = 5000,  // from a connection's turn until it is closed, answered or not
  kRequestMethodSize = 16,    // room of HttpRequestHead::method, NUL included
  kRequestTargetSize = 1024,  // room of HttpRequestHead::target, NUL included
  kHttpListenBacklog = 128,   // connections the system queues until the server's thread wakes
};

// The content type of the server's own short answers (400, 431) and of
// any plain text a handler sends.
inline constexpr char kHttpPlainText[] = "text/plain; charset=utf-8";

struct HttpRequestHead {
  char method[kRequestMethodSize];  // token characters only, e.g. "GET"
  char target[kRequestTargetSize];  // begins with '/'; visible ASCII, as sent (not unescaped)
  // 0 from ReadHttpRequest; for the handler, a number no other request of
  // this process has had, which names the request to HttpAnswer.
  unsigned long long ticket;
};

enum HttpRequestRead : int {
  kRequestIncomplete,  // no end of the head yet, and still within kMostRequestBytes
  kRequestComplete,    // *out holds the request line's method and target
  kRequestMalformed,   // a line of the head breaks the rules below
  kRequestTooLarge,    // the head does not end within kMostRequestBytes
};

// Reads the request head at the start of the length bytes at data: a line
// "METHOD SP TARGET SP HTTP/1.0" (or HTTP/1.1), then header lines "name:
// value", then an empty line; lines end with CRLF or a bare LF, and bytes
// after the head (a body) are not looked at. Only the first
// kMostRequestBytes bytes are ever read, and each line is judged once it has
// ended, so a result other than kRequestIncomplete stays the same however
// many bytes follow. Malformed: an empty request line; a method that is not
// 1..15 token characters; a target that does not begin with '/', has a byte
// outside visible ASCII or is longer than 1023 bytes; any version but
// HTTP/1.0 and HTTP/1.1; a single space missing or added; a CR that does not
// end a line; a header line that begins with whitespace, has no colon, a
// name that is not a token, or a control character (but tab) in its value.
// *out is filled for kRequestComplete and has empty texts otherwise; its
// ticket is 0 either way.
// REQUIRES: out is not null; data may be null only when length is 0.
int ReadHttpRequest(const char* data, size_t length, HttpRequestHead* out);

// Opens a listening socket for the endpoint text "[ADDRESS:]PORT": ADDRESS
// is a dotted IPv4 address (127.0.0.1 when left out; 0.0.0.0 is every IPv4
// address) or an IPv6 address in brackets ("[::1]"); "[::]" is every
// address of both families, IPv4 included, whatever the system's default
// for IPv6 sockets. PORT is 1..65535 in decimal digits. Returns 0 with a
// listening, non-blocking, close-on-exec socket in *fd; or -1 with *fd = -1
// and the reason in why (cut to why_size): "not [ADDRESS:]PORT" for a text
// that does not parse, else the system's error text ("Address already in
// use"). Nothing is printed. A null text counts as "".
// REQUIRES: fd is not null; why may be null when why_size is 0.
int OpenHttpListener(const char* text, int* fd, char* why, size_t why_size);

struct HttpServer;

// Writes the whole response to request into *response (which starts
// empty), usually with HttpResponse. An empty response closes the
// connection without an answer. Runs on the server's thread.
//
// A handler whose response would make the server wait (a page read from a
// database) calls HttpAnswerLater(response) instead and hands
// request.ticket to a thread of its own, which makes the response and gives
// it with HttpAnswer. Meanwhile the connection keeps its turn and its
// deadline, and is not read from: a client that closes is found out only
// when its answer is written or its deadline passes, or when the thread
// asks HttpClientWaiting before it makes the answer. At most
// awaiting_at_once requests (see HttpServerLimits) wait for an answer not
// yet given: one more that asks to be answered later is answered
// "HTTP/1.1 503 Service Unavailable" at once, and HttpAnswer refuses its
// ticket. So the other turns stay for requests answered at once, however
// slowly the later answers come.
using HttpHandler = void (*)(const HttpRequestHead& request, std::string* response, void* context);

// Marks *response, in a handler, as to be answered later with HttpAnswer.
// The mark is a lone NUL byte, which no HTTP response can be.
// REQUIRES: response is not null.
void HttpAnswerLater(std::string* response);

// Bounds of a server. Only tests change them; null means these defaults.
struct HttpServerLimits {
  int served_at_once = kServedAtOnce;
  int request_deadline_ms = kRequestDeadlineMs;
  int queued_at_once = kQueuedAtOnce;
  int awaiting_at_once = kAwaitingAtOnce;  // taken as 1 to served_at_once
};

// Starts serving connections on listen_fd, which the server owns from now
// on, on a thread of its own that has every signal blocked. Each connection
// gets one response: the handler's for a complete head (at once, or later
// through HttpAnswer), "HTTP/1.1 400 Bad Request" for a malformed one,
// "HTTP/1.1 431 Request Header Fields Too Large" for one past
// kMostRequestBytes. Once the response is written the server shuts its side
// and closes the connection when the client closes its own, or half a
// second later, discarding what the client sends meanwhile (a body):
// closing on unread bytes would reset the connection and could destroy the
// answer before the client reads it.
//
// At most served_at_once connections are served at once, each closed at
// its deadline, request_deadline_ms after its turn came, in whatever phase;
// one that has not had its response written by then gets no answer at all.
// A connection waiting for a later answer keeps its turn meanwhile, and
// at most awaiting_at_once of them wait (see HttpHandler).
// The server takes every connection the system has queued as soon as the
// listener is readable, and up to queued_at_once of them wait for a turn,
// in the order they came, their time not yet running: a burst of honest
// clients larger than served_at_once is served in turn, each with its whole
// time, as if they had waited in the system's backlog. Unlike that
// backlog, which cannot tell a scraper from a socket left silent, the
// server reads what a waiting client sends, and:
//  - a waiting connection whose head has ended (or broken a rule, or
//    outgrown kMostRequestBytes) goes first when a turn frees, and when
//    none is free it takes the turn of the served connection that is still
//    reading its head and has been silent the longest, which is closed
//    unanswered: a client that has said all it has to say goes before one
//    that has not;
//  - when the queue is full, a newcomer takes the place of the waiting
//    connection still reading its head that has been silent the longest
//    (since it was accepted or last sent a byte; the newcomer itself when
//    no other is reading), which is closed unanswered; when every waiting
//    one has a complete head, the newcomer is closed.
// So however many connections are opened and left silent or trickling,
// the server holds at most served_at_once + queued_at_once (and a newcomer
// for a moment), with at most kMostRequestBytes of head each, and a client
// that sends its request as soon as it connects is answered at once: it is
// the newest connection, read as soon as it is accepted, and the one with
// a complete head. The defaults, 64 connections in all, are few next to the
// descriptors the hits need, and a newcomer is read long before 48 newer
// ones could push it out. Returns null (having closed listen_fd) when the
// thread or its wake-up descriptor cannot be had.
HttpServer* StartHttpServer(int listen_fd, HttpHandler handler, void* context,
                            const HttpServerLimits* limits = nullptr);

// Closes the listener and every connection, answered or not, joins the
// thread and frees the server. Null does nothing.
// REQUIRES: no thread calls HttpAnswer for server during or after the call.
void StopHttpServer(HttpServer* server);

// Gives the answer to the request that ticket names, whose handler called
// HttpAnswerLater: the server's thread writes response (as HttpResponse
// makes one; an empty one closes the connection without an answer) as it
// writes any other, within the same deadline. Returns true when the answer
// was handed over; false when that connection is gone (closed at its
// deadline), was answered already, or the ticket was never handed to
// server's handler for a later answer. True says nothing of
// the client, which may have closed meanwhile or miss the rest of its
// deadline. Safe from any thread, the handler's included.
// REQUIRES: server is running (see StopHttpServer).
bool HttpAnswer(HttpServer* server, unsigned long long ticket, std::string response);

// Whether the client of the request that ticket names still waits for the
// answer: false when HttpAnswer would refuse the ticket, and when the
// client has ended its side of the connection. A client that shuts only
// its sending side cannot be told from one that has closed, and is taken
// for gone. For a thread that is about to make a costly answer; it may
// still be closed before the answer is given. Safe from any thread.
// REQUIRES: server is running (see StopHttpServer).
bool HttpClientWaiting(HttpServer* server, unsigned long long ticket);

// Replaces *out with the response
//   "HTTP/1.1 <status> <reason>\r\n"
//   "Content-Type: <content_type>\r\n"   (left out when content_type is null or "")
//   "Content-Length: <bytes of body>\r\n"
//   "Connection: close\r\n"
//   "<extra_headers>\r\n"                 (each extra line ends with "\r\n" itself)
//   "<body>"
// REQUIRES: out, reason and extra_headers are not null.
void HttpResponse(std::string* out, int status, const char* reason, const char* content_type,
                  std::string_view body, const char* extra_headers = "");

#endif  // JANTOR_HTTP_LL_SERVE_H_
