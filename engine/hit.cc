#include "engine/hit.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/ll_cpapi.h"
#include "base/ll_string.h"
#include "http/ll_hosttext.h"

void Hit(const Entry& entry, int verbose, int quiet, HitRecord* record) {
  if (verbose) {
    // A host text with a scheme shows that scheme, and the host without it.
    const char* scheme = "http";
    const char* host = entry.host;
    HostText target;
    const char* separator = strstr(entry.host, "://");
    if (separator != nullptr && ParseHostText(entry.host, &target, nullptr) == kHostTextParsed) {
      scheme = target.tls ? "https" : "http";
      host = separator + 3;
    }
    if (entry.user[0] != '\0')
      PrintFormat("Hitting - %s://%s:%s@%s:%s%s with %ss timeout.", scheme, entry.user,
                  entry.password, host, entry.port, entry.object, entry.timeout);
    else
      PrintFormat("Hitting - %s://%s:%s%s with %ss timeout.", scheme, host, entry.port,
                  entry.object, entry.timeout);
    if (entry.object[0] != '/')
      PrintText("\r\nWarning - Object missing / - hit not likely to succeed\r\n");
  }
  int port = ParseInt(entry.port);
  if (port == 0) port = 80;
  if (verbose)
    PrintFormat("\r\n-%s- -%s- -%s- -%s- *%i*\r\n", entry.host, entry.object, entry.user,
                entry.password, port);
  LocalTimeText(time(nullptr), record->started, sizeof record->started);
  long long start = MonotonicUs();
  char* reply = nullptr;
  int hit;
  {
    MutedOutput trace_words(quiet != 0);
    hit = HttpRequestWithResult(0, entry.host, entry.object, "", nullptr, 0, &reply, port, 1,
                                entry.user, entry.password, 1, 0, &record->result);
  }
  record->duration_us = MonotonicUs() - start;
  record->outcome = ClassifyHit(record->result);
  if (quiet && !HitSucceeded(record->outcome)) {
    char status[16];
    snprintf(status, sizeof status, "%d", record->result.status);
    PrintFormat("Hit failed - id %s - %s:%d%s - %s - %s\r\n", entry.id, entry.host, port,
                entry.object, HitOutcomeWord(record->outcome),
                record->result.reason[0] != '\0' ? record->result.reason : status);
  }
  if (verbose) PrintText(hit ? "\r\n   (Successful)\r\n" : "\r\n   (Hit Failed)\r\n");
  if (reply != nullptr) {
    if (verbose) PrintFormat("Server said - %s\r\n", reply);
    firee(reply);
  }
}

void FillResultRow(const Entry& entry, const HitRecord& record, ResultRow* row) {
  row->entry_id = strtoll(entry.id, nullptr, 10);
  CopyText(row->due, entry.next);
  CopyText(row->started, record.started);
  row->duration_ms = static_cast<SQLINTEGER>(record.duration_us / 1000);
  CopyText(row->outcome, HitOutcomeWord(record.outcome));
  row->status = record.result.status;
  row->bytes = record.result.bytes;
  CopyText(row->reason, record.result.reason);
}
