// Pelorus.dll as a host loads it: the export table lists exactly the
// implemented exports, and the version resource names the product and its
// version. (That it needs none of MinGW's runtime DLLs shows in every load:
// the Wine machine has none of them on its search path.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "../common/windows_test_support.h"

namespace {

template <class T>
const T* AtRva(HMODULE module, DWORD rva) {
  return reinterpret_cast<const T*>(reinterpret_cast<const uint8_t*>(module) + rva);
}

class DllImage : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = wintest::BesideTest(L"Pelorus.dll").wstring();
    module_.reset(LoadLibraryExW(path_.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    ASSERT_TRUE(module_) << "LoadLibraryExW failed with " << GetLastError();
  }

  std::wstring path_;
  unique_hmodule module_;
};

// Exactly the implemented exports, by undecorated name: adding an export to
// src/exports/pelorus.def means adding its name here.
TEST_F(DllImage, ExportsExactlyTheImplementedFunctions) {
  const auto* nt = AtRva<IMAGE_NT_HEADERS64>(
      module_.get(), static_cast<DWORD>(AtRva<IMAGE_DOS_HEADER>(module_.get(), 0)->e_lfanew));
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  ASSERT_NE(dir.VirtualAddress, 0u);
  const auto* exports = AtRva<IMAGE_EXPORT_DIRECTORY>(module_.get(), dir.VirtualAddress);
  EXPECT_STREQ(AtRva<char>(module_.get(), exports->Name), "Pelorus.dll");
  const auto* names = AtRva<DWORD>(module_.get(), exports->AddressOfNames);
  std::vector<std::string> exported(exports->NumberOfNames);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i)
    exported[i] = AtRva<char>(module_.get(), names[i]);
  std::sort(exported.begin(), exported.end());
  std::string list;
  for (const std::string& name : exported) list += name + " ";
  EXPECT_EQ(
      list,
      "AcpiCallMethod AcpiGGrp AcpiGetItem AcpiGetItemEx AcpiInit AcpiMbif AcpiSetItem "
      "AcpiSetItemBuffer GetHardwareInfo HasBeenCheckHmspService IsHmspServiceRun "
      "OnUninstall QueryInterfaceVersion QueryLibrary checkIfHmspRun initialLogParamForHmsp ");
}

// The version resource, read as Explorer's property page does: the fixed
// part, then the strings of the first translation listed.
TEST_F(DllImage, VersionResourceNamesTheProductAndItsVersion) {
  std::vector<BYTE> data(GetFileVersionInfoSizeW(path_.c_str(), nullptr));
  ASSERT_FALSE(data.empty()) << "no version resource, error " << GetLastError();
  ASSERT_TRUE(GetFileVersionInfoW(path_.c_str(), 0, static_cast<DWORD>(data.size()), data.data()));
  auto query = [&](const std::wstring& name, UINT* length) {
    void* value = nullptr;
    return VerQueryValueW(data.data(), name.c_str(), &value, length) ? value : nullptr;
  };
  UINT length = 0;
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(query(L"\\", &length));
  ASSERT_NE(fixed, nullptr);
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(
      std::vector<DWORD>({fixed->dwFileVersionMS, fixed->dwFileVersionLS, fixed->dwProductVersionMS,
                          fixed->dwProductVersionLS, fixed->dwFileType}),
      std::vector<DWORD>({MAKELONG(9, 5), MAKELONG(0, 9), MAKELONG(9, 5), MAKELONG(0, 9),
                          static_cast<DWORD>(VFT_DLL)}));

  const auto* translation = static_cast<const WORD*>(query(L"\\VarFileInfo\\Translation", &length));
  ASSERT_TRUE(translation != nullptr && length >= 2 * sizeof(WORD));
  wchar_t block[32];
  swprintf(block, 32, L"\\StringFileInfo\\%04x%04x\\", translation[0], translation[1]);
  // Each string's value; "-" when the resource has none.
  std::vector<std::wstring> strings;
  for (const wchar_t* name : {L"ProductName", L"ProductVersion", L"FileVersion",
                              L"OriginalFilename", L"InternalName", L"CompanyName"}) {
    const auto* value = static_cast<const wchar_t*>(query(block + std::wstring(name), &length));
    strings.emplace_back(value != nullptr && length > 0 ? value : L"-");
  }
  EXPECT_EQ(strings, (std::vector<std::wstring>{L"Pelorus", L"5.9.9.0", L"5.9.9.0", L"Pelorus.dll",
                                                L"Pelorus", L"-"}));
  EXPECT_NE(query(block + std::wstring(L"FileDescription"), &length), nullptr);
}

}  // namespace
