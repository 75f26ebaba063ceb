// The status page of the -m endpoint: GET / (the page), GET /entries.json
// (its rows as JSON), GET /badge/ID.svg (one entry's latest state, or its
// uptime) and GET /entry/ID and /entry/ID.json (one entry's page, with the
// history that -l keeps: engine/watch/history_rows.h). The endpoint's
// thread only hands such a request over; a page thread of its own reads
// the schedule through an ODBC connection of its own (made on the first
// request, and again after a failure) and answers, so a page never holds
// up a scrape, and the hits never wait for either; a request whose client
// has gone by its turn costs no read. When the database cannot be read
// the page answers 503 and the hits go on. The settings are read, never
// written; the page thread owns everything else here.
#ifndef JANTOR_ENGINE_WATCH_STATUS_PAGE_H_
#define JANTOR_ENGINE_WATCH_STATUS_PAGE_H_

#include <string>

#include "engine/command_line.h"
#include "http/ll_serve.h"

// Starts the page thread for the endpoint's server. false when the thread
// cannot be had (the endpoint then answers its pages 503).
bool StartStatusPages(const RunSettings* settings, HttpServer* server);

// Ends the page thread, once the page it is making (if any) is made, and
// closes its connection: the process must not end under a thread that is
// inside a database driver, whose own state goes with the exit. Requests
// after it are answered 503. Main thread, once.
void StopStatusPages();

// On the endpoint's thread: whether request's path is one of the page's;
// if so *response is answered (at once, for a refusal or when the page
// thread is busy) or marked to be answered later.
bool AnswerStatusRequest(const HttpRequestHead& request, std::string* response);

#endif  // JANTOR_ENGINE_WATCH_STATUS_PAGE_H_
