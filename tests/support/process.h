// Runs a program as a user would: arguments in; standard output, standard
// error and exit status out. Output is collected on pipes while the child
// runs, and a child that outlives its time limit is killed.
#ifndef JANTOR_TESTS_SUPPORT_PROCESS_H_
#define JANTOR_TESTS_SUPPORT_PROCESS_H_

#include <signal.h>

#include <string>
#include <vector>

namespace testsupport {

struct RunResult {
  int status = -1;  // exit status, or -1 when the child did not exit
  int signal = 0;   // the signal that ended the child, or 0
  bool timed_out = false;
  std::string out;  // standard output, byte for byte
  std::string err;  // standard error
  // Peak resident size in KiB (the kernel's ru_maxrss): the program's own,
  // or the runner's size when it forked, whichever is larger.
  long peak_kib = 0;
};

// env holds "NAME=value" entries added to (or replacing in) this process's
// environment for the child. kill_after_ms > 0 sends kill_signal (SIGTERM,
// a stop; SIGKILL, a crash) at that time.
RunResult Run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
              int timeout_ms = 60000, int kill_after_ms = 0, int kill_signal = SIGTERM);

// Runs the built jantor with the given arguments.
RunResult RunJantor(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                    int timeout_ms = 60000, int kill_after_ms = 0, int kill_signal = SIGTERM);

// The whole content of a file, byte for byte ("" when it cannot be read).
std::string ReadFile(const std::string& path);
// text without its trailing line ends and blanks.
std::string Trimmed(std::string text);

// How often needle occurs in haystack (overlapping occurrences count).
int CountOf(const std::string& haystack, const std::string& needle);

// Runs a shell command line; returns its exit status.
int Shell(const std::string& command);

}  // namespace testsupport

#endif  // JANTOR_TESTS_SUPPORT_PROCESS_H_
