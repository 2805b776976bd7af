// The ACPI bridge stand-in's firmware as tests script it (Win32-only): a
// profile file named by HKLM\SOFTWARE\Pelorus Machine\ACPI Bridge "Profile"
// and the item values the stand-in keeps under its "Values" key. Both are
// machine-wide: cases that use them hold the CTest RESOURCE_LOCK
// "hklm:SOFTWARE/Pelorus Machine/ACPI Bridge" (also for removing the class
// registration).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <string>

#include "machine_test_support.h"
#include "scratch_folder.h"
#include "support/win32.h"
#include "support/win32_handles.h"

namespace acpi_test {

inline constexpr wchar_t kBridgeKey[] = L"SOFTWARE\\Pelorus Machine\\ACPI Bridge";
inline constexpr wchar_t kValuesKey[] = L"SOFTWARE\\Pelorus Machine\\ACPI Bridge\\Values";
inline constexpr wchar_t kProgIdKey[] = L"SOFTWARE\\Classes\\hwbridgeCom.hbdata";

inline std::wstring ValueName(uint32_t id) {
  wchar_t name[16];
  swprintf(name, 16, L"%08X", id);
  return name;
}

// The stand-in's firmware for one case: the built-in profile (or the JSON
// given) with no stored values; removed again afterwards.
class ScopedFirmware {
 public:
  ScopedFirmware() { machine_test::RemoveKey(kBridgeKey); }
  explicit ScopedFirmware(const std::string& profileJson) {
    machine_test::RemoveKey(kBridgeKey);
    const auto file = m_folder.path() / L"firmware.json";
    std::ofstream(file, std::ios::binary) << profileJson;
    machine_test::SetString(kBridgeKey, L"Profile", file.wstring());
  }
  ~ScopedFirmware() { machine_test::RemoveKey(kBridgeKey); }
  ScopedFirmware(const ScopedFirmware&) = delete;
  ScopedFirmware& operator=(const ScopedFirmware&) = delete;

  // Stores an item value as if the firmware held it.
  static void Store(uint32_t id, uint32_t value) {
    const DWORD data = value;
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, kValuesKey, ValueName(id).c_str(), REG_DWORD,
                              &data, sizeof data),
              ERROR_SUCCESS);
  }
  // The value stored for an item, if one was written.
  static std::optional<uint32_t> Stored(uint32_t id) {
    DWORD data = 0;
    DWORD bytes = sizeof data;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kValuesKey, ValueName(id).c_str(), RRF_RT_REG_DWORD,
                     nullptr, &data, &bytes) != ERROR_SUCCESS)
      return std::nullopt;
    return data;
  }

 private:
  ScratchFolder m_folder;
};

// The bridge's class registration removed for the object's lifetime, as on
// a machine without the bridge; restored afterwards.
class ScopedBridgeMissing {
 public:
  ScopedBridgeMissing()
      : m_description(machine_test::GetString(kProgIdKey, nullptr)),
        m_clsid(machine_test::GetString(std::wstring(kProgIdKey) + L"\\CLSID", nullptr)) {
    machine_test::RemoveKey(kProgIdKey);
  }
  ~ScopedBridgeMissing() {
    machine_test::SetString(kProgIdKey, nullptr, m_description);
    machine_test::SetString(std::wstring(kProgIdKey) + L"\\CLSID", nullptr, m_clsid);
  }
  ScopedBridgeMissing(const ScopedBridgeMissing&) = delete;
  ScopedBridgeMissing& operator=(const ScopedBridgeMissing&) = delete;

 private:
  std::wstring m_description;
  std::wstring m_clsid;
};

}  // namespace acpi_test
