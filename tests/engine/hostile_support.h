// Helpers of the reliability tests (hostile servers, hostile tables, database
// faults, soak): reading a running jantor's memory and descriptors from
// /proc, scripted peer moves that misbehave, and time and text helpers.
// Everything here is header-only and used by the engine test programs.
#ifndef JANTOR_TESTS_ENGINE_HOSTILE_SUPPORT_H_
#define JANTOR_TESTS_ENGINE_HOSTILE_SUPPORT_H_

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/process.h"

namespace hostile {

using testsupport::ReadFile;

// Seconds since the epoch of a local "YYYY-MM-DD HH:MM:SS" text; -1 when the
// text is not of that form (so it also checks that a stored time is whole).
inline time_t ParseLocal(const std::string& text) {
  struct tm tm = {};
  tm.tm_isdst = -1;
  const char* end = strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &tm);
  if (end == nullptr || *end != '\0') return -1;
  return mktime(&tm);
}

inline std::string LocalText(time_t t) {
  struct tm tm;
  localtime_r(&t, &tm);
  char text[64];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

inline int CountOf(const std::string& haystack, const std::string& needle) {
  int n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + 1))
    ++n;
  return n;
}

inline long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The running jantor whose environment holds `entry` (a "NAME=value" that
// only this test program gives its children, such as its ODBCSYSINI).
// Wrappers (timeout, valgrind) carry the same environment; the process
// wanted is the one none of whose children match. 0 when there is none.
inline pid_t FindProcess(const std::string& entry) {
  std::map<pid_t, pid_t> parent_of;  // matching pid -> its parent
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  while (dirent* dir_entry = readdir(proc)) {
    pid_t pid = static_cast<pid_t>(atoi(dir_entry->d_name));
    if (pid <= 0 || pid == getpid()) continue;
    std::string cmdline = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
    if (cmdline.find("jantor") == std::string::npos) continue;
    std::string env = ReadFile("/proc/" + std::to_string(pid) + "/environ");
    if (env.find(std::string(1, '\0') + entry + '\0') == std::string::npos &&
        env.rfind(entry + '\0', 0) != 0)
      continue;
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close_paren = stat.rfind(')');
    pid_t ppid = 0;
    if (close_paren != std::string::npos) sscanf(stat.c_str() + close_paren + 2, "%*c %d", &ppid);
    parent_of[pid] = ppid;
  }
  closedir(proc);
  for (auto& [pid, ppid] : parent_of) {
    bool has_matching_child = false;
    for (auto& [other, other_parent] : parent_of) has_matching_child |= other_parent == pid;
    if (!has_matching_child) return pid;
  }
  return 0;
}

// A field of /proc/PID/status in kB (VmRSS, VmHWM); -1 when unreadable.
inline long StatusKb(pid_t pid, const std::string& field) {
  std::stringstream status(ReadFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}

// Open descriptors of another process; -1 when unreadable.
inline int DescriptorCount(pid_t pid) {
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) return -1;
  int n = 0;
  while (dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') ++n;
  closedir(dir);
  return n;
}

// Makes the close that ends the peer's script a reset instead of an orderly
// close; the script returns right after.
inline void ResetOnClose(int fd) {
  struct linger hard = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

// The part of verbose output that belongs to the hit of `object`: from its
// "Hitting" line up to the next one (or the end).
inline std::string HitSection(const std::string& out, const std::string& object) {
  size_t at = out.find(object + " with ");
  if (at == std::string::npos) return "";
  size_t start = out.rfind("Hitting - ", at);
  size_t end = out.find("Hitting - ", at);
  return out.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace hostile

#endif  // JANTOR_TESTS_ENGINE_HOSTILE_SUPPORT_H_
