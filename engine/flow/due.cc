#include "engine/flow/due.h"

#include "engine/flow/hit.h"
#include "http/ll_http.h"
#include "net/ll_socks.h"

// The most seconds a hit of entry may take: with -w its own time limit,
// else the usual limits, the reply's deadline and a connect before it.
int LongestHit(const RunSettings* s, const Entry& entry) {
  int limit = OptionGiven(s, 'w') ? EntryTimeLimit(entry.timeout) : 0;
  return limit > 0 ? limit : (kHttpReplyDeadlineFactor + 1) * GWinsockTimeout.load();
}
