#include "engine/rules/splay.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// FNV-1a of the key's text: the same on every machine and build, unlike
// std::hash, and spread well enough over a few thousand seconds.
uint64_t KeyHash(const char* key) {
  uint64_t hash = 14695981039346656037ull;
  for (const char* at = key; *at != '\0'; ++at) {
    hash ^= static_cast<unsigned char>(*at);
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace

int SplaySecs(const char* text) {
  size_t digits = strspn(text, "0123456789");
  if (digits == 0 || digits > 4 || text[digits] != '\0') return 0;
  int secs = atoi(text);
  return secs <= kMostSplaySecs ? secs : 0;
}

int CalendarOffset(const char* key, const char* splay_text) {
  int splay = SplaySecs(splay_text);
  return splay == 0 ? 0 : static_cast<int>(KeyHash(key) % static_cast<uint64_t>(splay + 1));
}

time_t PlaceIntervalRun(const char* key, const char* splay_text, long long interval, time_t next) {
  int splay = SplaySecs(splay_text);
  if (splay == 0 || interval <= 0) return next;
  long long window = interval < splay + 1 ? interval : splay + 1;
  while (interval % window != 0) --window;
  long long offset = static_cast<long long>(KeyHash(key) % static_cast<uint64_t>(window));
  long long place = static_cast<long long>(next) % window;
  if (place < 0) place += window;
  return static_cast<time_t>(static_cast<long long>(next) + (offset - place + window) % window);
}
