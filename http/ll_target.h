// The path and the query parameters of a request target, as HttpRequestHead
// keeps it, percent-decoded into a record of fixed size: reading a target
// never allocates, and whatever a client sends, no part of it can outgrow
// its field. The record is the caller's; nothing in it points elsewhere.
// Threads: ReadHttpTarget shares nothing, so any number of threads may call
// it at once, each with its own record.
#ifndef JANTOR_HTTP_LL_TARGET_H_
#define JANTOR_HTTP_LL_TARGET_H_

#include "http/ll_serve.h"

enum : int {
  kTargetMostParams = 16,  // query parameters a target may have
  kTargetNameSize = 33,    // room of HttpTargetParam::name, NUL included
  kTargetValueSize = 257,  // room of HttpTargetParam::value, NUL included
};

struct HttpTargetParam {
  char name[kTargetNameSize];    // decoded; never empty
  char value[kTargetValueSize];  // decoded; empty when the parameter had no '='
};

struct HttpTarget {
  // Decoded, beginning with '/'; never longer than the target it came from.
  char path[kRequestTargetSize];
  int param_count;  // params[0 .. param_count) are set, in the order sent
  HttpTargetParam params[kTargetMostParams];
};

enum HttpTargetRead : int {
  kTargetRead,       // *out holds the path and every parameter
  kTargetMalformed,  // an escape, a byte or a name breaks the rules below
  kTargetTooLarge,   // too many parameters, or a part too long for its field
};

// Reads target, a text like "/status/entry?id=12&q=a+b%21": the path is
// everything before the first '?', the query everything after it. The query
// is cut at each '&' into parameters "name=value" (cut at the first '=', so
// the value may hold more of them; without one the value is empty); empty
// pieces ("&&", a final '&', a '?' with nothing after it) are skipped.
// Every "%XX" (two hex digits, either case) stands for the byte it spells,
// and in the query alone '+' stands for a space. A '#' means nothing here:
// clients do not send fragments, and one that does gets it as data.
// Malformed: a target that does not begin with '/' or holds a byte outside
// visible ASCII; a '%' not followed by two hex digits; "%00" anywhere; "%2F"
// in the path (a '/' the client escaped is not a separator, and letting it
// become one would give one path two spellings); an empty name. Too large:
// a target of more than 1023 bytes, more than kTargetMostParams parameters,
// a decoded name longer than 32 bytes or value longer than 256. A target
// too long is refused whatever it holds; one that breaks more than one other
// rule gets the result of the first fault from the left.
// Returns kTargetRead with *out filled, or another result with out->path
// empty and out->param_count 0. A null target counts as "" (malformed).
// REQUIRES: out is not null.
int ReadHttpTarget(const char* target, HttpTarget* out);

#endif  // JANTOR_HTTP_LL_TARGET_H_
