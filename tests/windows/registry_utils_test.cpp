// The registry utilities against real keys under Wine, in private scratch
// keys: reading string values, and deleting a tree in the 32-bit view.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "machine_test_support.h"
#include "support/registry_utils.h"

namespace {

using machine_test::KeyExists;
using machine_test::RemoveKey;
using machine_test::SetString;

constexpr REGSAM k32 = KEY_WOW64_32KEY;
constexpr REGSAM k64 = KEY_WOW64_64KEY;

// A key name of this process and test, removed from both views afterwards.
class ScratchKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    m_key = L"SOFTWARE\\PelorusTests\\" + std::wstring(name, name + std::strlen(name)) + L"-" +
            std::to_wstring(GetCurrentProcessId());
  }
  void TearDown() override {
    for (REGSAM view : {k32, k64}) {
      RemoveKey(m_key, view);
      RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\PelorusTests", view, 0);  // if empty
    }
  }
  std::wstring m_key;
};

using RegDeleteTreeRecursiveTest = ScratchKeyTest;
using RegGetStringValueTest = ScratchKeyTest;

TEST_F(RegDeleteTreeRecursiveTest, DeletesANestedTreeInThe32BitViewOnly) {
  for (const wchar_t* sub : {L"\\a\\b\\c", L"\\a\\d", L"\\e", L""}) {
    SetString(m_key + sub, L"v", L"x", k32);
  }
  SetString(m_key, L"v", L"64-bit", k64);

  wchar_t path[kRegDeletePathChars] = {};
  m_key.copy(path, m_key.size());
  EXPECT_TRUE(RegDeleteTreeRecursive(path));
  EXPECT_EQ(std::wstring(path), m_key);  // the buffer holds the path again
  EXPECT_FALSE(KeyExists(m_key, k32));
  EXPECT_TRUE(KeyExists(m_key, k64));
}

TEST_F(RegDeleteTreeRecursiveTest, AcceptsATrailingBackslash) {
  SetString(m_key + L"\\child", L"v", L"x", k32);
  std::wstring withSeparator = m_key + L"\\";
  wchar_t path[kRegDeletePathChars] = {};
  withSeparator.copy(path, withSeparator.size());
  EXPECT_TRUE(RegDeleteTreeRecursive(path));
  EXPECT_FALSE(KeyExists(m_key, k32));
}

TEST_F(RegDeleteTreeRecursiveTest, AnAbsentKeyCountsAsDeleted) {
  wchar_t path[kRegDeletePathChars] = {};
  m_key.copy(path, m_key.size());
  EXPECT_TRUE(RegDeleteTreeRecursive(path));
}

TEST_F(RegGetStringValueTest, ReturnsOnlyRegSzValuesThatFit) {
  const std::wstring fits(1023, L'a');
  const std::wstring tooLong(1024, L'b');
  SetString(m_key, L"Version", L"3.1.4");
  SetString(m_key, L"Fits", fits);
  SetString(m_key, L"TooLong", tooLong);
  SetString(m_key, L"Empty", L"");
  {
    unique_hkey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, m_key.c_str(), 0, KEY_SET_VALUE, key.put()),
              ERROR_SUCCESS);
    DWORD number = 1042;
    RegSetValueExW(key.get(), L"Number", 0, REG_DWORD, reinterpret_cast<BYTE*>(&number),
                   sizeof number);
    const wchar_t expand[] = L"%PELORUS_FAN_DIR%\\fan.exe";
    RegSetValueExW(key.get(), L"Expand", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(expand),
                   sizeof expand);
  }
  machine_test::ScopedEnvironment fanDir(L"PELORUS_FAN_DIR", L"C:\\Fans");
  struct Case {
    std::wstring key;
    const wchar_t* value;
    std::wstring expected;
  };
  const Case cases[] = {
      {m_key, L"Version", L"3.1.4"},
      {m_key, L"Fits", fits},
      {m_key, L"TooLong", L""},
      {m_key, L"Empty", L""},
      {m_key, L"Number", L""},
      {m_key, L"Expand", L"C:\\Fans\\fan.exe"},  // REG_EXPAND_SZ comes expanded
      {m_key, L"Missing", L""},
      {m_key + L"\\Missing", L"Version", L""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RegGetStringValue(c.key, c.value), c.expected)
        << std::string(c.value, c.value + std::wcslen(c.value));
  }
  // The default view: a 32-bit value of the same name is not seen.
  RemoveKey(m_key);
  SetString(m_key, L"Version", L"32-bit", k32);
  EXPECT_EQ(RegGetStringValue(m_key, L"Version"), L"");
}

}  // namespace
