// The client-information commands through OnMessage: the requests the
// database self-test and the version query send (seen by a recording host),
// the privacy-policy log lines, and the front end's configuration file in
// its fixed folder under Program Files (x86).
#include <gtest/gtest.h>

#include <shlobj.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "../common/recording_host.h"
#include "frame/pelorus.h"
#include "support/win32_handles.h"

namespace {

struct PluginDeleter {
  void operator()(IOrbPlugin* p) const { p->Release(); }
};
using PluginPtr = std::unique_ptr<IOrbPlugin, PluginDeleter>;

HRESULT Call(IOrbPlugin* plugin, const QuonValueSet& request, QuonValueSet* response) {
  std::vector<uint8_t> message = FrameMessage(kOrbMessageRequest, kOrbEndpointClients, request);
  uint8_t* reply = nullptr;
  uint64_t length = 0;
  HRESULT status = plugin->OnMessage(nullptr, message.data(), static_cast<uint32_t>(message.size()),
                                     &reply, &length);
  response->Clear();
  if (length != 0) response->Deserialize(reply, &length);
  std::free(reply);
  return status;
}

std::string Narrow(const std::u16string& text) {
  return std::string(text.begin(), text.end());  // ASCII in these tests
}

uint64_t LocalFileTime() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  FILETIME stamp;
  SystemTimeToFileTime(&now, &stamp);
  return (uint64_t{stamp.dwHighDateTime} << 32) | stamp.dwLowDateTime;
}

class ClientInfoTest : public ::testing::Test {
 protected:
  void SetUp() override { m_host.Attach(m_plugin.get()); }

  HRESULT Run(const char16_t* cmd, QuonValueSet* response, void (*fill)(QuonValueSet*) = nullptr) {
    QuonValueSet request;
    request.SetStringValue("Cmd", std::u16string(cmd));
    if (fill != nullptr) fill(&request);
    return Call(m_plugin.get(), request, response);
  }

  PluginPtr m_plugin{QueryLibrary(0)};
  RecordingHost m_host;
};

TEST_F(ClientInfoTest, DatabaseSelfTestSendsThreeRequestsAndReturnsTheLastStatus) {
  // The first two requests fail; the sequence still runs to its end.
  int answered = 0;
  m_host.SetReplier([&](const RecordedMessage&, QuonValueSet* reply) -> HRESULT {
    reply->SetValue("CommandResult", new QuonValueSet::OrbValue(true));
    ++answered;
    return answered < 3 ? E_FAIL : static_cast<HRESULT>(0x12345);
  });
  const uint64_t before = LocalFileTime();
  QuonValueSet response;
  EXPECT_EQ(Run(u"TestSQDBServer", &response), static_cast<HRESULT>(0x12345));
  const uint64_t after = LocalFileTime();
  EXPECT_TRUE(response.Empty());

  const std::vector<RecordedMessage> sends = m_host.sends();
  ASSERT_EQ(sends.size(), 3u);
  QuonValueSet execute, query, upload;
  ASSERT_TRUE(sends[0].Body(&execute));
  ASSERT_TRUE(sends[1].Body(&query));
  ASSERT_TRUE(sends[2].Body(&upload));
  for (const RecordedMessage& m : sends) {
    EXPECT_TRUE(IsEqualGUID(m.target, GUID_OrbDatabasePlugin));
    EXPECT_EQ(m.header()[2], kOrbEndpointService);  // its own endpoint: not wrapped
  }

  // The file: "test_<high>_<low>.db" of the local time as a FILETIME.
  const std::string name = Narrow(upload.GetStringValue("FileName"));
  std::smatch parts;
  ASSERT_TRUE(std::regex_match(name, parts, std::regex(R"(test_(\d+)_(\d+)\.db)"))) << name;
  const uint64_t stamp = (std::stoull(parts[1]) << 32) | std::stoull(parts[2]);
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, after);
  const std::u16string folder = u"C:\\Users\\Public\\Libraries\\";
  const std::u16string path = folder + upload.GetStringValue("FileName");

  EXPECT_EQ(execute.Count(), 3u);
  EXPECT_EQ(execute.GetStringValue("Cmd"), u"SQLCommand");
  EXPECT_EQ(execute.GetStringValue("FilePath"), path);
  EXPECT_EQ(execute.GetStringValue("SQLCommand"),
            u"Create Table TestTable(KeyID Integer Primary Key,Title Text Default '',Path Text "
            u"Default '',DateTime Text Default '',BooleanData Integer Default '',FloatData Real "
            u"Default '');"
            u"Insert Into TestTable(KeyID, Title, Path, DateTime, BooleanData, FloatData)"
            u"Values(\"0\", \"first item\", \"c:\\AAAA\", \"2019/2/13\", \"1\", \"1.019\");"
            u"Insert Into TestTable(KeyID, Title, Path, DateTime, BooleanData, FloatData)"
            u"Values(\"1\", \"second item\", \"\", \"2019/2/14\", \"0\", \"2.019\");"
            u"Insert Into TestTable(KeyID, Title, Path, DateTime, BooleanData, FloatData)"
            u"Values(\"2\", \"third item\", \"c:\\CCCC\", \"2019/2/15\", \"1\", \"3.019\");");

  EXPECT_EQ(query.Count(), 3u);
  EXPECT_EQ(query.GetStringValue("Cmd"), u"SQLQueryTable");
  EXPECT_EQ(query.GetStringValue("FilePath"), path);
  EXPECT_EQ(query.GetStringValue("TableName"), u"TestTable");

  EXPECT_EQ(upload.Count(), 3u);
  EXPECT_EQ(upload.GetStringValue("Cmd"), u"Upload");
  EXPECT_EQ(upload.GetStringValue("FolderPath"), folder);
}

TEST(ClientInfo, DatabaseSelfTestWithoutAHostToSendTo) {
  PluginPtr plugin(QueryLibrary(0));
  QuonValueSet request, response;
  request.SetStringValue("Cmd", std::u16string(u"TestSQDBServer"));
  EXPECT_EQ(Call(plugin.get(), request, &response), ORB_E_NOT_AVAILABLE);
}

TEST_F(ClientInfoTest, VersionByAppServiceQueriesTheConsoleAndPassesTheAnswerBack) {
  m_host.SetReplier([](const RecordedMessage&, QuonValueSet* reply) -> HRESULT {
    reply->SetStringValue("UWPVersion", std::u16string(u"1.2.3"));
    reply->SetValue("Extra", new QuonValueSet::OrbValue(int32_t{7}));
    return static_cast<HRESULT>(0xA0800005);
  });
  QuonValueSet response;
  EXPECT_EQ(Run(u"GetUWPVersionByAppService", &response), static_cast<HRESULT>(0xA0800005));
  EXPECT_EQ(response.Count(), 2u);
  EXPECT_EQ(response.GetStringValue("UWPVersion"), u"1.2.3");
  EXPECT_EQ(response.GetIntValue("Extra"), 7);

  const std::vector<RecordedMessage> sends = m_host.sends();
  ASSERT_EQ(sends.size(), 1u);
  QuonValueSet sent;
  ASSERT_TRUE(sends[0].Body(&sent));
  EXPECT_EQ(sent.GetStringValue("Cmd"), u"Query.AppService");
  const QuonValueSet* inner = sent.GetChild("Request");
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->Count(), 2u);
  EXPECT_EQ(inner->GetStringValue("Target"), u"ConsolePlugin");
  EXPECT_EQ(inner->GetStringValue("Cmd"), u"GetUWPVersion");
}

TEST_F(ClientInfoTest, PrivacyPolicyIsRecordedInTheHostLogOnly) {
  QuonValueSet response;
  EXPECT_EQ(Run(u"PrivacyPolicyStatus", &response,
                [](QuonValueSet* r) { r->SetStringValue("Agree", std::u16string(u"true")); }),
            S_OK);
  EXPECT_TRUE(response.Empty());
  std::vector<std::u16string> lines;
  for (const RecordedLog& log : m_host.logs()) {
    if (log.level == kOrbLogException) lines.push_back(log.text);
  }
  EXPECT_EQ(lines, (std::vector<std::u16string>{
                       u"Enter DoPrivacyPolicyStatus", u"Cmd = PrivacyPolicyStatus",
                       u"PrivacyPolicy Agree = true", u"PrivacyPolicy Read = ",
                       u"Leave DoPrivacyPolicyStatus"}));
  EXPECT_TRUE(m_host.sends().empty());
}

// --- The front end's configuration file ----------------------------------------------

std::filesystem::path ViewFolder() {
  wchar_t folder[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, SHGFP_TYPE_CURRENT, folder);
  return std::filesystem::path(folder) / L"QUON" / L"CorvaneDevice" / L"view";
}

class ConfigVersionTest : public ClientInfoTest {
 protected:
  void SetUp() override {
    ClientInfoTest::SetUp();
    m_folderName = L"pelorus-test-" + std::to_wstring(GetCurrentProcessId());
    std::filesystem::create_directories(ViewFolder() / m_folderName);
    std::ofstream(ViewFolder() / m_folderName / L"config.ini")
        << "[Device]\r\nName=Kiosk\r\nUWPVersion=4.5.6.7\r\n[Other]\r\nBuild=12\r\n";
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(ViewFolder() / m_folderName, ignored);
  }

  std::u16string Version(const wchar_t* device, const wchar_t* key,
                         const std::wstring* folderName) {
    QuonValueSet request, response;
    request.SetStringValue("Cmd", std::u16string(u"GetConfigUWPVersion"));
    if (folderName != nullptr) {
      QuonValueSet* info = request.CreateChild("ConfigInfo");
      info->SetStringValue("device", ToU16(device));
      info->SetStringValue("foldername", ToU16(*folderName));
      info->SetStringValue("key", ToU16(key));
      info->SetStringValue("target", std::u16string(u"ignored"));
    }
    EXPECT_EQ(Call(m_plugin.get(), request, &response), S_OK);
    EXPECT_EQ(response.Count(), 1u);
    return response.GetStringValue("UWPVersion");
  }

  std::wstring m_folderName;
};

TEST_F(ConfigVersionTest, ReadsTheKeyOfTheSectionAndDefaultsToZero) {
  EXPECT_EQ(Version(L"Device", L"UWPVersion", &m_folderName), u"4.5.6.7");
  EXPECT_TRUE(m_host.HasLog(kOrbLogTrace, u"[DoGetConfigUWPVersion] UWPVersion = 4.5.6.7"));
  EXPECT_EQ(Version(L"Device", L"Build", &m_folderName), u"0");  // the section lacks the key
  EXPECT_EQ(Version(L"Missing", L"UWPVersion", &m_folderName), u"0");
  const std::wstring absent = m_folderName + L"-absent";
  EXPECT_EQ(Version(L"Device", L"UWPVersion", &absent), u"0");
}

TEST_F(ConfigVersionTest, NoConfigInfoLooksDirectlyInTheViewFolder) {
  ASSERT_FALSE(std::filesystem::exists(ViewFolder() / L"config.ini"));
  EXPECT_EQ(Version(nullptr, nullptr, nullptr), u"0");
  const std::wstring expected =
      L"[DoGetConfigUWPVersion]UWP Version " + ViewFolder().wstring() + L"\\\\config.ini";
  EXPECT_TRUE(m_host.HasLog(kOrbLogTrace, ToU16(expected))) << Narrow(ToU16(expected));
}

}  // namespace
