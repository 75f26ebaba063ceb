// The product's short-cut readers and writers, each test in an empty
// registry root of its own (see registry_sandbox.h).
#include "registry/vornis_reg.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "base/ll_cpapi.h"
#include "base/ll_string.h"
#include "registry_sandbox.h"

// The allocator's fault seam; deliberately not in any header.
extern bool (*jantor_alloc_refuse_for_test)(std::size_t bytes);

namespace {

using regtest::Exists;
using regtest::kMachine;
using regtest::ReadFile;
using regtest::StdoutCapture;
using regtest::WriteFile;

const std::string kProductPath = kMachine + "/software/caddock/vornis/currentversion";
const std::string kNoMemoryLine = "\r\n***** Setting Error 110 *****\r\n\r\n";

std::string OpenLine(const std::string& key_path) { return "MakeFnameFromKey" + key_path + "\r\n"; }

struct RefuseTrackedAllocations {
  RefuseTrackedAllocations() {
    jantor_alloc_refuse_for_test = [](std::size_t) { return true; };
  }
  ~RefuseTrackedAllocations() { jantor_alloc_refuse_for_test = nullptr; }
};

class ProductRegistry : public regtest::RegistryTest {
 protected:
  void TearDown() override {
    firee(value_);
    RegistryTest::TearDown();
  }

  // The product key, made with a value line for Colour.
  static void MakeProductKey() {
    ASSERT_EQ(SetVornisCVRegKey(0, ""), 1);
    WriteFile(kProductPath + ".nv", "Colour\t<reg_sz>\tdark blue\n");
  }

  char buffer_[1024];
  char* value_ = nullptr;  // managed string filled by GetVornisCVRegEntry
};

// ---- Fixed-buffer readers -----------------------------------------------------------

TEST_F(ProductRegistry, ReaderDeliversAStoredValueAndReports) {
  MakeProductKey();
  StdoutCapture out;
  EXPECT_EQ(Get_Vornis_Reg_Entry("Colour", buffer_), buffer_);
  EXPECT_EQ(out.Take(), OpenLine(kProductPath) +
                            "Inside Reg If\r\n"
                            "Colour=dark blue\r\n"
                            "RegQueryValueEx: setting value\r\n"
                            "RegQueryValueEx: done setting value\r\n"
                            "RegQueryValueEx: done\r\n"
                            "Get value returned 0 9\r\n");
  EXPECT_STREQ(buffer_, "dark blue");
}

TEST_F(ProductRegistry, ReaderOfAMissingValueGivesAnEmptyText) {
  MakeProductKey();
  strcpy(buffer_, "junk");
  StdoutCapture out;
  Get_Vornis_Reg_Entry("Shape", buffer_);
  EXPECT_EQ(out.Take(), OpenLine(kProductPath) +
                            "Inside Reg If\r\n"
                            "RegQueryValueEx: name not found in registry\r\n"
                            "Get value returned -1 0\r\n");
  EXPECT_STREQ(buffer_, "");
}

TEST_F(ProductRegistry, EachReaderReadsItsOwnKey) {
  ASSERT_EQ(SetVornisCVRegKey(0, "CyberCash"), 1);
  ASSERT_EQ(SetVornisCVRegKey(0, "Contexts\\Shop\\CyberCash"), 1);
  ASSERT_EQ(SetVornisCVRegKey(0, "Contexts\\Shop\\VEDevi"), 1);
  HKEY microsoft = nullptr;
  ASSERT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, "Software\\Microsoft", &microsoft), kRegSuccess);
  RegCloseKey(microsoft);
  EXPECT_EQ(SetVornisCVRegEntry(0, "", "Who", "product"), 1);
  EXPECT_EQ(SetVornisCVRegEntry(0, "CyberCash", "Who", "cybercash"), 1);
  EXPECT_EQ(SetVornisCVRegEntry(0, "Contexts\\Shop\\CyberCash", "Who", "shop cybercash"), 1);
  EXPECT_EQ(SetVornisCVRegEntry(0, "Contexts\\Shop\\VEDevi", "Who", "shop vedevi"), 1);
  EXPECT_EQ(Set_MS_Reg_Entry("Who", "microsoft"), 1);

  EXPECT_STREQ(Get_Vornis_Reg_Entry("who", buffer_), "product");
  EXPECT_STREQ(Get_Vornis_CC_Reg_Entry("who", buffer_), "cybercash");
  EXPECT_STREQ(Get_Vornis_Context_CC_Reg_Entry("SHOP", "who", buffer_), "shop cybercash");
  EXPECT_STREQ(Get_Vornis_Context_PCA_Reg_Entry("Shop", "who", buffer_), "shop vedevi");
  EXPECT_STREQ(Get_MS_Reg_Entry("who", buffer_), "microsoft");
  EXPECT_EQ(ReadFile(kProductPath + "/contexts/shop/vedevi.nv"), "Who\t<reg_sz>\tshop vedevi\n");
}

TEST_F(ProductRegistry, WithoutKeyFilesReadersGiveEmptyTextsOrTheDefault) {
  struct Reader {
    char* (*read)(const char*, char*);
    std::string key_path;
  } readers[] = {
      {Get_Vornis_Reg_Entry, kProductPath},
      {Get_Vornis_CC_Reg_Entry, kProductPath + "/cybercash"},
      {Get_MS_Reg_Entry, kMachine + "/software/microsoft"},
  };
  for (const Reader& reader : readers) {
    strcpy(buffer_, "junk");
    StdoutCapture out;
    EXPECT_EQ(reader.read("Colour", buffer_), buffer_);
    EXPECT_EQ(out.Take(), OpenLine(reader.key_path));
    EXPECT_STREQ(buffer_, "");
  }
  {
    strcpy(buffer_, "junk");
    StdoutCapture out;
    Get_Vornis_Context_CC_Reg_Entry("Shop", "Colour", buffer_);
    EXPECT_EQ(out.Take(), OpenLine(kProductPath + "/contexts/shop/cybercash"));
    EXPECT_STREQ(buffer_, "");
  }
  {
    strcpy(buffer_, "junk");
    StdoutCapture out;
    Get_Vornis_Context_PCA_Reg_Entry("Shop", "Colour", buffer_);
    EXPECT_EQ(out.Take(), OpenLine(kProductPath + "/contexts/shop/vedevi"));
    EXPECT_STREQ(buffer_, "");
  }
  HKEY slot = nullptr;
  StdoutCapture out;
  EXPECT_EQ(GetVornisCVRegEntry(0, "", "Colour", &value_, "fallback", &slot, 1), 1);
  EXPECT_EQ(out.Take(), OpenLine(kProductPath));
  EXPECT_STREQ(value_, "fallback");
  EXPECT_EQ(slot, nullptr);
}

TEST_F(ProductRegistry, ContextNamesMustFitTheKeyPath) {
  // 58 characters of key path around the context name, and a terminator.
  const std::string longest(197, 'c');
  StdoutCapture out;
  Get_Vornis_Context_CC_Reg_Entry(longest.c_str(), "Colour", buffer_);
  EXPECT_EQ(out.Take(), OpenLine(kProductPath + "/contexts/" + longest + "/cybercash"));

  strcpy(buffer_, "junk");
  StdoutCapture refused;
  EXPECT_EQ(Get_Vornis_Context_CC_Reg_Entry((longest + "c").c_str(), "Colour", buffer_), buffer_);
  EXPECT_EQ(Get_Vornis_Context_PCA_Reg_Entry(std::string(201, 'c').c_str(), "Colour", buffer_),
            buffer_);
  EXPECT_EQ(Get_Vornis_Context_PCA_Reg_Entry(nullptr, "Colour", buffer_), buffer_);
  EXPECT_EQ(refused.Take(), "");
  EXPECT_STREQ(buffer_, "");
}

TEST_F(ProductRegistry, ContextNamesCannotLeaveTheProductKey) {
  ASSERT_EQ(SetVornisCVRegKey(0, "CyberCash"), 1);
  EXPECT_EQ(SetVornisCVRegEntry(0, "CyberCash", "Colour", "leaked"), 1);
  strcpy(buffer_, "junk");
  StdoutCapture out;
  // "Contexts\..\CyberCash" would be the product's own CyberCash key.
  Get_Vornis_Context_CC_Reg_Entry("..", "Colour", buffer_);
  EXPECT_EQ(out.Take(), "MakeFnameFromKey: '.' and '..' not allowed\r\n");
  EXPECT_STREQ(buffer_, "");
}

// ---- GetVornisCVRegEntry ---------------------------------------------------------------

TEST_F(ProductRegistry, MissingValueGivesACopyOfTheDefault) {
  MakeProductKey();
  const char fallback[] = "fallback";
  HKEY slot = nullptr;
  EXPECT_EQ(GetVornisCVRegEntry(0, "", "Shape", &value_, fallback, &slot, 1), 1);
  EXPECT_STREQ(value_, "fallback");
  EXPECT_NE(value_, fallback);
  EXPECT_EQ(slot, nullptr);

  EXPECT_EQ(GetVornisCVRegEntry(0, "", "Colour", &value_, fallback, &slot, 1), 1);
  EXPECT_STREQ(value_, "dark blue");
  EXPECT_GE(misize(value_), static_cast<unsigned>(GAllocGran + 256));
}

TEST_F(ProductRegistry, OpenSlotIsReusedUntilACallClosesIt) {
  MakeProductKey();
  ASSERT_EQ(SetVornisCVRegKey(0, "CyberCash"), 1);
  ASSERT_EQ(SetVornisCVRegEntry(0, "CyberCash", "Colour", "green"), 1);

  HKEY slot = nullptr;
  EXPECT_EQ(GetVornisCVRegEntry(0, "", "Colour", &value_, "", &slot, 0), 1);
  EXPECT_STREQ(value_, "dark blue");
  ASSERT_NE(slot, nullptr);
  HKEY kept = slot;
  // The slot's key is read; the sub-path is not used.
  EXPECT_EQ(GetVornisCVRegEntry(0, "CyberCash", "Colour", &value_, "", &slot, 1), 1);
  EXPECT_STREQ(value_, "dark blue");
  EXPECT_EQ(slot, nullptr);
  StdoutCapture out;
  EXPECT_EQ(RegCloseKey(kept), kRegSuccess);
  EXPECT_EQ(out.Take(), "CloseKeyFile: key file not found in list\r\n");

  EXPECT_EQ(GetVornisCVRegEntry(0, "CyberCash", "Colour", &value_, "", &slot, 1), 1);
  EXPECT_STREQ(value_, "green");
}

TEST_F(ProductRegistry, ExhaustedHeapIsReportedAndGivesZero) {
  MakeProductKey();
  HKEY slot = nullptr;
  ASSERT_EQ(GetVornisCVRegEntry(0, "", "Colour", &value_, "", &slot, 0), 1);
  firee(value_);
  value_ = nullptr;
  {
    RefuseTrackedAllocations refuse;
    StdoutCapture out;
    EXPECT_EQ(GetVornisCVRegEntry(0, "", "Colour", &value_, "", &slot, 1), 0);
    EXPECT_EQ(slot, nullptr);  // still closed at the end
    EXPECT_EQ(SetVornisCVRegEntry(0, "", "Colour", "red"), 0);
    EXPECT_EQ(SetVornisCVRegKey(0, "New"), 0);
    EXPECT_EQ(out.Take(), kNoMemoryLine + kNoMemoryLine + kNoMemoryLine);
  }
  EXPECT_EQ(value_, nullptr);
  EXPECT_EQ(ReadFile(kProductPath + ".nv"), "Colour\t<reg_sz>\tdark blue\n");
  EXPECT_FALSE(Exists(kProductPath + "/new"));
}

// ---- Writers ---------------------------------------------------------------------------

TEST_F(ProductRegistry, SetNeedsAnExistingKeyWhichSetKeyMakes) {
  MakeProductKey();
  EXPECT_EQ(SetVornisCVRegEntry(0, "Extra\\Deep", "Colour", "red"), 0);
  EXPECT_FALSE(Exists(kProductPath + "/extra"));
  EXPECT_FALSE(Exists(kProductPath + "/extra.nv"));

  EXPECT_EQ(SetVornisCVRegKey(0, "Extra\\Deep"), 1);
  EXPECT_EQ(SetVornisCVRegEntry(0, "Extra\\Deep", "Colour", "red"), 1);
  EXPECT_EQ(ReadFile(kProductPath + "/extra/deep.nv"), "Colour\t<reg_sz>\tred\n");
  EXPECT_EQ(ReadFile(kProductPath + "/extra.nv"), "");
  EXPECT_EQ(ReadFile(kProductPath + ".nv"), "Colour\t<reg_sz>\tdark blue\n");
  // A store the registry refuses is still answered with 1.
  EXPECT_EQ(SetVornisCVRegEntry(0, "Extra\\Deep", "Colour", "two\nlines"), 1);
  EXPECT_EQ(ReadFile(kProductPath + "/extra/deep.nv"), "Colour\t<reg_sz>\tred\n");
}

TEST_F(ProductRegistry, MicrosoftWriterNeedsItsKey) {
  {
    StdoutCapture out;
    EXPECT_EQ(Set_MS_Reg_Entry("Who", "microsoft"), 1);
    EXPECT_EQ(out.Take(), OpenLine(kMachine + "/software/microsoft"));
  }
  EXPECT_FALSE(Exists(kMachine + "/software/microsoft.nv"));
  EXPECT_FALSE(Exists(kMachine + "/software"));

  HKEY microsoft = nullptr;
  ASSERT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, "Software\\Microsoft", &microsoft), kRegSuccess);
  RegCloseKey(microsoft);
  StdoutCapture out;
  EXPECT_EQ(Set_MS_Reg_Entry("Who", "microsoft"), 1);
  EXPECT_EQ(Set_MS_Reg_Entry(nullptr, "x"), 0);
  EXPECT_EQ(Set_MS_Reg_Entry("Who", nullptr), 0);
  EXPECT_EQ(out.Take(), OpenLine(kMachine + "/software/microsoft") +
                            "Inside Reg If\r\n"
                            "Set value returned 0 1023\r\n");
  EXPECT_EQ(ReadFile(kMachine + "/software/microsoft.nv"), "Who\t<reg_sz>\tmicrosoft\n");
}

}  // namespace
