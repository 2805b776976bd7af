// The stand-in database plug-in (Win32-only), on SQLite database files:
// "SQLCommand" runs every statement of its SQL text in the file "FilePath"
// names (created when missing), "SQLQueryTable" reads every row of a table
// as JSON, "Upload" checks that a file is a sound database and copies it
// into the upload folder. Each request opens its own connection, so
// requests from several threads at once are safe (SQLite is built
// thread-safe, and its busy timeout covers a file another request writes).
#include "support/win32.h"
#include "support/win32_handles.h"

#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string_view>
#include <system_error>
#include <vector>

#include "framing.h"
#include "stand_ins.h"
#include "utf.h"

namespace orbhost {
namespace {

using Value = QuonValueSet::OrbValue;

// How long a request may wait for a file that another connection holds, and
// how long its SQL may run before SQLite is told to give up (so a runaway
// statement, a recursive query without end, cannot hang the host).
constexpr int kBusyTimeoutMs = 5000;
constexpr ULONGLONG kStatementBudgetMs = 10000;
// A query answer larger than this is refused rather than built.
constexpr size_t kMaxQueryResultBytes = 16u << 20;

struct DatabaseCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// SQLite reads texts up to their first NUL, as a C caller would hand them in.
std::string CText(const std::u16string& text) {
  return Utf16ToUtf8(std::u16string_view(text.c_str()));
}

int PastDeadline(void* deadline) {
  return GetTickCount64() > *static_cast<const ULONGLONG*>(deadline) ? 1 : 0;
}

// Opens path with flags; on failure the message is in *error.
Database Open(const std::string& path, int flags, std::string* error) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  Database db(raw);
  if (rc != SQLITE_OK) {
    *error = db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc);
    return nullptr;
  }
  sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
  return db;
}

// Identifier quoting: the name between double quotes, each quote doubled,
// so any text names a table and none can end the identifier early.
std::string QuotedIdentifier(const std::string& name) {
  std::string quoted = "\"";
  for (const char c : name) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + "\"";
}

// One value by its storage class (read before anything converts it); the
// bytes of a TEXT or BLOB, and a little for any value, are added to *size.
Json ColumnJson(sqlite3_stmt* statement, int column, size_t* size) {
  *size += 32;
  switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
      return static_cast<int64_t>(sqlite3_column_int64(statement, column));
    case SQLITE_FLOAT:
      return sqlite3_column_double(statement, column);  // non-finite: null
    case SQLITE_TEXT: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
      const auto bytes = static_cast<size_t>(sqlite3_column_bytes(statement, column));
      *size += bytes;
      return std::string(text ? text : "", text ? bytes : 0);
    }
    case SQLITE_BLOB: {
      const auto* blob = static_cast<const uint8_t*>(sqlite3_column_blob(statement, column));
      const size_t bytes = blob ? static_cast<size_t>(sqlite3_column_bytes(statement, column)) : 0;
      *size += 2 * bytes;
      return HexBytes(blob, bytes);
    }
    default:
      return nullptr;
  }
}

// A file name without any folder part, "." or "..": the upload lands inside
// the upload folder and nowhere else.
bool IsPlainFileName(const std::u16string& name) {
  return !name.empty() && name != u"." && name != u".." &&
         name.find_first_of(u"\\/:") == std::u16string::npos;
}

}  // namespace

std::wstring DefaultUploadFolder() {
  wchar_t programData[MAX_PATH] = {};
  const DWORD n = GetEnvironmentVariableW(L"ProgramData", programData, MAX_PATH);
  const std::wstring base = n > 0 && n < MAX_PATH ? programData : L"C:\\ProgramData";
  return base + L"\\Pelorus\\orbhost\\uploads";
}

void DatabaseStandIn::LogError(const std::string& text) {
  log_.Write(2, Utf8ToUtf16("[database] " + text));
}

bool DatabaseStandIn::Execute(const std::u16string& file, const std::u16string& sql) {
  const std::string path = CText(file);
  std::string error;
  Database db =
      path.empty() ? nullptr : Open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, &error);
  if (!db) {
    LogError("SQLCommand: cannot open '" + path + "': " + error);
    return false;
  }
  ULONGLONG deadline = GetTickCount64() + kStatementBudgetMs;
  sqlite3_progress_handler(db.get(), 1000, &PastDeadline, &deadline);
  char* message = nullptr;
  const int rc = sqlite3_exec(db.get(), CText(sql).c_str(), nullptr, nullptr, &message);
  if (rc != SQLITE_OK) {
    LogError("SQLCommand on '" + path + "': " + (message ? message : sqlite3_errstr(rc)));
  }
  sqlite3_free(message);
  return rc == SQLITE_OK;
}

bool DatabaseStandIn::QueryTable(const std::u16string& file, const std::u16string& table,
                                 std::string* rows) {
  const std::string path = CText(file);
  const std::string name = CText(table);
  std::string error;
  Database db = path.empty() ? nullptr : Open(path, SQLITE_OPEN_READONLY, &error);
  if (!db) {
    LogError("SQLQueryTable: cannot open '" + path + "': " + error);
    return false;
  }
  ULONGLONG deadline = GetTickCount64() + kStatementBudgetMs;
  sqlite3_progress_handler(db.get(), 1000, &PastDeadline, &deadline);
  const std::string select = "SELECT * FROM " + QuotedIdentifier(name);
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db.get(), select.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
    LogError("SQLQueryTable '" + name + "' in '" + path + "': " + sqlite3_errmsg(db.get()));
    return false;
  }
  Statement statement(raw);
  const int columns = sqlite3_column_count(statement.get());
  Json result = Json::array();
  size_t size = 0;
  int rc;
  while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
    Json row = Json::object();
    for (int c = 0; c < columns; ++c) {
      const char* column = sqlite3_column_name(statement.get(), c);
      row[column ? column : ""] = ColumnJson(statement.get(), c, &size);
    }
    result.push_back(std::move(row));
    if (size > kMaxQueryResultBytes) {
      LogError("SQLQueryTable '" + name + "' in '" + path + "': the rows exceed " +
               std::to_string(kMaxQueryResultBytes) + " bytes");
      return false;
    }
  }
  if (rc != SQLITE_DONE) {
    LogError("SQLQueryTable '" + name + "' in '" + path + "': " + sqlite3_errmsg(db.get()));
    return false;
  }
  *rows = result.dump(-1, ' ', false, Json::error_handler_t::replace);
  return true;
}

bool DatabaseStandIn::Upload(const std::u16string& folder, const std::u16string& name) {
  const std::u16string source = std::u16string(folder.c_str()) + name.c_str();
  const std::string path = Utf16ToUtf8(source);
  if (!IsPlainFileName(name.c_str())) {
    LogError("Upload: '" + Utf16ToUtf8(name) + "' is not a plain file name");
    return false;
  }
  // Read-only: a missing file is an error rather than a new empty database.
  std::string error;
  Database db = Open(path, SQLITE_OPEN_READONLY, &error);
  if (!db) {
    LogError("Upload: cannot open '" + path + "': " + error);
    return false;
  }
  sqlite3_stmt* raw = nullptr;
  bool sound = sqlite3_prepare_v2(db.get(), "PRAGMA quick_check", -1, &raw, nullptr) == SQLITE_OK;
  Statement check(raw);
  if (sound) {
    const unsigned char* verdict = nullptr;
    if (sqlite3_step(check.get()) == SQLITE_ROW) verdict = sqlite3_column_text(check.get(), 0);
    sound = verdict != nullptr && std::string_view(reinterpret_cast<const char*>(verdict)) == "ok";
  }
  if (!sound) {
    LogError("Upload: '" + path + "' is not a sound SQLite database: " + sqlite3_errmsg(db.get()));
    return false;
  }
  check.reset();
  db.reset();

  std::lock_guard<std::mutex> lock(uploadMutex_);
  const std::wstring target = uploadFolder_ + L"\\" + AsWide(name.c_str());
  std::error_code ec;
  std::filesystem::create_directories(uploadFolder_, ec);
  if (!CopyFileW(AsWide(source.c_str()), target.c_str(), FALSE)) {
    LogError("Upload: CopyFileW to '" + Utf16ToUtf8(AsU16Text(target.c_str())) +
             "' failed with error " + std::to_string(GetLastError()));
    return false;
  }
  // The copy keeps the source's times; stamped with now, the folder's files
  // sort by the time they arrived.
  FILETIME now = {};
  GetSystemTimeAsFileTime(&now);
  unique_hfile copy(CreateFileW(target.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (copy) SetFileTime(copy.get(), nullptr, nullptr, &now);
  copy.reset();
  PruneUploads();
  return true;
}

void DatabaseStandIn::PruneUploads() {
  struct Entry {
    ULONGLONG written;
    std::wstring name;
  };
  std::vector<Entry> files;
  WIN32_FIND_DATAW found = {};
  unique_hfind find(FindFirstFileW((uploadFolder_ + L"\\*").c_str(), &found));
  for (bool more = static_cast<bool>(find); more; more = FindNextFileW(find.get(), &found)) {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const ULONGLONG written = (ULONGLONG{found.ftLastWriteTime.dwHighDateTime} << 32) |
                              found.ftLastWriteTime.dwLowDateTime;
    files.push_back({written, found.cFileName});
  }
  if (files.size() <= kKeptUploads) return;
  std::sort(files.begin(), files.end(),
            [](const Entry& a, const Entry& b) { return a.written > b.written; });
  for (size_t i = kKeptUploads; i < files.size(); ++i) {
    DeleteFileW((uploadFolder_ + L"\\" + files[i].name).c_str());
  }
}

HRESULT DatabaseStandIn::Handle(const OrbMessageHeader&, const QuonValueSet& request,
                                QuonValueSet& reply) {
  const std::string cmd = Utf16ToUtf8(request.GetStringValue("Cmd"));
  std::u16string file = request.GetStringValue("FilePath");
  bool result = false;
  HRESULT status = S_OK;

  if (const auto* answer = profile_.Find(MachineProfile::Section::kDatabase, cmd)) {
    status = MachineProfile::Apply(*answer, reply);
    result = reply.GetBoolValue("CommandResult");
  } else if (cmd == "SQLCommand") {
    result = Execute(file, request.GetStringValue("SQLCommand"));
    reply.SetValue("CommandResult", new Value(result));
  } else if (cmd == "SQLQueryTable") {
    std::string rows;
    result = QueryTable(file, request.GetStringValue("TableName"), &rows);
    reply.SetValue("CommandResult", new Value(result));
    reply.SetStringValue("QueryResult", Utf8ToUtf16(rows));
  } else if (cmd == "Upload") {
    const std::u16string folder = request.GetStringValue("FolderPath");
    const std::u16string name = request.GetStringValue("FileName");
    file = std::u16string(folder.c_str()) + name.c_str();
    result = Upload(folder, name);
    reply.SetValue("CommandResult", new Value(result));
  } else {
    reply.SetStringValue("Error", std::u16string(u"Unknown Command"));
    status = ORB_E_UNKNOWN_COMMAND;
  }
  events_.Emit(Json{{"event", "database"},
                    {"cmd", cmd},
                    {"file", Utf16ToUtf8(file)},
                    {"result", result},
                    {"status", StatusText(status)}});
  return status;
}

}  // namespace orbhost
