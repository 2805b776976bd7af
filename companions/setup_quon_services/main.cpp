// SetupQuonServices.exe: installs the maker's background services that the
// plug-in expects, from the folder it is started in, and ends. See README.md.
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

constexpr wchar_t kServiceName[] = L"QuonFanControlService";
constexpr wchar_t kDisplayName[] = L"Quon Fan Control Service";
constexpr wchar_t kServiceExe[] = L"QuonFanControlService.exe";
// In the 32-bit registry view (SOFTWARE\WOW6432Node\... for 64-bit readers).
constexpr wchar_t kMakerKey[] = L"SOFTWARE\\QUON";
constexpr wchar_t kFolderKey[] = L"SOFTWARE\\QUON\\QuonFanService";
constexpr wchar_t kFolderValue[] = L"Path";

int Fail(const wchar_t* what, DWORD error) {
  std::fwprintf(stderr, L"SetupQuonServices: %ls failed (error %lu)\n", what, error);
  return 1;
}

// This program's folder, with a trailing backslash.
std::wstring OwnFolder() {
  wchar_t path[MAX_PATH];
  DWORD chars = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (chars == 0 || chars >= MAX_PATH) return {};
  std::wstring folder(path, chars);
  return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

// Creates the service, or points an existing one at this folder's executable.
int InstallService(const std::wstring& executable) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  if (manager == nullptr) return Fail(L"OpenSCManager", GetLastError());
  std::wstring command = L"\"" + executable + L"\"";
  SC_HANDLE service =
      CreateServiceW(manager, kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                     command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  const wchar_t* done = L"installed";
  DWORD error = ERROR_SUCCESS;
  if (service == nullptr && GetLastError() == ERROR_SERVICE_EXISTS) {
    service = OpenServiceW(manager, kServiceName, SERVICE_CHANGE_CONFIG);
    if (service != nullptr &&
        !ChangeServiceConfigW(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                              SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                              nullptr, nullptr, kDisplayName)) {
      error = GetLastError();
    }
    done = L"updated";
  }
  if (service == nullptr && error == ERROR_SUCCESS) error = GetLastError();
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  if (error != ERROR_SUCCESS) return Fail(L"installing the service", error);
  std::wprintf(L"SetupQuonServices: %ls %ls (%ls)\n", kServiceName, done, command.c_str());
  return 0;
}

int RecordFolder(const std::wstring& folder) {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kFolderKey, 0, nullptr, 0,
                                   KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return Fail(L"creating the service folder key", status);
  status =
      RegSetValueExW(key, kFolderValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                     static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return Fail(L"writing the service folder", status);
  std::wprintf(L"SetupQuonServices: service folder recorded (%ls)\n", folder.c_str());
  return 0;
}

int Install() {
  std::wstring folder = OwnFolder();
  if (folder.empty()) return Fail(L"GetModuleFileName", GetLastError());
  std::wstring executable = folder + kServiceExe;
  DWORD attributes = GetFileAttributesW(executable.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return Fail(L"finding QuonFanControlService.exe beside the setup program", GetLastError());
  }
  if (int code = InstallService(executable); code != 0) return code;
  return RecordFolder(folder);
}

// Deletes HKLM\`key` (32-bit view) when it holds neither subkeys nor values:
// the maker's key that installing created.
void RemoveIfEmpty(const wchar_t* key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &handle) !=
      ERROR_SUCCESS) {
    return;
  }
  DWORD subkeys = 1, values = 1;
  bool empty = RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                &values, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
               subkeys == 0 && values == 0;
  RegCloseKey(handle);
  if (empty) RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key, KEY_WOW64_32KEY, 0);
}

// Stops and deletes the service and removes the folder key; what is already
// gone counts as removed.
int Remove() {
  int result = 0;
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return Fail(L"OpenSCManager", GetLastError());
  SC_HANDLE service =
      OpenServiceW(manager, kServiceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (service != nullptr) {
    SERVICE_STATUS status = {};
    if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
      for (int i = 0; i < 150 && QueryServiceStatus(service, &status) &&
                      status.dwCurrentState != SERVICE_STOPPED;
           ++i) {
        Sleep(100);
      }
    }
    if (!DeleteService(service)) result = Fail(L"DeleteService", GetLastError());
    CloseServiceHandle(service);
  } else if (GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
    result = Fail(L"OpenService", GetLastError());
  }
  CloseServiceHandle(manager);
  LSTATUS status = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kFolderKey, KEY_WOW64_32KEY, 0);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
    result = Fail(L"deleting the service folder key", status);
  }
  RemoveIfEmpty(kMakerKey);
  if (result == 0) std::wprintf(L"SetupQuonServices: %ls removed\n", kServiceName);
  return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 1) return Install();
  if (argc == 2 && (argv[1][0] == L'/' || argv[1][0] == L'-') &&
      _wcsicmp(argv[1] + 1, L"remove") == 0) {
    return Remove();
  }
  std::fwprintf(stderr, L"usage: SetupQuonServices.exe [/remove]\n");
  return 2;
}
