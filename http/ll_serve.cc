#include "http/ll_serve.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "base/ll_cpapi.h"
#include "http/ll_chars.h"

namespace {

// ---- Reading a request head ---------------------------------------------------

// Whether every character of text is in the class (http/ll_chars.h).
bool AllOf(std::string_view text, bool (*in_class)(char)) {
  return std::all_of(text.begin(), text.end(), in_class);
}

// The request line without its line end. Splitting at single spaces makes a
// doubled or trailing space fail on its own: it leaves an empty target or a
// version with a space in it.
bool ReadRequestLine(std::string_view line, HttpRequestHead* head) {
  size_t method_end = line.find(' ');
  if (method_end == std::string_view::npos) return false;
  std::string_view method = line.substr(0, method_end);
  std::string_view rest = line.substr(method_end + 1);
  size_t target_end = rest.find(' ');
  if (target_end == std::string_view::npos) return false;
  std::string_view target = rest.substr(0, target_end);
  std::string_view version = rest.substr(target_end + 1);

  if (method.empty() || method.size() >= sizeof head->method || !AllOf(method, IsTokenChar)) {
    return false;
  }
  // Only the origin form: this server has no proxy to be and no OPTIONS to
  // answer, so "*" and absolute URLs are refused rather than half-supported.
  if (target.empty() || target[0] != '/' || target.size() >= sizeof head->target ||
      !AllOf(target, IsVisibleChar)) {
    return false;
  }
  if (version != "HTTP/1.1" && version != "HTTP/1.0") return false;

  memcpy(head->method, method.data(), method.size());
  head->method[method.size()] = '\0';
  memcpy(head->target, target.data(), target.size());
  head->target[target.size()] = '\0';
  return true;
}

// A header line without its line end. Its name must be a token up to the
// colon, which refuses the obsolete folding (a leading space or tab) and a
// space before the colon: both have been used to make two parsers disagree
// on where a header ends.
bool IsHeaderLine(std::string_view line) {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  return AllOf(line.substr(0, colon), IsTokenChar) &&
         AllOf(line.substr(colon + 1), IsFieldValueChar);
}

// ---- Owned descriptors ------------------------------------------------------

// A descriptor closed when its owner goes; moving it hands it on, so a
// connection can live in a vector.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~Descriptor() { Close(); }

  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// ---- Endpoint text ------------------------------------------------------------

constexpr char kNotAnEndpoint[] = "not [ADDRESS:]PORT";
constexpr char kDefaultAddress[] = "127.0.0.1";

void SetWhy(char* why, size_t why_size, const char* text) {
  if (why_size == 0) return;
  size_t length = strnlen(text, why_size - 1);
  memcpy(why, text, length);
  why[length] = '\0';
}

int SystemFailure(int error_number, char* why, size_t why_size) {
  char text[128];
  SetWhy(why, why_size, strerror_r(error_number, text, sizeof text));  // GNU: returns the text
  return -1;
}

// Digits only, so that "+80", " 80" and "0x50" are refused rather than
// read as something the operator did not write.
bool ReadPort(std::string_view text, uint16_t* port) {
  if (text.empty()) return false;
  long value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    value = value * 10 + (c - '0');
    if (value > 65535) return false;
  }
  if (value == 0) return false;
  *port = htons(static_cast<uint16_t>(value));
  return true;
}

bool ReadEndpoint(std::string_view text, sockaddr_storage* address, socklen_t* size) {
  std::string_view host = kDefaultAddress;
  std::string_view port_text = text;
  bool ipv6 = false;
  if (!text.empty() && text[0] == '[') {
    size_t close_bracket = text.find(']');
    if (close_bracket == std::string_view::npos || text.substr(close_bracket + 1, 1) != ":") {
      return false;
    }
    host = text.substr(1, close_bracket - 1);
    port_text = text.substr(close_bracket + 2);
    ipv6 = true;
  } else if (size_t colon = text.find(':'); colon != std::string_view::npos) {
    host = text.substr(0, colon);
    port_text = text.substr(colon + 1);
  }

  uint16_t port;
  char host_text[INET6_ADDRSTRLEN];
  if (!ReadPort(port_text, &port) || host.size() >= sizeof host_text) return false;
  memcpy(host_text, host.data(), host.size());
  host_text[host.size()] = '\0';

  *address = sockaddr_storage{};
  if (ipv6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(address);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = port;
    *size = sizeof *v6;
    return inet_pton(AF_INET6, host_text, &v6->sin6_addr) == 1;
  }
  auto* v4 = reinterpret_cast<sockaddr_in*>(address);
  v4->sin_family = AF_INET;
  v4->sin_port = port;
  *size = sizeof *v4;
  return inet_pton(AF_INET, host_text, &v4->sin_addr) == 1;
}

// ---- Serving ----------------------------------------------------------------------

constexpr long long kNsPerMs = 1000000;
// How long accepting rests after accept fails for want of descriptors or
// memory: the listener stays readable meanwhile, and poll would spin.
constexpr long long kAcceptRestNs = 100 * kNsPerMs;
// Connections one wake-up accepts at most, as many as the system's backlog
// holds: a client that connects without end cannot keep the thread from
// the connections it has.
constexpr int kAcceptRounds = kHttpListenBacklog;
// Reads of 4 KiB that one wake-up discards from a connection, so that a
// client that streams without end cannot keep the thread from the others.
constexpr int kDiscardRounds = 16;
// How long an answered connection waits for its client to close. Enough for
// the rest of a request that was in flight when it was answered to arrive
// and be discarded; short, because a client that keeps its end open after
// the answer holds a turn meanwhile.
constexpr long long kLingerNs = 500 * kNsPerMs;

long long MonotonicNs() { return MonotonicUs() * 1000; }

enum Phase : int {
  kReadingHead,
  // The head has ended, broken a rule or outgrown the bound while the
  // connection waited for a turn. It is not watched meanwhile (a body
  // behind the head would wake poll again and again), and its response is
  // made once it has a turn, so that the handler runs only for those.
  kHeadRead,
  // The handler called HttpAnswerLater: the connection keeps its turn and
  // its deadline until HttpAnswer gives the response. Not watched, like
  // kHeadRead, for the same reason.
  kAwaitingAnswer,
  kWritingResponse,
  // The response is out and our side shut: request bytes are discarded
  // until the client closes, for kLingerNs at most. Closing with bytes
  // unread, or before the rest of them arrives, would make the system reset
  // the connection, and a reset can destroy the response before the client
  // has read it (a 431 always leaves some).
  kAwaitingClose,
};

struct Connection {
  Descriptor socket;
  // Whether it has a turn. Only a connection with one is answered, and its
  // deadline runs; one without waits in the queue, its bytes read as they
  // come.
  bool served = false;
  long long deadline_ns = 0;  // monotonic, once served; closed then, whatever its phase
  // When it was accepted or last sent a byte: of those that have not sent
  // their whole head, the one silent the longest gives way first.
  long long quiet_since_ns = 0;
  int phase = kReadingHead;
  std::string head;      // bytes received so far, never more than kMostRequestBytes
  std::string response;  // what is to be written; sent counts the bytes already out
  size_t sent = 0;
  unsigned long long ticket = 0;  // the request's, once handed to the handler
};

struct GivenAnswer {
  unsigned long long ticket;
  std::string response;
};

struct WaitingTicket {
  unsigned long long ticket;
  int socket;  // its connection's, owned by the server's thread
};

// The response a handler leaves to say that HttpAnswer will give it.
constexpr std::string_view kAnswerLaterMark("\0", 1);

// Tickets count for the whole process, not for one server, so that a ticket
// kept past StopHttpServer can never name a request of a server started
// after it. 64 bits do not run out.
std::atomic<unsigned long long> last_ticket{0};

}  // namespace

// The caller's thread touches only wake (to stop) and the join, and
// HttpAnswer's threads only the handover below (and answered); everything
// else is read-only for the server thread once it runs, and the connections
// are its own.
struct HttpServer {
  Descriptor listener;
  Descriptor wake;      // an eventfd: readable means stop
  Descriptor answered;  // an eventfd: readable means that given may hold answers
  HttpHandler handler;
  void* context;
  HttpServerLimits limits;
  pthread_t thread;

  // The handover of later answers. A ticket is in waiting from just before
  // its handler runs (the answer may come before the handler returns) until
  // HttpAnswer moves it to given, or the server's thread withdraws it, when
  // its connection is answered at once or closed. So an answer is given at
  // most once, and both hold no more entries than there are turns, and
  // the answers given since the server's thread last took them. The
  // server's thread closes a connection only once its ticket has left
  // waiting, so the socket kept beside a ticket stays open while the
  // ticket is there (HttpClientWaiting looks at it from other threads).
  std::mutex mutex;
  std::vector<WaitingTicket> waiting;  // GUARDED_BY(mutex)
  std::vector<GivenAnswer> given;      // GUARDED_BY(mutex)
};

namespace {

// Takes ticket out of server.waiting; false when it was not there.
// REQUIRES: server.mutex is held.
bool TakeWaiting(HttpServer& server, unsigned long long ticket) {
  auto found = std::find_if(server.waiting.begin(), server.waiting.end(),
                            [ticket](const WaitingTicket& w) { return w.ticket == ticket; });
  if (found == server.waiting.end()) return false;
  *found = server.waiting.back();  // the order means nothing
  server.waiting.pop_back();
  return true;
}

// On the server's thread, for a connection answered at once or closed. If
// HttpAnswer has given an answer already, it finds no connection waiting
// and is dropped.
void Withdraw(HttpServer& server, unsigned long long ticket) {
  std::lock_guard<std::mutex> lock(server.mutex);
  TakeWaiting(server, ticket);
}

// For a request whose handler has just asked to answer later: when
// awaiting_at_once others already wait for their answers, its ticket is
// withdrawn and true returned, and it is to be answered 503 at once. The
// turns that later answers can hold are so bounded, and the rest are left
// to requests answered at once (a scrape), however slowly the later
// answers come. Refusing the newcomer rather than one that waits longer
// keeps the answers that are being made, which come in the order asked.
bool RefusedToWait(HttpServer& server, unsigned long long ticket) {
  std::lock_guard<std::mutex> lock(server.mutex);
  // Its own ticket is among them, unless its answer has come already.
  return server.waiting.size() > static_cast<size_t>(server.limits.awaiting_at_once) &&
         TakeWaiting(server, ticket);
}

// Closes a connection; one still waiting for its answer withdraws its
// ticket, so that a later HttpAnswer for it says the connection is gone.
void CloseConnection(HttpServer& server, Connection* connection) {
  if (connection->phase == kAwaitingAnswer) Withdraw(server, connection->ticket);
  connection->socket.Close();
}

// Appends what has arrived, up to kMostRequestBytes in all; *ended is set
// when the client has shut its side. False on an error of the connection.
// Read through the stack, so that a connection that has sent nothing holds
// no buffer.
bool ReceiveHead(Connection* connection, long long now, bool* ended) {
  std::string& head = connection->head;
  char arrived[kMostRequestBytes];
  while (head.size() < static_cast<size_t>(kMostRequestBytes)) {
    ssize_t got = recv(connection->socket.get(), arrived, kMostRequestBytes - head.size(), 0);
    int error = errno;
    if (got > 0) {
      head.append(arrived, static_cast<size_t>(got));
      connection->quiet_since_ns = now;
      continue;
    }
    if (got == 0) {
      *ended = true;
      return true;
    }
    if (error != EINTR) return error == EAGAIN || error == EWOULDBLOCK;
  }
  return true;
}

// Reads what has arrived of the head, and moves a connection whose head is
// judged (complete, malformed or too large) to kHeadRead. False when it is
// to be closed: on an error, or when the client ended its side before its
// head ended.
bool ReadHead(Connection* connection, long long now) {
  bool ended = false;
  if (!ReceiveHead(connection, now, &ended)) return false;
  HttpRequestHead request;
  if (ReadHttpRequest(connection->head.data(), connection->head.size(), &request) !=
      kRequestIncomplete) {
    connection->phase = kHeadRead;
    return true;
  }
  return !ended;
}

// False on an error of the connection; true when all is sent or the
// client's window is full.
bool SendResponse(Connection* connection) {
  while (connection->sent < connection->response.size()) {
    ssize_t put = send(connection->socket.get(), connection->response.data() + connection->sent,
                       connection->response.size() - connection->sent, MSG_NOSIGNAL);
    int error = errno;
    if (put > 0) {
      connection->sent += static_cast<size_t>(put);
    } else if (error != EINTR) {
      return error == EAGAIN || error == EWOULDBLOCK;
    }
  }
  return true;
}

// False once the client has closed (or the connection failed).
bool DiscardInput(int fd) {
  char scratch[4096];
  for (int round = 0; round < kDiscardRounds; ++round) {
    ssize_t got = recv(fd, scratch, sizeof scratch, 0);
    int error = errno;
    if (got > 0) continue;
    if (got == 0) return false;
    if (error != EINTR) return error == EAGAIN || error == EWOULDBLOCK;
  }
  return true;
}

// Moves a served connection on, after poll reported it ready or when it
// has just been given a turn. False when it is done with and to be closed.
bool Advance(HttpServer& server, Connection* connection, long long now) {
  if (connection->phase == kReadingHead) {
    if (!ReadHead(connection, now)) return false;
    if (connection->phase == kReadingHead) return true;
  }
  if (connection->phase == kHeadRead) {
    // Judged again rather than kept: a judgement other than incomplete
    // stays the same however many bytes follow.
    HttpRequestHead request;
    switch (ReadHttpRequest(connection->head.data(), connection->head.size(), &request)) {
      case kRequestComplete:
        request.ticket = connection->ticket = ++last_ticket;
        {
          std::lock_guard<std::mutex> lock(server.mutex);
          server.waiting.push_back({request.ticket, connection->socket.get()});
        }
        server.handler(request, &connection->response, server.context);
        if (connection->response == kAnswerLaterMark) {
          if (!RefusedToWait(server, request.ticket)) {
            connection->response = std::string();
            connection->head = std::string();
            connection->phase = kAwaitingAnswer;
            return true;
          }
          HttpResponse(&connection->response, 503, "Service Unavailable", kHttpPlainText,
                       "Service Unavailable\n", "Retry-After: 1\r\n");
          break;
        }
        Withdraw(server, request.ticket);
        if (connection->response.empty()) return false;
        break;
      case kRequestMalformed:
        HttpResponse(&connection->response, 400, "Bad Request", kHttpPlainText, "Bad Request\n");
        break;
      default:
        HttpResponse(&connection->response, 431, "Request Header Fields Too Large", kHttpPlainText,
                     "Request Header Fields Too Large\n");
        break;
    }
    connection->head = std::string();
    connection->phase = kWritingResponse;
  }
  if (connection->phase == kAwaitingAnswer) return true;  // woken by nothing but its answer
  if (connection->phase == kWritingResponse) {
    if (!SendResponse(connection)) return false;
    if (connection->sent < connection->response.size()) return true;
    shutdown(connection->socket.get(), SHUT_WR);
    connection->response = std::string();
    connection->phase = kAwaitingClose;
    connection->deadline_ns = std::min(connection->deadline_ns, MonotonicNs() + kLingerNs);
  }
  return DiscardInput(connection->socket.get());
}

using Connections = std::vector<Connection>;

// The open connection, served or waiting as asked, that is still reading
// its head and has been silent the longest; the earliest accepted of equals.
// end() when there is none.
Connections::iterator SilentLongest(Connections* connections, bool served) {
  auto found = connections->end();
  for (auto it = connections->begin(); it != connections->end(); ++it) {
    if (it->socket.get() < 0 || it->served != served || it->phase != kReadingHead) continue;
    if (found == connections->end() || it->quiet_since_ns < found->quiet_since_ns) found = it;
  }
  return found;
}

// Gives free turns to waiting connections: first to those whose head is
// read, which are answered at once, then in the order they came. A waiting
// connection whose head is read and finds no free turn takes the turn of
// the served connection still reading its head that has been silent the
// longest, which is closed unanswered. Afterwards every turn is taken or
// nothing waits.
void GiveTurns(HttpServer& server, Connections* connections, long long now) {
  const size_t most = static_cast<size_t>(server.limits.served_at_once);
  size_t served = 0;
  for (const Connection& connection : *connections) served += connection.served ? 1 : 0;
  auto serve = [&](Connection* connection) {
    connection->served = true;
    connection->deadline_ns = now + server.limits.request_deadline_ms * kNsPerMs;
    ++served;
  };
  for (Connection& connection : *connections) {
    if (connection.served || connection.phase != kHeadRead || connection.socket.get() < 0) continue;
    if (served >= most) {
      auto displaced = SilentLongest(connections, /*served=*/true);
      // Every turn is waiting for its answer, writing or lingering, each of
      // which ends by its deadline at the latest: wait for one.
      if (displaced == connections->end()) break;
      displaced->socket.Close();
      --served;
    }
    serve(&connection);
    if (!Advance(server, &connection, now)) {
      CloseConnection(server, &connection);
      --served;
    }
  }
  for (Connection& connection : *connections) {
    if (served >= most) break;
    if (!connection.served && connection.socket.get() >= 0) serve(&connection);
  }
  std::erase_if(*connections, [](const Connection& c) { return c.socket.get() < 0; });
}

// Takes what the system has queued: every newcomer is read at once (its
// request has usually arrived with it) and waits for a turn. A newcomer
// beyond the queue takes the place of the waiting connection silent the
// longest among those still reading their heads (itself when it is the
// only one), or, when every waiting connection has its head read, is
// closed itself.
void AcceptConnections(HttpServer& server, Connections* connections, long long now,
                       long long* accept_again_ns) {
  const size_t most = static_cast<size_t>(server.limits.served_at_once) +
                      static_cast<size_t>(server.limits.queued_at_once);
  for (int round = 0; round < kAcceptRounds; ++round) {
    int fd = accept4(server.listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      int error = errno;
      // A connection that its client gave up while queued is simply gone.
      if (error == EINTR || error == ECONNABORTED) continue;
      if (error != EAGAIN && error != EWOULDBLOCK) *accept_again_ns = now + kAcceptRestNs;
      return;
    }
    Connection accepted;
    accepted.socket = Descriptor(fd);
    accepted.quiet_since_ns = now;
    if (!ReadHead(&accepted, now)) continue;  // closed as it goes
    connections->push_back(std::move(accepted));
    GiveTurns(server, connections, now);
    if (connections->size() <= most) continue;
    // Beyond the bound only while the newcomer waits: a free turn would
    // have gone to it, and a displaced connection would have made room.
    auto shed = SilentLongest(connections, /*served=*/false);
    connections->erase(shed != connections->end() ? shed : connections->end() - 1);
  }
}

// Takes the answers HttpAnswer has given and writes each to its connection,
// which is still waiting for it unless it was closed at its deadline after
// the answer was given.
void TakeAnswers(HttpServer& server, Connections* connections) {
  uint64_t count;
  while (read(server.answered.get(), &count, sizeof count) < 0 && errno == EINTR) {
  }
  std::vector<GivenAnswer> given;
  {
    std::lock_guard<std::mutex> lock(server.mutex);
    given.swap(server.given);
  }
  for (GivenAnswer& answer : given) {
    for (Connection& connection : *connections) {
      if (connection.socket.get() < 0 || connection.phase != kAwaitingAnswer ||
          connection.ticket != answer.ticket) {
        continue;
      }
      connection.response = std::move(answer.response);
      connection.phase = kWritingResponse;
      // Written at once, even when the deadline has just passed: the
      // answer came in time. The caller closes it at the deadline if it
      // has not gone out by then, as any other.
      if (connection.response.empty() || !Advance(server, &connection, MonotonicNs())) {
        connection.socket.Close();
      }
      break;
    }
  }
}

// Slots of watched before the connections': wake, the listener, answered.
constexpr size_t kFirstConnectionSlot = 3;

void* RunServer(void* argument) {
  HttpServer& server = *static_cast<HttpServer*>(argument);
  Connections connections;
  connections.reserve(static_cast<size_t>(server.limits.served_at_once) +
                      static_cast<size_t>(server.limits.queued_at_once) + 1);
  std::vector<pollfd> watched;
  long long accept_again_ns = 0;

  for (;;) {
    long long now = MonotonicNs();
    bool accepting = now >= accept_again_ns;
    // The next moment poll must return at without an event: the earliest
    // deadline, or the end of a rest from accepting. Walking every
    // connection is fine for a few dozen of them.
    long long next = accepting ? LLONG_MAX : accept_again_ns;
    watched.clear();
    watched.push_back({server.wake.get(), POLLIN, 0});
    // The listener is watched whenever accepting does not rest: whatever the
    // system queues is taken at once, so no scraper waits in the backlog
    // behind clients that say nothing. A negative descriptor is skipped by
    // poll.
    watched.push_back({accepting ? server.listener.get() : -1, POLLIN, 0});
    watched.push_back({server.answered.get(), POLLIN, 0});
    for (const Connection& connection : connections) {
      int fd = connection.socket.get();
      short events = POLLIN;
      if (connection.served) {
        if (connection.phase == kWritingResponse) events = POLLOUT;
        if (connection.phase == kAwaitingAnswer) fd = -1;
        next = std::min(next, connection.deadline_ns);
      } else if (connection.phase == kHeadRead) {
        fd = -1;
      }
      watched.push_back({fd, events, 0});
    }
    int timeout_ms = -1;
    if (next != LLONG_MAX) {
      long long wait_ms = (std::max(next - now, 0LL) + kNsPerMs - 1) / kNsPerMs;
      timeout_ms = static_cast<int>(std::min<long long>(wait_ms, INT_MAX));
    }
    // Every signal is blocked on this thread, so poll ends only by an event
    // or the timeout; after a failure nothing has revents and the deadlines
    // below still hold.
    poll(watched.data(), watched.size(), timeout_ms);
    if (watched[0].revents != 0) {
      // The connections close as the thread ends: no ticket may name one.
      std::lock_guard<std::mutex> lock(server.mutex);
      server.waiting.clear();
      return nullptr;
    }

    // Answers first: one given before its connection's deadline is written
    // before the deadline below closes the connection.
    if (watched[2].revents != 0) TakeAnswers(server, &connections);
    now = MonotonicNs();
    for (size_t i = 0; i < connections.size(); ++i) {
      Connection& connection = connections[i];
      if (connection.socket.get() < 0) continue;  // closed by its answer
      bool ready = watched[i + kFirstConnectionSlot].revents != 0;
      bool keep;
      if (connection.served) {
        keep = connection.deadline_ns > now && (!ready || Advance(server, &connection, now));
      } else {
        keep = !ready || ReadHead(&connection, now);  // a waiting one has no deadline yet
      }
      if (!keep) CloseConnection(server, &connection);
    }
    std::erase_if(connections, [](const Connection& c) { return c.socket.get() < 0; });
    // Turns freed above go out before newcomers come in, to those that
    // waited for them.
    GiveTurns(server, &connections, now);
    if (watched[1].revents != 0) AcceptConnections(server, &connections, now, &accept_again_ns);
  }
}

}  // namespace

int ReadHttpRequest(const char* data, size_t length, HttpRequestHead* out) {
  out->method[0] = '\0';
  out->target[0] = '\0';
  out->ticket = 0;
  std::string_view rest(data, std::min(length, static_cast<size_t>(kMostRequestBytes)));
  HttpRequestHead head{};
  for (bool request_line = true;; request_line = false) {
    size_t line_end = rest.find('\n');
    if (line_end == std::string_view::npos) {
      // Every head that ends has ended within the bytes looked at, so once
      // there are kMostRequestBytes of them, this one can only be longer.
      return length >= static_cast<size_t>(kMostRequestBytes) ? kRequestTooLarge
                                                              : kRequestIncomplete;
    }
    std::string_view line = rest.substr(0, line_end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    rest.remove_prefix(line_end + 1);
    if (request_line) {
      if (!ReadRequestLine(line, &head)) return kRequestMalformed;
    } else if (line.empty()) {
      *out = head;
      return kRequestComplete;
    } else if (!IsHeaderLine(line)) {
      return kRequestMalformed;
    }
  }
}

int OpenHttpListener(const char* text, int* fd, char* why, size_t why_size) {
  *fd = -1;
  sockaddr_storage address;
  socklen_t address_size;
  if (!ReadEndpoint(text != nullptr ? text : "", &address, &address_size)) {
    SetWhy(why, why_size, kNotAnEndpoint);
    return -1;
  }
  Descriptor listener(socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (listener.get() < 0) return SystemFailure(errno, why, why_size);
  int one = 1;
  // "[::]" is taken to mean every address, as ":9100" does for the usual
  // exporters, so IPv4 clients are served on it too. Set rather than left to
  // the system's bindv6only default, which some systems turn on, so that the
  // same text means the same on every machine. A specific IPv6 address is
  // not changed by it.
  int v6_only = 0;
  if (setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      (address.ss_family == AF_INET6 &&
       setsockopt(listener.get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6_only, sizeof v6_only) != 0) ||
      bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), address_size) != 0 ||
      listen(listener.get(), kHttpListenBacklog) != 0) {
    return SystemFailure(errno, why, why_size);
  }
  SetWhy(why, why_size, "");
  *fd = listener.release();
  return 0;
}

HttpServer* StartHttpServer(int listen_fd, HttpHandler handler, void* context,
                            const HttpServerLimits* limits) {
  auto server = std::make_unique<HttpServer>();
  server->listener = Descriptor(listen_fd);
  server->wake = Descriptor(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  server->answered = Descriptor(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (server->wake.get() < 0 || server->answered.get() < 0) return nullptr;
  server->handler = handler;
  server->context = context;
  if (limits != nullptr) server->limits = *limits;
  server->limits.served_at_once = std::max(server->limits.served_at_once, 1);
  server->limits.request_deadline_ms = std::max(server->limits.request_deadline_ms, 1);
  server->limits.queued_at_once = std::max(server->limits.queued_at_once, 0);
  server->limits.awaiting_at_once =
      std::clamp(server->limits.awaiting_at_once, 1, server->limits.served_at_once);

  if (StartSignalFreeThread(&server->thread, nullptr, RunServer, server.get()) != 0) return nullptr;
  return server.release();
}

void StopHttpServer(HttpServer* server) {
  if (server == nullptr) return;
  uint64_t one = 1;
  // One write to a fresh eventfd cannot find its counter full.
  while (write(server->wake.get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
  pthread_join(server->thread, nullptr);
  delete server;  // closes the listener and the eventfds; the thread closed the connections
}

void HttpAnswerLater(std::string* response) {
  // Byte by byte: g++ 12 warns wrongly (-Wrestrict) about assigning the
  // view, and the mark is one byte.
  static_assert(kAnswerLaterMark.size() == 1);
  response->clear();
  response->push_back(kAnswerLaterMark[0]);
}

bool HttpAnswer(HttpServer* server, unsigned long long ticket, std::string response) {
  {
    std::lock_guard<std::mutex> lock(server->mutex);
    if (!TakeWaiting(*server, ticket)) return false;
    server->given.push_back({ticket, std::move(response)});
  }
  uint64_t one = 1;
  // The counter only adds up until the server's thread reads it, far from
  // its limit.
  while (write(server->answered.get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
  return true;
}

bool HttpClientWaiting(HttpServer* server, unsigned long long ticket) {
  std::lock_guard<std::mutex> lock(server->mutex);
  auto found = std::find_if(server->waiting.begin(), server->waiting.end(),
                            [ticket](const WaitingTicket& w) { return w.ticket == ticket; });
  if (found == server->waiting.end()) return false;
  // Only the end of the client's input is asked for: bytes it sent after
  // its head (a body) say nothing of whether it still listens.
  pollfd client{found->socket, POLLRDHUP, 0};
  if (poll(&client, 1, 0) < 0) return true;
  return (client.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0;
}

void HttpResponse(std::string* out, int status, const char* reason, const char* content_type,
                  std::string_view body, const char* extra_headers) {
  out->assign("HTTP/1.1 ");
  out->append(std::to_string(status)).append(" ").append(reason).append("\r\n");
  if (content_type != nullptr && content_type[0] != '\0') {
    out->append("Content-Type: ").append(content_type).append("\r\n");
  }
  out->append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
  out->append("Connection: close\r\n").append(extra_headers).append("\r\n");
  out->append(body);
}
