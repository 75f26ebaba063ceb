// A rewrite of a key file (set of an existing name, delete) carries every
// other value over so that it reads back as it was. Found by the key file
// fuzzer (fuzz/keyfile_fuzzer.cc): a value whose name begins with "#" came
// back as a comment, and one whose tab form passed the line limit came back
// cut, with its tail as a line of its own.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "registry/reg.h"
#include "registry_sandbox.h"

namespace {

using regtest::kMachine;
using regtest::ReadFile;
using regtest::WriteFile;

const std::string kValuesFile = kMachine + "/values.nv";

class RegistryRewrite : public regtest::RegistryTest {
 protected:
  // The key "Values" whose key file holds exactly content.
  HKEY ValuesKey(const std::string& content) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, "Values", &key), kRegSuccess);
    RegCloseKey(key);
    WriteFile(kValuesFile, content);
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Values", 0, 0, &key), kRegSuccess);
    return key;
  }

  // The value of the line with number index, as text.
  static std::string Enum(HKEY key, int index, std::string* name) {
    char name_buffer[300], value[300];
    uint32_t namelen = sizeof name_buffer, vallen = sizeof value;
    if (RegEnumValue(key, index, name_buffer, &namelen, nullptr, nullptr, value, &vallen) !=
        kRegSuccess)
      return "<none>";
    *name = name_buffer;
    return value;
  }
};

TEST_F(RegistryRewrite, NameThatBeginsWithAHashStaysAValue) {
  // Read as a value because its line begins with a blank, not with "#".
  HKEY key = ValuesKey("t\t<reg_sz>\told\n #tag\t<reg_sz>\tkept\n");
  std::string name;
  ASSERT_EQ(Enum(key, 1, &name), "kept");
  ASSERT_EQ(name, "#tag");

  ASSERT_EQ(RegSetValueEx(key, "t", 0, REG_SZ, "new", 4), kRegSuccess);
  EXPECT_EQ(ReadFile(kValuesFile), "t\t<reg_sz>\tnew\n #tag\t<reg_sz>\tkept\n");
  EXPECT_EQ(Enum(key, 1, &name), "kept");
  EXPECT_EQ(name, "#tag");

  ASSERT_EQ(RegDeleteValue(key, "t"), kRegSuccess);
  EXPECT_EQ(Enum(key, 0, &name), "kept");
  EXPECT_EQ(name, "#tag");
}

TEST_F(RegistryRewrite, ValueTooLongForTheTabFormKeepsItsCompactLine) {
  // 255 characters with the newline; with tabs it would be 257.
  std::string data(249, 'd');
  HKEY key = ValuesKey("a<reg_sz>1\nk<t>" + data + "\n");
  ASSERT_EQ(RegSetValueEx(key, "a", 0, REG_SZ, "2", 2), kRegSuccess);
  EXPECT_EQ(ReadFile(kValuesFile), "a\t<reg_sz>\t2\nk<t>" + data + "\n");
  std::string name;
  EXPECT_EQ(Enum(key, 1, &name), data);
  EXPECT_EQ(Enum(key, 2, &name), "<none>");
}

TEST_F(RegistryRewrite, ValueCutByTheLineLimitStaysAsItWasRead) {
  // Read as its first 255 characters; the rest of the line does not parse.
  // The rewrite keeps exactly what was read, and nothing more appears.
  HKEY key = ValuesKey("a<reg_sz>1\nLong<reg_sz>" + std::string(300, 'x') + "\n");
  std::string name;
  std::string read = Enum(key, 1, &name);
  ASSERT_EQ(read, std::string(255 - 12, 'x'));
  ASSERT_EQ(Enum(key, 2, &name), "<none>");
  ASSERT_EQ(RegSetValueEx(key, "a", 0, REG_SZ, "2", 2), kRegSuccess);
  EXPECT_EQ(Enum(key, 1, &name), read);
  EXPECT_EQ(name, "Long");
  EXPECT_EQ(Enum(key, 2, &name), "<none>");
}

}  // namespace

TEST_F(RegistryRewrite, AFailedRenameTakesItsCopyAlongAndLaterUpdatesGoOn) {
  HKEY key = ValuesKey("a\t<reg_sz>\t1\n");
  // A directory now holds the key file's name, so the finished copy cannot
  // be renamed over it.
  ASSERT_EQ(unlink(kValuesFile.c_str()), 0);
  ASSERT_EQ(mkdir(kValuesFile.c_str(), 0755), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(RegSetValueEx(key, "a", 0, REG_SZ, "2", 2), kRegFailure);
  std::string said = testing::internal::GetCapturedStdout();
  EXPECT_NE(said.find("RegSetValueEx: failed to rename new registry file"), std::string::npos)
      << said;
  struct stat status;
  EXPECT_NE(stat((kValuesFile + ".tmp").c_str(), &status), 0) << "the copy was left behind";

  ASSERT_EQ(rmdir(kValuesFile.c_str()), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(RegSetValueEx(key, "a", 0, REG_SZ, "3", 2), kRegSuccess);
  said = testing::internal::GetCapturedStdout();
  EXPECT_EQ(said.find("other update in progress"), std::string::npos) << said;
  EXPECT_EQ(ReadFile(kValuesFile), "a\t<reg_sz>\t3\n");
  RegCloseKey(key);
}
