// The ACPI bridge stand-in's firmware as tests script it (Win32-only): a
// profile file named by HKLM\SOFTWARE\Pelorus Machine\ACPI Bridge "Profile"
// and the item values the stand-in keeps under its "Values" key. Both are
// machine-wide: cases that use them hold the CTest RESOURCE_LOCK
// "hklm:SOFTWARE/Pelorus Machine/ACPI Bridge" (also for removing the class
// registration).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "machine_test_support.h"

namespace acpi_test {

inline constexpr wchar_t kBridgeKey[] = L"SOFTWARE\\Pelorus Machine\\ACPI Bridge";
inline constexpr wchar_t kValuesKey[] = L"SOFTWARE\\Pelorus Machine\\ACPI Bridge\\Values";
inline constexpr wchar_t kProgIdKey[] = L"SOFTWARE\\Classes\\hwbridgeCom.hbdata";

// The stand-in's firmware for one case: the JSON profile given (the built-in
// one when empty) with no stored values; removed again afterwards.
class ScopedFirmware {
 public:
  explicit ScopedFirmware(const std::string& profileJson = "") {
    machine_test::RemoveKey(kBridgeKey);
    if (profileJson.empty()) return;
    wintest::WriteAll(m_folder.path() / L"firmware.json", profileJson);
    machine_test::SetString(kBridgeKey, L"Profile", (m_folder.path() / L"firmware.json").wstring());
  }
  ~ScopedFirmware() { machine_test::RemoveKey(kBridgeKey); }
  ScopedFirmware(const ScopedFirmware&) = delete;
  ScopedFirmware& operator=(const ScopedFirmware&) = delete;

  // Stores an item value as if the firmware held it.
  static void Store(uint32_t id, uint32_t value) {
    machine_test::SetDword(kValuesKey, ValueName(id).c_str(), value);
  }
  // The value stored for an item; -1 when none was written.
  static int64_t Stored(uint32_t id) {
    return machine_test::GetDword(kValuesKey, ValueName(id).c_str());
  }

 private:
  static std::wstring ValueName(uint32_t id) {
    wchar_t name[16];
    swprintf(name, 16, L"%08X", id);
    return name;
  }
  wintest::ScratchFolder m_folder;
};

// The bridge's class registration removed for the object's lifetime, as on
// a machine without the bridge; restored afterwards.
class ScopedBridgeMissing {
 public:
  ScopedBridgeMissing() { machine_test::RemoveKey(kProgIdKey); }
  ~ScopedBridgeMissing() {
    machine_test::SetString(kProgIdKey, nullptr, m_description);
    machine_test::SetString(std::wstring(kProgIdKey) + L"\\CLSID", nullptr, m_clsid);
  }
  ScopedBridgeMissing(const ScopedBridgeMissing&) = delete;
  ScopedBridgeMissing& operator=(const ScopedBridgeMissing&) = delete;

 private:
  std::wstring m_description = machine_test::GetString(kProgIdKey, nullptr);
  std::wstring m_clsid = machine_test::GetString(std::wstring(kProgIdKey) + L"\\CLSID", nullptr);
};

}  // namespace acpi_test
