// Commands that serve the client application (Win32-only): the database
// plug-in's self-test, the client's privacy-policy report, and the version
// of the client's UWP front end, asked of the application through the host
// or read from the front end's configuration file.
#include <shlobj.h>

#include <exception>
#include <string>

#include "plugin/pelorus.h"
#include "support/win32.h"
#include "support/win32_handles.h"

namespace {

constexpr char16_t kTestFolder[] = u"C:\\Users\\Public\\Libraries\\";
constexpr char16_t kTestTable[] = u"TestTable";

// "test_<high>_<low>.db" from the current local time as a FILETIME.
std::u16string TestDatabaseName() {
  SYSTEMTIME now = {};
  GetLocalTime(&now);
  FILETIME stamp = {};
  SystemTimeToFileTime(&now, &stamp);
  const std::string name = "test_" + std::to_string(stamp.dwHighDateTime) + "_" +
                           std::to_string(stamp.dwLowDateTime) + ".db";
  return std::u16string(name.begin(), name.end());
}

// The self-test's SQL: the table, then its three rows.
std::u16string TestSql() {
  std::u16string sql = u"Create Table ";
  sql += kTestTable;
  sql += u"(KeyID Integer Primary Key,";
  sql += u"Title Text Default '',";
  sql += u"Path Text Default '',";
  sql += u"DateTime Text Default '',";
  sql += u"BooleanData Integer Default '',";
  sql += u"FloatData Real Default '');";
  static constexpr const char16_t* kRows[3][6] = {
      {u"0", u"first item", u"c:\\AAAA", u"2019/2/13", u"1", u"1.019"},
      {u"1", u"second item", u"", u"2019/2/14", u"0", u"2.019"},
      {u"2", u"third item", u"c:\\CCCC", u"2019/2/15", u"1", u"3.019"},
  };
  for (const auto& row : kRows) {
    sql += u"Insert Into ";
    sql += kTestTable;
    sql += u"(KeyID, Title, Path, DateTime, BooleanData, FloatData)";
    sql += u"Values(";
    for (size_t i = 0; i < 6; ++i) {
      if (i != 0) sql += u", ";
      sql += u'"';
      sql += row[i];
      sql += u'"';
    }
    sql += u");";
  }
  return sql;
}

// Widens an exception's message character by character (ASCII texts).
std::u16string WidenMessage(const char* text) {
  std::u16string wide;
  for (const char* p = text; p != nullptr && *p != 0; ++p) {
    wide.push_back(static_cast<unsigned char>(*p));
  }
  return wide;
}

// The String `key` of the Child `child`, empty when either is missing.
std::u16string ChildString(const QuonValueSet* request, const char* child, const char* key) {
  const QuonValueSet* set = request != nullptr ? request->GetChild(child) : nullptr;
  return set != nullptr ? set->GetStringValue(key) : std::u16string();
}

// True when the file can be opened for reading through its ANSI-code-page
// name; the file is closed again at once.
bool OpensForReading(const wchar_t* path) {
  const int bytes = WideCharToMultiByte(CP_ACP, 0, path, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return false;
  std::string narrow(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, 0, path, -1, narrow.data(), bytes, nullptr, nullptr);
  unique_hfile file(CreateFileA(narrow.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return static_cast<bool>(file);
}

}  // namespace

HRESULT Pelorus::DoTestSQDBServer(IOrbLibrary*, QuonValueSet*, QuonValueSet*) {
  Log(kOrbLogTrace, u"[DoTestSQDBServer] star");
  const std::u16string fileName = TestDatabaseName();
  const std::u16string filePath = kTestFolder + fileName;

  // Each request gets a reply ("CommandResult", and "QueryResult" for the
  // query), but only the status of the last request reaches the caller; the
  // sequence always runs to its end.
  QuonValueSet request;
  QuonValueSet reply;
  request.SetStringValue("Cmd", std::u16string(u"SQLCommand"));
  request.SetStringValue("FilePath", filePath);
  request.SetStringValue("SQLCommand", TestSql());
  SendRequest(GUID_OrbDatabasePlugin, &request, &reply);
  request.Clear();

  QuonValueSet queryReply;
  request.SetStringValue("Cmd", std::u16string(u"SQLQueryTable"));
  request.SetStringValue("FilePath", filePath);
  request.SetStringValue("TableName", std::u16string(kTestTable));
  SendRequest(GUID_OrbDatabasePlugin, &request, &queryReply);
  request.Clear();

  QuonValueSet uploadReply;
  request.SetStringValue("Cmd", std::u16string(u"Upload"));
  request.SetStringValue("FolderPath", std::u16string(kTestFolder));
  request.SetStringValue("FileName", fileName);
  const HRESULT status = SendRequest(GUID_OrbDatabasePlugin, &request, &uploadReply);

  Log(kOrbLogTrace, u"[DoTestSQDBServer] END");
  return status;
}

HRESULT Pelorus::DoPrivacyPolicyStatus(IOrbLibrary*, QuonValueSet* request, QuonValueSet*) {
  Log(kOrbLogException, u"Enter DoPrivacyPolicyStatus");
  const std::u16string cmd = request->GetStringValue("Cmd");
  Log(kOrbLogException, u"Cmd = %s", cmd);
  if (cmd == u"PrivacyPolicyStatus") {
    Log(kOrbLogException, u"PrivacyPolicy Agree = %s", request->GetStringValue("Agree"));
    Log(kOrbLogException, u"PrivacyPolicy Read = %s", request->GetStringValue("Read"));
  }
  Log(kOrbLogException, u"Leave DoPrivacyPolicyStatus");
  return 0;
}

HRESULT Pelorus::DoGetUWPVersionByAppService(IOrbLibrary*, QuonValueSet*, QuonValueSet* response) {
  Log(kOrbLogTrace, u"[DoGetUWPVersionByAppService] Start");
  QuonValueSet request;
  request.SetStringValue("Target", std::u16string(u"ConsolePlugin"));
  request.SetStringValue("Cmd", std::u16string(u"GetUWPVersion"));
  // The application's answer is parsed straight into the response.
  const HRESULT status = Query(u"AppService", &request, response);
  Log(kOrbLogTrace, u"[DoGetUWPVersionByAppService] END");
  return status;
}

HRESULT Pelorus::DoGetConfigUWPVersion(IOrbLibrary*, QuonValueSet* request,
                                       QuonValueSet* response) {
  Log(kOrbLogTrace, u"[DoGetConfigUWPVersion] Start");
  try {
    // "target" and "command" travel with the request but select nothing.
    const std::wstring device = ToWide(ChildString(request, "ConfigInfo", "device"));
    const std::wstring folderName = ToWide(ChildString(request, "ConfigInfo", "foldername"));
    const std::wstring key = ToWide(ChildString(request, "ConfigInfo", "key"));

    wchar_t programFiles[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, SHGFP_TYPE_CURRENT,
                                programFiles))) {
      programFiles[0] = L'\0';
    }
    std::wstring path = std::wstring(programFiles) + L"\\QUON\\CorvaneDevice\\view\\" + folderName +
                        L"\\config.ini";
    if (path.size() >= MAX_PATH) path.resize(MAX_PATH - 1);  // the path buffer's bound
    Log(kOrbLogTrace, u"[DoGetConfigUWPVersion]UWP Version %ls", AsU16Text(path.c_str()));

    std::wstring value = L"0";
    if (OpensForReading(path.c_str())) {
      wchar_t text[MAX_PATH] = {};
      GetPrivateProfileStringW(device.c_str(), key.c_str(), L"0", text, MAX_PATH, path.c_str());
      value = text;
      Log(kOrbLogTrace, u"[DoGetConfigUWPVersion] %ls = %ls", AsU16Text(key.c_str()),
          AsU16Text(value.c_str()));
    }
    response->SetStringValue("UWPVersion", ToU16(value));
  } catch (const std::exception& e) {
    Log(kOrbLogError, u"[DoGetConfigUWPVersion] Exception: %s", WidenMessage(e.what()));
  } catch (...) {
    Log(kOrbLogError, u"[DoGetConfigUWPVersion] Other Exception");
  }
  Log(kOrbLogTrace, u"[DoGetConfigUWPVersion] End");
  return 0;
}
