#include "engine/flow/hit.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "base/ll_cpapi.h"
#include "base/ll_string.h"
#include "engine/flow/credentials.h"
#include "engine/flow/oauth2.h"
#include "engine/rules/auth.h"
#include "engine/rules/expect.h"
#include "engine/rules/retry.h"
#include "http/ll_hosttext.h"
#include "http/ll_webcall.h"

namespace {

// Room for "Idempotency-Key: <key>\r\n" after the call's own lines.
constexpr size_t kIdempotencyLineSize = 96;

// What Request returns for a call sent with no token: none could be had.
constexpr int kNoToken = -2;

// Adds the key's header line to a POST or PATCH whose own lines have none.
void AddIdempotencyKey(const char* key, WebCall* call, std::vector<char>* lines) {
  if (strcmp(call->method, "POST") != 0 && strcmp(call->method, "PATCH") != 0) return;
  constexpr char kName[] = "Idempotency-Key:";
  size_t length = strlen(lines->data());
  for (const char* line = lines->data(); *line != '\0';) {
    if (strncasecmp(line, kName, sizeof kName - 1) == 0) return;
    const char* end = strstr(line, "\r\n");
    if (end == nullptr) break;
    line = end + 2;
  }
  snprintf(lines->data() + length, lines->size() - length, "%s %s\r\n", kName, key);
  call->headers = lines->data();
}

// The texts a hit sends where they may differ from the stored ones: each
// is a copy with its credential references resolved, made only for a text
// that names one; the others are sent as stored.
// The secrets leave memory with the hit: the copies are wiped, and so is
// the call's buffer of header lines when it was written from them.
struct SentTexts {
  std::string user, password, object;
  EntryCallTexts call;
  bool call_named = false;               // call holds the resolved call texts
  std::string header_names, body_names;  // the credentials they used, for a refusal
  std::vector<char> lines;               // the call's header lines as sent
  bool bearer = false;                   // lines carry a token
  SentTexts() = default;
  SentTexts(const SentTexts&) = delete;
  SentTexts& operator=(const SentTexts&) = delete;
  ~SentTexts() {
    for (std::string* text : {&user, &password, &object, &call.headers, &call.body})
      if (!text->empty()) explicit_bzero(text->data(), text->size());
    if ((call_named || bearer) && !lines.empty()) explicit_bzero(lines.data(), lines.size());
  }
};

// Resolves text into *out when it names a credential; otherwise leaves
// *out alone and *sent pointing at the stored text.
bool Resolve(const char* column, std::string_view text, std::string* out, std::string* names,
             std::string* reason, bool one_line = false) {
  if (!MayNameCredential(text)) return true;
  return ResolveCredentials(text, column, out, reason, names, one_line);
}

// A path from a credential goes into the request line: no blank, control
// byte or DEL may break it open.
bool FitsRequestLine(std::string_view object) {
  for (unsigned char c : object)
    if (c <= 0x20 || c == 0x7f) return false;
  return true;
}

// Fills *sent and points the request at it. false with the refusal's
// reason when a reference is refused.
bool ResolveSentTexts(const Entry& entry, const EntryCallTexts* call, HttpRequestRecord* request,
                      SentTexts* sent, std::string* reason) {
  std::string names;
  if (MayNameCredential(entry.user)) {
    if (!Resolve("i_user", entry.user, &sent->user, nullptr, reason)) return false;
    request->user = sent->user.c_str();
  }
  if (MayNameCredential(entry.password)) {
    if (!Resolve("i_pass", entry.password, &sent->password, nullptr, reason)) return false;
    request->password = sent->password.c_str();
  }
  if (MayNameCredential(entry.object)) {
    if (!Resolve("i_object", entry.object, &sent->object, &names, reason)) return false;
    if (!FitsRequestLine(sent->object)) {
      *reason = "i_object: credential " + names + " holds a blank or control character";
      return false;
    }
    request->object = sent->object.c_str();
  }
  if (call != nullptr && (MayNameCredential(call->headers) || MayNameCredential(call->body))) {
    sent->call_named = true;
    sent->call.method = call->method;
    sent->call.headers = call->headers;
    sent->call.body = call->body;
    if (!Resolve("i_headers", call->headers, &sent->call.headers, &sent->header_names, reason,
                 /*one_line=*/true) ||
        !Resolve("i_body", call->body, &sent->call.body, &sent->body_names, reason))
      return false;
  }
  return true;
}

// A call that its checks refused after references were resolved: the
// reason says which column and which credentials, still never a byte of
// them.
void NameRefusedCredentials(const SentTexts& sent, char* reason, size_t size) {
  std::string_view why(reason);
  const std::string* names = why.substr(0, 6) == "header" ? &sent.header_names
                             : why.substr(0, 4) == "body" ? &sent.body_names
                                                          : nullptr;
  if (names == nullptr || names->empty()) return;
  const char* column = names == &sent.header_names ? "i_headers" : "i_body";
  std::string named = std::string(column) + ": " + std::string(why) + ", from credential " + *names;
  snprintf(reason, size, "%s", named.c_str());
}

void RefuseRequest(const std::string& reason, HitRecord* record) {
  CopyText(record->result.reason, reason.c_str());
  record->result.end = kHttpOtherFailure;
  record->result.status = 0;
  record->result.bytes = 0;
}

// i_auth takes the place of every other way of authorizing the call. The
// checks read the stored texts, the header lines as resolved; false with
// the reason when they or i_auth itself are refused.
bool PrepareAuthorization(const Entry& entry, const EntryCallTexts& texts, const std::string& auth,
                          OAuth2Client* client, std::string* reason) {
  if (entry.user[0] != '\0' || entry.password[0] != '\0') {
    *reason = "i_auth: given with i_user or i_pass; keep one of them";
    return false;
  }
  if (HeadersAuthorize(texts.headers)) {
    *reason = "i_auth: given with an Authorization header in i_headers; keep one of them";
    return false;
  }
  return PrepareOAuth2Client(auth, client, reason);
}

// Sends the call with the client's token on an Authorization line after
// its own lines; when the target answers 401, once more with a new token
// (unless that 401 stands, see RenewOAuth2Token). kNoToken with *record
// filled when no token could be had: the target is not asked then.
int SendWithToken(const OAuth2Client& client, HttpRequestRecord* request, WebCall* call,
                  SentTexts* sent, char** reply, HitRecord* record) {
  constexpr std::string_view kName = "Authorization: Bearer ";
  std::vector<char>& lines = sent->lines;
  size_t own = strlen(call->headers);
  // Room for the longest token, made once: a buffer that moved would leave
  // a token behind in the memory it gave up.
  lines.resize(std::max(lines.size(), own + kName.size() + kAccessTokenMost + 3));
  sent->bearer = true;
  OAuth2Token token;
  std::string why;
  if (!TakeOAuth2Token(client, &token, &why)) {
    RefuseRequest(why, record);
    return kNoToken;
  }
  for (bool repeated = false;; repeated = true) {
    char* at = lines.data() + own;
    memcpy(at, kName.data(), kName.size());
    memcpy(at + kName.size(), token.value.data(), token.value.size());
    memcpy(at + kName.size() + token.value.size(), "\r\n", 3);
    call->headers = lines.data();
    int sent_whole = HttpSend(0, request, reply, &record->result);
    if (repeated || record->result.end != kHttpReplyRead || record->result.status != 401)
      return sent_whole;
    OAuth2Renewal renewal = RenewOAuth2Token(client, &token, &why);
    if (renewal == kTokenStands) return sent_whole;
    if (*reply != nullptr) {
      firee(*reply);
      *reply = nullptr;
    }
    if (renewal == kTokenFailed) {
      RefuseRequest(why, record);
      return kNoToken;
    }
  }
}

// Sends the request the record holds: the entry's own call when it has
// one (or -w limits it), else a plain GET. -1 with *record filled when a
// reference or the call's checks are refused, kNoToken when the call's
// i_auth got no token: nothing is sent then.
int Request(const Entry& entry, const HitOptions& options, HttpRequestRecord* request, char** reply,
            HitRecord* record) {
  record->method[0] = '\0';
  SentTexts sent;
  std::string refused;
  if (!ResolveSentTexts(entry, options.call, request, &sent, &refused)) {
    RefuseRequest(refused, record);
    return -1;
  }
  if (options.call == nullptr && !options.entry_limits) {
    CopyText(record->method, "GET");
    return HttpSend(0, request, reply, &record->result);
  }
  static const EntryCallTexts kNone;
  const EntryCallTexts& texts = sent.call_named           ? sent.call
                                : options.call != nullptr ? *options.call
                                                          : kNone;
  bool authorized = options.call != nullptr && HasAuth(options.call->auth);
  OAuth2Client client;
  if (authorized && !PrepareAuthorization(entry, texts, options.call->auth, &client, &refused)) {
    RefuseRequest(refused, record);
    return -1;
  }
  WebCall call;
  // On the heap, and only for a call: a buffer in every worker's
  // thread-local block costs each thread its pages whether it makes calls
  // or not.
  std::vector<char>& lines = sent.lines;
  lines.resize(kWebCallHeaderLinesSize + kIdempotencyLineSize);
  bool credentials = request->user[0] != '\0' || request->password[0] != '\0';
  if (!PrepareWebCall(texts.method.c_str(), texts.headers.c_str(), texts.body.data(),
                      static_cast<int>(texts.body.size()), credentials ? 1 : 0, &call, lines.data(),
                      kWebCallHeaderLinesSize, record->result.reason,
                      sizeof record->result.reason)) {
    NameRefusedCredentials(sent, record->result.reason, sizeof record->result.reason);
    RefuseRequest(record->result.reason, record);
    return -1;
  }
  call.time_limit = options.entry_limits ? EntryTimeLimit(entry.timeout) : 0;
  CopyText(record->method, call.method);
  if (options.idempotency_key != nullptr) AddIdempotencyKey(options.idempotency_key, &call, &lines);
  request->call = &call;
  request->time_limit = call.time_limit;
  if (authorized) return SendWithToken(client, request, &call, &sent, reply, record);
  return HttpSend(0, request, reply, &record->result);
}

// The body of a reply as the client keeps it: the text after the header's
// closing empty line.
std::string_view ReplyBody(const char* reply) {
  std::string_view text(reply);
  for (size_t at = text.find('\n'); at != std::string_view::npos; at = text.find('\n', at + 1)) {
    if (at + 1 < text.size() && text[at + 1] == '\n') return text.substr(at + 2);
    if (at + 2 < text.size() && text[at + 1] == '\r' && text[at + 2] == '\n')
      return text.substr(at + 3);
  }
  return {};
}

// With i_expect the rule says whether a reply succeeded. A status it does
// not list keeps the failure it is without a rule (a 503 stays
// server-error, and is retried as one); a reply that would be good without
// it, or whose listed status comes with a body the rule refuses, is
// "unexpected", with the reason naming the part that failed and nothing of
// the body. A reply that meets the rule is "ok", whatever its status.
void JudgeReply(const ExpectRule& rule, const char* reply, HitRecord* record) {
  std::string why;
  int status = record->result.status;
  if (MeetsExpect(rule, status, ReplyBody(reply), &why)) {
    record->outcome = kHitOk;
    return;
  }
  if (!ExpectsStatus(rule, status) && !HitSucceeded(record->outcome)) return;
  record->outcome = kHitUnexpected;
  CopyText(record->result.reason, why.c_str());
}

}  // namespace

void PrintFailedHit(const Entry& entry, const HitRecord& record, const char* suffix) {
  char status[16];
  snprintf(status, sizeof status, "%d", record.result.status);
  PrintFormat("Hit failed - id %s - %s:%d%s - %s - %s%s%s\r\n", entry.id, entry.host, record.port,
              entry.object, HitOutcomeWord(record.outcome),
              record.result.reason[0] != '\0' ? record.result.reason : status,
              suffix[0] != '\0' ? " - " : "", suffix);
}

void RefuseHit(const Entry& entry, HitOutcome outcome, const char* reason, int verbose, int quiet,
               HitRecord* record) {
  LocalTimeText(time(nullptr), record->started, sizeof record->started);
  record->duration_us = 0;
  record->result.end = kHttpOtherFailure;
  record->result.status = 0;
  record->result.bytes = 0;
  CopyText(record->result.reason, reason);
  record->outcome = outcome;
  int port = ParseInt(entry.port);
  record->port = port == 0 ? 80 : port;
  CopyText(record->method, "");
  record->retry_after = -1;
  if (quiet) PrintFailedHit(entry, *record, "");
  if (verbose)
    PrintFormat("Not hitting - id %s - %s - %s\r\n", entry.id, HitOutcomeWord(outcome), reason);
}

int EntryTimeLimit(const char* timeout) {
  size_t digits = strspn(timeout, "0123456789");
  if (digits == 0 || digits > 4 || timeout[digits] != '\0') return 0;
  int seconds = atoi(timeout);
  return seconds >= 1 && seconds <= 3600 ? seconds : 0;
}

void Hit(const Entry& entry, const HitOptions& options, int verbose, int quiet, HitRecord* record) {
  int port = ParseInt(entry.port);
  if (port == 0) port = 80;
  // What the hit sends, its host text taken apart once for the words below
  // and the exchange.
  HttpRequestRecord request;
  HttpRequestFor(&request, entry.host, entry.object, port, entry.user, entry.password);
  if (verbose) {
    // A host text with a scheme shows that scheme, and the host without it.
    const char* scheme = "http";
    const char* host = entry.host;
    const char* separator = strstr(entry.host, "://");
    if (separator != nullptr && request.host_kind == kHostTextParsed) {
      scheme = request.target.tls ? "https" : "http";
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
  if (verbose)
    PrintFormat("\r\n-%s- -%s- -%s- -%s- *%i*\r\n", entry.host, entry.object, entry.user,
                entry.password, port);
  // Of i_auth only the scheme and the token URL, which hold no secret.
  if (verbose && options.call != nullptr && HasAuth(options.call->auth)) {
    AuthRule rule;
    std::string refused;
    if (ParseAuth(options.call->auth, &rule, &refused))
      PrintFormat("Authorization - oauth2 %s\r\n", rule.token_url.c_str());
  }
  record->port = port;
  record->retry_after = -1;
  LocalTimeText(time(nullptr), record->started, sizeof record->started);
  long long start = MonotonicUs();
  char* reply = nullptr;
  int hit;
  {
    MutedOutput trace_words(quiet != 0);
    hit = Request(entry, options, &request, &reply, record);
  }
  record->duration_us = MonotonicUs() - start;
  record->outcome = hit == kNoToken ? kHitNoToken
                    : hit < 0       ? kHitBadRequest
                                    : ClassifyHit(record->result);
  if (hit < 0) {
    if (verbose && hit == kNoToken) PrintFormat("\r\nNo token - %s", record->result.reason);
    if (verbose && hit != kNoToken) PrintFormat("\r\nRequest refused - %s", record->result.reason);
    hit = 0;
  }
  int status = record->result.status;
  bool replied = record->outcome == kHitOk || record->outcome == kHitRedirect ||
                 record->outcome == kHitClientError || record->outcome == kHitServerError;
  if (options.expect != nullptr && replied && reply != nullptr)
    JudgeReply(*options.expect, reply, record);
  if (reply != nullptr && (status == 429 || status == 503))
    record->retry_after = RetryAfterSecs(reply, time(nullptr));
  if (quiet && !HitSucceeded(record->outcome) && !options.hold_failed_line)
    PrintFailedHit(entry, *record, "");
  if (verbose) PrintText(hit ? "\r\n   (Successful)\r\n" : "\r\n   (Hit Failed)\r\n");
  if (reply != nullptr) {
    if (verbose) PrintFormat("Server said - %s\r\n", reply);
    firee(reply);
  }
}

void FillResultRow(const Entry& entry, const HitRecord& record, ResultRow* row) {
  row->entry_id = entry.key;
  CopyText(row->due, entry.next);
  CopyText(row->started, record.started);
  row->duration_ms = static_cast<SQLINTEGER>(record.duration_us / 1000);
  CopyText(row->outcome, HitOutcomeWord(record.outcome));
  row->status = record.result.status;
  row->bytes = record.result.bytes;
  CopyText(row->reason, record.result.reason);
  row->attempt = 1;
}

void FillSkippedRow(const Entry& entry, const char* started, const SlotsPassed& passed,
                    const char* what, ResultRow* row) {
  row->entry_id = entry.key;
  CopyText(row->due, entry.next);
  CopyText(row->started, started);
  row->duration_ms = 0;
  CopyText(row->outcome, "skipped");
  row->status = 0;
  row->bytes = 0;
  CopyText(row->reason,
           SkippedReason(passed.count, passed.more, passed.first, passed.last, what).c_str());
  row->attempt = 1;
}
