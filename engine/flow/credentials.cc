#include "engine/flow/credentials.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "base/ll_ascii.h"
#include "base/ll_cpapi.h"

namespace {

constexpr std::string_view kOpen = "${cred:";
constexpr std::string_view kEscaped = "$${";

// What the store knows of one file: its bytes as last read, and the
// identity they were read under, so that a stat tells whether they still
// stand.
struct CredentialFile {
  int error = ENOENT;  // 0 when bytes hold the file; else why it could not be had
  std::string bytes;   // without the trailing line end
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;
  timespec modified{};
  timespec changed{};
  unsigned long long looked_at = 0;  // the cycle of the last stat
};

struct Store {
  std::mutex mutex;
  std::string dir;                                        // "" for none; set before any hit
  unsigned long long cycle = 1;                           // GUARDED_BY(mutex)
  std::unordered_map<std::string, CredentialFile> files;  // GUARDED_BY(mutex)
};

Store& TheStore() {
  static Store store;
  return store;
}

void Forget(std::string* bytes) {
  if (!bytes->empty()) explicit_bzero(bytes->data(), bytes->size());
  bytes->clear();
}

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool SameFile(const CredentialFile& file, const struct stat& now) {
  return file.error == 0 && file.device == now.st_dev && file.inode == now.st_ino &&
         file.size == now.st_size && SameTime(file.modified, now.st_mtim) &&
         SameTime(file.changed, now.st_ctim);
}

struct FdCloser {
  void operator()(int* fd) const {
    close(*fd);
    delete fd;
  }
};

// Reads path into *file, or notes why it cannot be had. The file is opened
// without waiting (a FIFO put there by mistake must not hold a hit) and
// must be a regular file.
void ReadFile(const std::string& path, CredentialFile* file) {
  Forget(&file->bytes);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    file->error = errno;
    return;
  }
  std::unique_ptr<int, FdCloser> guard(new int(fd));
  struct stat info;
  if (fstat(fd, &info) != 0) {
    file->error = errno;
    return;
  }
  if (!S_ISREG(info.st_mode)) {
    file->error = EISDIR;
    return;
  }
  if (info.st_size > kCredentialBytesMost + 2) {
    file->error = EFBIG;
    return;
  }
  std::string bytes(static_cast<size_t>(info.st_size) + 1, '\0');
  size_t got = 0;
  for (;;) {
    ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      file->error = errno;
      Forget(&bytes);
      return;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
    // Grown since the stat: read on, within the bound.
    if (got == bytes.size()) {
      if (bytes.size() > kCredentialBytesMost + 2) {
        file->error = EFBIG;
        Forget(&bytes);
        return;
      }
      bytes.resize(bytes.size() * 2);
    }
  }
  bytes.resize(got);
  // One line end, as an editor or `echo` leaves it, is no part of the secret.
  if (bytes.size() >= 2 && bytes.compare(bytes.size() - 2, 2, "\r\n") == 0)
    bytes.resize(bytes.size() - 2);
  else if (!bytes.empty() && bytes.back() == '\n')
    bytes.pop_back();
  if (bytes.size() > kCredentialBytesMost) {
    file->error = EFBIG;
    Forget(&bytes);
    return;
  }
  file->bytes.swap(bytes);
  file->error = 0;
  file->device = info.st_dev;
  file->inode = info.st_ino;
  file->size = info.st_size;
  file->modified = info.st_mtim;
  file->changed = info.st_ctim;
}

bool GoodName(std::string_view name) {
  if (name.empty() || name.size() > kCredentialNameMost || name == "." || name == "..")
    return false;
  for (char c : name)
    if (!IsLetter(c) && !IsDigit(c) && c != '_' && c != '.' && c != '-') return false;
  return true;
}

// The bytes of the credential name, appended to *out; false with the
// reason's tail in *why.
bool AppendCredential(std::string_view name, std::string* out, std::string* why) {
  Store& store = TheStore();
  std::string quoted = "'" + std::string(name) + "'";
  if (store.dir.empty()) {
    *why = "no credentials directory for " + quoted + " (give -a or $CREDENTIALS_DIRECTORY)";
    return false;
  }
  std::lock_guard<std::mutex> lock(store.mutex);
  CredentialFile& file = store.files[std::string(name)];
  if (file.looked_at != store.cycle) {
    file.looked_at = store.cycle;
    std::string path = store.dir + "/" + std::string(name);
    struct stat now;
    if (stat(path.c_str(), &now) != 0) {
      file.error = errno;
      Forget(&file.bytes);
    } else if (!SameFile(file, now)) {
      ReadFile(path, &file);
    }
  }
  switch (file.error) {
    case 0:
      out->append(file.bytes);
      return true;
    case ENOENT:
    case ENOTDIR:
      *why = "credential " + quoted + " not found";
      return false;
    case EFBIG:
      *why = "credential " + quoted + " is over 1 MiB";
      return false;
    default:
      *why = "credential " + quoted + " cannot be read";
      return false;
  }
}

}  // namespace

void OpenCredentials(const char* dir) {
  Store& store = TheStore();
  const char* from_systemd = getenv("CREDENTIALS_DIRECTORY");
  store.dir = dir != nullptr && dir[0] != '\0' ? dir : from_systemd != nullptr ? from_systemd : "";
  while (store.dir.size() > 1 && store.dir.back() == '/') store.dir.pop_back();
  if (store.dir.empty()) return;
  std::unique_ptr<DIR, int (*)(DIR*)> folder(opendir(store.dir.c_str()), closedir);
  if (folder == nullptr) {
    PrintFormat("Warning - credentials directory %s cannot be read.\r\n", store.dir.c_str());
    return;
  }
  // A secret that other users can read is no secret: say so once, at
  // start-up, by the file's path (never its bytes).
  while (struct dirent* found = readdir(folder.get())) {
    if (!GoodName(found->d_name)) continue;
    std::string path = store.dir + "/" + found->d_name;
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        (info.st_mode & (S_IRGRP | S_IROTH)) != 0)
      PrintFormat("Warning - credential file %s is readable by other users.\r\n", path.c_str());
  }
}

void StartCredentialsCycle() {
  Store& store = TheStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  ++store.cycle;
}

bool ResolveCredentials(std::string_view text, const char* column, std::string* out,
                        std::string* reason, std::string* names, bool one_line) {
  out->clear();
  if (names != nullptr) names->clear();
  out->reserve(text.size());
  std::string why;
  while (!text.empty()) {
    size_t at = text.find('$');
    out->append(text.substr(0, at));
    if (at == std::string_view::npos) break;
    text.remove_prefix(at);
    if (text.substr(0, kEscaped.size()) == kEscaped) {
      out->append("${");
      text.remove_prefix(kEscaped.size());
      continue;
    }
    if (text.substr(0, kOpen.size()) != kOpen) {
      out->push_back('$');
      text.remove_prefix(1);
      continue;
    }
    size_t close = text.find('}');
    if (close == std::string_view::npos) {
      why = "credential reference without its closing '}'";
    } else {
      std::string_view name = text.substr(kOpen.size(), close - kOpen.size());
      if (!GoodName(name)) {
        // The name as written, cut short: it is the table's text, not a secret.
        why = "bad credential name '" + std::string(name.substr(0, 70)) + "'";
      } else if (size_t before = out->size(); AppendCredential(name, out, &why)) {
        if (one_line && out->find_first_of("\r\n", before) != std::string::npos) {
          why = "credential '" + std::string(name) + "' holds a line break";
          Forget(out);
          *reason = std::string(column) + ": " + why;
          return false;
        }
        if (names != nullptr) *names += (names->empty() ? "'" : ", '") + std::string(name) + "'";
        text.remove_prefix(close + 1);
        continue;
      }
    }
    Forget(out);
    *reason = std::string(column) + ": " + why;
    return false;
  }
  return true;
}
