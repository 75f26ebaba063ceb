#include "base/ll_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "base/ll_cpapi.h"
#include "base/ll_string.h"

namespace {

constexpr mode_t kNewFileMode = 0664;

constexpr char kCrLf[] = "\r\n";
constexpr char kAttemptingCreate[] = "Attempting create";
constexpr char kErrorOpeningDirectory[] = "Error opening directory.";
constexpr char kDeletingDirectory[] = "In DeleteDirectory. Deleting : ";
constexpr char kAttemptingDelete[] = "Attempting to delete: ";
constexpr char kErrorDeletingDirectory[] = "DeleteDirectory: Error deleting directory: ";
constexpr char kErrorDeletingFile[] = "DeleteDirectory: Error deleting file: ";
constexpr char kEnteringOutput[] = "Entering Tramex Output";
constexpr char kWroteHead[] = "Tramex Wrote Headbuffer";
constexpr char kWroteBody[] = "Tramex wrote bodybuffer";

// Temporary names: up to 7 hexadecimal time digits, up to 3 counter digits
// (the counter reaches 100 when the last candidate turns out taken), the
// extension and the terminator.
constexpr int kTempNameNeed = 25;
constexpr int kMaxExtension = 14;
constexpr int kLastCounter = 99;
constexpr long kTimeMask = 0x0FFFFFFF;
constexpr int kTempSemKey = 5556;
constexpr int kTempSemFlags = 1;
constexpr int kTempSemTimeout = 10000;

// Every piece of a message is written on its own, as plain text.
void PrintPiece(const char *text) { fputs(text, stdout); }

// A fixed word and a path, each followed by "\r\n".
void PrintReport(const char *word, const char *path) {
  PrintWord(word);
  PrintWord(path);
}

struct DirClose {
  void operator()(DIR *dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirClose>;

// O_NOFOLLOW makes a symbolic link fail to open as a directory, so it is
// unlinked like a file and the removal never leaves the tree it was given.
constexpr int kOpenDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Removes every entry of the directory open on dir_fd (taken over and closed
// here), printing each step with path as its name; the directory itself is
// left for the caller. Entries are opened and removed relative to dir_fd, so
// a directory swapped for a link behind our back cannot redirect the removal.
// Returns false at the first entry that cannot be removed, after reporting it.
bool DeleteEntries(int dir_fd, const char *path) {
  DirPtr dir(fdopendir(dir_fd));
  if (dir == nullptr) {
    close(dir_fd);
    PrintReport(kErrorOpeningDirectory, path);
    return false;
  }
  PrintReport(kDeletingDirectory, path);
  const int fd = dirfd(dir.get());
  const size_t path_len = strlen(path);
  while (const struct dirent *entry = readdir(dir.get())) {
    const char *name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    const size_t name_len = strlen(name);
    ManagedText child;
    if (path_len + name_len + 3 <= INT_MAX) {
      child.reset(mialloc(static_cast<int>(path_len + name_len + 3)));
    }
    if (child == nullptr) {
      // Without a path to name it by, report the entry in pieces.
      PrintWord(kErrorDeletingFile);
      PrintPiece(path);
      PrintPiece("/");
      PrintWord(name);
      return false;
    }
    memcpy(child.get(), path, path_len);
    child.get()[path_len] = '/';
    memcpy(child.get() + path_len + 1, name, name_len + 1);
    PrintReport(kAttemptingDelete, child.get());

    const int child_fd = openat(fd, name, kOpenDirFlags);
    if (child_fd >= 0) {
      if (!DeleteEntries(child_fd, child.get()) || unlinkat(fd, name, AT_REMOVEDIR) != 0) {
        PrintReport(kErrorDeletingDirectory, child.get());
        return false;
      }
    } else if (unlinkat(fd, name, 0) != 0) {
      PrintReport(kErrorDeletingFile, child.get());
      return false;
    }
  }
  return true;
}

enum class NameState { kFree, kTaken, kUnusable };

// A name is free only when nothing at all stands there: a file this process
// cannot read, or a dangling symbolic link, is still taken, since a caller
// creating the name would clobber the one or write through the other.
NameState ProbeName(const char *path) {
  struct stat st;
  if (lstat(path, &st) == 0) return NameState::kTaken;
  return errno == ENOENT ? NameState::kFree : NameState::kUnusable;
}

// Writes the candidate for counter into name and directory + separator +
// name into path. REQUIRES: both were reserved for these lengths.
void BuildCandidate(char *name, char *path, const char *directory, const char *separator,
                    int counter, const char *extension) {
  char counter_digits[33];
  ltoa(static_cast<int>(time(nullptr) & kTimeMask), name, 16);
  strcat(name, ltoa(counter, counter_digits, 10));
  strcat(name, extension);
  snprintf(path, misize(path), "%s%s%s", directory, separator, name);
}

bool WriteOut(const void *data, size_t len) {
  return fwrite(data, 1, len, stdout) == len && fflush(stdout) == 0;
}

}  // namespace

int iFileExists(const char *path) {
  if (path == nullptr) return 0;
  return access(path, R_OK) == 0 ? 1 : 0;
}

int iopen(const char *path, int flags) {
  if (path == nullptr) return -1;
  struct stat st;
  if (stat(path, &st) == 0) return open(path, flags, kNewFileMode);
  if ((flags & O_CREAT) == 0) return -1;
  PrintWord(kAttemptingCreate);
  return creat(path, kNewFileMode);
}

int iDeleteDirectory(const char *path) {
  if (path == nullptr) return 0;
  // A trailing "/" would make the kernel follow a link in the last component
  // despite O_NOFOLLOW, so the link check is made on the name without it.
  std::string no_slash(path);
  while (no_slash.size() > 1 && no_slash.back() == '/') no_slash.pop_back();
  const int fd = open(no_slash.c_str(), kOpenDirFlags);
  if (fd < 0) {
    PrintReport(kErrorOpeningDirectory, path);
    return 0;
  }
  if (!DeleteEntries(fd, path)) return 0;
  return rmdir(path) == 0 ? 1 : 0;
}

int tempfile(int context, const char *directory, const char *extension, char **name) {
  if (directory == nullptr || extension == nullptr || name == nullptr) return 0;
  if (strlen(extension) > static_cast<size_t>(kMaxExtension)) return 0;
  const size_t dir_len = strlen(directory);
  if (dir_len > static_cast<size_t>(INT_MAX / 2)) return 0;

  char *path_slot = nullptr;
  if (!mreserve(context, &path_slot, static_cast<int>(dir_len) + kTempNameNeed)) return 0;
  ManagedText path(path_slot);
  if (!mreserve(context, name, kTempNameNeed)) return 0;

  const char last = dir_len > 0 ? directory[dir_len - 1] : '\0';
  const char *separator = (last == '/' || last == '\\') ? "" : "/";
  int counter = 0;
  BuildCandidate(*name, path.get(), directory, separator, counter, extension);

  // On this platform the semaphore excludes no one, so two processes
  // searching in the same second can be handed the same name.
  int sem = 0;
  int timed_out = 0;
  if (!iOpenSem(&sem, kTempSemKey, kTempSemFlags)) return 0;
  if (!iWaitSingleSem(&sem, kTempSemTimeout, &timed_out) || timed_out) return 0;

  int result = 0;
  for (;;) {
    const NameState state = ProbeName(path.get());
    if (state == NameState::kFree) {
      result = counter <= kLastCounter ? 1 : 0;
      break;
    }
    if (state == NameState::kUnusable || counter > kLastCounter) break;
    ++counter;
    BuildCandidate(*name, path.get(), directory, separator, counter, extension);
  }
  iDoneSingleSem(&sem);
  return result;
}

int CGISendBuffers(char *head, const char *body, int sendhead, int bodylen) {
  PrintWord(kEnteringOutput);
  if (head == nullptr) return 0;
  strcat(head, kCrLf);
  const size_t head_len = strlen(head);
  const size_t body_len = (body != nullptr && bodylen > 0) ? static_cast<size_t>(bodylen) : 0;
  if (sendhead != 0 && !WriteOut(head, head_len)) return 0;
  PrintWord(kWroteHead);
  if (body_len > 0 && !WriteOut(body, body_len)) return 0;
  PrintWord(kWroteBody);
  return 1;
}

char *getCGIPost(char *buffer, int length) {
  if (buffer == nullptr || length <= 0) return nullptr;
  const size_t got = fread(buffer, 1, static_cast<size_t>(length), stdin);
  if (got == 0) return nullptr;
  buffer[got] = '\0';
  return buffer;
}
