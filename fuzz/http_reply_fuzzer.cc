// get_http_data (and get_http_num) reading a reply from a peer that sends
// the fuzzed bytes and closes: the reader stays inside its texts, and the
// reply is the header and the body each up to its first NUL byte, split
// after the first CR or LF that follows an LF.
// Input: one flag byte (bit 0: want header, bit 1: want body, bit 2: read
// with get_http_num instead, with the second byte as a signed limit), then
// the bytes the peer sends.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "base/ll_cpapi.h"
#include "fuzz/fuzz_util.h"
#include "http/ll_http.h"
#include "net/ll_socks.h"

namespace {

// What the reader must deliver for a stream that ends with the connection.
std::string ExpectedReply(const std::string& stream, bool header, bool body) {
  size_t split = stream.size();
  for (size_t i = 1; i < stream.size(); ++i) {
    if (stream[i - 1] == '\n' && (stream[i] == '\r' || stream[i] == '\n')) {
      split = i + 1;
      break;
    }
  }
  std::string head = stream.substr(0, split), rest = stream.substr(split);
  std::string reply;
  if (header) reply += head.substr(0, head.find('\0'));
  if (body) reply += rest.substr(0, rest.find('\0'));
  return reply;
}

// What get_http_num must deliver: up to and including the stopping byte.
std::string ExpectedNum(const std::string& stream, int limit) {
  std::string out;
  char previous = '\0';
  for (char b : stream) {
    out.push_back(b);
    int value = static_cast<unsigned char>(b);
    if (static_cast<int>(out.size()) == limit || limit == -value ||
        (limit == -1 && b == '\n' && (previous == '\r' || previous == '\n')))
      break;
    previous = b;
  }
  return out.substr(0, out.find('\0'));
}

// A connection record on one end of a socket pair, as gensock_connect
// leaves it: non-blocking, nothing buffered.
gensock_connection* Connection(int fd) {
  gensock_connection* connection = nullptr;
  FUZZ_CHECK(c_new(&connection) == 1);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  connection->sock = fd;
  return connection;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // No reply here ever goes silent, but a bug that waits must not hang the
  // run for the full 45 seconds.
  GWinsockTimeout = 5;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 256 * 1024) return -1;
  const int flags = data[0];
  const int limit = static_cast<signed char>(data[1]);
  const std::string stream(reinterpret_cast<const char*>(data) + 2, size - 2);

  int pair[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
  // The peer sends in pieces from its own thread (the stream may be larger
  // than the socket buffer) and then closes.
  std::thread peer([&] {
    size_t piece = 1 + (flags >> 3) * 97;
    for (size_t at = 0; at < stream.size();) {
      ssize_t sent =
          send(pair[1], stream.data() + at, std::min(piece, stream.size() - at), MSG_NOSIGNAL);
      if (sent <= 0) break;
      at += static_cast<size_t>(sent);
    }
    close(pair[1]);
  });

  gensock_connection* connection = Connection(pair[0]);
  char* reply = nullptr;
  if (flags & 4) {
    FUZZ_CHECK(get_http_num(0, connection, &reply, limit) == 1);
    FUZZ_CHECK(strnlen(reply, misize(reply)) < misize(reply));
    FUZZ_CHECK(reply == ExpectedNum(stream, limit));
  } else {
    bool header = flags & 1, body = flags & 2;
    FUZZ_CHECK(get_http_data(0, connection, &reply, header, body, 0) == 1);
    FUZZ_CHECK(strnlen(reply, misize(reply)) < misize(reply));
    FUZZ_CHECK(reply == ExpectedReply(stream, header, body));
  }
  firee(reply);
  // Closing first ends a peer still sending to a reader that stopped early.
  FUZZ_CHECK(gensock_close(connection) == kGensockOk);  // closes pair[0]
  peer.join();
  return 0;
}
