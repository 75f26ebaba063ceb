// A fuzzed key file read through the registry's value operations: every
// value line that RegEnumValue delivers can be found again by its name with
// RegQueryValueEx, names and texts are cut to the caller's buffers and never
// written past them, and a rewrite of the file (RegSetValueEx of an existing
// name) leaves a file whose values read back.
//
// The registry root is fixed at /usr/vornis/registry. The process first
// moves into a mount namespace of its own and mounts a tmpfs on /usr/vornis
// there (over a private overlay of /usr when /usr/vornis does not exist), so
// nothing outside the namespace is ever touched; without the namespace (not
// root) the target refuses to run.
#include <sched.h>
#include <strings.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "registry/reg.h"

namespace {

const char kKeyFile[] = "/usr/vornis/registry/hkey_local_machine/fuzz.nv";
const char kTempFile[] = "/usr/vornis/registry/hkey_local_machine/fuzz.nv.tmp";

[[noreturn]] void Refuse(const char* what) {
  fprintf(stderr, "keyfile_fuzzer: %s: %s (run as root; the real /usr is never used)\n", what,
          strerror(errno));
  exit(1);
}

bool IsDir(const char* path) {
  struct stat status;
  return stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

void EnterSandbox() {
  if (unshare(CLONE_NEWNS) != 0) Refuse("unshare(CLONE_NEWNS)");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) Refuse("making / private");
  if (!IsDir("/usr/vornis")) {
    // The overlay's writable layer lives on a tmpfs of its own, mounted on
    // an empty folder of this process (only inside the namespace; the folder
    // is removed at exit), so that every other path, corpus folders under
    // /tmp included, stays as it is.
    static char layers[] = "/tmp/jantor-keyfile-fuzz-XXXXXX";
    if (mkdtemp(layers) == nullptr) Refuse("mkdtemp");
    if (mount("tmpfs", layers, "tmpfs", 0, "mode=0700") != 0) Refuse("tmpfs for the overlay");
    atexit([] {
      umount2(layers, MNT_DETACH);
      rmdir(layers);
    });
    std::string upper = std::string(layers) + "/upper", work = std::string(layers) + "/work";
    if (mkdir(upper.c_str(), 0755) != 0 || mkdir(work.c_str(), 0755) != 0) Refuse("overlay layers");
    std::string options = "lowerdir=/usr,upperdir=" + upper + ",workdir=" + work;
    if (mount("overlay", "/usr", "overlay", 0, options.c_str()) != 0) Refuse("overlay on /usr");
    if (mkdir("/usr/vornis", 0755) != 0) Refuse("mkdir /usr/vornis");
  }
  if (mount("tmpfs", "/usr/vornis", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=64m") != 0)
    Refuse("tmpfs on /usr/vornis");
  if (mkdir("/usr/vornis/registry", 0755) != 0 ||
      mkdir("/usr/vornis/registry/hkey_local_machine", 0755) != 0)
    Refuse("registry root");
}

bool WriteKeyFile(const uint8_t* data, size_t size) {
  FILE* file = fopen(kKeyFile, "wb");
  if (file == nullptr) return false;
  bool ok = fwrite(data, 1, size, file) == size;
  return fclose(file) == 0 && ok;
}

// Buffer sizes the caller gives, from tight to roomy; a guard byte after
// each buffer catches a write one past it.
constexpr uint32_t kSizes[] = {1, 2, 5, 300};

HKEY Open() {
  HKEY key = nullptr;
  FUZZ_CHECK(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "fuzz", 0, 0, &key) == kRegSuccess);
  return key;
}

// Enumerates every value and finds each again by name.
void ReadAll(HKEY key, uint32_t tight) {
  for (int index = 0; index < 1024; ++index) {
    char name[301], value[301];
    memset(name, 'G', sizeof name);
    memset(value, 'G', sizeof value);
    uint32_t namelen = tight, vallen = tight < 4 ? 4 : tight, type = 0;
    int rc = RegEnumValue(key, index, name, &namelen, nullptr, &type, value, &vallen);
    if (rc == kRegNoMoreItems) {
      FUZZ_CHECK(namelen == 0 && vallen == 0);
      break;
    }
    FUZZ_CHECK(rc == kRegSuccess);
    FUZZ_CHECK(type == REG_SZ || type == REG_DWORD);
    FUZZ_CHECK(name[tight] == 'G' && value[tight < 4 ? 4 : tight] == 'G');
    if (tight < 300) continue;
    // With a roomy buffer the name is whole (a line holds at most 255).
    FUZZ_CHECK(namelen < 300 && strlen(name) == namelen);
    if (namelen == 0) continue;  // an empty name cannot be asked for
    char found[301];
    memset(found, 'G', sizeof found);
    uint32_t foundlen = 300, found_type = 0;
    FUZZ_CHECK(RegQueryValueEx(key, name, nullptr, &found_type, found, &foundlen) == kRegSuccess);
    FUZZ_CHECK(found_type == REG_SZ || found_type == REG_DWORD);
    FUZZ_CHECK(found[300] == 'G');
    // Without a type the value comes as text, cut to a tight buffer.
    char small[4] = {'G', 'G', 'G', 'G'};
    uint32_t smalllen = 3;
    FUZZ_CHECK(RegQueryValueEx(key, name, nullptr, nullptr, small, &smalllen) == kRegSuccess);
    FUZZ_CHECK(small[3] == 'G' && strlen(small) <= 2);
  }
}

// Every value of the key in file order; a number as its decimal value.
struct Value {
  std::string name;
  uint32_t type;
  std::string data;
};

std::vector<Value> Snapshot(HKEY key) {
  std::vector<Value> values;
  for (int index = 0; index < 4096; ++index) {
    char name[301], value[301];
    uint32_t namelen = 300, vallen = 300, type = 0;
    if (RegEnumValue(key, index, name, &namelen, nullptr, &type, value, &vallen) != kRegSuccess)
      break;
    Value v{name, type, value};
    if (type == REG_DWORD) {
      int32_t number;
      memcpy(&number, value, sizeof number);
      v.data = std::to_string(number);
    }
    values.push_back(v);
  }
  return values;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  EnterSandbox();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16 * 1024) return -1;
  unlink(kTempFile);
  if (!WriteKeyFile(data, size)) return 0;

  HKEY key = Open();
  for (uint32_t tight : kSizes) ReadAll(key, tight);

  // A rewrite: set the first value again under its name. Every other value
  // must read back exactly as before, and the set one once per line it had.
  std::vector<Value> before = Snapshot(key);
  if (!before.empty() && !before[0].name.empty()) {
    const std::string name = before[0].name;
    if (RegSetValueEx(key, name.c_str(), 0, REG_SZ, "fuzzed", 7) == kRegSuccess) {
      std::vector<Value> after = Snapshot(key);
      FUZZ_CHECK(after.size() == before.size());
      for (size_t i = 0; i < before.size(); ++i) {
        if (strcasecmp(before[i].name.c_str(), name.c_str()) == 0) {
          FUZZ_CHECK(after[i].name == name && after[i].data == "fuzzed" && after[i].type == REG_SZ);
        } else {
          FUZZ_CHECK(after[i].name == before[i].name);
          FUZZ_CHECK(after[i].type == before[i].type);
          FUZZ_CHECK(after[i].data == before[i].data);
        }
      }
    }
    // A delete keeps every other value as it was.
    if (RegDeleteValue(key, name.c_str()) == kRegSuccess) {
      std::vector<Value> after = Snapshot(key);
      size_t kept = 0;
      for (const Value& v : after) FUZZ_CHECK(strcasecmp(v.name.c_str(), name.c_str()) != 0);
      for (const Value& v : before) {
        if (strcasecmp(v.name.c_str(), name.c_str()) == 0) continue;
        FUZZ_CHECK(kept < after.size() && after[kept].data == v.data && after[kept].name == v.name);
        ++kept;
      }
      FUZZ_CHECK(kept == after.size());
    }
  }
  FUZZ_CHECK(RegCloseKey(key) == kRegSuccess);
  RegCleanup();
  return 0;
}
