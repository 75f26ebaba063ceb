#include "http/ll_http.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <sys/select.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/ll_ascii.h"
#include "base/ll_cpapi.h"
#include "base/ll_string.h"
#include "http/ed_b64.h"
#include "http/ll_hosttext.h"

namespace {

// Largest piece of a request body handed to one gensock_put_data call.
constexpr int kPostPiece = 16384;

constexpr char kHttpNoMemory[] = "no memory";

// ---- Output ----------------------------------------------------------------

const char *OrEmpty(const char *text) { return text != nullptr ? text : ""; }

// ---- Owned resources ---------------------------------------------------------

// A managed string that belongs to one call and is released when it ends.
struct OwnedText {
  char *text = nullptr;
  OwnedText() = default;
  OwnedText(const OwnedText &) = delete;
  OwnedText &operator=(const OwnedText &) = delete;
  ~OwnedText() { firee(text); }
};

// A connection that belongs to one call and is closed when it ends.
struct OwnedConnection {
  gensock_connection *connection = nullptr;
  OwnedConnection() = default;
  OwnedConnection(const OwnedConnection &) = delete;
  OwnedConnection &operator=(const OwnedConnection &) = delete;
  ~OwnedConnection() {
    if (connection != nullptr) close_http_socket(connection);
  }
};

// ---- Reading a reply byte by byte -----------------------------------------------

long long MonotonicNs() { return MonotonicUs() * 1000; }

// The state of one reader's waits. A server that accepts and then neither
// sends nor closes would otherwise hold the reader forever, so a wait ends
// after GWinsockTimeout seconds without a byte; one that sends a byte now
// and then meets the deadline of the whole read.
struct Waiting {
  bool waiting = false;  // the last poll found no data
  long long since_ns = 0;
  long long started_ns = MonotonicNs();
};

// Called after a poll found no data. Rather than yield and ask again, the
// reader sleeps in poll on the socket until data (or the end of the
// connection) arrives or a time limit is reached: it wakes the moment the
// server answers, and a server that keeps it waiting costs no processor
// time, however many hits wait at once. Returns false once the connection
// has been silent for GWinsockTimeout seconds, or the reader has been
// reading for kHttpReplyDeadlineFactor times that.
// REQUIRES: connection is open (it has a descriptor).
bool AwaitData(gensock_connection *connection, Waiting *wait) {
  long long now = MonotonicNs();
  if (!wait->waiting) {
    wait->waiting = true;
    wait->since_ns = now;
  }
  long long left_ns;
  long long deadline_ms = gensock_deadline();
  if (deadline_ms > 0) {
    left_ns = deadline_ms * 1000000LL - now;
  } else {
    long long limit_ns = std::max(GWinsockTimeout.load(), 0) * 1000000000LL;
    left_ns = std::min(wait->since_ns + limit_ns - now,
                       wait->started_ns + kHttpReplyDeadlineFactor * limit_ns - now);
  }
  if (left_ns <= 0) return false;
  pollfd watch{connection->sock, POLLIN, 0};
  long long left_ms = (left_ns + 999999) / 1000000;
  poll(&watch, 1, static_cast<int>(std::min<long long>(left_ms, 1000000)));
  return true;
}

enum ReadResult : int {
  kGotByte,
  kConnectionEnded,  // closed, failed, or no connection at all
  kSilent,           // nothing arrived for GWinsockTimeout seconds, or the deadline passed
};

// The next byte of the reply, read in polling mode.
inline ReadResult NextByte(gensock_connection *connection, Waiting *wait, char *byte) {
  for (;;) {
    int code = gensock_getchar(connection, 1, byte);
    if (code == kGensockOk) {
      wait->waiting = false;
      return kGotByte;
    }
    if (code != kGensockNoData) return kConnectionEnded;
    if (!AwaitData(connection, wait)) return kSilent;
  }
}

// A managed text filled one byte at a time. check_at is the first index at
// which the text must grow or its byte limit is reached, so the usual store
// is one comparison and one write; the recorded size is read only on growth.
struct ByteText {
  char **slot;
  int limit;      // most bytes it may hold
  int count = 0;  // bytes stored
  int check_at = 0;
};

enum StoreResult : int { kStored, kLimitReached, kNoRoom };

// Keeps room for the next byte, the terminator and one spare byte. Small
// texts grow GAllocGran bytes at a time; a large one by half its size, so a
// reply of n bytes costs a logarithmic number of reallocations (each of which
// may copy the text) rather than n / GAllocGran of them.
StoreResult MakeRoom(ByteText *text) {
  if (text->count >= text->limit) return kLimitReached;
  long long size = misize(*text->slot);
  if (size <= text->count + 5LL) {
    long long step = std::max({static_cast<long long>(GAllocGran), text->count / 2LL, 3LL});
    long long new_size = text->count + 3LL + step;  // the limit keeps it well inside an int
    char *grown = reialloc(*text->slot, static_cast<int>(new_size));
    if (grown == nullptr) return kNoRoom;  // the old block stays valid
    *text->slot = grown;
    size = new_size;
  }
  text->check_at = static_cast<int>(std::min<long long>(size - 5, text->limit));
  return kStored;
}

inline StoreResult Store(ByteText *text, char byte) {
  if (text->count >= text->check_at) {
    StoreResult room = MakeRoom(text);
    if (room != kStored) return room;
  }
  (*text->slot)[text->count++] = byte;
  return kStored;
}

// Always in bounds: the text holds at least count + 1 bytes at all times.
void Terminate(ByteText *text) { (*text->slot)[text->count] = '\0'; }

// ---- Composing a request -----------------------------------------------------

// Builds the GET or POST head into *slot. The Host header never carries a
// port, and the Authorization line, when there is one, follows it.
bool ComposeRequest(int context, char **slot, bool post, const char *object, const char *host,
                    int body_length, const char *encoded) {
  bool ok;
  if (post) {
    char digits[33];
    ok = mstrcpy(context, slot, "POST ") && mstrcat(context, slot, object) &&
         mstrcat(context, slot, " HTTP/1.0\r\nUser-Agent: Vornis http access\r\nContent-Length:") &&
         mstrcat(context, slot, ltoa(body_length, digits, 10)) &&
         mstrcat(context, slot, "\r\nHost: ");
  } else {
    ok = mstrcpy(context, slot, "GET ") && mstrcat(context, slot, object) &&
         mstrcat(context, slot, " HTTP/1.0\r\n") && mstrcat(context, slot, "Host: ");
  }
  ok = ok && mstrcat(context, slot, host);
  if (encoded != nullptr) {
    ok = ok && mstrcat(context, slot, "\r\nAuthorization: Basic ") &&
         mstrcat(context, slot, encoded);
  }
  return ok && mstrcat(context, slot, "\r\n\r\n");
}

// Builds the head of a web call into *slot: the framing lines that jantor
// writes itself around the call's own header lines.
bool ComposeCall(int context, char **slot, const WebCall &call, const char *object,
                 const char *host, const char *encoded) {
  const char *method = call.method[0] != '\0' ? call.method : "GET";
  bool ok = mstrcpy(context, slot, method) && mstrcat(context, slot, " ") &&
            mstrcat(context, slot, object) && mstrcat(context, slot, " HTTP/1.0\r\nHost: ") &&
            mstrcat(context, slot, host) && mstrcat(context, slot, "\r\n") &&
            mstrcat(context, slot, OrEmpty(call.headers));
  if (encoded != nullptr) {
    ok = ok && mstrcat(context, slot, "Authorization: Basic ") && mstrcat(context, slot, encoded) &&
         mstrcat(context, slot, "\r\n");
  }
  bool body = call.body != nullptr && call.body_length > 0;
  // A method that carries a body is sent with its length even without one:
  // an HTTP/1.0 server may otherwise wait for a body until the connection ends.
  if (body || strcmp(method, "POST") == 0 || strcmp(method, "PUT") == 0 ||
      strcmp(method, "PATCH") == 0) {
    char digits[33];
    ok = ok && mstrcat(context, slot, "Content-Length: ") &&
         mstrcat(context, slot, ltoa(body ? call.body_length : 0, digits, 10)) &&
         mstrcat(context, slot, "\r\n");
  }
  return ok && mstrcat(context, slot, "\r\n");
}

// The rule of every open: first the given service, and port only when that
// connect fails, with the first attempt's error text in between. *code gets
// the socket layer's code of the last attempt.
int ConnectFirstThenPort(gensock_connection **out, const char *host, const char *first, int port,
                         int *code) {
  *code = gensock_connect(host, first, out);
  if (*code != kGensockOk) {
    PrintSystemError(gensock_connect_error());
    char digits[33];
    *code = gensock_connect(host, itoa(port, digits, 10), out);
    if (*code != kGensockOk) {
      PrintWord("Could not connect to httphost1");
      return kHttpOpenFailed;
    }
  }
  PrintWord("Connected to remote http host");
  return 0;
}

// open_http_socket for a host text that was taken apart: the text's own
// port, else the standard service of its scheme ("https" over TLS), first;
// port when that fails. Over TLS the handshake follows the connect, with
// the certificate checked for the name; a failed handshake fails the open
// (it is not tried again on port).
int OpenTarget(gensock_connection **out, const HostText &target, int port, int *code) {
  const char *first = target.port[0] != '\0' ? target.port : target.tls ? "https" : "http";
  if (ConnectFirstThenPort(out, target.name, first, port, code) != 0) return kHttpOpenFailed;
  if (target.tls) {
    in_addr ipv4;
    bool address = target.ipv6 || inet_pton(AF_INET, target.name, &ipv4) == 1;
    *code = gensock_start_tls(*out, target.name, address ? 1 : 0);
    if (*code != kGensockOk) {
      gensock_close(*out);
      *out = nullptr;
      return kHttpOpenFailed;
    }
  }
  return 0;
}

// ---- What an exchange came to ------------------------------------------------

void SetReason(HttpResult *result, const char *reason) {
  snprintf(result->reason, sizeof result->reason, "%s", reason);
}

// A failed open, classed by the socket layer's code and error of its last
// attempt: a name that did not resolve and a port that refused or could not
// be reached are "not reached", a connect that ran out of time timed out.
void NoteOpenFailure(HttpResult *result, int code) {
  SetReason(result, gensock_failure_text());
  int error = gensock_connect_error();
  switch (code) {
    case kGensockBadHost:
    case kGensockRefused:
      result->end = kHttpNotReached;
      return;
    case kGensockTlsFailed:
      result->end = kHttpTlsRefused;
      return;
    case kGensockConnectFailed:
      if (error == ETIMEDOUT) {
        result->end = kHttpTimedOut;
        return;
      }
      if (error == ECONNREFUSED || error == ENETUNREACH || error == EHOSTUNREACH ||
          error == ENETDOWN || error == EHOSTDOWN || error == EADDRNOTAVAIL) {
        result->end = kHttpNotReached;
        return;
      }
      break;
    default:
      break;
  }
  result->end = kHttpOtherFailure;
  if (result->reason[0] == '\0') SetReason(result, "could not connect");
}

// How the reader's loop ended, for HttpRequestWithResult.
struct ReplyRead {
  bool silent = false;     // a time limit ran out
  bool too_large = false;  // the reply reached kHttpReplyLimit
  long long bytes = 0;     // bytes received
  int status = 0;          // HttpStatusCode of the header
};

// get_http_data, and how its read ended in *read (when not null).
int ReadReply(int context, gensock_connection *connection, char **reply, int want_header,
              int want_body, ReplyRead *read);

// The exchange of HttpSend, within the deadline that HttpSend sets.
int Exchange(int context, const HttpRequestRecord &request, char **reply, HttpResult *result);

// Sets the thread's deadline for the life of one exchange, and puts back
// what was there before on every way out.
class DeadlineScope {
 public:
  explicit DeadlineScope(int seconds) : previous_(gensock_deadline()) {
    if (seconds > 0) {
      deadline_ms_ = gensock_monotonic_ms() + seconds * 1000LL;
      gensock_set_deadline(deadline_ms_);
    }
  }
  ~DeadlineScope() { gensock_set_deadline(previous_); }
  DeadlineScope(const DeadlineScope &) = delete;
  DeadlineScope &operator=(const DeadlineScope &) = delete;
  bool Passed() const { return deadline_ms_ > 0 && gensock_monotonic_ms() >= deadline_ms_; }

 private:
  long long previous_;
  long long deadline_ms_ = 0;
};

}  // namespace

// ---- Requests and connections ------------------------------------------------

int HttpRequest(int context, const char *host, const char *object, const char *raw_request,
                const char *body, int body_length, char **reply, int port, int want_header,
                const char *user, const char *password, int want_body, int reserved) {
  HttpResult result;
  return HttpRequestWithResult(context, host, object, raw_request, body, body_length, reply, port,
                               want_header, user, password, want_body, reserved, &result);
}

int HttpRequestWithResult(int context, const char *host, const char *object,
                          const char *raw_request, const char *body, int body_length, char **reply,
                          int port, int want_header, const char *user, const char *password,
                          int want_body, int /*reserved*/, HttpResult *result) {
  HttpRequestRecord request;
  HttpRequestFor(&request, host, object, port, user, password);
  request.raw_request = OrEmpty(raw_request);
  request.body = body;
  request.body_length = body_length;
  request.want_header = want_header;
  request.want_body = want_body;
  return HttpSend(context, &request, reply, result);
}

int HttpRequestWithCall(int context, const char *host, const char *object, const WebCall *call,
                        char **reply, int port, int want_header, const char *user,
                        const char *password, int want_body, HttpResult *result) {
  static const WebCall kPlainGet = {"GET", "", nullptr, 0, 0};
  HttpRequestRecord request;
  HttpRequestFor(&request, host, object, port, user, password);
  request.call = call != nullptr ? call : &kPlainGet;
  request.time_limit = request.call->time_limit;
  request.want_header = want_header;
  request.want_body = want_body;
  return HttpSend(context, &request, reply, result);
}

int HttpRequestFor(HttpRequestRecord *request, const char *host, const char *object, int port,
                   const char *user, const char *password) {
  request->host = OrEmpty(host);
  request->refusal = nullptr;
  // A plain host text is used exactly as written; one with a scheme, a
  // port or an IPv6 address is taken apart, here and only here.
  request->host_kind = ParseHostText(request->host, &request->target, &request->refusal);
  request->object = OrEmpty(object);
  request->port = port;
  request->user = OrEmpty(user);
  request->password = OrEmpty(password);
  request->raw_request = "";
  request->call = nullptr;
  request->body = nullptr;
  request->body_length = 0;
  request->time_limit = 0;
  request->want_header = 1;
  request->want_body = 1;
  return request->host_kind;
}

int HttpSend(int context, const HttpRequestRecord *request, char **reply, HttpResult *result) {
  DeadlineScope deadline(request->time_limit);
  int replied = Exchange(context, *request, reply, result);
  // Whatever step the deadline cut short (a lookup, a connect, a handshake,
  // a send or the reply), the limit is what ended it. A reply read to its
  // end just before the check keeps its own result.
  if (result->end != kHttpReplyRead && result->end != kHttpReplyTooLarge && deadline.Passed()) {
    result->end = kHttpTimedOut;
    snprintf(result->reason, sizeof result->reason, "time limit of %d s ran out",
             request->time_limit);
  }
  return replied;
}

namespace {

int Exchange(int context, const HttpRequestRecord &request, char **reply, HttpResult *result) {
  result->end = kHttpOtherFailure;
  result->status = 0;
  result->bytes = 0;
  SetReason(result, "");
  const char *host = request.host;
  const char *object = request.object;
  const char *raw_request = OrEmpty(request.raw_request);
  const char *user = request.user;
  const char *password = request.password;
  if (reply == nullptr) return 0;

  OwnedText credentials, encoded, head_text;
  OwnedConnection link;  // declared last: closed before the texts are released

  if (*user != '\0' || *password != '\0') {
    if (!mstrcpy(context, &credentials.text, user) || !mstrcat(context, &credentials.text, ":") ||
        !mstrcat(context, &credentials.text, password)) {
      SetReason(result, kHttpNoMemory);
      return 0;  // the writer has printed the setting-error line
    }
    encoded.text = Base64(credentials.text, static_cast<int>(strlen(credentials.text)), 0);
    if (encoded.text == nullptr) {
      SetReason(result, kHttpNoMemory);
      SettingError(kSettingErrorNoMemory);
      return 0;
    }
  }

  const HostText &target = request.target;
  int kind = request.host_kind;
  char host_header[kHostTextNameSize];
  if (kind == kHostTextBad) {
    result->end = kHttpHostRefused;
    SetReason(result, request.refusal);
    PrintFormat("Host %s refused - %s\r\n", host, request.refusal);
    SettingError(kSettingErrorNoConnect);
    return 0;
  }

  PrintWord("About to connect to http");
  int code = kGensockOk;
  int opened = kind == kHostTextPlain
                   ? ConnectFirstThenPort(&link.connection, host, "http", request.port, &code)
                   : OpenTarget(&link.connection, target, request.port, &code);
  if (opened != 0) {
    NoteOpenFailure(result, code);
    SettingError(kSettingErrorNoConnect);
    return 0;
  }
  PrintWord("Http connected");
  if (kind == kHostTextParsed) {
    HostTextHeaderValue(&target, host_header, sizeof host_header);
    host = host_header;
  }

  const WebCall *call = request.call;
  const char *body = call != nullptr ? call->body : request.body;
  int body_length = call != nullptr ? call->body_length : request.body_length;
  bool post = body != nullptr && body_length > 0;
  const char *head = raw_request;
  if (*raw_request == '\0') {
    bool composed =
        call != nullptr
            ? ComposeCall(context, &head_text.text, *call, object, host, encoded.text)
            : ComposeRequest(context, &head_text.text, post, object, host, body_length, encoded.text);
    if (!composed) {
      SetReason(result, kHttpNoMemory);
      return 0;
    }
    head = head_text.text;
  }
  if (!put_http_line(link.connection, head) ||
      (post && !put_http_data(link.connection, body, body_length))) {
    const char *failure = gensock_failure_text();
    result->end = strcmp(failure, kGensockSendTimedOut) == 0 ? kHttpTimedOut : kHttpOtherFailure;
    SetReason(result, failure[0] != '\0' ? failure : "send failed");
    return 0;
  }

  ReplyRead read;
  int replied =
      ReadReply(context, link.connection, reply, request.want_header, request.want_body, &read);
  result->bytes = read.bytes;
  if (!replied) {
    SetReason(result, kHttpNoMemory);
    return 0;
  }
  result->status = read.status;
  result->end = read.too_large ? kHttpReplyTooLarge : read.silent ? kHttpTimedOut : kHttpReplyRead;
  if (result->status == 0) {
    SetReason(result, read.too_large    ? "reply too large"
                      : read.silent     ? "reply timed out"
                      : read.bytes == 0 ? "empty reply"
                                        : "no status line");
  }
  return 1;
}

}  // namespace

int open_http_socket(gensock_connection **out, const char *host, int port) {
  if (out == nullptr) return kHttpOpenFailed;
  int code = kGensockOk;
  return ConnectFirstThenPort(out, OrEmpty(host), "http", port, &code);
}

int open_telnet_socket(gensock_connection **out, const char *host, const char *service) {
  if (out == nullptr) return kHttpOpenFailed;
  if (gensock_connect(OrEmpty(host), OrEmpty(service), out) == kGensockOk) {
    PrintWord("Connected to remote http host");
    return 0;
  }
  PrintWord("Could not connect to remotehost");
  return kHttpOpenFailed;
}

int close_http_socket(gensock_connection *connection) {
  return gensock_close(connection) != kGensockOk ? kHttpCloseFailed : 0;
}

int put_http_line(gensock_connection *connection, const char *text) {
  text = OrEmpty(text);
  if (gensock_put_data(connection, text, static_cast<unsigned>(strlen(text))) != kGensockOk) {
    return 0;
  }
  PrintWord("Data Put to socket");
  return 1;
}

int put_http_data(gensock_connection *connection, const char *data, int length) {
  if (length > 0 && data == nullptr) return 0;
  for (int offset = 0; offset < length;) {
    int piece = std::min(kPostPiece, length - offset);
    if (gensock_put_data(connection, data + offset, static_cast<unsigned>(piece)) != kGensockOk) {
      return 0;
    }
    offset += piece;
  }
  PrintWord("Data posted");
  return 1;
}

// ---- Replies -------------------------------------------------------------------

int get_http_data(int context, gensock_connection *connection, char **reply, int want_header,
                  int want_body, int /*reserved*/) {
  return ReadReply(context, connection, reply, want_header, want_body, nullptr);
}

namespace {

int ReadReply(int context, gensock_connection *connection, char **reply, int want_header,
              int want_body, ReplyRead *read_end) {
  PrintWord("In Get_http");
  if (reply == nullptr) return 0;
  OwnedText header, body;
  if (!MakeNullStr(context, &header.text) || !MakeNullStr(context, &body.text)) return 0;

  // Header: up to and including the first CR or LF that follows an LF.
  Waiting wait;
  // The request has only just gone out, so the reply is seldom there yet:
  // wait for it first rather than ask for it with a receive that finds
  // nothing. A TLS session may hold decrypted bytes that the socket does not
  // show, so it is asked first and waited for only when it has none.
  if (connection != nullptr && connection->sock >= 0 && connection->tls == nullptr &&
      connection->recv_pos >= connection->recv_len) {
    AwaitData(connection, &wait);
  }
  ByteText head{&header.text, kHttpReplyLimit};
  ReadResult read = kGotByte;
  StoreResult stored = kStored;
  char byte = '\0', previous = '\0';
  for (;;) {
    read = NextByte(connection, &wait, &byte);
    if (read != kGotByte) break;
    stored = Store(&head, byte);
    if (stored != kStored) break;
    if (previous == '\n' && (byte == '\r' || byte == '\n')) break;
    previous = byte;
  }
  Terminate(&head);

  // Body: the rest, up to the end of the connection. A closed connection is
  // asked once more (and answers at once); a silent one is not waited for
  // twice, and a reply at its limit is not read further.
  ByteText tail{&body.text, kHttpReplyLimit - head.count};
  if (stored == kStored && read != kSilent) {
    while ((read = NextByte(connection, &wait, &byte)) == kGotByte) {
      stored = Store(&tail, byte);
      if (stored != kStored) break;
    }
  }
  Terminate(&tail);
  if (read_end != nullptr) {
    read_end->silent = read == kSilent;
    read_end->too_large = stored == kLimitReached;
    read_end->bytes = head.count + tail.count;
    read_end->status = HttpStatusCode(header.text);
  }
  if (stored == kNoRoom) {
    SettingError(kSettingErrorNoMemory);
    return 0;
  }

  if (!mstrcpy(context, reply, "")) return 0;
  if (want_header && !mstrcat(context, reply, header.text)) return 0;
  if (want_body && !mstrcat(context, reply, body.text)) return 0;
  PrintText("head=");
  PrintText(header.text);
  PrintText("\r\n");
  PrintText("bod=");
  PrintText(body.text);
  PrintText("\r\n");
  return 1;
}

}  // namespace

int HttpStatusCode(const char *reply) {
  if (reply == nullptr || strncmp(reply, "HTTP/", 5) != 0) return 0;
  const char *at = reply + 5;
  if (!IsDigit(*at)) return 0;
  while (IsDigit(*at)) ++at;
  if (*at == '.') {
    ++at;
    if (!IsDigit(*at)) return 0;
    while (IsDigit(*at)) ++at;
  }
  if (*at != ' ') return 0;
  while (*at == ' ') ++at;
  if (!IsDigit(at[0]) || !IsDigit(at[1]) || !IsDigit(at[2])) return 0;
  char after = at[3];
  if (after != ' ' && after != '\r' && after != '\n' && after != '\0') return 0;
  return (at[0] - '0') * 100 + (at[1] - '0') * 10 + (at[2] - '0');
}

int get_http_num(int context, gensock_connection *connection, char **out, int limit) {
  if (out == nullptr || !MakeNullStr(context, out)) return 0;
  PrintWord("char list");
  Waiting wait;
  ByteText text{out, kHttpReplyLimit};
  char byte = '\0', previous = '\0';
  while (NextByte(connection, &wait, &byte) == kGotByte) {
    StoreResult stored = Store(&text, byte);
    if (stored == kLimitReached) break;
    if (stored == kNoRoom) {
      Terminate(&text);  // what was read stays a valid text
      SettingError(kSettingErrorNoMemory);
      return 0;
    }
    int value = static_cast<unsigned char>(byte);
    if (text.count == limit || limit == -value ||
        (limit == -1 && byte == '\n' && (previous == '\r' || previous == '\n'))) {
      break;
    }
    previous = byte;
  }
  Terminate(&text);
  return 1;
}

int SocketPeek(int descriptor) {
  if (descriptor < 0) return 1;  // select would fail on it, and failure counts as ready
  if (descriptor >= FD_SETSIZE) {
    // Beyond what an fd_set can hold; poll answers the same question.
    pollfd watch{descriptor, POLLOUT, 0};
    return poll(&watch, 1, 0) != 0 ? 1 : 0;
  }
  fd_set write_set;
  FD_ZERO(&write_set);
  FD_SET(descriptor, &write_set);
  timeval limit{0, 1};
  return select(descriptor + 1, nullptr, &write_set, nullptr, &limit) != 0 ? 1 : 0;
}

int ping_host(void) { return 0; }
