#include "net/ll_socks.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/ll_cpapi.h"
#include "net/ll_tls.h"

std::atomic<int> GWinsockTimeout{45};

namespace {

// A record without a descriptor is never waited on.
bool Waitable(int fd) { return fd >= 0; }

// Waits up to seconds, or until the thread's deadline when one is set, for
// events on the record's socket. poll rather than select: with many hits in
// flight descriptors pass 1023, which a select set cannot hold. The result
// is select's: the number of ready descriptors, 0 when the time ran out, -1
// on an error (with errno set).
int WaitFor(gensock_connection *connection, short events, int seconds) {
  long long ms = std::max(seconds, 0) * 1000LL;
  long long deadline_ms = gensock_deadline();
  if (deadline_ms > 0) ms = std::max(deadline_ms - gensock_monotonic_ms(), 0LL);
  connection->wait_time.tv_sec = static_cast<time_t>(ms / 1000);
  connection->wait_time.tv_usec = static_cast<suseconds_t>(ms % 1000 * 1000);
  pollfd watch{connection->sock, events, 0};
  return poll(&watch, 1, static_cast<int>(std::min<long long>(ms, INT32_MAX)));
}

// The system error that ended this thread's last connect attempt, -1 while
// the attempt has shown none. Kept because the error text printed on the
// way out may change errno before the caller reports the failure.
thread_local int connect_error = -1;

// The words of this thread's last failed connect, handshake or send, kept
// for callers that report why a hit failed (gensock_failure_text).
thread_local char failure_text[160] = "";

// Cut to fit: a reason is a short text, and a longer one is still a reason.
void NoteFailure(const char *text) {
  size_t length = strnlen(text, sizeof failure_text - 1);
  memcpy(failure_text, text, length);
  failure_text[length] = '\0';
}

void NoteSystemFailure(int error_number) {
  char text[128];
  NoteFailure(strerror_r(error_number, text, sizeof text));  // GNU: returns the text
}

void ShowConnectError(int error_number) {
  connect_error = error_number;
  NoteSystemFailure(error_number);
  PrintSystemError(error_number);
}

// The last service name that the services database knew, and its port.
struct ServiceMemo {
  bool found = false;
  char name[32] = {};
  uint16_t port = 0;  // network byte order
};

// Port text to a port in network byte order: 0, or a result code.
int ResolveService(const char *service, uint16_t *port) {
  if (gensock_is_a_number(service)) {
    PrintWord("j1d");
    char *end = nullptr;
    long value = strtol(service, &end, 10);
    PrintWord("j1e");
    if (end == service) {  // the empty text: no digit at all
      PrintWord("j1f");
      return kGensockBadService;
    }
    PrintWord("j1g");
    // Taken modulo 65536; strtol saturates, so no digit string overflows.
    *port = htons(static_cast<uint16_t>(static_cast<unsigned long>(value) & 0xFFFFu));
    PrintWord("j1h");
    return kGensockOk;
  }
  PrintWord("j1k");
  // glibc opens, reads and parses the services file afresh for every
  // lookup, a sixth of what a hit on a loopback server costs. Every hit asks
  // for "http" first, so the last name found is kept for the life of the
  // thread; a failed lookup is never kept, and is asked again next time.
  thread_local ServiceMemo memo;
  errno = 0;  // the lookup does not always set it, and a stale value misleads
  if (memo.found && strcmp(memo.name, service) == 0) {
    PrintWord("j1l");
    *port = memo.port;
    return kGensockOk;
  }
  const servent *entry = getservbyname(service, "tcp");
  if (entry != nullptr) {
    PrintWord("j1l");
    *port = static_cast<uint16_t>(entry->s_port);  // already in network order
    memo.found = strlen(service) < sizeof memo.name;
    if (memo.found) {
      strcpy(memo.name, service);
      memo.port = *port;
    }
    return kGensockOk;
  }
  int e = __error();
  PrintWord("j1m");
  PrintWord("j1n");
  PrintWord(strerror(e));
  if (e == 3 || e == 4) return kGensockBadService;
  return e - kGensockPlatformBase;
}

// The addresses of a host, in the order they are to be tried.
struct HostAddresses {
  addrinfo *list = nullptr;  // from getaddrinfo, or null for a dotted address
  sockaddr_in dotted{};      // the one address of a dotted IPv4 text
  HostAddresses() = default;
  HostAddresses(const HostAddresses &) = delete;
  HostAddresses &operator=(const HostAddresses &) = delete;
  ~HostAddresses() {
    if (list != nullptr) freeaddrinfo(list);
  }
};

// A dotted IPv4 text is used as it is; anything else is asked of the
// system's resolver, which answers with IPv6 and IPv4 addresses in its own
// order of preference. getaddrinfo, not gethostbyname: it is safe on several
// threads at once. The dotted text 255.255.255.255 equals inet_addr's failure
// value and goes to the resolver.
bool ResolveHost(const char *host, HostAddresses *addresses) {
  in_addr_t dotted = inet_addr(host);
  if (dotted != INADDR_NONE) {
    addresses->dotted.sin_family = AF_INET;
    addresses->dotted.sin_addr.s_addr = dotted;
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  int found = getaddrinfo(host, nullptr, &hints, &addresses->list);
  if (found != 0) NoteFailure(gai_strerror(found));
  return found == 0 && addresses->list != nullptr;
}

// One connect attempt to address (its port set to port): socket, connect,
// non-blocking mode and the wait for the connect to finish. 0 leaves the
// socket connected in the record; otherwise the record keeps the socket,
// if one was made, for the caller to close.
int ConnectTo(gensock_connection *connection, const sockaddr *address, socklen_t length,
              uint16_t port) {
  sockaddr_storage peer{};
  memcpy(&peer, address, length);
  if (peer.ss_family == AF_INET6)
    reinterpret_cast<sockaddr_in6 *>(&peer)->sin6_port = port;
  else
    reinterpret_cast<sockaddr_in *>(&peer)->sin_port = port;

  PrintWord("j3");
  // Under a deadline the connect must not block: a blocking one waits as
  // long as the kernel retries, which no deadline would cut short.
  bool limited = gensock_deadline() > 0;
  int fd = socket(peer.ss_family, SOCK_STREAM | SOCK_CLOEXEC | (limited ? SOCK_NONBLOCK : 0), 0);
  if (fd < 0) {
    ShowConnectError(errno);
    return kGensockNoSocket;
  }
  connection->sock = fd;

  // The system's default close behaviour is the one wanted, so no linger
  // option is set here.
  PrintWord("j4");
  PrintWord("j5");

  // Without a deadline the socket still blocks here, so a connect that
  // returns 0 is complete; with one, EINPROGRESS leaves it to the wait.
  bool connected = connect(fd, reinterpret_cast<const sockaddr *>(&peer), length) == 0;
  if (!connected && !(limited && errno == EINPROGRESS)) {
    int e = errno;
    ShowConnectError(e);
    if (e == ECONNREFUSED) return kGensockRefused;
    if (e != EAGAIN) {  // EAGAIN: the connect goes on; the wait below decides
      PrintFormat("unexpected error %d from winsock\n", e);
      return kGensockConnectFailed;
    }
  }

  PrintWord("bl1");
  int non_blocking = 1;
  if (ioctl(fd, FIONBIO, &non_blocking) != 0) PrintSystemError(errno);
  PrintWord("bl2");

  PrintWord("Waiting for connect");
  if (connected) {
    // Nothing to wait for: a wait would only confirm what connect said.
    PrintWord("selected");
    return kGensockOk;
  }
  int ready = WaitFor(connection, POLLOUT, GWinsockTimeout);
  int e = errno;
  // Writable is not the same as connected: a connect that was still under
  // way may have failed meanwhile, and a failed wait proves nothing.
  int pending = 0;
  if (ready > 0) {
    socklen_t size = sizeof pending;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &size) != 0) pending = errno;
  }
  if (ready == 0 && limited) e = ETIMEDOUT;
  if (ready <= 0 || pending != 0) {
    PrintWord("not selected");
    ShowConnectError(ready > 0 ? pending : e);
    return pending == ECONNREFUSED ? kGensockRefused : kGensockConnectFailed;
  }
  PrintWord("selected");
  return kGensockOk;
}

// c_get_buffer over a TLS session: the same words and codes as a plain
// receive. The end of the stream, with or without close_notify, is the
// peer's close.
int TlsGetBuffer(gensock_connection *connection, int poll) {
  long received = TlsRecv(connection->tls, connection->recv_buf, kGensockRecvBlock);
  if (received == kTlsWouldBlock && !poll) {
    if (WaitFor(connection, POLLIN, GWinsockTimeout) > 0)
      received = TlsRecv(connection->tls, connection->recv_buf, kGensockRecvBlock);
  }
  if (received == kTlsWouldBlock && poll) return kGensockNoData;
  int e = errno;
  PrintWord("Data available");
  if (received == 0) {
    PrintSystemError(e);
    return kGensockRecvFailed;
  }
  if (received < 0) {
    PrintText("recv error");
    PrintSystemError(received == kTlsWouldBlock ? EAGAIN : e);
    return received == kTlsWouldBlock ? kGensockNoData : kGensockRecvFailed;
  }
  connection->recv_len = static_cast<uint32_t>(received);
  connection->recv_pos = 0;
  PrintWord("recv success");
  return kGensockOk;
}

}  // namespace

// ---- Connection record and connect ----------------------------------------

int c_new(gensock_connection **out) {
  auto *connection = static_cast<gensock_connection *>(malloc(sizeof(gensock_connection)));
  if (connection == nullptr) {
    *out = nullptr;
    return 0;
  }
  memset(connection, 0, sizeof *connection);
  connection->sock = -1;
  connection->recv_buf = static_cast<char *>(malloc(kGensockRecvBlock));
  connection->send_buf = static_cast<char *>(malloc(kGensockSendBlock));
  *out = connection;
  return 1;
}

int c_delete(gensock_connection *connection) {
  free(connection->recv_buf);
  free(connection->send_buf);
  free(connection);
  return 1;
}

int gensock_is_a_number(const char *text) {
  for (; *text != '\0'; ++text) {
    if (!isdigit(static_cast<unsigned char>(*text))) return 0;
  }
  return 1;
}

int c_get_connected(gensock_connection *connection, const char *host, const char *service) {
  if (connection->recv_buf == nullptr || connection->send_buf == nullptr) return kGensockNoBuffer;
  PrintWord("j1");
  uint16_t port = 0;
  int code = ResolveService(service, &port);
  if (code != kGensockOk) return code;

  PrintWord("j2");
  HostAddresses addresses;
  if (!ResolveHost(host, &addresses)) return kGensockBadHost;
  long long deadline_ms = gensock_deadline();
  if (deadline_ms > 0 && gensock_monotonic_ms() >= deadline_ms) {
    ShowConnectError(ETIMEDOUT);  // the lookup used up the time
    return kGensockConnectFailed;
  }
  if (addresses.list == nullptr) {
    return ConnectTo(connection, reinterpret_cast<const sockaddr *>(&addresses.dotted),
                     sizeof addresses.dotted, port);
  }
  // Each address in turn until one connects; the last one's code counts.
  for (const addrinfo *at = addresses.list;; at = at->ai_next) {
    code = ConnectTo(connection, at->ai_addr, at->ai_addrlen, port);
    if (code == kGensockOk || at->ai_next == nullptr) return code;
    c_gclose(connection);
  }
}

int gensock_connect(const char *host, const char *service, gensock_connection **out) {
  connect_error = -1;
  failure_text[0] = '\0';
  gensock_connection *connection = nullptr;
  if (!c_new(&connection)) {
    *out = nullptr;
    return kGensockNoRecord;
  }
  int code = c_get_connected(connection, host, service);
  if (code != kGensockOk) {
    gensock_close(connection);
    *out = nullptr;
    return code;
  }
  *out = connection;
  PrintWord("done GSC");
  return kGensockOk;
}

int gensock_connect_error(void) { return connect_error >= 0 ? connect_error : errno; }

const char *gensock_failure_text(void) { return failure_text; }

int c_gclose(gensock_connection *connection) {
  TlsClose(connection->tls);
  connection->tls = nullptr;
  if (connection->sock < 0) return kGensockOk;  // never close what we did not open
  int result = close(connection->sock);
  // Linux releases the descriptor even when close reports an error, so the
  // record must not try again.
  connection->sock = -1;
  return result == 0 ? kGensockOk : kGensockCloseFailed;
}

int gensock_close(gensock_connection *connection) {
  if (connection == nullptr) return kGensockNullHandle;
  int code = c_gclose(connection);
  c_delete(connection);
  return code;
}

int gensock_start_tls(gensock_connection *connection, const char *name, int is_address) {
  if (connection == nullptr) return kGensockNullHandle;
  char reason[256];
  int code = TlsHandshake(connection->sock, name, is_address, GWinsockTimeout, &connection->tls,
                          reason, sizeof reason);
  if (code != 0) {
    NoteFailure(reason);
    PrintFormat("TLS with %s failed - %s\r\n", name, reason);
    return kGensockTlsFailed;
  }
  return kGensockOk;
}

int complain(const char *text) {
  PrintWord(text);
  return 0;
}

// ---- Buffered I/O ---------------------------------------------------------

int c_get_buffer(gensock_connection *connection, int poll) {
  if (!Waitable(connection->sock) || connection->recv_buf == nullptr) return kGensockRecvFailed;
  ssize_t received = -1;
  if (connection->tls != nullptr) return TlsGetBuffer(connection, poll);
  if (poll) {
    // A poll asks the socket itself rather than select first: the reader
    // polls once or twice for every 512 bytes of a reply, and a receive
    // that does not wait answers the same question in one call. Nothing
    // there yet is reported quietly and leaves errno as it was, as a select
    // that found nothing would: the text printed when the peer closes
    // depends on it.
    int before = errno;
    received = recv(connection->sock, connection->recv_buf, kGensockRecvBlock, MSG_DONTWAIT);
    if (received == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      errno = before;
      return kGensockNoData;
    }
  } else {
    int ready = WaitFor(connection, POLLIN, GWinsockTimeout);
    if (ready == -1) {
      int e = errno;
      // The text once for the wait and once for the read it failed.
      PrintText("select error");
      PrintSystemError(e);
      PrintSystemError(e);
      return kGensockRecvFailed;
    }
    // Data is there, or the wait ran out; the socket does not block, so the
    // receive then reports EAGAIN.
    received = recv(connection->sock, connection->recv_buf, kGensockRecvBlock, MSG_DONTWAIT);
  }
  int e = errno;
  PrintWord("Data available");
  if (received == 0) {  // the peer closed the connection
    PrintSystemError(e);
    return kGensockRecvFailed;
  }
  if (received < 0) {
    PrintText("recv error");
    PrintSystemError(e);
    return e == EAGAIN ? kGensockNoData : kGensockRecvFailed;
  }
  connection->recv_len = static_cast<uint32_t>(received);
  connection->recv_pos = 0;
  PrintWord("recv success");
  return kGensockOk;
}

int c_ggetchar(gensock_connection *connection, int poll, char *out) {
  if (connection->recv_pos >= connection->recv_len) {
    int code = c_get_buffer(connection, poll);
    if (code != kGensockOk) return code;
  }
  *out = connection->recv_buf[connection->recv_pos++];
  return kGensockOk;
}

int c_put_data(gensock_connection *connection, const char *data, unsigned length) {
  if (length == 0) return kGensockOk;
  if (!Waitable(connection->sock)) return kGensockSendFailed;
  if (connection->tls != nullptr) {
    // The session waits for room itself, within the same limit.
    if (TlsSend(connection->tls, data, length, GWinsockTimeout) == static_cast<long>(length)) {
      return kGensockOk;
    }
    NoteFailure("send failed");
    PrintWord("write send error");
    return kGensockSendFailed;
  }
  while (length > 0) {
    size_t piece = std::min<unsigned>(length, kGensockSendPiece);
    // A socket with room takes the piece at once, so the wait comes only
    // when it has none: a request of one piece costs one call, not two.
    // MSG_NOSIGNAL: a peer that has gone away must give an error code, not
    // a SIGPIPE that would end the whole process.
    ssize_t sent = send(connection->sock, data, piece, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      int ready = WaitFor(connection, POLLOUT, GWinsockTimeout);
      if (ready == -1) {
        NoteSystemFailure(errno);
        PrintSystemError(errno);
        PrintWord("write select error");
        return kGensockSendFailed;
      }
      if (ready == 0) {
        // The peer has taken nothing for the whole limit. Trying the send
        // anyway would not fail as one might hope: Linux still fits a few
        // bytes into the tail of its full queue, so a stalled peer would
        // hold the writer for one more limit per piece. Report it as the
        // full socket's send error that it is.
        NoteFailure(kGensockSendTimedOut);
        PrintSystemError(EAGAIN);
        PrintWord("write send error");
        return kGensockSendFailed;
      }
      sent = send(connection->sock, data, piece, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    if (sent == -1) {
      NoteSystemFailure(errno);
      PrintSystemError(errno);
      PrintWord("write send error");
      return kGensockSendFailed;
    }
    data += sent;
    length -= static_cast<unsigned>(sent);
  }
  return kGensockOk;
}

int c_put_data_buffered(gensock_connection *connection, const char *data, unsigned length) {
  if (connection->send_buf == nullptr) return kGensockSendFailed;
  while (length > 0) {
    unsigned room = kGensockSendBlock - connection->send_fill;
    if (length < room) {
      memcpy(connection->send_buf + connection->send_fill, data, length);
      connection->send_fill += length;
      return kGensockOk;
    }
    // Waiting bytes never reach a full block: a write that fills it sends it.
    memcpy(connection->send_buf + connection->send_fill, data, room);
    int code = c_put_data(connection, connection->send_buf, kGensockSendBlock);
    if (code != kGensockOk) return code;
    connection->send_fill = 0;
    data += room;
    length -= room;
  }
  return kGensockOk;
}

int c_put_data_flush(gensock_connection *connection) {
  if (connection->send_fill == 0) return kGensockOk;
  int code = c_put_data(connection, connection->send_buf, connection->send_fill);
  if (code != kGensockOk) return code;
  connection->send_fill = 0;
  return kGensockOk;
}

int gensock_getchar(gensock_connection *connection, int poll, char *out) {
  if (connection == nullptr) return kGensockNullHandle;
  return c_ggetchar(connection, poll, out);
}

int gensock_put_data(gensock_connection *connection, const char *data, unsigned length) {
  if (connection == nullptr) return kGensockNullHandle;
  return c_put_data(connection, data, length);
}

int gensock_put_data_buffered(gensock_connection *connection, const char *data, unsigned length) {
  if (connection == nullptr) return kGensockNullHandle;
  return c_put_data_buffered(connection, data, length);
}

int gensock_put_data_flush(gensock_connection *connection) {
  if (connection == nullptr) return kGensockNullHandle;
  return c_put_data_flush(connection);
}

int gensock_gethostname(char *buffer, int size) {
  if (buffer == nullptr || size <= 0) return -1 - kGensockPlatformBase;
  int result = gethostname(buffer, static_cast<size_t>(size));
  // A name longer than the buffer is cut without a terminator.
  buffer[size - 1] = '\0';
  return result == 0 ? kGensockOk : result - kGensockPlatformBase;
}
