// The registry: keys holding named, typed values, behind the Windows
// registry's calling conventions but kept in plain files under the fixed root
// "/usr/vornis/registry": one directory and one ".nv" key file per key. A key
// handle points at an open key record and is valid exactly while that record
// is in the process-wide list of open keys; the record owns its path, stream
// and last-read entry, and RegCloseKey or RegCleanup frees them. One thread.
// Results: 0 success, -1 failure, 259 past the end of an enumeration.
#ifndef JANTOR_REGISTRY_REG_H_
#define JANTOR_REGISTRY_REG_H_

#include <cstdint>

struct RegKey;
typedef RegKey* HKEY;

// The predefined root handles. Each names a hive directory under the
// registry root; they are macros, as in the interface they imitate, because a
// pointer made from an integer cannot be a compile-time constant.
#define HKEY_CLASSES_ROOT ((HKEY)(uintptr_t)0x80000000u)
#define HKEY_CURRENT_USER ((HKEY)(uintptr_t)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)
#define HKEY_USERS ((HKEY)(uintptr_t)0x80000003u)
#define HKEY_PERFORMANCE_DATA ((HKEY)(uintptr_t)0x80000004u)
#define HKEY_CURRENT_CONFIG ((HKEY)(uintptr_t)0x80000005u)
#define HKEY_DYN_DATA ((HKEY)(uintptr_t)0x80000006u)

// Value types.
enum : int {
  REG_SZ = 1,     // text
  REG_DWORD = 4,  // 32-bit signed number, stored as decimal text
};

// Results of every operation here.
enum : int {
  kRegSuccess = 0,
  kRegFailure = -1,
  kRegNoMoreItems = 259,
};

// Logging switch and path of the registry; nothing reads them.
extern int GbLog;
extern char* GLogPath;

// ---- Keys -------------------------------------------------------------------
// hkey of the open and create is a predefined root handle; any other value
// fails silently. Key strings separate key names with backslashes; the open
// also takes slashes. A path part "." or ".." is refused.

// Opens the existing key keystr under the root hkey into *keyfile (none on a
// failure after the root check). Creates nothing.
int RegOpenKeyEx(HKEY hkey, const char* keystr, uint32_t reserved, uint32_t sam, HKEY* keyfile);

// Opens keystr under hkey, first making every missing level (a directory and
// an empty key file each). *keyfile is set to none first. reserved, clss,
// options, sam, security and disposition are not used.
int RegCreateKeyEx(HKEY hkey, const char* keystr, uint32_t reserved, const char* clss,
                   uint32_t options, uint32_t sam, void* security, HKEY* keyfile,
                   uint32_t* disposition);
int RegCreateKey(HKEY hkey, const char* keystr, HKEY* keyfile);

// Releases hkey. -1 only for a null handle; a handle that is not open is
// reported and still answered with 0.
int RegCloseKey(HKEY hkey);

// Removes subkey, one key name directly below the open key hkey: its key file
// first, then its directory with everything below it.
int RegDeleteKey(HKEY hkey, const char* subkey);

// Names the sub-key with number index (from 1) of hkey into name, at most
// *cbname - 1 characters, and sets *cbname to the length copied. Only
// sub-key directories count, in the directory's own order. clss and cbclss
// must be given but are not filled; reserved and time are not used.
int RegEnumKeyEx(HKEY hkey, int index, char* name, uint32_t* cbname, uint32_t* reserved, char* clss,
                 uint32_t* cbclss, void* time);
int RegEnumKey(HKEY hkey, int index, char* name, uint32_t size);

// ---- Values -----------------------------------------------------------------
// Names are matched without regard to case. Text is delivered into value by
// this rule: at most *vallen - 1 characters and a terminator, then *vallen is
// set to the full length, so a result not below the size given means a cut.
// A number needs *vallen of at least 4 and sets it to 4.

// Finds the first value called name. Delivered as text unless type is given
// and the stored type is REG_DWORD. A missing name leaves "" and length 0.
int RegQueryValueEx(HKEY hkey, const char* name, uint32_t* reserved, uint32_t* type, void* value,
                    uint32_t* vallen);

// Stores name as type 1 (a text at value; 0 counts as 1) or 4 (an int32_t at
// value). A new name is appended; an existing one replaces every line with
// that name by rewriting the whole key file through "<key file>.tmp", which
// refuses to start while such a file exists. Refused, with nothing written,
// is whatever could not be read back as it was given: another type, a line
// of more than 255 characters, a name that holds "<" or a newline, begins
// with "#" or begins or ends with a blank (space or tab), and a text that
// holds a newline or begins with a blank. reserved and cbdata are not used.
int RegSetValueEx(HKEY hkey, const char* name, uint32_t reserved, uint32_t type, const void* value,
                  uint32_t cbdata);

// Removes every value called name (a rewrite, as above); 0 if there is none.
int RegDeleteValue(HKEY hkey, const char* name);

// Delivers the value with number index (from 0, in file order): its name, its
// type if type is given, and its data as text or, for REG_DWORD, a number.
// 259 with both lengths 0 past the last value.
int RegEnumValue(HKEY hkey, int index, char* name, uint32_t* namelen, uint32_t* reserved,
                 uint32_t* type, void* value, uint32_t* vallen);

// ---- Housekeeping -----------------------------------------------------------

// The registry's log hook: writes nothing and returns 1.
int BLog(const char* message, int flag);

// The last error text; no operation sets one, so always null.
char* RegGetLastError(void);

// Closes and frees every open key; every earlier handle is invalid afterwards.
void RegCleanup(void);

#endif  // JANTOR_REGISTRY_REG_H_
