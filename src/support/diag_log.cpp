// The diagnostic log (Win32-only): start-up, rotation, the writers and the
// file helpers they use.
#include "support/diag_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>
#include <vector>

#include <userenv.h>

#include "support/log_lines.h"
#include "support/log_rotation.h"
#include "support/platform_seams.h"

constinit DiagLog SLog;

namespace {

constexpr wchar_t kLogSubfolder[] = L"\\QUON\\CORVANE KIOSK Diagnosis\\";
constexpr wchar_t kProductFolder[] = L"Pelorus";
constexpr wchar_t kSwitchKey[] = L"SOFTWARE\\QUON\\CORVANE KIOSK Diagnosis";
constexpr wchar_t kSwitchValue[] = L"EnableLog";
// The error writer's suffix buffer, and the most its text may take.
constexpr DWORD kSuffixChars = 512;

// --- Small helpers --------------------------------------------------------------------

void DebugOut(const char* text) {
  Seams().outputDebugStringA(text);
}
void DebugOut(const wchar_t* text) {
  Seams().outputDebugString(text);
}

bool WritesDebugger(int32_t mode) {
  return mode == 1 || mode == 3;
}
bool WritesFile(int32_t mode) {
  return mode == 2 || mode == 3;
}
int32_t ModeOf(const DiagLog* log) {
  return log->m_nMode.load(std::memory_order_relaxed);
}
bool SwitchOn(const DiagLog* log) {
  return log->m_EnableLog.load(std::memory_order_relaxed) != 0;
}

// Whether a writer does nothing at all: mode 0 or an unknown mode, or a
// file mode while no file is open.
bool Silent(const DiagLog* log) {
  const int32_t mode = ModeOf(log);
  if (mode == 1) return false;
  if (WritesFile(mode)) return !log->hFile;
  return true;
}

LogStamp LocalStamp() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

bool IsDirectory(const wchar_t* path) {
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Wide text to the ANSI code page (log name and folder for the rotation).
std::string ToAnsi(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                      nullptr, nullptr);
  return out;
}

std::wstring Widen(const std::string& ascii) {
  return std::wstring(ascii.begin(), ascii.end());
}

// Writes every byte, calling WriteFile again only after a short write, then
// flushes, so the bytes are on disk when this returns. A regular file takes
// a line in one call, which keeps lines of concurrent writers whole.
bool WriteAndFlush(HANDLE file, const char* bytes, size_t length) {
  bool complete = true;
  while (length > 0) {
    DWORD written = 0;
    if (!WriteFile(file, bytes, static_cast<DWORD>(length), &written, nullptr) || written == 0) {
      complete = false;
      break;
    }
    bytes += written;
    length -= written;
  }
  FlushFileBuffers(file);
  return complete;
}

// Formats a writer's message into a line buffer. A message whose length and
// terminator reach the buffer's size is refused with a note on the debugger
// output (whatever the mode).
bool FormatLogMessage(char (&out)[kLogLineBytes], const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (!MessageFits(length)) {
    DebugOut("error argument is too big");
    return false;
  }
  std::vsnprintf(out, sizeof out, format, args);
  return true;
}

void print_console(const char* format, ...) PELORUS_PRINTF_LIKE(1, 2);
void print_console(const char* format, ...) {
  char text[4096];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (length < 0) return;
  char line[4096];
  FormatPlainLine(line, sizeof line, text);
  std::fputs(line, stdout);
  std::fflush(stdout);
}

// --- The error writer's pieces ------------------------------------------------------

// Builds " [SYSTEM_ERROR:<code>,<text>]" for the calling thread's last error
// (read first), or " [SYSTEM_ERROR:<code>] " when the system has no text or
// the text is too long. Returns the code.
DWORD getErrorCodeMsg(wchar_t* suffix, DWORD size) {
  const DWORD code = GetLastError();
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&text),
      0, nullptr);
  const unique_hlocal textOwner(text);

  wchar_t built[kLogPathChars];
  bool full = false;
  if (length > 0 && text != nullptr) {
    if (length + 20 >= size) {
      DebugOut(L"getErrorCodeMsg buffer size is to small");
    } else {
      DWORD kept = length;
      if (kept >= 2 && text[kept - 2] == L'\r' && text[kept - 1] == L'\n') kept -= 2;
      const int written = std::swprintf(built, kLogPathChars, L" [SYSTEM_ERROR:%lu,%.*ls]", code,
                                        static_cast<int>(kept), text);
      full = written > 0 && static_cast<size_t>(written) < kLogPathChars;
    }
  }
  if (!full) std::swprintf(built, kLogPathChars, L" [SYSTEM_ERROR:%lu] ", code);
  const size_t builtLength = std::wcslen(built);
  const size_t copied = builtLength < size ? builtLength : size - 1;
  std::wmemcpy(suffix, built, copied);
  suffix[copied] = L'\0';
  return code;
}

// Formats the message, converts it to wide text and writes message + suffix
// into `line`. Refuses (with a note on the debugger output) a message that
// is too long, cannot be converted, or does not fit the line with the suffix.
bool dump_output_msg(const char* format, const wchar_t* suffix, wchar_t (&line)[kLogErrorLineChars],
                     va_list args) {
  char message[kLogLineBytes];
  if (!FormatLogMessage(message, format, args)) return false;
  wchar_t wide[kLogLineBytes];
  const int converted = MultiByteToWideChar(CP_ACP, 0, message, -1, wide, kLogLineBytes);
  if (converted <= 0) {
    DebugOut(L"dump_output_msg AnsiToUnicode fail");
    return false;
  }
  const size_t messageLength = std::wcslen(wide);
  const size_t suffixLength = std::wcslen(suffix);
  if (messageLength + suffixLength >= kLogErrorLineChars) {
    DebugOut(L"dump_output_msg buffer is too small ");
    return false;
  }
  std::wmemcpy(line, wide, messageLength);
  std::wmemcpy(line + messageLength, suffix, suffixLength);
  line[messageLength + suffixLength] = L'\0';
  return true;
}

// --- File helpers of the start-up ---------------------------------------------------

// Reads from `file` until a read returns no bytes or `size` bytes are in,
// stores the count, and always closes the handle.
bool readBytesFileShare(HANDLE file, char* buffer, DWORD size, DWORD* count) {
  const unique_hfile owner(file);
  *count = 0;
  if (size == 0) {
    LARGE_INTEGER fileSize{};
    if (GetFileSizeEx(file, &fileSize) && fileSize.QuadPart > 0) {
      dump_output(&SLog, "readBytesFileShare  size is too few error");
      return false;
    }
    return true;
  }
  DWORD total = 0;
  while (total < size) {
    DWORD got = 0;
    if (!ReadFile(file, buffer + total, size - total, &got, nullptr)) return false;
    if (got == 0) break;
    total += got;
  }
  *count = total;
  return true;
}

// Opens an existing regular file for reading and returns its size, or an
// invalid handle.
unique_hfile OpenForReading(HANDLE file, LARGE_INTEGER* size) {
  unique_hfile owner(file);
  if (owner && !GetFileSizeEx(owner.get(), size)) owner.reset();
  return owner;
}

// The whole content of a regular file; empty when it is missing, is a
// directory, cannot be read, or yields fewer bytes than its size.
std::string readFileToString(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return {};
  }
  LARGE_INTEGER size{};
  unique_hfile file =
      OpenForReading(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
                     &size);
  if (!file || size.QuadPart >= MAXDWORD) return {};
  const auto expected = static_cast<DWORD>(size.QuadPart);
  std::string content(size_t{expected} + 1, '\0');
  DWORD count = 0;
  if (!readBytesFileShare(file.release(), content.data(), expected, &count)) {
    dump_errorcode(&SLog, "readBytesFileShare fail");
    return {};
  }
  if (count < expected) {
    dump_output(&SLog, "File size error");
    return {};
  }
  content.resize(count);
  return content;
}

// Creates or truncates the file (write access, no sharing) and writes all
// bytes.
bool writeBufferToFile(const std::string& path, const char* bytes, size_t length) {
  const unique_hfile file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    dump_errorcode(&SLog, "CreateFile fail");
    return false;
  }
  return WriteAndFlush(file.get(), bytes, length);
}

// The process executable's base name (no folder, no extension).
std::wstring getModuleBaseName() {
  wchar_t path[kLogPathChars] = {};
  GetModuleFileNameW(nullptr, path, kLogPathChars);
  path[kLogPathChars - 1] = L'\0';
  return ToWide(ExecutableBaseName(AsU16Text(path)));
}

// Creates every missing folder of `path`, from the left.
bool createDirectoryRecursive(const std::wstring& path) {
  if (path.empty()) return false;
  std::wstring full = path;
  if (full.back() != L'\\') full += L'\\';
  for (size_t at = full.find(L'\\'); at != std::wstring::npos; at = full.find(L'\\', at + 1)) {
    const std::wstring prefix = full.substr(0, at + 1);
    if (IsDirectory(prefix.c_str())) continue;
    if (!CreateDirectoryW(prefix.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      return false;
    }
  }
  return true;
}

// The bare names of all files under `folder`, subfolders included. Reparse
// points are not followed, so a junction loop cannot recurse forever.
void listFiles(const std::string& folder, std::vector<std::string>& names) {
  WIN32_FIND_DATAA data;
  const unique_hfind find(FindFirstFileExA((folder + "\\*.*").c_str(), FindExInfoBasic, &data,
                                           FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH));
  if (!find) return;
  do {
    const std::string_view name = data.cFileName;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      names.emplace_back(name);
    } else if (name != "." && name != ".." &&
               (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
      listFiles(folder + "\\" + data.cFileName, names);
    }
  } while (FindNextFileA(find.get(), &data));
}

// The rotation: picks this start's slot from the index file, deletes the
// file that held the slot before, records the slot and returns the new log
// file's path (the unrotated "<name>.log" when the index cannot be written).
std::wstring generateLogPath(const std::wstring& logName, const std::wstring& folder) {
  const std::wstring unrotated = CutToPathSize(folder + L"\\" + logName + L".log");
  if (SLog.m_nMaxFiles < 1) return unrotated;

  const std::string name = ToAnsi(logName);
  const std::string narrowFolder = ToAnsi(folder);
  const std::string indexPath = CutToPathSize(narrowFolder + "\\" + name + ".idx");
  const int32_t slot = NextLogSlot(readFileToString(indexPath), SLog.m_nMaxFiles);

  std::vector<std::string> names;
  listFiles(narrowFolder, names);
  for (const std::string& earlier : FilesOfSlot(name, slot, names)) {
    const std::string path = CutToPathSize(narrowFolder + "\\" + earlier);
    if (!DeleteFileA(path.c_str())) print_console("no delete file %s", earlier.c_str());
  }

  const std::string slotText = std::to_string(slot);
  if (!writeBufferToFile(indexPath, slotText.data(), slotText.size())) {
    print_console("file fail generate idx");
    return unrotated;
  }
  return CutToPathSize(folder + L"\\" + logName + Widen(RotatedLogSuffix(slot, LocalStamp())));
}

// Sets the mode from the control file's keyword, when the file exists and
// holds exactly one of them.
void ApplyControlFile(const std::wstring& path) {
  if (path.empty()) return;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return;
  }
  LARGE_INTEGER size{};
  unique_hfile file =
      OpenForReading(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
                     &size);
  // The keywords are a few bytes; a larger file cannot hold one.
  if (!file || size.QuadPart > 64) return;
  char content[65] = {};
  DWORD count = 0;
  if (!readBytesFileShare(file.release(), content, static_cast<DWORD>(size.QuadPart), &count)) {
    dump_errorcode(&SLog, "readBytesFileShare fail");
    return;
  }
  const std::string_view keyword(content, count);
  if (keyword == "debug") {
    SLog.m_nMode = 1;
  } else if (keyword == "file") {
    SLog.m_nMode = 2;
  } else if (keyword == "all") {
    SLog.m_nMode = 3;
  } else if (keyword == "no") {
    SLog.m_nMode = 0;
  }
}

void Configure() {
  SLog.hFile.reset();
  SLog.hFallbackFile.reset();
  SLog.m_nMode = 1;
  SLog.m_nMaxFiles = 7;
  // In mode 1 what readEnableLog writes reaches the debugger only.
  SLog.m_EnableLog = readEnableLog();
  SLog.m_nMode = 2;

  const std::wstring suffix = ToWide(LogNameSuffix(AsU16Text(GetCommandLineW())));
  std::wstring controlPath;
  std::wstring logPath;
  wchar_t profile[kLogPathChars] = {};
  DWORD profileSize = kLogPathChars;
  if (!GetAllUsersProfileDirectoryW(profile, &profileSize)) {
    // No folder: no control file, and the log file cannot be created.
    dump_output_windir(&SLog, "error dont read log config");
  } else {
    const std::wstring folder =
        CutToPathSize(std::wstring(profile) + kLogSubfolder + kProductFolder);
    if (!IsDirectory(folder.c_str())) createDirectoryRecursive(folder);
    const std::wstring logName = CutToPathSize(getModuleBaseName() + suffix);
    controlPath = CutToPathSize(folder + L"\\quon.txt");
    logPath = generateLogPath(logName, folder);
  }

  ApplyControlFile(controlPath);
  if (WritesFile(SLog.m_nMode) && !logPath.empty()) {
    SLog.hFile.reset(
        NullIfInvalid(CreateFileW(logPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
  }
}

// The exit handler: closes the files when the module unloads. SLog itself
// stays, so a writer called later finds no file and stays silent.
void CloseLogFiles() {
  SLog.hFile.reset();
  SLog.hFallbackFile.reset();
}

}  // namespace

// --- Writers ----------------------------------------------------------------------------

void dump_output_time(DiagLog* log, const char* format, ...) {
  if (Silent(log)) return;
  char message[kLogLineBytes];
  va_list args;
  va_start(args, format);
  const bool formatted = FormatLogMessage(message, format, args);
  va_end(args);
  if (!formatted) return;

  const LogStamp stamp = LocalStamp();
  char line[kLogLineBytes];
  if (WritesDebugger(ModeOf(log))) {
    FormatStampedLine(line, sizeof line, stamp, 1, message);
    DebugOut(line);
  }
  if (WritesFile(ModeOf(log))) {
    const size_t length = FormatStampedLine(line, sizeof line, stamp, 2, message);
    if (SwitchOn(log) && log->hFile) WriteAndFlush(log->hFile.get(), line, length);
  }
}

void dump_output(DiagLog* log, const char* format, ...) {
  if (Silent(log)) return;
  char message[kLogLineBytes];
  va_list args;
  va_start(args, format);
  const bool formatted = FormatLogMessage(message, format, args);
  va_end(args);
  if (!formatted) return;

  char line[kLogLineBytes];
  const size_t length = FormatPlainLine(line, sizeof line, message);
  if (WritesDebugger(ModeOf(log))) DebugOut(line);
  if (WritesFile(ModeOf(log)) && SwitchOn(log) && log->hFile) {
    WriteAndFlush(log->hFile.get(), line, length);
  }
}

void dump_errorcode(DiagLog* log, const char* format, ...) {
  // Nothing before getErrorCodeMsg may change the thread's last error.
  if (Silent(log)) return;
  wchar_t suffix[kSuffixChars];
  getErrorCodeMsg(suffix, kSuffixChars);

  wchar_t line[kLogErrorLineChars];
  va_list args;
  va_start(args, format);
  const bool built = dump_output_msg(format, suffix, line, args);
  va_end(args);
  if (!built) return;
  size_t length = std::wcslen(line);
  if (length + 2 >= kLogErrorLineChars) {
    DebugOut(L"dump_errorcode buffer is too small");
    return;
  }
  line[length++] = L'\r';
  line[length++] = L'\n';
  line[length] = L'\0';

  if (WritesDebugger(ModeOf(log))) DebugOut(line);
  if (!WritesFile(ModeOf(log))) return;
  // Up to three bytes per UTF-16 unit, whatever the ANSI code page.
  char narrow[kLogErrorLineChars * 3];
  const int bytes = WideCharToMultiByte(CP_ACP, 0, line, static_cast<int>(length), narrow,
                                        sizeof narrow, nullptr, nullptr);
  if (bytes > 0 && SwitchOn(log) && log->hFile) {
    WriteAndFlush(log->hFile.get(), narrow, static_cast<size_t>(bytes));
  }
}

void dump_output_windir(DiagLog* log, const char* format, ...) {
  if (!log->hFallbackFile) {
    try {
      wchar_t windows[kLogPathChars] = {};
      const UINT length = GetWindowsDirectoryW(windows, kLogPathChars);
      if (length == 0 || length >= kLogPathChars) return;
      const std::wstring path =
          CutToPathSize(std::wstring(windows) + L"\\" + getModuleBaseName() + L".log");
      log->hFallbackFile.reset(
          NullIfInvalid(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
    } catch (...) {
      return;
    }
    if (!log->hFallbackFile) return;
  }
  char message[kLogFallbackBytes];
  va_list args;
  va_start(args, format);
  const int formatted = std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  if (formatted < 0) return;
  char line[kLogFallbackBytes];
  const size_t length = FormatPlainLine(line, sizeof line, message);
  WriteAndFlush(log->hFallbackFile.get(), line, length);
}

// --- Switch and start-up ------------------------------------------------------------------

uint32_t readEnableLog() {
  unique_hkey key;
  const LSTATUS opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSwitchKey, 0,
                                       KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put());
  if (opened == ERROR_FILE_NOT_FOUND) return 0xFFFFFFFF;
  if (opened != ERROR_SUCCESS) {
    dump_output_time(&SLog, "RegOpenKeyEx error ");
    return 0;
  }
  DWORD value = 0;
  DWORD size = sizeof value;
  if (RegQueryValueExW(key.get(), kSwitchValue, nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                       &size) != ERROR_SUCCESS) {
    dump_output_time(&SLog, "RegQueryValueEx error ");
    return 0;
  }
  dump_output_time(&SLog, "dwUiResult=%lu", value);
  return value;
}

void SetLogSwitch(uint32_t enableLog) {
  SLog.m_EnableLog = enableLog;
  dump_output_time(&SLog, "m_EnableLog = %d ", static_cast<int>(enableLog));
  SLog.m_nMode = enableLog != 0 ? 2 : 0;
}

void StartDiagLog() noexcept {
  try {
    Configure();
  } catch (...) {
    // Out of memory while building names: the log keeps what it reached (in
    // mode 2 without a file it stays silent). The module still loads.
  }
  std::atexit(&CloseLogFiles);
}
