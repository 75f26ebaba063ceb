// The -m endpoint: the metrics of engine/metrics.h served over HTTP at
// GET /metrics by a thread of its own (http/ll_serve.h), which never takes
// a lock that a hit holds, and the status page's paths, which it hands to
// the page thread (engine/watch/status_page.h). Started once by the main thread,
// before the database is opened; it runs until the process ends.
#ifndef JANTOR_ENGINE_WATCH_METRICS_ENDPOINT_H_
#define JANTOR_ENGINE_WATCH_METRICS_ENDPOINT_H_

#include "engine/command_line.h"

// Binds [ADDRESS:]PORT (127.0.0.1 when no address is given) and starts
// serving. false, after a line saying why, when the text does not parse or
// the port cannot be bound.
bool StartMetricsEndpoint(const RunSettings* settings);

#endif  // JANTOR_ENGINE_WATCH_METRICS_ENDPOINT_H_
