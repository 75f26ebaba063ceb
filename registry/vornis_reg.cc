#include "registry/vornis_reg.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "base/ll_cpapi.h"
#include "base/ll_string.h"

namespace {

constexpr char kProductKey[] = "Software\\Caddock\\Vornis\\CurrentVersion";
constexpr char kProductCyberCashKey[] = "Software\\Caddock\\Vornis\\CurrentVersion\\CyberCash";
constexpr char kMicrosoftKey[] = "Software\\Microsoft";
constexpr char kContextLeafCyberCash[] = "CyberCash";
constexpr char kContextLeafVEDevi[] = "VEDevi";

// Size given to the query by the fixed-buffer readers; their callers'
// buffers hold at least one byte more.
constexpr uint32_t kFixedBufferSize = 1023;
// GetVornisCVRegEntry's query size, and the content its value buffer is
// reserved for.
constexpr uint32_t kValueQuerySize = 255;
constexpr int kValueReserve = 256;
constexpr int kContextPathSize = 256;

// The product key, followed by "\" and sub_path when sub_path is not empty,
// in a managed buffer. Null after the setting-error line when the heap is
// exhausted.
ManagedText ProductKeyPath(const char* sub_path) {
  char* path = nullptr;
  // A writer that fails has printed the line and left the slot null.
  if (!mstrcpy(0, &path, kProductKey)) return nullptr;
  if (sub_path != nullptr && sub_path[0] != '\0' &&
      (!mstrcat(0, &path, "\\") || !mstrcat(0, &path, sub_path))) {
    return nullptr;
  }
  return ManagedText(path);
}

// Shared by the fixed-buffer readers.
char* ReadIntoBuffer(const char* key_path, const char* name, char* buffer) {
  buffer[0] = '\0';
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, key_path, 0, 0, &key) != kRegSuccess) return buffer;
  PrintWord("Inside Reg If");
  uint32_t length = kFixedBufferSize;
  int result = RegQueryValueEx(key, name, nullptr, nullptr, buffer, &length);
  printf("Get value returned %d %u", result, static_cast<unsigned>(length));
  fputs("\r\n", stdout);
  RegCloseKey(key);
  return buffer;
}

char* ReadContextValue(const char* context, const char* leaf, const char* name, char* buffer) {
  buffer[0] = '\0';
  if (context == nullptr) return buffer;
  char path[kContextPathSize];
  int length = snprintf(path, sizeof(path), "%s\\Contexts\\%s\\%s", kProductKey, context, leaf);
  if (length < 0 || length >= kContextPathSize) return buffer;
  return ReadIntoBuffer(path, name, buffer);
}

}  // namespace

int GetVornisCVRegEntry(int context, const char* sub_path, const char* name, char** value,
                        const char* default_text, HKEY* key_slot, int close_flag) {
  HKEY own_key = nullptr;
  if (key_slot == nullptr) {
    key_slot = &own_key;
    close_flag = 1;
  }
  int result = 1;
  ManagedText path;
  bool have_key = *key_slot != nullptr;
  if (!have_key) {
    path = ProductKeyPath(sub_path);
    if (path == nullptr) return 0;
    have_key = RegOpenKeyEx(HKEY_LOCAL_MACHINE, path.get(), 0, 0, key_slot) == kRegSuccess;
    if (!have_key && !mstrcpy(context, value, default_text)) result = 0;
  }
  if (have_key) {
    if (!mreserve(context, value, kValueReserve)) {
      result = 0;
    } else {
      uint32_t length = kValueQuerySize;
      if (RegQueryValueEx(*key_slot, name, nullptr, nullptr, *value, &length) != kRegSuccess &&
          !mstrcpy(context, value, default_text)) {
        result = 0;
      }
    }
  }
  if (close_flag != 0 && *key_slot != nullptr) {
    RegCloseKey(*key_slot);
    *key_slot = nullptr;
  }
  return result;
}

int SetVornisCVRegEntry(int unused, const char* sub_path, const char* name, const char* text) {
  (void)unused;
  ManagedText path = ProductKeyPath(sub_path);
  if (path == nullptr) return 0;
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, path.get(), 0, 0, &key) != kRegSuccess) return 0;
  RegSetValueEx(key, name, 0, REG_SZ, text, text != nullptr ? strlen(text) + 1 : 0);
  RegCloseKey(key);
  return 1;
}

int SetVornisCVRegKey(int unused, const char* sub_path) {
  (void)unused;
  ManagedText path = ProductKeyPath(sub_path);
  if (path == nullptr) return 0;
  HKEY key = nullptr;
  if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.get(), 0, "", 0, 0, nullptr, &key, nullptr) !=
      kRegSuccess) {
    return 0;
  }
  RegCloseKey(key);
  return 1;
}

char* Get_Vornis_Reg_Entry(const char* name, char* buffer) {
  return ReadIntoBuffer(kProductKey, name, buffer);
}

char* Get_Vornis_CC_Reg_Entry(const char* name, char* buffer) {
  return ReadIntoBuffer(kProductCyberCashKey, name, buffer);
}

char* Get_Vornis_Context_CC_Reg_Entry(const char* context, const char* name, char* buffer) {
  return ReadContextValue(context, kContextLeafCyberCash, name, buffer);
}

char* Get_Vornis_Context_PCA_Reg_Entry(const char* context, const char* name, char* buffer) {
  return ReadContextValue(context, kContextLeafVEDevi, name, buffer);
}

char* Get_MS_Reg_Entry(const char* name, char* buffer) {
  return ReadIntoBuffer(kMicrosoftKey, name, buffer);
}

int Set_MS_Reg_Entry(const char* name, const char* text) {
  if (name == nullptr || text == nullptr) return 0;
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kMicrosoftKey, 0, 0, &key) != kRegSuccess) return 1;
  PrintWord("Inside Reg If");
  int result = RegSetValueEx(key, name, 0, REG_SZ, text, strlen(text) + 1);
  printf("Set value returned %d %u", result, static_cast<unsigned>(kFixedBufferSize));
  fputs("\r\n", stdout);
  RegCloseKey(key);
  return 1;
}
