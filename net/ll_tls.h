// TLS client sessions over sockets that the socket layer has connected and
// keeps non-blocking. The peer's certificate is always verified against the
// system's trust store (OpenSSL's SSL_CERT_FILE and SSL_CERT_DIR override
// it, read once, when the first session starts) and against the host name or
// address; there is no way to skip that. A session owns its OpenSSL state
// but never the descriptor, which the socket layer closes after TlsClose.
// Every call may run on several threads at once, each on sessions of its
// own: a session belongs to one thread at a time. Nothing here prints.
#ifndef JANTOR_NET_LL_TLS_H_
#define JANTOR_NET_LL_TLS_H_

#include <cstddef>

struct TlsSession;

// Results of TlsRecv and TlsSend besides byte counts.
enum : long {
  kTlsFailed = -1,      // the session is broken; only TlsClose remains
  kTlsWouldBlock = -2,  // nothing to read yet: poll the descriptor for reading
};

// Runs the handshake on fd, a connected non-blocking socket, for the host
// name (sent as SNI, matched against the certificate) or, when is_address is
// non-zero, for the IPv4 or IPv6 address text (matched against the
// certificate's IP entries; no brackets). All waiting is done with poll and
// lasts at most timeout_seconds in all (0 or less: no waiting at all), or,
// when the calling thread has a deadline (net/ll_deadline.h), until that
// deadline instead.
// Returns 0 with the new session in *out; otherwise -1, *out null, and in
// reason a short text: the verification error when the certificate was
// refused ("certificate has expired", "hostname mismatch", ...), "timed
// out", OpenSSL's reason, a system error text or "connection closed".
// REQUIRES: out is not null; reason holds reason_size bytes (it is cut to
// them and always terminated when reason_size > 0; null is allowed with 0).
int TlsHandshake(int fd, const char *name, int is_address, int timeout_seconds, TlsSession **out,
                 char *reason, size_t reason_size);

// Reads at most n bytes without waiting. Returns the count read (> 0), 0
// when the peer has closed (with close_notify or by ending the stream),
// kTlsWouldBlock when no data is there yet, or kTlsFailed. Data that OpenSSL
// has already decrypted is always returned before kTlsWouldBlock, so a poll
// on the descriptor after kTlsWouldBlock never waits for bytes already here.
// REQUIRES: s is a session from TlsHandshake; n > 0.
long TlsRecv(TlsSession *s, void *buffer, size_t n);

// Sends n bytes, waiting with poll up to timeout_seconds (or until the
// calling thread's deadline, when it has one) for room before each piece
// the socket does not take at once. Returns n, or kTlsFailed (a
// peer that has gone gives kTlsFailed, never SIGPIPE).
// REQUIRES: s is a session from TlsHandshake.
long TlsSend(TlsSession *s, const void *data, size_t n, int timeout_seconds);

// 1 when the handshake of s resumed a session kept from an earlier
// handshake with the same server (same name, address and port), else 0.
// Sessions are kept for up to 256 servers, shared by all threads.
int TlsResumed(TlsSession *s);

// Sends close_notify if the session is still sound and the socket takes it
// at once, then frees the session. The descriptor stays open. Null does
// nothing.
void TlsClose(TlsSession *s);

#endif  // JANTOR_NET_LL_TLS_H_
