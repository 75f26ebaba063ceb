#include "net/ll_deadline.h"

#include <algorithm>

#include "base/ll_cpapi.h"

namespace {

// The deadline of the exchange that this thread is making, 0 for none.
thread_local long long deadline_ms = 0;

}  // namespace

void gensock_set_deadline(long long monotonic_ms) { deadline_ms = std::max(monotonic_ms, 0LL); }

long long gensock_deadline(void) { return deadline_ms; }

long long gensock_monotonic_ms(void) { return MonotonicUs() / 1000; }
