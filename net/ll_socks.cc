#include "net/ll_socks.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/ll_cpapi.h"

int GWinsockTimeout = 45;

namespace {

// Words that the system error text follows on the same line.
void PrintText(const char *text) { printf("%s", text); }

// select() can watch descriptors 0 to FD_SETSIZE - 1 only; a record never
// keeps one outside that range, and one without a descriptor is never
// waited on.
bool Waitable(int fd) { return fd >= 0 && fd < FD_SETSIZE; }

void ArmWait(gensock_connection *connection, int seconds) {
  FD_ZERO(&connection->wait_set);
  FD_SET(connection->sock, &connection->wait_set);
  connection->wait_time.tv_sec = seconds;
  connection->wait_time.tv_usec = 0;
}

// The system error that ended this thread's last connect attempt, -1 while
// the attempt has shown none. Kept because the error text printed on the
// way out may change errno before the caller reports the failure.
thread_local int connect_error = -1;

void ShowConnectError(int error_number) {
  connect_error = error_number;
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

// Host text to an IPv4 address in network byte order. The dotted text
// 255.255.255.255 equals inet_addr's failure value and goes to the lookup.
bool ResolveHost(const char *host, in_addr_t *address) {
  in_addr_t dotted = inet_addr(host);
  if (dotted != INADDR_NONE) {
    *address = dotted;
    return true;
  }
  const hostent *entry = gethostbyname(host);
  if (entry == nullptr || entry->h_addrtype != AF_INET ||
      entry->h_length != static_cast<int>(sizeof(in_addr_t)) || entry->h_addr_list[0] == nullptr) {
    return false;
  }
  memcpy(address, entry->h_addr_list[0], sizeof(in_addr_t));
  return true;
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
  in_addr_t address = 0;
  if (!ResolveHost(host, &address)) return kGensockBadHost;

  PrintWord("j3");
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    ShowConnectError(errno);
    return kGensockNoSocket;
  }
  if (!Waitable(fd)) {
    // Every wait of the layer needs the descriptor in a select() set, which
    // has no room for it: give it back rather than write past the set.
    close(fd);
    ShowConnectError(EMFILE);
    return kGensockNoSocket;
  }
  connection->sock = fd;

  // The system's default close behaviour is the one wanted, so no linger
  // option is set here.
  PrintWord("j4");
  PrintWord("j5");

  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = port;
  peer.sin_addr.s_addr = address;
  // The socket still blocks here, so a connect that returns 0 is complete.
  bool connected = connect(fd, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) == 0;
  if (!connected) {
    int e = errno;
    ShowConnectError(e);
    if (e == ECONNREFUSED) return kGensockRefused;
    if (e != EAGAIN) {  // EAGAIN: the connect goes on; the wait below decides
      printf("unexpected error %d from winsock\n", e);
      return kGensockConnectFailed;
    }
  }

  PrintWord("bl1");
  int non_blocking = 1;
  if (ioctl(fd, FIONBIO, &non_blocking) != 0) PrintSystemError(errno);
  PrintWord("bl2");

  PrintWord("Waiting for connect");
  if (connected) {
    // Nothing to wait for: a select would only confirm what connect said.
    PrintWord("selected");
    return kGensockOk;
  }
  ArmWait(connection, GWinsockTimeout);
  int ready = select(fd + 1, nullptr, &connection->wait_set, nullptr, &connection->wait_time);
  int e = errno;
  // Writable is not the same as connected: a connect that was still under
  // way may have failed meanwhile, and a failed wait proves nothing.
  int pending = 0;
  if (ready > 0) {
    socklen_t length = sizeof pending;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) pending = errno;
  }
  if (ready <= 0 || pending != 0) {
    PrintWord("not selected");
    ShowConnectError(ready > 0 ? pending : e);
    return pending == ECONNREFUSED ? kGensockRefused : kGensockConnectFailed;
  }
  PrintWord("selected");
  return kGensockOk;
}

int gensock_connect(const char *host, const char *service, gensock_connection **out) {
  connect_error = -1;
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

int c_gclose(gensock_connection *connection) {
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

int complain(const char *text) {
  PrintWord(text);
  return 0;
}

// ---- Buffered I/O ---------------------------------------------------------

int c_get_buffer(gensock_connection *connection, int poll) {
  if (!Waitable(connection->sock) || connection->recv_buf == nullptr) return kGensockRecvFailed;
  ssize_t received = -1;
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
    ArmWait(connection, GWinsockTimeout);
    int ready = select(connection->sock + 1, &connection->wait_set, nullptr, nullptr,
                       &connection->wait_time);
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
  while (length > 0) {
    size_t piece = std::min<unsigned>(length, kGensockSendPiece);
    // A socket with room takes the piece at once, so the wait comes only
    // when it has none: a request of one piece costs one call, not two.
    // MSG_NOSIGNAL: a peer that has gone away must give an error code, not
    // a SIGPIPE that would end the whole process.
    ssize_t sent = send(connection->sock, data, piece, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Armed afresh every time: a wait that ran out leaves the set empty,
      // and a later wait on an empty set would watch nothing.
      ArmWait(connection, GWinsockTimeout);
      int ready = select(connection->sock + 1, nullptr, &connection->wait_set, nullptr,
                         &connection->wait_time);
      if (ready == -1) {
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
        PrintSystemError(EAGAIN);
        PrintWord("write send error");
        return kGensockSendFailed;
      }
      sent = send(connection->sock, data, piece, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    if (sent == -1) {
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
