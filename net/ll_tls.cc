#include "net/ll_tls.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "net/ll_deadline.h"

namespace {

// ---- OpenSSL, loaded on first use ------------------------------------------
// Mapping libssl and libcrypto costs about 2 MiB of resident memory at once,
// in every daemon, whether its table has an https:// entry or not. So they
// are loaded when the first session starts, and every OpenSSL call of this
// file goes through the table below (the macros after it send the names,
// and OpenSSL's own macros that expand to them, there).
// clang-format off
#define JANTOR_OPENSSL_CALLS(X)                                                                 \
  X(BIO_clear_flags) X(BIO_free) X(BIO_get_data) X(BIO_get_new_index) X(BIO_meth_free)          \
  X(BIO_meth_new) X(BIO_meth_set_ctrl) X(BIO_meth_set_read) X(BIO_meth_set_write) X(BIO_new)    \
  X(BIO_set_data) X(BIO_set_flags) X(BIO_set_init) X(ERR_clear_error) X(ERR_peek_last_error)   \
  X(ERR_reason_error_string) X(SSL_CTX_ctrl) X(SSL_CTX_free) X(SSL_CTX_new)                     \
  X(SSL_CTX_set_default_verify_paths) X(SSL_CTX_set_options) X(SSL_CTX_set_verify) X(SSL_ctrl) \
  X(SSL_do_handshake) X(SSL_free) X(SSL_free_buffers) X(SSL_get0_param) X(SSL_get_error)       \
  X(SSL_get_verify_result) X(SSL_new) X(SSL_read) X(SSL_set1_host) X(SSL_set_bio)              \
  X(SSL_set_connect_state) X(SSL_set_hostflags) X(SSL_shutdown) X(SSL_write)                   \
  X(TLS_client_method) X(X509_VERIFY_PARAM_set1_ip_asc) X(X509_verify_cert_error_string)      \
  X(SSL_CTX_sess_set_new_cb) X(SSL_SESSION_free) X(SSL_SESSION_is_resumable) X(SSL_get_ex_data) \
  X(SSL_set_ex_data) X(SSL_set_session) X(SSL_session_reused) X(SSL_SESSION_dup)
// clang-format on

struct OpenSslCalls {
#define JANTOR_OPENSSL_FIELD(name) decltype(&::name) name = nullptr;
  JANTOR_OPENSSL_CALLS(JANTOR_OPENSSL_FIELD)
#undef JANTOR_OPENSSL_FIELD
};

// Set once, by LoadOpenSsl under the runtime's lock for function-local
// statics; read only by code that runs after that.
const OpenSslCalls *openssl = nullptr;

// The library Debian's libssl3 installs; the symbols of libcrypto come
// with it, as its dependency. False when it or any call is missing.
bool LoadOpenSsl() {
  static const bool loaded = [] {
    void *library = dlopen("libssl.so.3", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return false;
    static OpenSslCalls calls;
    bool complete = true;
#define JANTOR_OPENSSL_LOOKUP(name)                                           \
  calls.name = reinterpret_cast<decltype(calls.name)>(dlsym(library, #name)); \
  complete = complete && calls.name != nullptr;
    JANTOR_OPENSSL_CALLS(JANTOR_OPENSSL_LOOKUP)
#undef JANTOR_OPENSSL_LOOKUP
    if (complete) openssl = &calls;
    return complete;
  }();
  return loaded;
}

}  // namespace

#define BIO_clear_flags openssl->BIO_clear_flags
#define BIO_free openssl->BIO_free
#define BIO_get_data openssl->BIO_get_data
#define BIO_get_new_index openssl->BIO_get_new_index
#define BIO_meth_free openssl->BIO_meth_free
#define BIO_meth_new openssl->BIO_meth_new
#define BIO_meth_set_ctrl openssl->BIO_meth_set_ctrl
#define BIO_meth_set_read openssl->BIO_meth_set_read
#define BIO_meth_set_write openssl->BIO_meth_set_write
#define BIO_new openssl->BIO_new
#define BIO_set_data openssl->BIO_set_data
#define BIO_set_flags openssl->BIO_set_flags
#define BIO_set_init openssl->BIO_set_init
#define ERR_clear_error openssl->ERR_clear_error
#define ERR_peek_last_error openssl->ERR_peek_last_error
#define ERR_reason_error_string openssl->ERR_reason_error_string
#define SSL_CTX_ctrl openssl->SSL_CTX_ctrl
#define SSL_CTX_free openssl->SSL_CTX_free
#define SSL_CTX_new openssl->SSL_CTX_new
#define SSL_CTX_set_default_verify_paths openssl->SSL_CTX_set_default_verify_paths
#define SSL_CTX_set_options openssl->SSL_CTX_set_options
#define SSL_CTX_set_verify openssl->SSL_CTX_set_verify
#define SSL_ctrl openssl->SSL_ctrl
#define SSL_do_handshake openssl->SSL_do_handshake
#define SSL_free openssl->SSL_free
#define SSL_free_buffers openssl->SSL_free_buffers
#define SSL_get0_param openssl->SSL_get0_param
#define SSL_get_error openssl->SSL_get_error
#define SSL_get_verify_result openssl->SSL_get_verify_result
#define SSL_new openssl->SSL_new
#define SSL_read openssl->SSL_read
#define SSL_set1_host openssl->SSL_set1_host
#define SSL_set_bio openssl->SSL_set_bio
#define SSL_set_connect_state openssl->SSL_set_connect_state
#define SSL_set_hostflags openssl->SSL_set_hostflags
#define SSL_shutdown openssl->SSL_shutdown
#define SSL_write openssl->SSL_write
#define TLS_client_method openssl->TLS_client_method
#define X509_VERIFY_PARAM_set1_ip_asc openssl->X509_VERIFY_PARAM_set1_ip_asc
#define X509_verify_cert_error_string openssl->X509_verify_cert_error_string
#define SSL_CTX_sess_set_new_cb openssl->SSL_CTX_sess_set_new_cb
#define SSL_SESSION_free openssl->SSL_SESSION_free
#define SSL_SESSION_is_resumable openssl->SSL_SESSION_is_resumable
#define SSL_get_ex_data openssl->SSL_get_ex_data
#define SSL_set_ex_data openssl->SSL_set_ex_data
#define SSL_set_session openssl->SSL_set_session
#define SSL_session_reused openssl->SSL_session_reused
#define SSL_SESSION_dup openssl->SSL_SESSION_dup

namespace {

using Clock = std::chrono::steady_clock;

struct SslFree {
  void operator()(SSL *ssl) const { SSL_free(ssl); }
};
struct SslContextFree {
  void operator()(SSL_CTX *context) const { SSL_CTX_free(context); }
};
struct BioFree {
  void operator()(BIO *bio) const { BIO_free(bio); }
};
struct BioMethodFree {
  void operator()(BIO_METHOD *method) const { BIO_meth_free(method); }
};

}  // namespace

// Owned by one thread at a time, like the descriptor it talks through.
struct TlsSession {
  int fd = -1;                        // the socket layer's descriptor, never closed here
  std::unique_ptr<SSL, SslFree> ssl;  // holds the socket BIO, which points back here
  int last_errno = 0;                 // errno of the socket call that failed last
  bool at_end = false;                // the peer ended the stream (answers BIO_eof)
  bool broken = false;                // a fatal error: OpenSSL forbids a close_notify now
  std::string resume_key;             // the server's place in the session cache
};

namespace {

// OpenSSL's own socket BIO writes with write(), so a peer that has gone
// away would raise SIGPIPE and end the whole daemon. This BIO sends with
// MSG_NOSIGNAL instead, and keeps the errno of a failed call for the reason
// text, since OpenSSL's later calls may change errno.
int SocketWrite(BIO *bio, const char *data, int size) {
  auto *session = static_cast<TlsSession *>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  ssize_t sent = send(session->fd, data, static_cast<size_t>(size), MSG_NOSIGNAL);
  if (sent >= 0) return static_cast<int>(sent);
  int error = errno;
  if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
    BIO_set_retry_write(bio);
  } else {
    session->last_errno = error;
  }
  return -1;
}

int SocketRead(BIO *bio, char *buffer, int size) {
  auto *session = static_cast<TlsSession *>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  ssize_t got = recv(session->fd, buffer, static_cast<size_t>(size), 0);
  if (got > 0) return static_cast<int>(got);
  if (got == 0) {
    session->at_end = true;
    return 0;
  }
  int error = errno;
  if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
    BIO_set_retry_read(bio);
  } else {
    session->last_errno = error;
  }
  return -1;
}

long SocketControl(BIO *bio, int command, long, void *) {
  auto *session = static_cast<TlsSession *>(BIO_get_data(bio));
  switch (command) {
    case BIO_CTRL_FLUSH:
      return 1;  // nothing is held back: every write goes straight to send
    case BIO_CTRL_EOF:
      // The record layer asks this after a read of 0 to tell the end of
      // the stream from an error; only then does it apply
      // SSL_OP_IGNORE_UNEXPECTED_EOF.
      return session->at_end ? 1 : 0;
    default:
      return 0;
  }
}

// Sessions to resume, one for each server: the name asked for (a name or
// an address, which the certificate was checked against when the session
// began) with the peer's address and port. Bounded: past kMostKeptSessions
// servers the oldest one is let go, so a table of many servers costs a few
// hundred kilobytes at most.
constexpr size_t kMostKeptSessions = 256;

struct SessionFree {
  void operator()(SSL_SESSION *session) const { SSL_SESSION_free(session); }
};

struct SessionCache {
  std::mutex mutex;
  // GUARDED_BY(mutex): a session for each server, by resume key
  std::unordered_map<std::string, std::unique_ptr<SSL_SESSION, SessionFree>> kept;
  std::deque<std::string> oldest_first;  // GUARDED_BY(mutex): the keys of kept
};

// Made on first use, after OpenSSL is loaded, so it is let go at exit
// before OpenSSL's own clean-up runs.
SessionCache &Sessions() {
  static SessionCache cache;
  return cache;
}

// OpenSSL hands over each new session of a connection here (with TLS 1.3
// only after the handshake, while the reply is read). The cache keeps a copy
// of its own: a session that a connection holds may still be written by it,
// and the cache's copies are only ever read (copied again, under the lock)
// by the handshakes that resume them, on any thread. 0: the connection's
// own reference is not taken.
int KeepSession(SSL *ssl, SSL_SESSION *session) {
  auto *owner = static_cast<TlsSession *>(SSL_get_ex_data(ssl, 0));
  if (owner == nullptr || owner->resume_key.empty() || SSL_SESSION_is_resumable(session) != 1)
    return 0;
  std::unique_ptr<SSL_SESSION, SessionFree> copy(SSL_SESSION_dup(session));
  if (!copy) return 0;
  SessionCache &cache = Sessions();
  std::lock_guard<std::mutex> lock(cache.mutex);
  auto [at, added] = cache.kept.try_emplace(owner->resume_key);
  at->second = std::move(copy);
  if (added) {
    cache.oldest_first.push_back(owner->resume_key);
    if (cache.oldest_first.size() > kMostKeptSessions) {
      cache.kept.erase(cache.oldest_first.front());
      cache.oldest_first.pop_front();
    }
  }
  return 0;
}

// The cache key of the server on fd for name; "" when the peer cannot be
// told, and then nothing is kept or resumed.
std::string ResumeKey(int fd, const char *name) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0) return "";
  char address[INET6_ADDRSTRLEN] = "";
  unsigned port = 0;
  if (peer.ss_family == AF_INET6) {
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&peer);
    inet_ntop(AF_INET6, &v6->sin6_addr, address, sizeof address);
    port = ntohs(v6->sin6_port);
  } else if (peer.ss_family == AF_INET) {
    auto *v4 = reinterpret_cast<sockaddr_in *>(&peer);
    inet_ntop(AF_INET, &v4->sin_addr, address, sizeof address);
    port = ntohs(v4->sin_port);
  } else {
    return "";
  }
  return std::string(name) + " " + address + " " + std::to_string(port);
}

// What every session shares, made once for the process by the first
// handshake. Read-only afterwards: OpenSSL locks the context's own counters
// and trust store, so sessions on several threads may use it at once.
struct TlsShared {
  std::unique_ptr<SSL_CTX, SslContextFree> context;
  std::unique_ptr<BIO_METHOD, BioMethodFree> socket_method;
};

TlsShared MakeShared() {
  TlsShared shared;
  std::unique_ptr<SSL_CTX, SslContextFree> context(SSL_CTX_new(TLS_client_method()));
  if (!context) return shared;
  SSL_CTX *c = context.get();
  if (SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION) != 1) return shared;
  SSL_CTX_set_verify(c, SSL_VERIFY_PEER, nullptr);
  // The system store, or whatever SSL_CERT_FILE and SSL_CERT_DIR name.
  if (SSL_CTX_set_default_verify_paths(c) != 1) return shared;
  // A server that closes without close_notify ends its reply as a plain
  // HTTP/1.0 server does, by ending the stream: that is not an error here.
  // Renegotiation would let a read need a write on a non-blocking socket.
  SSL_CTX_set_options(c, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
  // Up to a few hundred sessions may be open at once, most of them waiting
  // for a server: releasing the record buffers (16 to 32 KiB each) whenever
  // they are empty keeps a waiting session at about 20 KiB.
  SSL_CTX_set_mode(c, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE |
                          SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // Read-ahead stays off: OpenSSL then reads exactly one record at a time
  // and never sits on a whole record it has not decrypted, so a read that
  // wants more really needs the socket to bring more.
  // Every hit is a connection of its own, but a table often has many
  // entries on one server: sessions are kept by this file (below), so that
  // the next handshake with the same server resumes instead of decoding and
  // checking its certificate chain again, half of a full handshake's work.
  SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(c, KeepSession);

  std::unique_ptr<BIO_METHOD, BioMethodFree> method(
      BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "jantor socket"));
  if (!method || BIO_meth_set_write(method.get(), SocketWrite) != 1 ||
      BIO_meth_set_read(method.get(), SocketRead) != 1 ||
      BIO_meth_set_ctrl(method.get(), SocketControl) != 1)
    return shared;
  shared.context = std::move(context);
  shared.socket_method = std::move(method);
  return shared;
}

const TlsShared &Shared() {
  // Made under the C++ runtime's lock for function-local statics, so that
  // threads starting their first sessions together make it once. Freed at
  // exit, before OpenSSL's own clean-up (registered earlier) runs.
  static const TlsShared shared = MakeShared();
  ERR_clear_error();  // a failure above must not be read as a later call's
  return shared;
}

void SetReason(char *reason, size_t size, const char *text) {
  if (reason == nullptr || size == 0) return;
  size_t length = std::min(strlen(text), size - 1);
  memcpy(reason, text, length);
  reason[length] = '\0';
}

const char *SystemErrorText(int error) {
  const char *text = strerrordesc_np(error);
  return text != nullptr ? text : "system error";
}

// The best short account of a failed handshake: the certificate check's
// verdict first, since OpenSSL's own error then only says that it failed.
void ExplainFailure(const TlsSession &session, char *reason, size_t size) {
  long verdict = SSL_get_verify_result(session.ssl.get());
  unsigned long code = ERR_peek_last_error();
  if (verdict != X509_V_OK) {
    SetReason(reason, size, X509_verify_cert_error_string(verdict));
  } else if (code != 0 && ERR_reason_error_string(code) != nullptr) {
    SetReason(reason, size, ERR_reason_error_string(code));
  } else if (session.last_errno != 0) {
    SetReason(reason, size, SystemErrorText(session.last_errno));
  } else {
    SetReason(reason, size, "connection closed");
  }
}

// When the waits that start now end: after timeout_seconds, or at the
// thread's deadline (net/ll_deadline.h) when one is set.
Clock::time_point WaitDeadline(int timeout_seconds) {
  long long deadline_ms = gensock_deadline();
  if (deadline_ms > 0) {
    return Clock::now() + std::chrono::milliseconds(deadline_ms - gensock_monotonic_ms());
  }
  return Clock::now() + std::chrono::seconds(timeout_seconds);
}

enum WaitResult : int { kReady, kTimedOut, kWaitFailed };

// Polls fd for events until deadline. kWaitFailed leaves the error in *error.
WaitResult WaitUntil(int fd, short events, Clock::time_point deadline, int *error) {
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return kTimedOut;
    pollfd entry = {fd, events, 0};
    int result = poll(&entry, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
    if (result > 0) return kReady;  // an error or hang-up is for OpenSSL to report
    if (result == 0) return kTimedOut;
    if (errno != EINTR) {
      *error = errno;
      return kWaitFailed;
    }
  }
}

// The poll events that OpenSSL's last result asks for, or 0 when it failed.
short EventsWanted(int ssl_error) {
  if (ssl_error == SSL_ERROR_WANT_READ) return POLLIN;
  if (ssl_error == SSL_ERROR_WANT_WRITE) return POLLOUT;
  return 0;
}

}  // namespace

int TlsHandshake(int fd, const char *name, int is_address, int timeout_seconds, TlsSession **out,
                 char *reason, size_t reason_size) {
  *out = nullptr;
  SetReason(reason, reason_size, "");
  if (fd < 0 || name == nullptr || name[0] == '\0') {
    SetReason(reason, reason_size, fd < 0 ? "no connection" : "no host name");
    return -1;
  }
  if (!LoadOpenSsl()) {
    SetReason(reason, reason_size, "OpenSSL (libssl.so.3) cannot be loaded");
    return -1;
  }
  const TlsShared &shared = Shared();
  if (!shared.context) {
    SetReason(reason, reason_size, "TLS is not available");
    return -1;
  }

  auto session = std::make_unique<TlsSession>();
  session->fd = fd;
  session->ssl.reset(SSL_new(shared.context.get()));
  std::unique_ptr<BIO, BioFree> bio(BIO_new(shared.socket_method.get()));
  if (!session->ssl || !bio) {
    SetReason(reason, reason_size, "out of memory");
    ERR_clear_error();
    return -1;
  }
  SSL *ssl = session->ssl.get();
  BIO_set_data(bio.get(), session.get());
  BIO_set_init(bio.get(), 1);
  SSL_set_bio(ssl, bio.get(), bio.get());
  bio.release();  // the session's SSL owns it now

  // The certificate must name what was asked for. A name also goes out as
  // SNI, so a server of many sites shows the right certificate; an address
  // never does, as TLS allows only names there.
  bool named;
  if (is_address) {
    named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name) == 1;
  } else {
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    named = SSL_set_tlsext_host_name(ssl, name) == 1 && SSL_set1_host(ssl, name) == 1;
  }
  if (!named) {
    SetReason(reason, reason_size, is_address ? "bad address" : "bad host name");
    ERR_clear_error();
    return -1;
  }

  // A session kept from an earlier handshake with the same server, if any:
  // a copy of this connection's own, since the handshake writes to it.
  session->resume_key = ResumeKey(fd, name);
  SSL_set_ex_data(ssl, 0, session.get());
  if (!session->resume_key.empty()) {
    std::unique_ptr<SSL_SESSION, SessionFree> resumed;
    {
      SessionCache &cache = Sessions();
      std::lock_guard<std::mutex> lock(cache.mutex);
      auto kept = cache.kept.find(session->resume_key);
      if (kept != cache.kept.end()) resumed.reset(SSL_SESSION_dup(kept->second.get()));
    }
    if (resumed) SSL_set_session(ssl, resumed.get());  // takes a reference of its own
  }

  SSL_set_connect_state(ssl);
  const Clock::time_point deadline = WaitDeadline(timeout_seconds);
  for (;;) {
    ERR_clear_error();  // SSL_get_error reads the thread's queue
    int result = SSL_do_handshake(ssl);
    if (result == 1) break;
    short events = EventsWanted(SSL_get_error(ssl, result));
    if (events == 0) {
      ExplainFailure(*session, reason, reason_size);
      ERR_clear_error();
      return -1;
    }
    int error = 0;
    WaitResult waited = WaitUntil(fd, events, deadline, &error);
    if (waited != kReady) {
      SetReason(reason, reason_size, waited == kTimedOut ? "timed out" : SystemErrorText(error));
      return -1;
    }
  }
  *out = session.release();
  return 0;
}

long TlsRecv(TlsSession *s, void *buffer, size_t n) {
  if (s == nullptr || s->broken || n == 0) return kTlsFailed;
  ERR_clear_error();
  int got = SSL_read(s->ssl.get(), buffer, static_cast<int>(std::min<size_t>(n, INT_MAX)));
  if (got > 0) return got;
  switch (SSL_get_error(s->ssl.get(), got)) {
    case SSL_ERROR_ZERO_RETURN:
      return 0;
    case SSL_ERROR_WANT_READ:
    // Only a key update could want a write here, and then the socket's
    // send buffer is empty, as a reader has sent all it had: it passes
    // with the next call.
    case SSL_ERROR_WANT_WRITE:
      // The caller now waits, perhaps long, for a slow server: the record
      // buffer (16 to 32 KiB) goes back unless it holds part of a record
      // (then SSL_free_buffers declines), and comes again with the data.
      SSL_free_buffers(s->ssl.get());
      return kTlsWouldBlock;
    default:
      s->broken = true;
      ERR_clear_error();
      return kTlsFailed;
  }
}

long TlsSend(TlsSession *s, const void *data, size_t n, int timeout_seconds) {
  if (s == nullptr || s->broken) return kTlsFailed;
  const char *at = static_cast<const char *>(data);
  size_t left = n;
  while (left > 0) {
    ERR_clear_error();
    int sent = SSL_write(s->ssl.get(), at, static_cast<int>(std::min<size_t>(left, INT_MAX)));
    if (sent > 0) {
      at += sent;
      left -= static_cast<size_t>(sent);
      continue;
    }
    short events = EventsWanted(SSL_get_error(s->ssl.get(), sent));
    int error = 0;
    if (events == 0 || WaitUntil(s->fd, events, WaitDeadline(timeout_seconds), &error) != kReady) {
      // A write left half done cannot be taken up again with other data.
      s->broken = true;
      ERR_clear_error();
      return kTlsFailed;
    }
  }
  return static_cast<long>(n);
}

int TlsResumed(TlsSession *s) { return s != nullptr && SSL_session_reused(s->ssl.get()) == 1; }

void TlsClose(TlsSession *s) {
  if (s == nullptr) return;
  if (!s->broken) {
    ERR_clear_error();
    SSL_shutdown(s->ssl.get());  // one try: a full socket or a gone peer costs nothing
  }
  ERR_clear_error();
  delete s;
}
