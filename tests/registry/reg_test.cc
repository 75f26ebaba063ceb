// Keys, values and key files of the registry, each test in an empty registry
// root of its own (see registry_sandbox.h).
#include "registry/reg.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "registry_sandbox.h"

namespace {

using regtest::Exists;
using regtest::IsDir;
using regtest::IsFile;
using regtest::kMachine;
using regtest::kRoot;
using regtest::ReadFile;
using regtest::StdoutCapture;
using regtest::WriteFile;

constexpr char kProduct[] = "Software\\Caddock\\Vornis\\CurrentVersion";
const std::string kProductDir = kMachine + "/software/caddock/vornis/currentversion";
const std::string kValuesFile = kMachine + "/values.nv";

class Registry : public regtest::RegistryTest {
 protected:
  static HKEY Create(HKEY root, const char* keystr) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKey(root, keystr, &key), kRegSuccess) << keystr;
    return key;
  }

  static HKEY Open(const char* keystr) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, keystr, 0, 0, &key), kRegSuccess) << keystr;
    return key;
  }

  // The key "Values" whose key file holds exactly content.
  static HKEY ValuesKey(const std::string& content) {
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, "Values"));
    WriteFile(kValuesFile, content);
    return Open("Values");
  }

  static std::set<std::string> Entries(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
      while (dirent* entry = readdir(d)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.insert(name);
      }
      closedir(d);
    }
    return names;
  }
};

// ---- Layout on disk -------------------------------------------------------------

TEST_F(Registry, CreateMakesEveryLevelWithItsKeyFileBesideIt) {
  StdoutCapture out;
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, kProduct, 0, "", 0, 0, nullptr, &key, nullptr),
            kRegSuccess);
  EXPECT_EQ(out.Take(),
            "RegCreateKey: newstr = hkey_local_machine/Software\\Caddock\\Vornis\\CurrentVersion"
            "\r\n");
  EXPECT_NE(key, nullptr);
  for (const char* level : {"software", "software/caddock", "software/caddock/vornis",
                            "software/caddock/vornis/currentversion"}) {
    EXPECT_TRUE(IsDir(kMachine + "/" + level)) << level;
    EXPECT_TRUE(IsFile(kMachine + "/" + level + ".nv")) << level;
    EXPECT_EQ(ReadFile(kMachine + "/" + level + ".nv"), "") << level;
  }
  EXPECT_EQ(Entries(kProductDir), std::set<std::string>());
}

TEST_F(Registry, CreateOfAnExistingKeyChangesNothing) {
  HKEY first = Create(HKEY_LOCAL_MACHINE, kProduct);
  ASSERT_EQ(RegSetValueEx(first, "Colour", 0, REG_SZ, "dark blue", 10), kRegSuccess);
  HKEY again = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\caddock\\Vornis\\CURRENTVERSION");
  EXPECT_NE(again, nullptr);
  EXPECT_NE(again, first);
  EXPECT_EQ(ReadFile(kProductDir + ".nv"), "Colour\t<reg_sz>\tdark blue\n");
  EXPECT_EQ(Entries(kMachine + "/software/caddock/vornis"),
            (std::set<std::string>{"currentversion", "currentversion.nv"}));
}

TEST_F(Registry, OpenFoldsCaseAndTakesBothSeparators) {
  HKEY made = Create(HKEY_LOCAL_MACHINE, kProduct);
  ASSERT_EQ(RegSetValueEx(made, "Colour", 0, REG_SZ, "dark blue", 10), kRegSuccess);

  StdoutCapture out;
  HKEY key = nullptr;
  EXPECT_EQ(
      RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\CADDOCK\\vornis\\CurrentVersion", 0, 0, &key),
      kRegSuccess);
  EXPECT_EQ(out.Take(),
            "MakeFnameFromKey/usr/vornis/registry/hkey_local_machine/software/caddock/vornis/"
            "currentversion\r\n");
  char value[32];
  uint32_t length = sizeof(value);
  EXPECT_EQ(RegQueryValueEx(key, "colour", nullptr, nullptr, value, &length), kRegSuccess);
  EXPECT_STREQ(value, "dark blue");

  EXPECT_NE(Open("software/caddock\\vornis/currentversion"), nullptr);
}

TEST_F(Registry, OpenNeedsOnlyTheKeyFileAndMakesNothing) {
  HKEY key = reinterpret_cast<HKEY>(0x1);
  {
    StdoutCapture out;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Nothing", 0, 0, &key), kRegFailure);
    EXPECT_EQ(out.Take(),
              "MakeFnameFromKey/usr/vornis/registry/hkey_local_machine/software/"
              "nothing\r\n");
  }
  EXPECT_EQ(key, nullptr);
  EXPECT_FALSE(Exists(kMachine + "/software"));

  WriteFile(kMachine + "/lonely.nv", "");
  EXPECT_NE(Open("Lonely"), nullptr);
  EXPECT_FALSE(Exists(kMachine + "/lonely"));
}

TEST_F(Registry, SpacesAreRefusedByTheOpenButMadeByTheCreate) {
  HKEY key = reinterpret_cast<HKEY>(0x1);
  {
    StdoutCapture out;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "My Key", 0, 0, &key), kRegFailure);
    EXPECT_EQ(out.Take(), "MakeFnameFromKey: spaces not allowed\r\n");
  }
  EXPECT_EQ(key, nullptr);

  EXPECT_NE(Create(HKEY_LOCAL_MACHINE, "My Key\\Sub"), nullptr);
  EXPECT_TRUE(IsDir(kMachine + "/my key/sub"));
  EXPECT_TRUE(IsFile(kMachine + "/my key.nv"));
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "My Key", 0, 0, &key), kRegFailure);
}

TEST_F(Registry, EveryRootHandleNamesItsHive) {
  const HKEY roots[] = {HKEY_CLASSES_ROOT,     HKEY_CURRENT_USER,   HKEY_LOCAL_MACHINE, HKEY_USERS,
                        HKEY_PERFORMANCE_DATA, HKEY_CURRENT_CONFIG, HKEY_DYN_DATA};
  for (int i = 0; i < 7; ++i) {
    EXPECT_NE(Create(roots[i], "Probe"), nullptr);
    EXPECT_TRUE(IsFile(kRoot + "/" + regtest::kHives[i] + "/probe.nv")) << regtest::kHives[i];
  }
}

// ---- Layout: failures -------------------------------------------------------------

TEST_F(Registry, CreateFailsWhenTheHiveIsMissing) {
  ASSERT_EQ(rmdir((kRoot + "/hkey_users").c_str()), 0);
  StdoutCapture out;
  HKEY key = reinterpret_cast<HKEY>(0x1);
  EXPECT_EQ(RegCreateKey(HKEY_USERS, "Alpha\\Beta", &key), kRegFailure);
  EXPECT_EQ(out.Take(),
            "RegCreateKey: newstr = hkey_users/Alpha\\Beta\r\n"
            "CreateKeyFile: failed to create directory: \r\n"
            "/usr/vornis/registry/hkey_users/alpha\r\n"
            "CreateKeyFile: failed to create file: \r\n"
            "/usr/vornis/registry/hkey_users/alpha.nv\r\n");
  EXPECT_EQ(key, nullptr);
  EXPECT_FALSE(Exists(kRoot + "/hkey_users"));
}

TEST_F(Registry, CreateFailsWhereAKeyFileHasLostItsDirectory) {
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, "Alpha"));
  WriteFile(kMachine + "/alpha.nv", "kept\t<reg_sz>\tyes\n");
  ASSERT_EQ(rmdir((kMachine + "/alpha").c_str()), 0);
  StdoutCapture out;
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, "Alpha\\Beta", &key), kRegFailure);
  EXPECT_EQ(out.Take(),
            "RegCreateKey: newstr = hkey_local_machine/Alpha\\Beta\r\n"
            "CreateKeyFile: failed to create file: \r\n" +
                kMachine + "/alpha.nv\r\n");
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(ReadFile(kMachine + "/alpha.nv"), "kept\t<reg_sz>\tyes\n");
}

TEST_F(Registry, OnlyPredefinedRootsStartAKeyPath) {
  HKEY real = Create(HKEY_LOCAL_MACHINE, "Real");
  HKEY not_root = reinterpret_cast<HKEY>(uintptr_t{0x80000007u});
  HKEY key = reinterpret_cast<HKEY>(0x1);
  StdoutCapture out;
  EXPECT_EQ(RegOpenKeyEx(not_root, "Real", 0, 0, &key), kRegFailure);
  EXPECT_EQ(RegOpenKeyEx(real, "Real", 0, 0, &key), kRegFailure);
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, nullptr, 0, 0, &key), kRegFailure);
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "", 0, 0, &key), kRegFailure);
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Real", 0, 0, nullptr), kRegFailure);
  EXPECT_EQ(key, reinterpret_cast<HKEY>(0x1));  // the open leaves it alone
  EXPECT_EQ(RegCreateKey(not_root, "Real", &key), kRegFailure);
  EXPECT_EQ(key, nullptr);  // the create clears it first
  EXPECT_EQ(out.Take(), "");

  StdoutCapture said;
  EXPECT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, "", &key), kRegFailure);
  EXPECT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, "Real", nullptr), kRegFailure);
  EXPECT_EQ(said.Take(),
            "RegCreateKeyEx: missing required parameter 'keystr'\r\n"
            "RegCreateKeyEx: missing required parameter 'keyfile'\r\n");
}

TEST_F(Registry, PathsNeverLeaveTheRegistryRoot) {
  WriteFile(kRoot + "/escape.nv", "");  // what "..\\escape" would reach
  for (const char* keystr : {"..\\escape", "Software/../../escape", ".", "A\\.\\B"}) {
    HKEY key = reinterpret_cast<HKEY>(0x1);
    StdoutCapture out;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, keystr, 0, 0, &key), kRegFailure) << keystr;
    EXPECT_EQ(out.Take(), "MakeFnameFromKey: '.' and '..' not allowed\r\n") << keystr;
    EXPECT_EQ(key, nullptr);
  }
  for (const char* keystr : {"..\\..\\..\\made", "A\\..\\..\\made", "A/./B", ".."}) {
    HKEY key = nullptr;
    StdoutCapture out;
    EXPECT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, keystr, &key), kRegFailure) << keystr;
    EXPECT_EQ(out.Take(), "RegCreateKeyEx: '.' and '..' not allowed\r\n") << keystr;
  }
  EXPECT_FALSE(Exists("/usr/vornis/made"));
  EXPECT_FALSE(Exists(kRoot + "/made"));
  EXPECT_EQ(Entries(kMachine), std::set<std::string>());
  // Dots inside a name are just characters.
  EXPECT_NE(Create(HKEY_LOCAL_MACHINE, "v1.2\\..x"), nullptr);
  EXPECT_TRUE(IsDir(kMachine + "/v1.2/..x"));

  HKEY parent = Create(HKEY_LOCAL_MACHINE, "Parent\\Child");
  parent = Open("Parent");
  WriteFile(kMachine + "/victim.nv", "v\t<reg_sz>\t1\n");
  ASSERT_EQ(mkdir((kMachine + "/victim").c_str(), 0755), 0);
  for (const char* subkey : {"../victim", "..", ".", "", "Child/x"}) {
    StdoutCapture out;
    EXPECT_EQ(RegDeleteKey(parent, subkey), kRegFailure) << subkey;
    EXPECT_EQ(out.Take(), "RegDeleteKey: sub-key must be a single key name\r\n") << subkey;
  }
  EXPECT_EQ(RegDeleteKey(parent, nullptr), kRegFailure);
  EXPECT_TRUE(IsFile(kMachine + "/victim.nv"));
  EXPECT_TRUE(IsDir(kMachine + "/victim"));
  EXPECT_TRUE(IsDir(kMachine + "/parent/child"));
  EXPECT_TRUE(IsFile(kMachine + "/parent.nv"));
}

// ---- Handles ----------------------------------------------------------------------

TEST_F(Registry, OpensAreIndependentAndASecondCloseIsOnlyReported) {
  HKEY made = Create(HKEY_LOCAL_MACHINE, kProduct);
  ASSERT_EQ(RegSetValueEx(made, "Colour", 0, REG_SZ, "dark blue", 10), kRegSuccess);
  HKEY first = Open(kProduct);
  HKEY second = Open(kProduct);
  EXPECT_NE(first, second);
  EXPECT_EQ(RegCloseKey(first), kRegSuccess);

  char value[32];
  uint32_t length = sizeof(value);
  EXPECT_EQ(RegQueryValueEx(second, "Colour", nullptr, nullptr, value, &length), kRegSuccess);

  StdoutCapture out;
  EXPECT_EQ(RegCloseKey(first), kRegSuccess);
  length = sizeof(value);
  EXPECT_EQ(RegQueryValueEx(first, "Colour", nullptr, nullptr, value, &length), kRegFailure);
  EXPECT_EQ(RegCloseKey(nullptr), kRegFailure);
  EXPECT_EQ(out.Take(),
            "CloseKeyFile: key file not found in list\r\n"
            "RegQueryValueEx: invalid key handle\r\n"
            "RegCloseKey: missing key handle\r\n");
}

TEST_F(Registry, CleanupInvalidatesEveryHandle) {
  HKEY made = Create(HKEY_LOCAL_MACHINE, "Alpha");
  HKEY opened = Open("Alpha");
  RegCleanup();
  EXPECT_EQ(RegGetLastError(), nullptr);
  StdoutCapture out;
  EXPECT_EQ(RegSetValueEx(made, "x", 0, REG_SZ, "1", 2), kRegFailure);
  EXPECT_EQ(RegDeleteValue(opened, "x"), kRegFailure);
  EXPECT_EQ(RegCloseKey(opened), kRegSuccess);
  EXPECT_EQ(out.Take(),
            "RegSetValueEx: invalid key handle\r\n"
            "RegDeleteValue: invalid key handle\r\n"
            "CloseKeyFile: key file not found in list\r\n");
  EXPECT_EQ(ReadFile(kMachine + "/alpha.nv"), "");
}

// ---- Values -----------------------------------------------------------------------

TEST_F(Registry, QueryDeliversTextTypeAndLength) {
  HKEY key = ValuesKey("Colour\t<reg_sz>\tdark blue\n");
  StdoutCapture out;
  char value[64];
  uint32_t length = sizeof(value);
  uint32_t type = 0;
  EXPECT_EQ(RegQueryValueEx(key, "COLOUR", nullptr, &type, value, &length), kRegSuccess);
  EXPECT_EQ(out.Take(),
            "RegQueryValueEx: type is NOT NULL\r\n"
            "RegQueryValueEx: type = REG_SZ\r\n"
            "COLOUR=dark blue\r\n"
            "RegQueryValueEx: setting value\r\n"
            "RegQueryValueEx: done setting value\r\n"
            "RegQueryValueEx: done\r\n");
  EXPECT_EQ(type, uint32_t{REG_SZ});
  EXPECT_STREQ(value, "dark blue");
  EXPECT_EQ(length, 9u);
}

TEST_F(Registry, LenientLineReadsAsNumberOrText) {
  HKEY key = ValuesKey("  Count  < REG_DWORD >  42  \n");
  StdoutCapture out;
  int32_t number = 0;
  uint32_t length = sizeof(number);
  uint32_t type = 0;
  EXPECT_EQ(RegQueryValueEx(key, "count", nullptr, &type, &number, &length), kRegSuccess);
  EXPECT_EQ(out.Take(),
            "RegQueryValueEx: type is NOT NULL\r\n"
            "RegQueryValueEx: type = REG_DWORD\r\n"
            "count=42  \r\n"
            "RegQueryValueEx: setting DWORD value\r\n"
            "RegQueryValueEx: done setting DWORD value\r\n"
            "RegQueryValueEx: done\r\n");
  EXPECT_EQ(type, uint32_t{REG_DWORD});
  EXPECT_EQ(number, 42);
  EXPECT_EQ(length, 4u);

  // Without a type the data comes as text, trailing blanks included.
  char text[16];
  length = sizeof(text);
  EXPECT_EQ(RegQueryValueEx(key, "Count", nullptr, nullptr, text, &length), kRegSuccess);
  EXPECT_STREQ(text, "42  ");
  EXPECT_EQ(length, 4u);

  char name[16];
  uint32_t name_length = sizeof(name);
  number = 0;
  length = sizeof(number);
  EXPECT_EQ(RegEnumValue(key, 0, name, &name_length, nullptr, &type, &number, &length),
            kRegSuccess);
  EXPECT_STREQ(name, "Count");
  EXPECT_EQ(number, 42);
}

TEST_F(Registry, CutShortTextReportsItsFullLength) {
  HKEY key = ValuesKey("Letters\t<reg_sz>\tabcdef\n");
  char value[8] = "zzzzzzz";
  uint32_t length = 4;
  EXPECT_EQ(RegQueryValueEx(key, "Letters", nullptr, nullptr, value, &length), kRegSuccess);
  EXPECT_STREQ(value, "abc");
  EXPECT_EQ(length, 6u);

  // With no room at all nothing is written, not even the terminator.
  memcpy(value, "zzzzzzz", 8);
  length = 0;
  EXPECT_EQ(RegQueryValueEx(key, "Letters", nullptr, nullptr, value, &length), kRegSuccess);
  EXPECT_STREQ(value, "zzzzzzz");
  EXPECT_EQ(length, 6u);
}

TEST_F(Registry, NumbersAreStoredAsDecimalText) {
  HKEY key = ValuesKey("");
  int32_t number = 300;
  EXPECT_EQ(RegSetValueEx(key, "Big", 0, REG_DWORD, &number, 4), kRegSuccess);
  EXPECT_EQ(ReadFile(kValuesFile), "Big\t<reg_dword>\t300\n");

  int32_t read_back = 0;
  uint32_t length = sizeof(read_back);
  uint32_t type = 0;
  EXPECT_EQ(RegQueryValueEx(key, "big", nullptr, &type, &read_back, &length), kRegSuccess);
  EXPECT_EQ(read_back, 300);
  EXPECT_EQ(length, 4u);

  number = -1;
  EXPECT_EQ(RegSetValueEx(key, "Big", 0, REG_DWORD, &number, 4), kRegSuccess);
  EXPECT_EQ(RegSetValueEx(key, "Plain", 0, 0, "text", 5), kRegSuccess);  // type 0 is text
  EXPECT_EQ(ReadFile(kValuesFile), "Big\t<reg_dword>\t-1\nPlain\t<reg_sz>\ttext\n");
  char text[16];
  length = sizeof(text);
  EXPECT_EQ(RegQueryValueEx(key, "Big", nullptr, nullptr, text, &length), kRegSuccess);
  EXPECT_STREQ(text, "-1");
}

TEST_F(Registry, SettingANewNameAppendsAndKeepsEveryOtherLine) {
  const std::string before = "# comment\nColour\t<reg_sz>\tdark blue\nodd line without brackets\n";
  HKEY key = ValuesKey(before);
  StdoutCapture out;
  EXPECT_EQ(RegSetValueEx(key, "Size", 0, REG_SZ, "large", 6), kRegSuccess);
  EXPECT_EQ(out.Take(), "");
  EXPECT_EQ(ReadFile(kValuesFile), before + "Size\t<reg_sz>\tlarge\n");
  EXPECT_FALSE(Exists(kValuesFile + ".tmp"));
}

TEST_F(Registry, AppendStartsOnALineOfItsOwn) {
  struct Case {
    std::string before, after;
  };
  const Case cases[] = {
      {"", "Size\t<reg_sz>\tlarge\n"},
      {"Colour\t<reg_sz>\tdark blue", "Colour\t<reg_sz>\tdark blue\nSize\t<reg_sz>\tlarge\n"},
      {"# cut short", "# cut short\nSize\t<reg_sz>\tlarge\n"},
      {"\n", "\nSize\t<reg_sz>\tlarge\n"},
  };
  for (const Case& c : cases) {
    HKEY key = ValuesKey(c.before);
    EXPECT_EQ(RegSetValueEx(key, "Size", 0, REG_SZ, "large", 6), kRegSuccess);
    EXPECT_EQ(ReadFile(kValuesFile), c.after);
    StdoutCapture out;
    char text[16];
    uint32_t length = sizeof(text);
    EXPECT_EQ(RegQueryValueEx(key, "Size", nullptr, nullptr, text, &length), kRegSuccess);
    EXPECT_STREQ(text, "large");
    RegCloseKey(key);
  }
}

TEST_F(Registry, SettingAnExistingNameRewritesTheFile) {
  HKEY key = ValuesKey(
      "# comment\n  Dup < REG_SZ >  one\nOther <reg_sz> keep  \ndup\t<reg_sz>\ttwo\n"
      "odd line\nNum\t<REG_DWORD>\t 7\n");
  EXPECT_EQ(RegSetValueEx(key, "DUP", 0, REG_SZ, "three", 6), kRegSuccess);
  EXPECT_EQ(ReadFile(kValuesFile),
            "DUP\t<reg_sz>\tthree\nOther\t<reg_sz>\tkeep  \nDUP\t<reg_sz>\tthree\n"
            "Num\t<REG_DWORD>\t7\n");
  EXPECT_FALSE(Exists(kValuesFile + ".tmp"));

  // The handle now writes to the new file.
  EXPECT_EQ(RegSetValueEx(key, "Later", 0, REG_SZ, "x", 2), kRegSuccess);
  EXPECT_EQ(ReadFile(kValuesFile),
            "DUP\t<reg_sz>\tthree\nOther\t<reg_sz>\tkeep  \nDUP\t<reg_sz>\tthree\n"
            "Num\t<REG_DWORD>\t7\nLater\t<reg_sz>\tx\n");
}

TEST_F(Registry, DeleteRemovesEveryLineOfTheName) {
  HKEY key = ValuesKey("a\t<reg_sz>\t1\nB\t<reg_sz>\t2\nA\t<reg_sz>\t3\n");
  EXPECT_EQ(RegDeleteValue(key, "a"), kRegSuccess);
  EXPECT_EQ(ReadFile(kValuesFile), "B\t<reg_sz>\t2\n");

  StdoutCapture out;
  EXPECT_EQ(RegDeleteValue(key, "missing"), kRegSuccess);
  EXPECT_EQ(out.Take(), "");
  EXPECT_EQ(ReadFile(kValuesFile), "B\t<reg_sz>\t2\n");
  EXPECT_FALSE(Exists(kValuesFile + ".tmp"));
}

TEST_F(Registry, EnumerationWalksValueLinesInFileOrder) {
  HKEY key = ValuesKey("# first\nOne\t<reg_sz>\tuno\njunk\nTwo\t<reg_dword>\t2\n");
  StdoutCapture out;
  char name[16];
  char value[16];
  uint32_t name_length = sizeof(name), length = sizeof(value), type = 0;
  EXPECT_EQ(RegEnumValue(key, 0, name, &name_length, nullptr, &type, value, &length), kRegSuccess);
  EXPECT_STREQ(name, "One");
  EXPECT_STREQ(value, "uno");
  EXPECT_EQ(type, uint32_t{REG_SZ});
  EXPECT_EQ(name_length, 3u);
  EXPECT_EQ(length, 3u);

  // A number comes as a number even without a type.
  int32_t number = 0;
  name_length = 3;
  length = sizeof(number);
  EXPECT_EQ(RegEnumValue(key, 1, name, &name_length, nullptr, nullptr, &number, &length),
            kRegSuccess);
  EXPECT_STREQ(name, "Tw");
  EXPECT_EQ(name_length, 3u);
  EXPECT_EQ(number, 2);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(out.Take(), "");

  name_length = length = 16;
  EXPECT_EQ(RegEnumValue(key, 2, name, &name_length, nullptr, &type, value, &length),
            kRegNoMoreItems);
  EXPECT_EQ(name_length, 0u);
  EXPECT_EQ(length, 0u);

  StdoutCapture said;
  EXPECT_EQ(RegEnumValue(key, -1, name, &name_length, nullptr, &type, value, &length), kRegFailure);
  EXPECT_EQ(said.Take(), "RegEnumValue: registry entries between 0 - n\r\n");
}

TEST_F(Registry, ValueLinesHoldAtMost255Characters) {
  HKEY key = ValuesKey("");
  // "L", a tab, "<reg_sz>", a tab: 11 characters, then data and a newline.
  const std::string fits(255 - 11 - 1, 'd');
  EXPECT_EQ(RegSetValueEx(key, "L", 0, REG_SZ, fits.c_str(), 0), kRegSuccess);
  char value[1024];
  uint32_t length = sizeof(value);
  EXPECT_EQ(RegQueryValueEx(key, "L", nullptr, nullptr, value, &length), kRegSuccess);
  EXPECT_EQ(std::string(value), fits);

  const std::string before = ReadFile(kValuesFile);
  StdoutCapture out;
  EXPECT_EQ(RegSetValueEx(key, "M", 0, REG_SZ, (fits + "d").c_str(), 0), kRegFailure);
  EXPECT_EQ(RegSetValueEx(key, "L", 0, REG_SZ, (fits + "d").c_str(), 0), kRegFailure);
  EXPECT_EQ(out.Take(), "RegSetValueEx: entry too long\r\nRegSetValueEx: entry too long\r\n");
  EXPECT_EQ(ReadFile(kValuesFile), before);
}

TEST_F(Registry, LongerLinesReadBackCutTo255Characters) {
  // 14 characters before the data; the line's remainder is read as a line of
  // its own and does not parse.
  HKEY key = ValuesKey("Long\t<reg_sz>\t" + std::string(300, 'x') + "\nNext\t<reg_sz>\tn\n");
  char value[1024];
  uint32_t length = sizeof(value);
  EXPECT_EQ(RegQueryValueEx(key, "Long", nullptr, nullptr, value, &length), kRegSuccess);
  EXPECT_EQ(std::string(value), std::string(255 - 14, 'x'));
  length = sizeof(value);
  EXPECT_EQ(RegQueryValueEx(key, "Next", nullptr, nullptr, value, &length), kRegSuccess);
  EXPECT_STREQ(value, "n");
}

TEST_F(Registry, LeftoverTemporaryFileRefusesRewritesButNotAppends) {
  const std::string before = "Colour\t<reg_sz>\tdark blue\n";
  HKEY key = ValuesKey(before);
  WriteFile(kValuesFile + ".tmp", "leftover");
  StdoutCapture out;
  EXPECT_EQ(RegSetValueEx(key, "Colour", 0, REG_SZ, "red", 4), kRegFailure);
  EXPECT_EQ(RegDeleteValue(key, "Colour"), kRegFailure);
  EXPECT_EQ(RegSetValueEx(key, "Size", 0, REG_SZ, "large", 6), kRegSuccess);
  EXPECT_EQ(out.Take(),
            "RegSetValueEx: other update in progress\r\n"
            "RegDeleteValue: other update in progress\r\n");
  EXPECT_EQ(ReadFile(kValuesFile), before + "Size\t<reg_sz>\tlarge\n");
  EXPECT_EQ(ReadFile(kValuesFile + ".tmp"), "leftover");
}

TEST_F(Registry, RewriteThroughOneHandleIsSeenByAnother) {
  HKEY writer = ValuesKey("Colour\t<reg_sz>\tdark blue\n");
  HKEY other = Open("Values");
  EXPECT_EQ(RegSetValueEx(writer, "Colour", 0, REG_SZ, "red", 4), kRegSuccess);
  // The other handle still held the replaced file; its append and its reads
  // must go to the key file as it is now.
  EXPECT_EQ(RegSetValueEx(other, "Extra", 0, REG_SZ, "1", 2), kRegSuccess);
  EXPECT_EQ(ReadFile(kValuesFile), "Colour\t<reg_sz>\tred\nExtra\t<reg_sz>\t1\n");
  char value[16];
  uint32_t length = sizeof(value);
  EXPECT_EQ(RegQueryValueEx(other, "Colour", nullptr, nullptr, value, &length), kRegSuccess);
  EXPECT_STREQ(value, "red");
}

// ---- Values: refusals ---------------------------------------------------------------

TEST_F(Registry, ValueOperationsCheckTheirArgumentsInOrder) {
  HKEY key = ValuesKey("Colour\t<reg_sz>\tdark blue\n");
  char value[16] = "untouched";
  uint32_t length = sizeof(value);
  StdoutCapture out;
  EXPECT_EQ(RegQueryValueEx(key, nullptr, nullptr, nullptr, value, &length), kRegFailure);
  EXPECT_EQ(RegQueryValueEx(key, "", nullptr, nullptr, nullptr, nullptr), kRegFailure);
  EXPECT_EQ(RegQueryValueEx(HKEY_LOCAL_MACHINE, "x", nullptr, nullptr, nullptr, nullptr),
            kRegFailure);
  EXPECT_EQ(RegQueryValueEx(HKEY_LOCAL_MACHINE, "x", nullptr, nullptr, value, nullptr),
            kRegFailure);
  EXPECT_EQ(RegQueryValueEx(HKEY_LOCAL_MACHINE, "x", nullptr, nullptr, value, &length),
            kRegFailure);
  EXPECT_EQ(RegSetValueEx(HKEY_LOCAL_MACHINE, "", 0, 9, nullptr, 0), kRegFailure);
  EXPECT_EQ(RegSetValueEx(HKEY_LOCAL_MACHINE, "x", 0, 9, nullptr, 0), kRegFailure);
  EXPECT_EQ(RegSetValueEx(HKEY_LOCAL_MACHINE, "x", 0, 9, "v", 0), kRegFailure);
  EXPECT_EQ(RegDeleteValue(HKEY_LOCAL_MACHINE, nullptr), kRegFailure);
  EXPECT_EQ(RegDeleteValue(HKEY_LOCAL_MACHINE, "x"), kRegFailure);
  EXPECT_EQ(out.Take(),
            "RegQueryValueEx: key name missing or null\r\n"
            "RegQueryValueEx: key name missing or null\r\n"
            "RegQueryValueEx: missing return address for 'value'\r\n"
            "RegQueryValueEx: missing return address for 'vallen'\r\n"
            "RegQueryValueEx: invalid key handle\r\n"
            "RegSetValueEx: key name is missing or null\r\n"
            "RegSetValueEx: missing required parameter 'value'\r\n"
            "RegSetValueEx: invalid key handle\r\n"
            "RegDeleteValue: key name is missing or null\r\n"
            "RegDeleteValue: invalid key handle\r\n");
  EXPECT_STREQ(value, "untouched");

  uint32_t name_length = 8;
  StdoutCapture enumerated;
  EXPECT_EQ(
      RegEnumValue(HKEY_LOCAL_MACHINE, -1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
      kRegFailure);
  EXPECT_EQ(
      RegEnumValue(HKEY_LOCAL_MACHINE, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
      kRegFailure);
  EXPECT_EQ(RegEnumValue(key, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
            kRegFailure);
  EXPECT_EQ(RegEnumValue(key, 0, value, nullptr, nullptr, nullptr, nullptr, nullptr), kRegFailure);
  EXPECT_EQ(RegEnumValue(key, 0, value, &name_length, nullptr, nullptr, nullptr, nullptr),
            kRegFailure);
  EXPECT_EQ(RegEnumValue(key, 0, value, &name_length, nullptr, nullptr, value, nullptr),
            kRegFailure);
  EXPECT_EQ(enumerated.Take(),
            "RegEnumValue: registry entries between 0 - n\r\n"
            "RegEnumValue: invalid key handle\r\n"
            "RegEnumValue: missing return address for 'name'\r\n"
            "RegEnumValue: missing return address for 'namelen'\r\n"
            "RegEnumValue: missing return address for 'value'\r\n"
            "RegEnumValue: missing return address for 'vallen'\r\n");
}

TEST_F(Registry, QueryOfAMissingNameLeavesAnEmptyText) {
  HKEY key = ValuesKey("Colour\t<reg_sz>\tdark blue\n");
  char value[16] = "untouched";
  uint32_t length = sizeof(value);
  StdoutCapture out;
  EXPECT_EQ(RegQueryValueEx(key, "Missing", nullptr, nullptr, value, &length), kRegFailure);
  EXPECT_EQ(out.Take(), "RegQueryValueEx: name not found in registry\r\n");
  EXPECT_STREQ(value, "");
  EXPECT_EQ(length, 0u);
}

TEST_F(Registry, SetsThatCouldNotBeReadBackWriteNothing) {
  const std::string before = "Colour\t<reg_sz>\tdark blue\n";
  HKEY key = ValuesKey(before);
  int32_t number = 5;
  StdoutCapture out;
  EXPECT_EQ(RegSetValueEx(key, "Colour", 0, 3, &number, 4), kRegFailure);
  EXPECT_EQ(RegSetValueEx(key, "New", 0, 7, "x", 2), kRegFailure);
  EXPECT_EQ(RegSetValueEx(key, "Colour", 0, REG_SZ, "red\nForged\t<reg_sz>\tyes", 0), kRegFailure);
  EXPECT_EQ(RegSetValueEx(key, "a\nb", 0, REG_SZ, "x", 2), kRegFailure);
  EXPECT_EQ(RegSetValueEx(key, "a<b", 0, REG_SZ, "x", 2), kRegFailure);
  EXPECT_EQ(RegSetValueEx(key, "#hidden", 0, REG_SZ, "x", 2), kRegFailure);
  // The reader drops these blanks: the name would not be found, the text
  // would come back without them.
  const char* unreadable[][2] = {{"Colour ", "x"},  {"New\t", "x"},           {" New", "x"},
                                 {"\tColour", "x"}, {"Colour", "  indented"}, {"New", "\tx"}};
  for (const auto& set : unreadable)
    EXPECT_EQ(RegSetValueEx(key, set[0], 0, REG_SZ, set[1], 0), kRegFailure) << set[0] << set[1];
  std::string refusals;
  for (int i = 0; i < 10; ++i) refusals += "RegSetValueEx: name or value cannot be stored\r\n";
  EXPECT_EQ(out.Take(),
            "RegSetValueEx: unsupported value type\r\n"
            "RegSetValueEx: unsupported value type\r\n" +
                refusals);
  EXPECT_EQ(ReadFile(kValuesFile), before);
  EXPECT_FALSE(Exists(kValuesFile + ".tmp"));
}

TEST_F(Registry, BlanksInsideANameAndAtTheEndOfATextReadBackWhole) {
  HKEY key = ValuesKey("");
  EXPECT_EQ(RegSetValueEx(key, "Two\t words", 0, REG_SZ, "a \tb \t ", 0), kRegSuccess);
  StdoutCapture out;
  char text[16];
  uint32_t length = sizeof(text);
  EXPECT_EQ(RegQueryValueEx(key, "two\t WORDS", nullptr, nullptr, text, &length), kRegSuccess);
  EXPECT_STREQ(text, "a \tb \t ");
}

TEST_F(Registry, NumberNeedsFourBytesOfRoom) {
  HKEY key = ValuesKey("N\t<reg_dword>\t7\n");
  char small[2] = {'a', 'b'};
  uint32_t length = sizeof(small);
  uint32_t type = 0;
  EXPECT_EQ(RegQueryValueEx(key, "N", nullptr, &type, small, &length), kRegFailure);
  EXPECT_EQ(length, 4u);
  char name[4];
  uint32_t name_length = sizeof(name);
  length = sizeof(small);
  EXPECT_EQ(RegEnumValue(key, 0, name, &name_length, nullptr, nullptr, small, &length),
            kRegFailure);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(small[0], 'a');
  EXPECT_EQ(small[1], 'b');
}

// ---- Keys -------------------------------------------------------------------------

TEST_F(Registry, DeleteKeyRemovesTheSubKeyAndEverythingBelowIt) {
  for (const char* keystr : {"A\\B\\C", "A\\B\\D", "A\\Keep"})
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, keystr));
  HKEY parent = Open("A");
  StdoutCapture out;
  EXPECT_EQ(RegDeleteKey(parent, "B"), kRegSuccess);
  std::string said = out.Take();
  const std::string opening = "RegDeleteKey: dirname = " + kMachine + "/a/B\r\n" +
                              "RegDeleteKey: filename = " + kMachine + "/a/B.nv\r\n" +
                              "RegDeleteKey: nv file successfully deleted.\r\n" +
                              "In DeleteDirectory. Deleting : \r\n" + kMachine + "/a/b\r\n";
  const std::string closing = "RegDeleteKey: Key successfully deleted.\r\n";
  EXPECT_EQ(said.substr(0, opening.size()), opening);
  ASSERT_GE(said.size(), closing.size());
  EXPECT_EQ(said.substr(said.size() - closing.size()), closing);
  EXPECT_NE(said.find("Attempting to delete: \r\n" + kMachine + "/a/b/c.nv\r\n"),
            std::string::npos);
  EXPECT_EQ(Entries(kMachine + "/a"), (std::set<std::string>{"keep", "keep.nv"}));
  EXPECT_TRUE(IsFile(kMachine + "/a.nv"));
}

TEST_F(Registry, DeleteKeyWithoutItsKeyFileRemovesNothing) {
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, "A\\B\\C"));
  ASSERT_EQ(unlink((kMachine + "/a/b.nv").c_str()), 0);
  HKEY parent = Open("A");
  StdoutCapture out;
  EXPECT_EQ(RegDeleteKey(parent, "B"), kRegFailure);
  EXPECT_EQ(out.Take(), "RegDeleteKey: dirname = " + kMachine + "/a/B\r\n" +
                            "RegDeleteKey: filename = " + kMachine + "/a/B.nv\r\n" +
                            "RegDeleteKey: KeyFile (.nv) NOT Deleted!\r\n");
  EXPECT_TRUE(IsFile(kMachine + "/a/b/c.nv"));

  StdoutCapture refused;
  EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "A"), kRegFailure);
  EXPECT_EQ(refused.Take(), "RegDeleteKey: invalid key handle\r\n");
  EXPECT_TRUE(IsFile(kMachine + "/a.nv"));
}

TEST_F(Registry, EnumKeyListsEachSubKeyOnceAsItsDirectory) {
  for (const char* keystr : {"Parent\\One", "Parent\\Two\\Deeper"})
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, keystr));
  WriteFile(kMachine + "/parent/stray.nv.tmp", "");
  HKEY parent = Open("Parent");
  std::set<std::string> names;
  for (int index = 1; index <= 2; ++index) {
    char name[16];
    uint32_t size = sizeof(name);
    char clss[4];
    uint32_t class_size = sizeof(clss);
    EXPECT_EQ(RegEnumKeyEx(parent, index, name, &size, nullptr, clss, &class_size, nullptr),
              kRegSuccess);
    EXPECT_EQ(size, strlen(name));
    names.insert(name);
  }
  EXPECT_EQ(names, (std::set<std::string>{"one", "two"}));

  char name[16];
  StdoutCapture out;
  EXPECT_EQ(RegEnumKey(parent, 3, name, sizeof(name)), kRegNoMoreItems);
  EXPECT_EQ(RegEnumKey(parent, 0, name, sizeof(name)), kRegFailure);
  uint32_t size = sizeof(name);
  EXPECT_EQ(RegEnumKeyEx(parent, 1, name, &size, nullptr, nullptr, nullptr, nullptr), kRegFailure);
  EXPECT_EQ(out.Take(),
            "RegEnumKeyEx:  Key (directory) Not found!\r\n"
            "RegEnumKeyEx: registry keys between 1 - n\r\n"
            "RegEnumKeyEx: missing return address for 'clss'\r\n");
  EXPECT_EQ(RegEnumKey(parent, 1, name, sizeof(name)), kRegSuccess);
}

TEST_F(Registry, EnumKeyCutsTheNameToTheBuffer) {
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, kProduct));
  HKEY vornis = Open("Software\\Caddock\\Vornis");
  char name[8] = "zzzzzzz";
  uint32_t size = 4;
  char clss[1];
  uint32_t class_size = 1;
  EXPECT_EQ(RegEnumKeyEx(vornis, 1, name, &size, nullptr, clss, &class_size, nullptr), kRegSuccess);
  EXPECT_STREQ(name, "cur");
  EXPECT_EQ(size, 3u);
}

TEST_F(Registry, EnumKeyOfAKeyWithoutDirectoryFails) {
  WriteFile(kMachine + "/lonely.nv", "");
  HKEY lonely = Open("Lonely");
  char name[8];
  StdoutCapture out;
  EXPECT_EQ(RegEnumKey(lonely, 1, name, sizeof(name)), kRegFailure);
  EXPECT_EQ(out.Take(), "RegEnumKeyEx:  Error opening directory.\r\n");
}

// ---- Several processes --------------------------------------------------------------

// Waits for every child, killing them all if they outlive the limit. Returns
// the children's exit statuses, -1 for one that did not exit normally.
std::vector<int> WaitAll(const std::vector<pid_t>& children, std::chrono::seconds limit) {
  std::map<pid_t, int> statuses;
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (statuses.size() < children.size()) {
    for (pid_t child : children) {
      int status = 0;
      if (statuses.count(child) == 0 && waitpid(child, &status, WNOHANG) == child) {
        statuses[child] = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
    }
    if (std::chrono::steady_clock::now() > deadline) {
      for (pid_t child : children) {
        if (statuses.count(child) == 0) {
          kill(child, SIGKILL);
          waitpid(child, nullptr, 0);
          statuses[child] = -1;
        }
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::vector<int> result;
  for (pid_t child : children) result.push_back(statuses[child]);
  return result;
}

// Runs body in a child with its own key handle; the child's exit status is
// the number of operations that failed.
pid_t Spawn(int (*body)(HKEY)) {
  fflush(stdout);
  pid_t child = fork();
  if (child != 0) return child;
  if (freopen("/dev/null", "w", stdout) == nullptr) _exit(255);
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Race", 0, 0, &key) != kRegSuccess) _exit(255);
  int failures = body(key);
  RegCleanup();
  fflush(stdout);
  _exit(failures > 254 ? 254 : failures);
}

constexpr int kRounds = 150;

TEST_F(Registry, ConcurrentAppendsAndRewritesKeepTheFileWhole) {
  HKEY made = Create(HKEY_LOCAL_MACHINE, "Race");
  ASSERT_EQ(RegSetValueEx(made, "Counter", 0, REG_SZ, "start", 0), kRegSuccess);
  ASSERT_EQ(RegSetValueEx(made, "Other", 0, REG_SZ, "start", 0), kRegSuccess);
  RegCleanup();  // the children must not share this process's streams

  std::vector<pid_t> children;
  children.push_back(Spawn([](HKEY key) {  // appends only
    int failures = 0;
    for (int i = 0; i < kRounds; ++i) {
      std::string name = "a" + std::to_string(i);
      failures += RegSetValueEx(key, name.c_str(), 0, REG_SZ, "appended", 0) != kRegSuccess;
    }
    return failures;
  }));
  children.push_back(Spawn([](HKEY key) {  // rewrites only
    int failures = 0;
    for (int i = 0; i < kRounds; ++i) {
      std::string value = "b" + std::to_string(i);
      failures += RegSetValueEx(key, "Counter", 0, REG_SZ, value.c_str(), 0) != kRegSuccess;
    }
    return failures;
  }));
  children.push_back(Spawn([](HKEY key) {  // both, through one handle
    int failures = 0;
    for (int i = 0; i < kRounds; ++i) {
      std::string name = "c" + std::to_string(i);
      std::string value = std::to_string(i);
      failures += RegSetValueEx(key, name.c_str(), 0, REG_SZ, "appended", 0) != kRegSuccess;
      failures += RegSetValueEx(key, "Other", 0, REG_SZ, value.c_str(), 0) != kRegSuccess;
    }
    return failures;
  }));
  ASSERT_NE(children[0], -1);
  ASSERT_NE(children[1], -1);
  ASSERT_NE(children[2], -1);
  EXPECT_EQ(WaitAll(children, std::chrono::seconds(120)), (std::vector<int>{0, 0, 0}));

  const std::string content = ReadFile(kMachine + "/race.nv");
  ASSERT_FALSE(content.empty());
  EXPECT_EQ(content.back(), '\n');
  std::map<std::string, std::vector<std::string>> values;
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::string line = content.substr(start, end - start);
    start = end + 1;
    size_t first_tab = line.find('\t');
    ASSERT_NE(first_tab, std::string::npos) << line;
    ASSERT_EQ(line.compare(first_tab, 10, "\t<reg_sz>\t"), 0) << line;
    values[line.substr(0, first_tab)].push_back(line.substr(first_tab + 10));
  }
  EXPECT_EQ(values.size(), 2u + 2 * kRounds);
  for (int i = 0; i < kRounds; ++i) {
    for (const char* prefix : {"a", "c"}) {
      std::string name = prefix + std::to_string(i);
      EXPECT_EQ(values[name], std::vector<std::string>{"appended"}) << name;
    }
  }
  EXPECT_EQ(values["Counter"], std::vector<std::string>{"b" + std::to_string(kRounds - 1)});
  EXPECT_EQ(values["Other"], std::vector<std::string>{std::to_string(kRounds - 1)});
  EXPECT_FALSE(Exists(kMachine + "/race.nv.tmp"));
}

}  // namespace
