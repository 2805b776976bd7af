// Signed program start, process start and process lookup (Win32-only).
#include "support/process_utils.h"

#include "support/win32.h"

#include <shellapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>

#include "support/command_line.h"
#include "support/diag_log.h"
#include "support/signature.h"
#include "support/win32_handles.h"

namespace {

bool IsExistingFile(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The program file CreateProcessW would run for `commandLine`.
std::wstring ProgramFileOf(const std::wstring& commandLine) {
  std::vector<std::u16string> candidates = ProgramPathCandidates(ToU16(commandLine));
  if (candidates.empty()) return {};
  for (const std::u16string& candidate : candidates) {
    std::wstring path = ToWide(candidate);
    if (IsExistingFile(path)) return path;
  }
  return ToWide(candidates.front());
}

}  // namespace

bool RunSignedAndWait(const wchar_t* path, const wchar_t* parameters, DWORD* exitCode) {
  // Pinned from the check until the process is created from it.
  PinnedFile pin;
  if (!CheckEmbeddedSignerInInstallDir(path, true, &pin)) {
    dump_output_time(&SLog, "Failed to check signature, path : %ls", path);
    return false;
  }
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpFile = path;
  info.lpParameters = parameters;
  info.nShow = SW_HIDE;
  if (!ShellExecuteExW(&info)) {
    dump_errorcode(&SLog, "ShellExecuteEx fail");
    return false;
  }
  unique_handle process(info.hProcess);
  if (process && !pin.ConfirmProgram(process.get())) {
    TerminateProcess(process.get(), 1);
    dump_output_time(&SLog, "Started program is not the checked file, stopped, path : %ls", path);
    return false;
  }
  pin.Release();
  if (process) {
    WaitForSingleObject(process.get(), INFINITE);
    GetExitCodeProcess(process.get(), exitCode);
  }
  return true;
}

bool LaunchProgram(wchar_t* commandLine) {
  // The check works on a copy of at most MAX_PATH - 1 characters.
  std::wstring copy(commandLine);
  if (copy.size() >= MAX_PATH) copy.resize(MAX_PATH - 1);
  const std::wstring program = ProgramFileOf(copy);
  // Pinned from the check until the process is created from it.
  PinnedFile pin;
  if (!CheckEmbeddedSigner(program.c_str(), &pin)) {
    std::wprintf(L"[PELORUS][LaunchProgram] %ls is Signature Error", copy.c_str());
    std::fflush(stdout);
    return false;
  }
  // The checked file, by its full path, is the one started: CreateProcessW
  // would otherwise search again (the program's own folder first), and
  // could find another file of that name.
  wchar_t fullPath[MAX_PATH];
  const DWORD chars = GetFullPathNameW(program.c_str(), MAX_PATH, fullPath, nullptr);
  if (chars == 0 || chars >= MAX_PATH) return false;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(fullPath, commandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &process)) {
    return false;
  }
  unique_handle thread(process.hThread);
  unique_handle created(process.hProcess);
  if (!pin.ConfirmProgram(created.get())) {
    TerminateProcess(created.get(), 1);
    std::wprintf(L"[PELORUS][LaunchProgram] %ls is not the checked file", copy.c_str());
    std::fflush(stdout);
    return false;
  }
  return true;
}

DWORD FindProcessIdByName(const std::wstring& name) {
  unique_hfile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return 0;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (name == entry.szExeFile) return entry.th32ProcessID;
  }
  return 0;
}
