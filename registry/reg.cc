#include "registry/reg.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "base/ll_ascii.h"
#include "base/ll_cpapi.h"
#include "base/ll_io.h"
#include "base/ll_string.h"

// The open key record. The three entry texts hold the value line read last
// and are replaced by every read.
struct RegKey {
  char* regFileName;  // full path of the key file, ".nv" included
  FILE* regFile;      // the key file, read and written through this stream
  char* entryName;
  char* entryType;
  char* entryValue;
  RegKey* next;  // following record in regKeyList
};

int GbLog = 0;
char* GLogPath = nullptr;

namespace {

constexpr char kRegistryRoot[] = "/usr/vornis/registry";
constexpr char kKeyFileSuffix[] = ".nv";
constexpr size_t kKeyFileSuffixLength = sizeof(kKeyFileSuffix) - 1;
constexpr char kTempSuffix[] = ".tmp";

// A value line, newline included, fits the line buffer whole.
constexpr int kMaxLine = 255;

constexpr uintptr_t kFirstRootHandle = 0x80000000u;
constexpr const char* kHivePrefixes[] = {
    "hkey_classes_root/",     "hkey_current_user/",   "hkey_local_machine/", "hkey_users/",
    "hkey_performance_data/", "hkey_current_config/", "hkey_dyn_data/",
};
constexpr uintptr_t kRootHandleCount = sizeof(kHivePrefixes) / sizeof(kHivePrefixes[0]);

constexpr char kTypeWordText[] = "reg_sz";
constexpr char kTypeWordNumber[] = "reg_dword";

RegKey* regKeyList = nullptr;  // every open record, newest first
char* lastError = nullptr;
char iobuf[kMaxLine + 1];  // line buffer shared by every read of a key file

// ---- Output -------------------------------------------------------------------
// Every message is a fixed text and a separate "\r\n"; paths and data that
// follow are printed as plain text.

void SayWith(const char* text, const char* data) {
  fputs(text, stdout);
  fputs(data, stdout);
  fputs("\r\n", stdout);
}

// The rewrite's messages carry the name of the operation that asked for it.
void SayFrom(const char* operation, const char* text) {
  fputs(operation, stdout);
  fputs(": ", stdout);
  PrintWord(text);
}

// ---- Ownership helpers ----------------------------------------------------------

struct FreeText {
  void operator()(char* text) const { free(text); }
};
using HeapText = std::unique_ptr<char, FreeText>;

struct CloseDir {
  void operator()(DIR* dir) const { closedir(dir); }
};

// Holds an flock on the directory that contains a key file. Every change of
// a key file (append or rewrite) takes it exclusively and every read shares
// it, so an append can never land in a file that a rewrite is replacing, and
// a reader never sees a line half appended. Sibling keys share the lock;
// their updates are short, so the coarser lock costs little. Closing the
// descriptor drops it.
struct KeyDirLock {
  int fd = -1;
  KeyDirLock(const char* key_file, int how) {
    std::string dir(key_file);
    size_t slash = dir.rfind('/');
    if (slash == std::string::npos) return;
    dir.resize(slash == 0 ? 1 : slash);
    fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // A directory that cannot be opened leaves the operation unlocked
    // rather than refused.
    if (fd >= 0) {
      while (flock(fd, how) != 0 && errno == EINTR) {
      }
    }
  }
  ~KeyDirLock() {
    if (fd >= 0) close(fd);
  }
  KeyDirLock(const KeyDirLock&) = delete;
  KeyDirLock& operator=(const KeyDirLock&) = delete;
};

HeapText Join(const char* first, const char* second) {
  size_t first_length = strlen(first);
  size_t second_length = strlen(second);
  char* text = static_cast<char*>(malloc(first_length + second_length + 1));
  if (text != nullptr) {
    memcpy(text, first, first_length);
    memcpy(text + first_length, second, second_length + 1);
  }
  return HeapText(text);
}

const char* HivePrefix(HKEY hkey) {
  uintptr_t value = reinterpret_cast<uintptr_t>(hkey);
  if (value < kFirstRootHandle || value - kFirstRootHandle >= kRootHandleCount) return nullptr;
  return kHivePrefixes[value - kFirstRootHandle];
}

// A key string must stay below its hive: a part "." or ".." (between slashes
// or backslashes) would lead out of it, and beyond the registry root.
bool HasDotPart(std::string_view text) {
  while (true) {
    size_t cut = text.find_first_of("/\\");
    std::string_view part = text.substr(0, cut);
    if (part == "." || part == "..") return true;
    if (cut == std::string_view::npos) return false;
    text.remove_prefix(cut + 1);
  }
}

void FreeEntry(RegKey* key) {
  free(key->entryName);
  free(key->entryType);
  free(key->entryValue);
  key->entryName = key->entryType = key->entryValue = nullptr;
}

void ReleaseRecord(RegKey* key) {
  free(key->regFileName);
  if (key->regFile != nullptr) fclose(key->regFile);
  FreeEntry(key);
  free(key);
}

// ---- Key paths and key files ----------------------------------------------------

// The input is a hive prefix and a key string. Returns the key's path with
// room left for ".nv"; the caller frees it.
char* MakeFnameFromKeyStr(const char* input) {
  size_t root_length = strlen(kRegistryRoot);
  size_t size = root_length + 1 + strlen(input) + kKeyFileSuffixLength + 1;
  char* path = static_cast<char*>(malloc(size));
  if (path == nullptr) {
    PrintWord("MakeFnameFromKey: initial strdup");
    return nullptr;
  }
  snprintf(path, size, "%s/%s", kRegistryRoot, input);
  for (char* c = path; *c != '\0'; ++c) {
    if (*c == '\\') {
      *c = '/';
    } else if (*c == ' ') {
      PrintWord("MakeFnameFromKey: spaces not allowed");
      free(path);
      return nullptr;
    }
  }
  if (HasDotPart(path + root_length + 1)) {
    PrintWord("MakeFnameFromKey: '.' and '..' not allowed");
    free(path);
    return nullptr;
  }
  istrlwr(path);
  SayWith("MakeFnameFromKey", path);
  return path;
}

RegKey* OpenKeyFile(const char* path) {
  FILE* file = fopen(path, "r+e");
  if (file == nullptr) {
    BLog("OpenKeyFile: could not open file for reading: ", 1);
    BLog(path, 1);
    return nullptr;
  }
  RegKey* key = static_cast<RegKey*>(calloc(1, sizeof(RegKey)));
  char* name = strdup(path);
  if (key == nullptr || name == nullptr) {
    BLog("OpenKeyFile: malloc error", 1);
    free(key);
    free(name);
    fclose(file);
    return nullptr;
  }
  key->regFileName = name;
  key->regFile = file;
  key->next = regKeyList;
  regKeyList = key;
  return key;
}

int CloseKeyFile(RegKey* key) {
  for (RegKey** link = &regKeyList; *link != nullptr; link = &(*link)->next) {
    if (*link == key) {
      *link = key->next;
      ReleaseRecord(key);
      return 1;
    }
  }
  PrintWord("CloseKeyFile: key file not found in list");
  return 0;
}

// Makes one level's directory, and the empty key file beside it, when the
// directory is missing. False, after saying which failed, when either
// cannot be made.
bool MakeLevel(const std::string& dir) {
  struct stat status;
  if (stat(dir.c_str(), &status) == 0) return true;
  bool made = true;
  if (mkdir(dir.c_str(), 0755) != 0) {
    PrintWord("CreateKeyFile: failed to create directory: ");
    PrintWord(dir.c_str());
    made = false;
  }
  std::string file = dir + kKeyFileSuffix;
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    PrintWord("CreateKeyFile: failed to create file: ");
    PrintWord(file.c_str());
    made = false;
  } else {
    close(fd);
  }
  return made;
}

// Makes every missing level of the key named by text (a lower-cased hive
// prefix and key string, split at backslashes only): each level whose
// directory is missing gets the directory and an empty key file beside it.
// Existing levels are left as they are. On success *path receives the key
// file's path, which the caller frees.
int CreateKeyFile(const char* text, char** path) {
  std::string dir = kRegistryRoot;
  bool made = MakeLevel(dir);
  for (std::string_view rest = text; made;) {
    size_t cut = rest.find('\\');
    std::string_view piece = rest.substr(0, cut);
    if (!piece.empty()) {
      dir += '/';
      dir += piece;
      made = MakeLevel(dir);
    }
    if (cut == std::string_view::npos) break;
    rest.remove_prefix(cut + 1);
  }
  *path = made ? strdup((dir + kKeyFileSuffix).c_str()) : nullptr;
  return *path != nullptr;
}

int ValidRegKey(HKEY key) {
  for (RegKey* open_key = regKeyList; open_key != nullptr; open_key = open_key->next) {
    if (open_key == key) return 1;
  }
  return 0;
}

// Another handle or process may have replaced the key file by a rewrite
// since this record opened it. Reading and appending through the old stream
// would see stale values and lose appended lines, so the record follows the
// file that now carries the key's name. A key file that is gone (the key was
// deleted) leaves the stream as it is.
void FollowReplacedKeyFile(RegKey* key) {
  struct stat on_disk, held;
  if (stat(key->regFileName, &on_disk) != 0) return;
  if (fstat(fileno(key->regFile), &held) != 0) return;
  if (on_disk.st_dev == held.st_dev && on_disk.st_ino == held.st_ino) return;
  FILE* current = fopen(key->regFileName, "r+e");
  if (current == nullptr) return;
  fclose(key->regFile);
  key->regFile = current;
}

// ---- The key file format -------------------------------------------------------

// Takes one line apart in place: name, "<", type word, ">", data up to the
// newline, with blanks allowed around the parts (trailing blanks stay in the
// data). Returns 1 and three new heap texts, or 0 and none for a comment or a
// line of another shape.
int ParseRegEntry(char* line, char** name, char** type, char** data) {
  *name = *type = *data = nullptr;
  if (line[0] == '#') return 0;
  char* at = line;
  while (IsBlank(*at)) ++at;
  if (*at == '\0') return 0;
  char* name_start = at;
  char* open = strchr(at, '<');
  if (open == nullptr) return 0;
  char* name_end = open;
  while (name_end > name_start && IsBlank(name_end[-1])) --name_end;
  at = open + 1;
  while (IsBlank(*at)) ++at;
  if (*at == '\0') return 0;
  char* type_start = at;
  char* close = strchr(at, '>');
  if (close == nullptr) return 0;
  char* type_end = close;
  while (type_end > type_start && IsBlank(type_end[-1])) --type_end;
  at = close + 1;
  while (IsBlank(*at)) ++at;
  char* data_start = at;
  char* newline = strchr(at, '\n');
  if (newline != nullptr) *newline = '\0';
  *name_end = '\0';
  *type_end = '\0';
  *name = strdup(name_start);
  *type = strdup(type_start);
  *data = strdup(data_start);
  if (*name == nullptr || *type == nullptr || *data == nullptr) {
    free(*name);
    free(*type);
    free(*data);
    *name = *type = *data = nullptr;
    return 0;
  }
  return 1;
}

enum : int { kEntryReadError = -1, kEntryNone = 0, kEntryFound = 1 };

// Reads value lines into the record's entry texts: with a name, the first
// line of that name from the start of the file; without one, the next value
// line from the stream's position. kEntryReadError after a stream error.
int GetKeyFileEntry(RegKey* key, const char* name) {
  if (name != nullptr) fseek(key->regFile, 0, SEEK_SET);
  FreeEntry(key);
  while (fgets(iobuf, sizeof(iobuf), key->regFile) != nullptr) {
    char *entry_name, *entry_type, *entry_value;
    if (!ParseRegEntry(iobuf, &entry_name, &entry_type, &entry_value)) continue;
    if (name == nullptr || strcasecmp(entry_name, name) == 0) {
      key->entryName = entry_name;
      key->entryType = entry_type;
      key->entryValue = entry_value;
      return kEntryFound;
    }
    free(entry_name);
    free(entry_type);
    free(entry_value);
  }
  if (ferror(key->regFile)) {
    clearerr(key->regFile);
    PrintWord("GetKeyFileEntry: error reading file");
    return kEntryReadError;
  }
  return kEntryNone;
}

bool IsNumberType(const char* type_word) { return strcasecmp(type_word, kTypeWordNumber) == 0; }

int32_t ToNumber(const char* data) { return static_cast<int32_t>(strtol(data, nullptr, 10)); }

// Copies the full bytes of text into a buffer of room bytes, cut so that
// its terminator fits; returns how many were copied (none when room is 0).
size_t CopyCut(const char* text, size_t full, void* buffer, uint32_t room) {
  if (room == 0) return 0;
  size_t copied = full < room - 1 ? full : room - 1;
  memcpy(buffer, text, copied);
  static_cast<char*>(buffer)[copied] = '\0';
  return copied;
}

// The text rule of the value operations; see the header.
void DeliverText(const char* text, void* buffer, uint32_t* length) {
  size_t full = strlen(text);
  CopyCut(text, full, buffer, *length);
  *length = static_cast<uint32_t>(full);
}

// Writes a value that a rewrite carries over, in the tab form when that
// reads back as the same value. A name that begins with "#" keeps a blank in
// front (else the line would read as a comment), and a value whose tab form
// would pass the line limit is written without the tabs, which is never
// longer than the line it was read from; either way no value is lost or cut.
bool WriteCarriedValue(FILE* file, const char* name, const char* type, const char* data) {
  const char* lead = name[0] == '#' ? " " : "";
  size_t tab_form = strlen(lead) + strlen(name) + strlen(type) + strlen(data) + 5;
  if (tab_form <= static_cast<size_t>(kMaxLine))
    return fprintf(file, "%s%s\t<%s>\t%s\n", lead, name, type, data) >= 0;
  return fprintf(file, "%s%s<%s>%s\n", lead, name, type, data) >= 0;
}

// Replaces the key file by a copy in which every line called name is
// replaced by new_line, or left out when new_line is null. Lines that do not
// parse are not carried over. The copy is written to "<key file>.tmp",
// flushed to disk and only then renamed over the key file, so a reader or a
// crash meets the old file or the new one, whole. dir_fd, when not -1, is the
// key file's directory, synced after the rename so that the rename lasts too.
int RewriteKeyFile(RegKey* key, const char* operation, const char* name, const char* new_line,
                   int dir_fd) {
  std::string temp_path = std::string(key->regFileName) + kTempSuffix;
  struct stat status;
  if (stat(temp_path.c_str(), &status) == 0 || errno != ENOENT) {
    SayFrom(operation, "other update in progress");
    return kRegFailure;
  }
  // Made exclusively, so two updaters that both passed the check above can
  // never write into the same temporary file.
  int fd = open(temp_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0 && errno == EEXIST) {
    SayFrom(operation, "other update in progress");
    return kRegFailure;
  }
  FILE* temp = fd >= 0 ? fdopen(fd, "w+") : nullptr;
  if (temp == nullptr) {
    if (fd >= 0) {
      close(fd);
      unlink(temp_path.c_str());
    }
    SayFrom(operation, "can't create temporary registry file");
    return kRegFailure;
  }
  auto abandon = [&] {
    fclose(temp);
    unlink(temp_path.c_str());
    return kRegFailure;
  };

  fseek(key->regFile, 0, SEEK_SET);
  int read = kEntryNone;
  bool written = true;
  while (written && (read = GetKeyFileEntry(key, nullptr)) == kEntryFound) {
    if (strcasecmp(key->entryName, name) == 0) {
      if (new_line != nullptr) written = fputs(new_line, temp) >= 0;
    } else {
      written = WriteCarriedValue(temp, key->entryName, key->entryType, key->entryValue);
    }
  }
  // A read error would silently drop every line after it.
  if (written && read == kEntryReadError) return abandon();
  if (!written || fflush(temp) != 0 || fsync(fileno(temp)) != 0) {
    SayFrom(operation, "failed write to new registry file");
    return abandon();
  }
  if (rename(temp_path.c_str(), key->regFileName) != 0) {
    // The copy goes too: left behind, it would refuse every later update
    // of the key as one still in progress.
    SayFrom(operation, "failed to rename new registry file");
    return abandon();
  }
  if (dir_fd >= 0) fsync(dir_fd);
  fclose(key->regFile);
  key->regFile = temp;
  return kRegSuccess;
}

// Moves the stream to the end of the key file for an append. A file that
// was edited by hand or cut short may end inside a line; the appended line
// would then run into it, and both values would be lost. *joins says so,
// and the caller ends that last line first.
bool SeekAppendPoint(FILE* file, bool* joins) {
  *joins = false;
  if (fseek(file, 0, SEEK_END) != 0) return false;
  long size = ftell(file);
  if (size <= 0) return size == 0;
  if (fseek(file, -1, SEEK_END) != 0) return false;
  *joins = fgetc(file) != '\n';
  return fseek(file, 0, SEEK_END) == 0;
}

// The folder that holds a key's sub-keys: its key file's name without ".nv".
std::string KeyDir(HKEY key) {
  return std::string(key->regFileName, strlen(key->regFileName) - kKeyFileSuffixLength);
}

// The checks of a caller's arguments: each says what is wrong and gives true.
bool MissingOut(const char* operation, const void* address, const char* name) {
  if (address != nullptr) return false;
  fputs(operation, stdout);
  fputs(": missing return address for '", stdout);
  fputs(name, stdout);
  PrintWord("'");
  return true;
}

bool BadHandle(const char* operation, HKEY key) {
  if (ValidRegKey(key)) return false;
  SayFrom(operation, "invalid key handle");
  return true;
}

}  // namespace

// ---- Values ---------------------------------------------------------------------

int RegQueryValueEx(HKEY hkey, const char* name, uint32_t* reserved, uint32_t* type, void* value,
                    uint32_t* vallen) {
  (void)reserved;
  if (name == nullptr || name[0] == '\0') {
    PrintWord("RegQueryValueEx: key name missing or null");
    return kRegFailure;
  }
  if (MissingOut("RegQueryValueEx", value, "value")) return kRegFailure;
  if (MissingOut("RegQueryValueEx", vallen, "vallen")) return kRegFailure;
  if (BadHandle("RegQueryValueEx", hkey)) return kRegFailure;
  KeyDirLock lock(hkey->regFileName, LOCK_SH);
  FollowReplacedKeyFile(hkey);
  if (GetKeyFileEntry(hkey, name) != kEntryFound) {
    PrintWord("RegQueryValueEx: name not found in registry");
    if (*vallen > 0) static_cast<char*>(value)[0] = '\0';
    *vallen = 0;
    return kRegFailure;
  }
  if (type != nullptr) {
    PrintWord("RegQueryValueEx: type is NOT NULL");
    if (IsNumberType(hkey->entryType)) {
      PrintWord("RegQueryValueEx: type = REG_DWORD");
      *type = REG_DWORD;
    } else {
      PrintWord("RegQueryValueEx: type = REG_SZ");
      *type = REG_SZ;
    }
  }
  fputs(name, stdout);
  fputs("=", stdout);
  PrintWord(hkey->entryValue);
  if (type == nullptr || *type == REG_SZ) {
    PrintWord("RegQueryValueEx: setting value");
    DeliverText(hkey->entryValue, value, vallen);
    PrintWord("RegQueryValueEx: done setting value");
  } else {
    PrintWord("RegQueryValueEx: setting DWORD value");
    if (*vallen < sizeof(int32_t)) {
      PrintWord("RegQueryValueEx: value buffer too small for DWORD");
      *vallen = sizeof(int32_t);
      return kRegFailure;
    }
    int32_t number = ToNumber(hkey->entryValue);
    memcpy(value, &number, sizeof(number));
    *vallen = sizeof(number);
    PrintWord("RegQueryValueEx: done setting DWORD value");
  }
  PrintWord("RegQueryValueEx: done");
  return kRegSuccess;
}

int RegSetValueEx(HKEY hkey, const char* name, uint32_t reserved, uint32_t type, const void* value,
                  uint32_t cbdata) {
  (void)reserved;
  (void)cbdata;
  if (name == nullptr || name[0] == '\0') {
    PrintWord("RegSetValueEx: key name is missing or null");
    return kRegFailure;
  }
  if (type == 0) type = REG_SZ;
  if (value == nullptr) {
    PrintWord("RegSetValueEx: missing required parameter 'value'");
    return kRegFailure;
  }
  if (BadHandle("RegSetValueEx", hkey)) return kRegFailure;
  if (type != REG_SZ && type != REG_DWORD) {
    PrintWord("RegSetValueEx: unsupported value type");
    return kRegFailure;
  }
  // A newline would split the line (and could forge further values); a "<"
  // in the name or a leading "#" would make the line unreadable by its name.
  // The reader skips blanks before the name and the data and trims them off
  // the name's end, so a name or text with blanks there would come back
  // different, or not be found at all.
  const char* text = type == REG_SZ ? static_cast<const char*>(value) : "";
  if (strpbrk(name, "<\n") != nullptr || name[0] == '#' || IsBlank(name[0]) ||
      IsBlank(name[strlen(name) - 1]) || strchr(text, '\n') != nullptr || IsBlank(text[0])) {
    PrintWord("RegSetValueEx: name or value cannot be stored");
    return kRegFailure;
  }
  char line[kMaxLine + 1];
  int length;
  if (type == REG_DWORD) {
    int32_t number;
    memcpy(&number, value, sizeof(number));
    length = snprintf(line, sizeof(line), "%s\t<%s>\t%ld\n", name, kTypeWordNumber,
                      static_cast<long>(number));
  } else {
    length = snprintf(line, sizeof(line), "%s\t<%s>\t%s\n", name, kTypeWordText, text);
  }
  if (length < 0 || length > kMaxLine) {
    PrintWord("RegSetValueEx: entry too long");
    return kRegFailure;
  }

  KeyDirLock lock(hkey->regFileName, LOCK_EX);
  FollowReplacedKeyFile(hkey);
  int found = GetKeyFileEntry(hkey, name);
  if (found == kEntryReadError) return kRegFailure;
  if (found == kEntryFound) return RewriteKeyFile(hkey, "RegSetValueEx", name, line, lock.fd);
  bool joins_last_line = false;
  if (!SeekAppendPoint(hkey->regFile, &joins_last_line)) {
    PrintWord("RegSetValueEx: unable to seek file pointer");
    return kRegFailure;
  }
  // Flushed at once, so the line is in the file before the lock is dropped.
  if ((joins_last_line && fputc('\n', hkey->regFile) == EOF) || fputs(line, hkey->regFile) < 0 ||
      fflush(hkey->regFile) != 0) {
    PrintWord("RegSetValueEx: unable to write entry");
    return kRegFailure;
  }
  return kRegSuccess;
}

int RegDeleteValue(HKEY hkey, const char* name) {
  if (name == nullptr || name[0] == '\0') {
    PrintWord("RegDeleteValue: key name is missing or null");
    return kRegFailure;
  }
  if (BadHandle("RegDeleteValue", hkey)) return kRegFailure;
  KeyDirLock lock(hkey->regFileName, LOCK_EX);
  FollowReplacedKeyFile(hkey);
  int found = GetKeyFileEntry(hkey, name);
  if (found == kEntryReadError) return kRegFailure;
  if (found == kEntryNone) return kRegSuccess;
  return RewriteKeyFile(hkey, "RegDeleteValue", name, nullptr, lock.fd);
}

int RegEnumValue(HKEY hkey, int index, char* name, uint32_t* namelen, uint32_t* reserved,
                 uint32_t* type, void* value, uint32_t* vallen) {
  (void)reserved;
  if (index < 0) {
    PrintWord("RegEnumValue: registry entries between 0 - n");
    return kRegFailure;
  }
  if (BadHandle("RegEnumValue", hkey)) return kRegFailure;
  if (MissingOut("RegEnumValue", name, "name")) return kRegFailure;
  if (MissingOut("RegEnumValue", namelen, "namelen")) return kRegFailure;
  if (MissingOut("RegEnumValue", value, "value")) return kRegFailure;
  if (MissingOut("RegEnumValue", vallen, "vallen")) return kRegFailure;
  KeyDirLock lock(hkey->regFileName, LOCK_SH);
  FollowReplacedKeyFile(hkey);
  fseek(hkey->regFile, 0, SEEK_SET);
  for (int line = 0; line <= index; ++line) {
    if (GetKeyFileEntry(hkey, nullptr) != kEntryFound) {
      *namelen = 0;
      *vallen = 0;
      return kRegNoMoreItems;
    }
  }
  bool number = IsNumberType(hkey->entryType);
  if (number && *vallen < sizeof(int32_t)) {
    PrintWord("RegEnumValue: value buffer too small for DWORD");
    *vallen = sizeof(int32_t);
    return kRegFailure;
  }
  if (type != nullptr) *type = number ? REG_DWORD : REG_SZ;
  DeliverText(hkey->entryName, name, namelen);
  if (number) {
    int32_t converted = ToNumber(hkey->entryValue);
    memcpy(value, &converted, sizeof(converted));
    *vallen = sizeof(converted);
  } else {
    DeliverText(hkey->entryValue, value, vallen);
  }
  return kRegSuccess;
}

// ---- Keys -----------------------------------------------------------------------

int RegOpenKeyEx(HKEY hkey, const char* keystr, uint32_t reserved, uint32_t sam, HKEY* keyfile) {
  (void)reserved;
  (void)sam;
  if (keystr == nullptr || keystr[0] == '\0') {
    BLog("RegOpenKeyEx: missing required parameter 'keystr'", 1);
    return kRegFailure;
  }
  if (keyfile == nullptr) {
    BLog("RegOpenKeyEx: missing required parameter 'keyfile'", 1);
    return kRegFailure;
  }
  const char* hive = HivePrefix(hkey);
  if (hive == nullptr) return kRegFailure;
  *keyfile = nullptr;
  HeapText joined = Join(hive, keystr);
  if (joined == nullptr) return kRegFailure;
  HeapText path(MakeFnameFromKeyStr(joined.get()));
  if (path == nullptr) return kRegFailure;
  strcat(path.get(), kKeyFileSuffix);
  *keyfile = OpenKeyFile(path.get());
  return *keyfile != nullptr ? kRegSuccess : kRegFailure;
}

int RegCreateKeyEx(HKEY hkey, const char* keystr, uint32_t reserved, const char* clss,
                   uint32_t options, uint32_t sam, void* security, HKEY* keyfile,
                   uint32_t* disposition) {
  (void)reserved;
  (void)clss;
  (void)options;
  (void)sam;
  (void)security;
  (void)disposition;
  if (keyfile != nullptr) *keyfile = nullptr;
  if (keystr == nullptr || keystr[0] == '\0') {
    PrintWord("RegCreateKeyEx: missing required parameter 'keystr'");
    return kRegFailure;
  }
  if (keyfile == nullptr) {
    PrintWord("RegCreateKeyEx: missing required parameter 'keyfile'");
    return kRegFailure;
  }
  const char* hive = HivePrefix(hkey);
  if (hive == nullptr) return kRegFailure;
  if (HasDotPart(keystr)) {
    PrintWord("RegCreateKeyEx: '.' and '..' not allowed");
    return kRegFailure;
  }
  HeapText joined = Join(hive, keystr);
  if (joined == nullptr) return kRegFailure;
  SayWith("RegCreateKey: newstr = ", joined.get());
  istrlwr(joined.get());
  char* made = nullptr;
  if (!CreateKeyFile(joined.get(), &made)) return kRegFailure;
  HeapText path(made);
  *keyfile = OpenKeyFile(path.get());
  return *keyfile != nullptr ? kRegSuccess : kRegFailure;
}

int RegCreateKey(HKEY hkey, const char* keystr, HKEY* keyfile) {
  return RegCreateKeyEx(hkey, keystr, 0, nullptr, 0, 0, nullptr, keyfile, nullptr);
}

int RegCloseKey(HKEY hkey) {
  if (hkey == nullptr) {
    PrintWord("RegCloseKey: missing key handle");
    return kRegFailure;
  }
  CloseKeyFile(hkey);
  return kRegSuccess;
}

int RegDeleteKey(HKEY hkey, const char* subkey) {
  if (BadHandle("RegDeleteKey", hkey)) return kRegFailure;
  // The sub-key is one path part beside the parent's own sub-keys; anything
  // else would reach the parent's directory itself or outside it.
  if (subkey == nullptr || subkey[0] == '\0' || strchr(subkey, '/') != nullptr ||
      strcmp(subkey, ".") == 0 || strcmp(subkey, "..") == 0) {
    PrintWord("RegDeleteKey: sub-key must be a single key name");
    return kRegFailure;
  }
  std::string dir = KeyDir(hkey);
  dir += '/';
  dir += subkey;
  std::string file = dir + kKeyFileSuffix;
  SayWith("RegDeleteKey: dirname = ", dir.c_str());
  SayWith("RegDeleteKey: filename = ", file.c_str());
  istrlwr(dir.data());
  istrlwr(file.data());
  if (unlink(file.c_str()) != 0) {
    PrintWord("RegDeleteKey: KeyFile (.nv) NOT Deleted!");
    return kRegFailure;
  }
  PrintWord("RegDeleteKey: nv file successfully deleted.");
  if (!iDeleteDirectory(dir.c_str())) {
    PrintWord("RegDeleteKey: Directory NOT Deleted!");
    return kRegFailure;
  }
  PrintWord("RegDeleteKey: Key successfully deleted.");
  return kRegSuccess;
}

int RegEnumKeyEx(HKEY hkey, int index, char* name, uint32_t* cbname, uint32_t* reserved, char* clss,
                 uint32_t* cbclss, void* time) {
  (void)reserved;
  (void)time;
  if (index <= 0) {
    PrintWord("RegEnumKeyEx: registry keys between 1 - n");
    return kRegFailure;
  }
  if (BadHandle("RegEnumKeyEx", hkey)) return kRegFailure;
  if (MissingOut("RegEnumKeyEx", name, "name")) return kRegFailure;
  if (MissingOut("RegEnumKeyEx", cbname, "cbname")) return kRegFailure;
  if (MissingOut("RegEnumKeyEx", clss, "clss")) return kRegFailure;
  if (MissingOut("RegEnumKeyEx", cbclss, "cbclss")) return kRegFailure;
  if (hkey->regFileName == nullptr) {
    PrintWord("RegEnumKeyEx: regFileName is NULL");
    return kRegFailure;
  }
  std::unique_ptr<DIR, CloseDir> dir(opendir(KeyDir(hkey).c_str()));
  if (dir == nullptr) {
    PrintWord("RegEnumKeyEx:  Error opening directory.");
    return kRegFailure;
  }
  // Each sub-key is a directory and a key file beside it; only the
  // directories are counted, so every sub-key is met once.
  int number = 0;
  while (struct dirent* entry = readdir(dir.get())) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    bool is_dir = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat status;
      is_dir = fstatat(dirfd(dir.get()), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
               S_ISDIR(status.st_mode);
    }
    if (!is_dir || ++number != index) continue;
    *cbname = static_cast<uint32_t>(CopyCut(entry->d_name, strlen(entry->d_name), name, *cbname));
    return kRegSuccess;
  }
  PrintWord("RegEnumKeyEx:  Key (directory) Not found!");
  return kRegNoMoreItems;
}

int RegEnumKey(HKEY hkey, int index, char* name, uint32_t size) {
  char clss[1] = "";
  uint32_t cbclss = sizeof(clss);
  return RegEnumKeyEx(hkey, index, name, &size, nullptr, clss, &cbclss, nullptr);
}

// ---- Housekeeping ---------------------------------------------------------------

int BLog(const char* message, int flag) {
  (void)message;
  (void)flag;
  return 1;
}

char* RegGetLastError(void) { return lastError; }

void RegCleanup(void) {
  free(lastError);
  lastError = nullptr;
  while (regKeyList != nullptr) {
    RegKey* key = regKeyList;
    regKeyList = key->next;
    ReleaseRecord(key);
  }
}
