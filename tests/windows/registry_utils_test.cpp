// The registry utilities against real keys under Wine, in private scratch
// keys: reading string values, and deleting a tree in the 32-bit view. (An
// absent tree and the uninstall's own are deleted by the uninstall tests.)
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

// Only REG_SZ values that fit the 1024-character buffer. (The view is the
// one the status commands read their WOW6432Node keys in.)
TEST_F(RegGetStringValueTest, ReturnsOnlyRegSzValuesThatFit) {
  const std::wstring fits(1023, L'a');
  SetString(m_key, L"Fits", fits);
  SetString(m_key, L"TooLong", std::wstring(1024, L'b'));
  machine_test::SetDword(m_key, L"Number", 1042);
  const std::pair<const wchar_t*, std::wstring> cases[] = {
      {L"Fits", fits}, {L"TooLong", L""}, {L"Number", L""}};
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(RegGetStringValue(m_key, value), expected)
        << std::string(value, value + std::wcslen(value));
  }
}

}  // namespace
