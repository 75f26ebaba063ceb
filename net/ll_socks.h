// The socket layer (gensock): TCP client connections (IPv4 and IPv6) behind
// a handle. A connection record comes from the plain heap with its two
// 512-byte buffers; gensock_connect creates and connects it, gensock_close
// closes its descriptor and frees it (and its buffers). A failed connect
// never leaves a record or a descriptor behind. Every operation returns 0 or
// a result code below and prints its trace words through the library's
// output helpers (base/ll_cpapi.h), unconditionally.
// Threads: every operation may be called from several threads at once, as
// long as each record is used by one thread at a time. The layer shares
// nothing mutable between threads: the resolver is getaddrinfo, the service
// lookup is remembered per thread, and GWinsockTimeout is atomic.
#ifndef JANTOR_NET_LL_SOCKS_H_
#define JANTOR_NET_LL_SOCKS_H_

#include <sys/select.h>
#include <sys/time.h>

#include <atomic>
#include <cstdint>

#include "net/ll_deadline.h"

// Result codes of the layer. A platform error e without a code of its own
// is returned as e - kGensockPlatformBase.
enum : int {
  kGensockOk = 0,
  kGensockNoBuffer = 4001,       // the record's buffers failed to allocate
  kGensockSendFailed = 4002,     // a wait before sending or a send failed
  kGensockNoRecord = 4003,       // allocating the record failed
  kGensockBadHost = 4007,        // the host did not resolve
  kGensockNoSocket = 4008,       // no usable socket could be created
  kGensockNullHandle = 4010,     // a gensock_ operation was given null
  kGensockCloseFailed = 4012,    // closing the descriptor failed
  kGensockNoData = 4013,         // no data has arrived yet; try again
  kGensockBadService = 4014,     // unknown service, or no number in the port
  kGensockConnectFailed = 4015,  // connect failed or did not finish in time
  kGensockRecvFailed = 4016,     // receiving failed or the peer closed
  kGensockRefused = 4017,        // the peer refused the connection
  kGensockTlsFailed = 4018,      // the TLS handshake or the certificate check failed
  kGensockPlatformBase = 5000,
};

// Sizes of the record's buffers and of one send call.
enum : int {
  kGensockRecvBlock = 512,
  kGensockSendBlock = 512,
  kGensockSendPiece = 1024,
};

// Seconds that every non-polling wait of the layer may last (the connect,
// each send, each non-polling read). Read afresh for every wait; initially 45.
extern std::atomic<int> GWinsockTimeout;

// The per-thread deadline that cuts the waits below short
// (gensock_set_deadline, gensock_deadline, gensock_monotonic_ms) is declared
// in net/ll_deadline.h, which this header includes for the layer's callers.

struct gensock_connection {
  int sock;                  // descriptor, or -1 before the connect creates one
  char *recv_buf;            // kGensockRecvBlock bytes; null if allocation failed
  char *send_buf;            // kGensockSendBlock bytes; null if allocation failed
  uint32_t recv_pos;         // next unread byte of recv_buf; never above recv_len
  uint32_t send_fill;        // bytes waiting in send_buf; always below 512
  uint32_t recv_len;         // bytes the last receive placed in recv_buf
  fd_set wait_set;           // unused, as waits poll; kept for the record's layout
  struct timeval wait_time;  // scratch of every wait: its time limit
  struct TlsSession *tls;    // null, or the TLS session that all reads and writes go through
};

// ---- Connection record and connect ----------------------------------------

// Allocates a record with no descriptor. Returns 1 and stores it in *out, or
// 0 with *out null when the record itself cannot be had. Buffers that fail
// to allocate are left null and refused by c_get_connected with 4001.
int c_new(gensock_connection **out);

// Frees the buffers and the record (no descriptor is closed). Returns 1.
int c_delete(gensock_connection *connection);

// 1 when every character is a decimal digit (also for ""); else 0.
int gensock_is_a_number(const char *text);

// Resolves host (dotted IPv4 number, IPv6 address or name) and service
// (decimal port, or a tcp service name; a number is taken modulo 65536),
// creates the socket and connects within GWinsockTimeout seconds (or by
// the thread's deadline). A name with several addresses has each tried in
// the resolver's order until one connects; the last attempt's code is
// returned. 0 leaves the socket connected and non-blocking; otherwise a
// result code. REQUIRES: connection, host, service are not null.
int c_get_connected(gensock_connection *connection, const char *host, const char *service);

// Creates and connects a record. 0 and the handle in *out, or a result code
// and a null *out (nothing is left open).
int gensock_connect(const char *host, const char *service, gensock_connection **out);

// Right after a failed gensock_connect: the system error that ended the
// attempt (errno as the attempt left it when it ended without one, as for a
// host that does not resolve). The layer has printed that error already, and
// printing may change errno, so a caller that reports it again reads it here.
int gensock_connect_error(void);

// The words of this thread's last failure in a connect, a TLS handshake or a
// send: the system's error text as printed ("Connection refused"), the
// resolver's for a name that did not resolve, the TLS reason ("certificate
// has expired"), or kGensockSendTimedOut for a peer that took nothing for
// the whole limit. "" until one fails; each gensock_connect starts afresh.
const char *gensock_failure_text(void);
inline constexpr char kGensockSendTimedOut[] = "send timed out";

// Closes the descriptor (ending its TLS session first, if any): 0, or 4012
// when close fails.
int c_gclose(gensock_connection *connection);

// Starts TLS on a connected record: the handshake, with the peer's
// certificate verified for name (a host name, or an address when is_address
// is non-zero), within GWinsockTimeout seconds. From then on every read and
// write of the record goes through the session. 0, or kGensockTlsFailed
// after the trace line "TLS with <name> failed - <reason>" (the record is
// left as it was, for the caller to close).
int gensock_start_tls(gensock_connection *connection, const char *name, int is_address);

// Closes the descriptor (if any) and frees the record; returns the close's
// code, 4010 for a null handle. The handle is invalid afterwards. Waiting
// buffered bytes are not flushed.
int gensock_close(gensock_connection *connection);

// Prints text and "\r\n" on standard output. Returns 0.
int complain(const char *text);

// ---- Buffered I/O ---------------------------------------------------------
// A non-zero poll flag makes a read return 4013 at once when no data is
// there; zero waits up to GWinsockTimeout seconds first.

// Refills recv_buf with one receive of at most 512 bytes: 0, 4013 (no data
// yet) or 4016 (error, or the peer closed).
int c_get_buffer(gensock_connection *connection, int poll);

// Stores the next byte in *out and returns 0; or the code of c_get_buffer.
int c_ggetchar(gensock_connection *connection, int poll, char *out);

// Sends length bytes in pieces of at most 1024, each after a wait of up to
// GWinsockTimeout seconds for room. 0 when all were accepted; 4002 when a
// send fails or a wait runs out (the peer has stopped reading).
int c_put_data(gensock_connection *connection, const char *data, unsigned length);

// Gathers bytes in send_buf and sends each full 512-byte block at once.
// 0, or the code of a failed block send (the connection is then unusable).
int c_put_data_buffered(gensock_connection *connection, const char *data, unsigned length);

// Sends the bytes waiting in send_buf: 0 or the code of the send.
int c_put_data_flush(gensock_connection *connection);

// As the c_ operations above, with 4010 for a null handle.
int gensock_getchar(gensock_connection *connection, int poll, char *out);
int gensock_put_data(gensock_connection *connection, const char *data, unsigned length);
int gensock_put_data_buffered(gensock_connection *connection, const char *data, unsigned length);
int gensock_put_data_flush(gensock_connection *connection);

// Stores the local host's name (NUL-terminated, cut to fit) in buffer.
// 0, or the platform's result minus 5000. REQUIRES: size > 0.
int gensock_gethostname(char *buffer, int size);

#endif  // JANTOR_NET_LL_SOCKS_H_
