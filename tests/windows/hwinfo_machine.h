// A private plug-in folder for the hardware-information tests (Win32-only):
// "ProgramFiles" points at a scratch folder whose
// QUON\CORVANE KIOSK Lite Service\Pelorus holds the companions a test
// places there, and PELORUS_HW_PROFILE at a profile file the test writes.
// Both variables are restored afterwards.
#pragma once

#include <fstream>
#include <string>

#include "machine_test_support.h"

class HwMachine {
 public:
  HwMachine()
      : m_savedProgramFiles(Get(L"ProgramFiles")), m_savedProfile(Get(L"PELORUS_HW_PROFILE")) {
    m_pluginDir = m_root.path() / L"QUON" / L"CORVANE KIOSK Lite Service" / L"Pelorus";
    std::filesystem::create_directories(m_pluginDir);
    m_profile = m_root.path() / L"hardware.ini";
    SetEnvironmentVariableW(L"ProgramFiles", m_root.path().c_str());
    SetEnvironmentVariableW(L"PELORUS_HW_PROFILE", m_profile.c_str());
  }
  ~HwMachine() {
    Restore(L"ProgramFiles", m_savedProgramFiles);
    Restore(L"PELORUS_HW_PROFILE", m_savedProfile);
  }
  HwMachine(const HwMachine&) = delete;
  HwMachine& operator=(const HwMachine&) = delete;

  // Copies a built companion (machine_files\<built>) into the plug-in folder as `name`.
  std::filesystem::path Place(const wchar_t* built, const wchar_t* name = nullptr,
                              const std::wstring& sub = L"") const {
    std::filesystem::path folder = sub.empty() ? m_pluginDir : m_pluginDir / sub;
    std::filesystem::create_directories(folder);
    std::filesystem::path target = folder / (name != nullptr ? name : built);
    std::filesystem::copy_file(machine_test::BuiltFile(built), target,
                               std::filesystem::copy_options::overwrite_existing);
    return target;
  }
  // Replaces the profile file's content (INI text).
  void Profile(const std::string& ini) const {
    std::ofstream(m_profile, std::ios::binary | std::ios::trunc) << ini;
  }
  const std::filesystem::path& root() const { return m_root.path(); }
  const std::filesystem::path& pluginDir() const { return m_pluginDir; }

 private:
  static std::wstring Get(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    DWORD n = GetEnvironmentVariableW(name, value, MAX_PATH);
    return n == 0 || n >= MAX_PATH ? std::wstring(1, L'\0') : std::wstring(value);
  }
  static void Restore(const wchar_t* name, const std::wstring& value) {
    SetEnvironmentVariableW(name, value == std::wstring(1, L'\0') ? nullptr : value.c_str());
  }

  wintest::ScratchFolder m_root;
  std::filesystem::path m_pluginDir;
  std::filesystem::path m_profile;
  std::wstring m_savedProgramFiles;
  std::wstring m_savedProfile;
};

// --- The machine's HMSP service "hbComSvc" ---------------------------------------

inline DWORD ServiceState(const wchar_t* name) {
  unique_schandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  unique_schandle service(OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS));
  SERVICE_STATUS status = {};
  return service && QueryServiceStatus(service.get(), &status) ? status.dwCurrentState : 0;
}

inline bool WaitForState(const wchar_t* name, DWORD state) {
  for (int i = 0; i < 200; ++i) {
    if (ServiceState(name) == state) return true;
    Sleep(50);
  }
  return false;
}

// Stops hbComSvc for the test and makes sure it runs again afterwards.
struct StoppedHmspService {
  StoppedHmspService() {
    unique_schandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    unique_schandle service(OpenServiceW(manager.get(), L"hbComSvc", SERVICE_STOP));
    SERVICE_STATUS status;
    ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    EXPECT_TRUE(WaitForState(L"hbComSvc", SERVICE_STOPPED));
  }
  ~StoppedHmspService() {
    unique_schandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    unique_schandle service(OpenServiceW(manager.get(), L"hbComSvc", SERVICE_START));
    StartServiceW(service.get(), 0, nullptr);
    WaitForState(L"hbComSvc", SERVICE_RUNNING);
  }
};
