// A private plug-in folder for the hardware-information tests (Win32-only):
// "ProgramFiles" points at a scratch folder whose
// QUON\CORVANE KIOSK Lite Service\Pelorus holds the companions a test
// places there, and PELORUS_HW_PROFILE at a profile file the test writes.
// Both variables are restored afterwards.
#pragma once

#include <string>

#include "machine_test_support.h"

class HwMachine {
 public:
  HwMachine() { std::filesystem::create_directories(root() / kPluginFolder); }
  // With one companion placed and the profile written.
  HwMachine(const wchar_t* built, const std::string& ini) : HwMachine() {
    Place(built);
    Profile(ini);
  }

  // Copies a built companion (machine_files\<built>) into the plug-in folder
  // (or its subfolder `sub`) as `name`.
  std::filesystem::path Place(const wchar_t* built, const wchar_t* name = nullptr,
                              const std::wstring& sub = L"") const {
    return m_root.Place(machine_test::BuiltFile(built), name != nullptr ? name : built,
                        std::wstring(kPluginFolder) + (sub.empty() ? L"" : L"\\" + sub));
  }
  // Replaces the profile file's content (INI text).
  void Profile(const std::string& ini) const { wintest::WriteAll(m_profile, ini); }
  const std::filesystem::path& root() const { return m_root.path(); }

 private:
  static constexpr wchar_t kPluginFolder[] = L"QUON\\CORVANE KIOSK Lite Service\\Pelorus";
  wintest::ScratchFolder m_root;
  std::filesystem::path m_profile = m_root.path() / L"hardware.ini";
  wintest::ScopedEnvironment m_programFiles{L"ProgramFiles", m_root.path().wstring()};
  wintest::ScopedEnvironment m_profileVariable{L"PELORUS_HW_PROFILE", m_profile.wstring()};
};

// Stops the machine's HMSP service "hbComSvc" for the test and makes sure it
// runs again afterwards.
struct StoppedHmspService {
  StoppedHmspService() { EXPECT_TRUE(Control(SERVICE_STOP, SERVICE_STOPPED)); }
  ~StoppedHmspService() { Control(SERVICE_START, SERVICE_RUNNING); }
  // Stops or starts the service, and waits for the state.
  static bool Control(DWORD access, DWORD state) {
    unique_schandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    unique_schandle service(OpenServiceW(manager.get(), L"hbComSvc", access));
    SERVICE_STATUS status;
    if (access == SERVICE_STOP) ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    if (access == SERVICE_START) StartServiceW(service.get(), 0, nullptr);
    return wintest::WaitServiceState(L"hbComSvc", state);
  }
};
