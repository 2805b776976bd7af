// Pelorus.dll as a host loads it: the export table lists exactly the
// implemented exports, the version resource names the product and its
// version, the image needs none of MinGW's runtime DLLs (they are linked
// statically), and QueryInterfaceVersion answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cwctype>
#include <string>
#include <string_view>
#include <vector>

#include "support/win32_handles.h"

namespace {

// The exports Pelorus.dll implements, by undecorated name. Adding an export to
// src/exports/pelorus.def means adding its name here.
constexpr std::array kImplementedExports = {
    std::string_view("QueryInterfaceVersion"),
    std::string_view("QueryLibrary"),
    std::string_view("OnUninstall"),
    std::string_view("AcpiInit"),
    std::string_view("AcpiGetItem"),
    std::string_view("AcpiGetItemEx"),
    std::string_view("AcpiSetItem"),
    std::string_view("AcpiSetItemBuffer"),
    std::string_view("AcpiMbif"),
    std::string_view("AcpiGGrp"),
    std::string_view("AcpiCallMethod"),
};

std::wstring BesideThisProgram(const wchar_t* name) {
  std::wstring path(MAX_PATH, L'\0');
  DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + name;
}

template <class T>
const T* AtRva(HMODULE module, DWORD rva) {
  return reinterpret_cast<const T*>(reinterpret_cast<const uint8_t*>(module) + rva);
}

const IMAGE_NT_HEADERS64* NtHeaders(HMODULE module) {
  const auto* dos = AtRva<IMAGE_DOS_HEADER>(module, 0);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
  const auto* nt = AtRva<IMAGE_NT_HEADERS64>(module, static_cast<DWORD>(dos->e_lfanew));
  return nt->Signature == IMAGE_NT_SIGNATURE ? nt : nullptr;
}

const IMAGE_DATA_DIRECTORY& Directory(HMODULE module, int index) {
  return NtHeaders(module)->OptionalHeader.DataDirectory[index];
}

std::vector<std::string> ExportNames(HMODULE module) {
  const IMAGE_DATA_DIRECTORY& dir = Directory(module, IMAGE_DIRECTORY_ENTRY_EXPORT);
  std::vector<std::string> names;
  if (dir.VirtualAddress == 0) return names;
  const auto* exports = AtRva<IMAGE_EXPORT_DIRECTORY>(module, dir.VirtualAddress);
  const auto* name_rvas = AtRva<DWORD>(module, exports->AddressOfNames);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    names.emplace_back(AtRva<char>(module, name_rvas[i]));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::wstring> ImportedLibraries(HMODULE module) {
  const IMAGE_DATA_DIRECTORY& dir = Directory(module, IMAGE_DIRECTORY_ENTRY_IMPORT);
  std::vector<std::wstring> names;
  if (dir.VirtualAddress == 0) return names;
  for (const auto* entry = AtRva<IMAGE_IMPORT_DESCRIPTOR>(module, dir.VirtualAddress);
       entry->Name != 0; ++entry) {
    std::wstring name;
    for (const char* c = AtRva<char>(module, entry->Name); *c != '\0'; ++c) {
      name += static_cast<wchar_t>(std::towlower(static_cast<unsigned char>(*c)));
    }
    names.push_back(name);
  }
  return names;
}

class DllImage : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = BesideThisProgram(L"Pelorus.dll");
    module_.reset(LoadLibraryExW(path_.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    ASSERT_TRUE(module_) << "LoadLibraryExW failed with " << GetLastError();
    ASSERT_NE(NtHeaders(module_.get()), nullptr) << "not a PE image";
  }

  std::wstring path_;
  unique_hmodule module_;
};

TEST_F(DllImage, IsAnX64Dll) {
  const IMAGE_NT_HEADERS64* nt = NtHeaders(module_.get());
  EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
  EXPECT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
  EXPECT_NE(nt->FileHeader.Characteristics & IMAGE_FILE_DLL, 0);
}

TEST_F(DllImage, ExportsExactlyTheImplementedFunctions) {
  std::vector<std::string> expected(kImplementedExports.begin(), kImplementedExports.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(ExportNames(module_.get()), expected);

  const IMAGE_DATA_DIRECTORY& dir = Directory(module_.get(), IMAGE_DIRECTORY_ENTRY_EXPORT);
  EXPECT_STREQ(AtRva<char>(module_.get(),
                           AtRva<IMAGE_EXPORT_DIRECTORY>(module_.get(), dir.VirtualAddress)->Name),
               "Pelorus.dll");
}

TEST_F(DllImage, EveryExportIsCodeOfTheImage) {
  // A forwarded export would point into the export directory (a text), and an
  // export of another module outside the image.
  const auto base = reinterpret_cast<uintptr_t>(module_.get());
  const uintptr_t end = base + NtHeaders(module_.get())->OptionalHeader.SizeOfImage;
  const IMAGE_DATA_DIRECTORY& dir = Directory(module_.get(), IMAGE_DIRECTORY_ENTRY_EXPORT);
  for (std::string_view name : kImplementedExports) {
    SCOPED_TRACE(std::string(name));
    const auto address =
        reinterpret_cast<uintptr_t>(GetProcAddress(module_.get(), std::string(name).c_str()));
    ASSERT_NE(address, 0u);
    EXPECT_GE(address, base);
    EXPECT_LT(address, end);
    EXPECT_FALSE(address >= base + dir.VirtualAddress &&
                 address < base + dir.VirtualAddress + dir.Size);
  }
}

TEST_F(DllImage, NeedsNoMinGWRuntimeLibrary) {
  const std::vector<std::wstring> imports = ImportedLibraries(module_.get());
  EXPECT_FALSE(imports.empty());
  for (const wchar_t* runtime :
       {L"libstdc++-6.dll", L"libgcc_s_seh-1.dll", L"libwinpthread-1.dll", L"libgomp-1.dll"}) {
    EXPECT_EQ(std::count(imports.begin(), imports.end(), runtime), 0) << runtime;
  }
}

TEST_F(DllImage, QueryInterfaceVersionAnswersTheCurrentVersion) {
  using QueryInterfaceVersionFn = uint32_t(STDAPICALLTYPE*)();
  auto query = reinterpret_cast<QueryInterfaceVersionFn>(
      reinterpret_cast<void*>(GetProcAddress(module_.get(), "QueryInterfaceVersion")));
  ASSERT_NE(query, nullptr);
  EXPECT_EQ(query(), 0x50001u);
}

// The version resource, read as Explorer's property page does: the fixed
// part, then the strings of the first translation listed.
class VersionResource : public DllImage {
 protected:
  void SetUp() override {
    DllImage::SetUp();
    DWORD handle = 0xdeadbeef;
    DWORD size = GetFileVersionInfoSizeW(path_.c_str(), &handle);
    ASSERT_NE(size, 0u) << "no version resource, error " << GetLastError();
    data_.resize(size);
    ASSERT_TRUE(GetFileVersionInfoW(path_.c_str(), 0, size, data_.data()));

    struct Translation {
      WORD language;
      WORD code_page;
    };
    Translation* translations = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(data_.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translations), &length));
    ASSERT_GE(length, sizeof(Translation));
    wchar_t block[32];
    swprintf(block, 32, L"\\StringFileInfo\\%04x%04x\\", translations->language,
             translations->code_page);
    string_block_ = block;
  }

  // The string's value, or nullptr when the resource has no such string.
  const wchar_t* String(const wchar_t* name) {
    wchar_t* value = nullptr;
    UINT length = 0xdeadbeef;
    std::wstring query = string_block_ + name;
    if (!VerQueryValueW(data_.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) ||
        length == 0) {
      return nullptr;
    }
    return value;
  }

  std::vector<BYTE> data_;
  std::wstring string_block_;
};

TEST_F(VersionResource, FixedPartCarriesVersion5990) {
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(data_.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(9, 5));
  EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(0, 9));
  EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(9, 5));
  EXPECT_EQ(fixed->dwProductVersionLS, MAKELONG(0, 9));
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
}

TEST_F(VersionResource, StringsNameTheProduct) {
  struct Expected {
    const wchar_t* name;
    const wchar_t* value;  // nullptr: the string must be absent
  };
  const Expected expected[] = {
      {L"ProductName", L"Pelorus"},  {L"ProductVersion", L"5.9.9.0"},
      {L"FileVersion", L"5.9.9.0"},  {L"OriginalFilename", L"Pelorus.dll"},
      {L"InternalName", L"Pelorus"}, {L"CompanyName", nullptr},
  };
  for (const Expected& e : expected) {
    const wchar_t* value = String(e.name);
    if (e.value == nullptr) {
      EXPECT_EQ(value, nullptr) << e.name;
    } else {
      ASSERT_NE(value, nullptr) << e.name;
      EXPECT_STREQ(value, e.value) << e.name;
    }
  }
  EXPECT_NE(String(L"FileDescription"), nullptr);
}

}  // namespace
