// The per-thread deadline of one exchange, and the clock it is read on.
// While the calling thread has a deadline set, every wait of the socket
// layer (net/ll_socks.h) and of its TLS sessions (net/ll_tls.h) on that
// thread (the connect, the TLS handshake, each send, each non-polling read)
// ends at the deadline instead of after its usual limit, however long or
// short that is; a connect whose name lookup ends past it fails at once with
// ETIMEDOUT (the lookup itself cannot be cut short). Per thread, so that one
// hit's limit never reaches another's; whoever sets it clears it. Nothing
// here is shared between threads.
#ifndef JANTOR_NET_LL_DEADLINE_H_
#define JANTOR_NET_LL_DEADLINE_H_

// Sets the calling thread's deadline, a time of gensock_monotonic_ms; 0
// (or less) clears it.
void gensock_set_deadline(long long monotonic_ms);

// The calling thread's deadline, 0 when none is set.
long long gensock_deadline(void);

// Milliseconds of CLOCK_MONOTONIC, the clock of the deadline: MonotonicUs
// (base/ll_cpapi.h) in whole milliseconds, so both tell the same time.
long long gensock_monotonic_ms(void);

#endif  // JANTOR_NET_LL_DEADLINE_H_
