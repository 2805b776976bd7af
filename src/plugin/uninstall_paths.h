// Registry locations, service name and executable path that the uninstall
// clean-up (OnUninstall) works with.
//
// Portable: no OS calls; the path rules are tested natively.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "pelorus/orb_plugin.h"

// The plug-in's registration with the update client, deleted at uninstall
// (under HKLM, in the 32-bit view).
inline constexpr GUID kUpdateClientId = PELORUS_FAMILY_GUID(0x05);
inline constexpr char16_t kUpdateClientsKey[] = u"SOFTWARE\\QUON\\Update\\Clients\\";
// The older utility suite; present when "ExeName" can be read.
inline constexpr char16_t kTesseraKey[] = u"SOFTWARE\\WOW6432Node\\QUON\\TESSERA_II";
inline constexpr char16_t kTesseraValue[] = u"ExeName";
// The fan-control service's folder ("Path", ending in a backslash).
inline constexpr char16_t kFanServiceKey[] = u"SOFTWARE\\WOW6432Node\\QUON\\QuonFanService";
inline constexpr char16_t kFanServicePathValue[] = u"Path";
inline constexpr char16_t kFanServiceName[] = u"QuonFanControlService";
inline constexpr char16_t kFanServiceExeName[] = u"QuonFanControlService.exe";

// Buffer sizes in characters, terminator included.
inline constexpr size_t kUpdateClientKeyChars = 520;
inline constexpr size_t kFanServiceExeChars = 260;
// Registry string values are read into this many bytes.
inline constexpr size_t kUninstallValueBytes = 520;

// "SOFTWARE\QUON\Update\Clients\{7D3F2A10-5C4B-4E21-9A6D-1B2C3D4E5F05}".
std::u16string UpdateClientKeyPath();

// The folder followed directly by "QuonFanControlService.exe" (no separator is
// added: the registry value ends in one), cut to kFanServiceExeChars - 1
// characters as the fixed buffer holds no more.
std::u16string FanServiceExecutablePath(std::u16string_view folder);
