#include "engine/watch/metrics_endpoint.h"

#include <cstring>
#include <string>
#include <string_view>

#include "base/ll_cpapi.h"
#include "engine/metrics.h"
#include "engine/watch/status_page.h"
#include "http/ll_serve.h"

namespace {

constexpr char kExposition[] = "text/plain; version=0.0.4; charset=utf-8";

void Answer(const HttpRequestHead& request, std::string* response, void* /*context*/) {
  std::string_view target = request.target;
  if (AnswerStatusRequest(request, response)) return;
  if (target != "/metrics" && !target.starts_with("/metrics?")) {
    HttpResponse(response, 404, "Not Found", kHttpPlainText, "Not Found\n");
  } else if (strcmp(request.method, "GET") != 0) {
    HttpResponse(response, 405, "Method Not Allowed", kHttpPlainText, "Method Not Allowed\n",
                 "Allow: GET\r\n");
  } else {
    std::string body;
    RenderMetrics(&body);
    HttpResponse(response, 200, "OK", kExposition, body);
  }
}

}  // namespace

bool StartMetricsEndpoint(const RunSettings* settings) {
  const char* endpoint = settings->metrics;
  int listener = -1;
  char why[160];
  if (OpenHttpListener(endpoint, &listener, why, sizeof why) != 0) {
    PrintFormat("Could not serve metrics on %s - %s\r\n", endpoint, why);
    return false;
  }
  // Serves until the process ends: nothing ever stops it. A page thread
  // that cannot start leaves the metrics served and the pages answered 503.
  HttpServer* server = StartHttpServer(listener, Answer, nullptr);
  if (server != nullptr) StartStatusPages(settings, server);
  return true;
}
