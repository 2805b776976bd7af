// The client-information commands through OnMessage: the requests the
// database self-test and the version query send (seen by a recording host),
// the privacy-policy log lines, and the front end's configuration file in
// its fixed folder under Program Files (x86).
#include <gtest/gtest.h>

#include <shlobj.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "plugin/pelorus.h"
#include "machine_test_support.h"

namespace {

using machine_test::SentBodies;
using machine_test::Typed;

class ClientInfoTest : public ::testing::Test {
 protected:
  machine_test::AttachedPlugin m_p;
};

TEST_F(ClientInfoTest, DatabaseSelfTestSendsThreeRequestsAndReturnsTheLastStatus) {
  // The first two requests fail; the sequence still runs to its end.
  int answered = 0;
  m_p.host.SetReplier([&](const RecordedMessage&, QuonValueSet* reply) -> HRESULT {
    reply->SetValue("CommandResult", new QuonValueSet::OrbValue(true));
    ++answered;
    return answered < 3 ? E_FAIL : static_cast<HRESULT>(0x12345);
  });
  QuonValueSet response;
  EXPECT_EQ(m_p.Call(u"TestSQDBServer", &response), static_cast<HRESULT>(0x12345));
  EXPECT_TRUE(response.Empty());
  for (const RecordedMessage& m : m_p.host.sends()) {
    EXPECT_TRUE(IsEqualGUID(m.target, GUID_OrbDatabasePlugin));
    EXPECT_EQ(m.header()[2], kOrbEndpointService);  // its own endpoint: not wrapped
  }

  // The file: "test_<high>_<low>.db" (the local time as a FILETIME).
  const std::vector<std::string> bodies = SentBodies(m_p.host);
  ASSERT_EQ(bodies.size(), 3u);
  std::smatch parts;
  ASSERT_TRUE(
      std::regex_search(bodies[2], parts, std::regex(R"(FileName:String=(test_\d+_\d+\.db),)")))
      << bodies[2];
  const std::string folder = "C:\\Users\\Public\\Libraries\\";
  const std::string path = folder + parts[1].str();
  EXPECT_EQ(
      bodies,
      (std::vector<std::string>{
          "{Cmd:String=SQLCommand, FilePath:String=" + path +
              ", SQLCommand:String=Create Table TestTable(KeyID Integer Primary Key,Title Text "
              "Default '',Path Text Default '',DateTime Text Default '',BooleanData Integer "
              "Default '',FloatData Real Default '');"
              "Insert Into TestTable(KeyID, Title, Path, DateTime, BooleanData, FloatData)"
              "Values(\"0\", \"first item\", \"c:\\AAAA\", \"2019/2/13\", \"1\", \"1.019\");"
              "Insert Into TestTable(KeyID, Title, Path, DateTime, BooleanData, FloatData)"
              "Values(\"1\", \"second item\", \"\", \"2019/2/14\", \"0\", \"2.019\");"
              "Insert Into TestTable(KeyID, Title, Path, DateTime, BooleanData, FloatData)"
              "Values(\"2\", \"third item\", \"c:\\CCCC\", \"2019/2/15\", \"1\", \"3.019\");}",
          "{Cmd:String=SQLQueryTable, FilePath:String=" + path + ", TableName:String=TestTable}",
          "{Cmd:String=Upload, FileName:String=" + parts[1].str() +
              ", FolderPath:String=" + folder + "}"}));
}

TEST_F(ClientInfoTest, VersionByAppServiceQueriesTheConsoleAndPassesTheAnswerBack) {
  m_p.host.SetReplier([](const RecordedMessage&, QuonValueSet* reply) -> HRESULT {
    reply->SetStringValue("UWPVersion", std::u16string(u"1.2.3"));
    reply->SetValue("Extra", new QuonValueSet::OrbValue(int32_t{7}));
    return static_cast<HRESULT>(0xA0800005);
  });
  QuonValueSet response;
  EXPECT_EQ(m_p.Call(u"GetUWPVersionByAppService", &response), static_cast<HRESULT>(0xA0800005));
  EXPECT_EQ(Typed(response), "{Extra:Int=7, UWPVersion:String=1.2.3}");
  EXPECT_EQ(SentBodies(m_p.host),
            (std::vector<std::string>{"{Cmd:String=Query.AppService, Request:Child={Cmd:String="
                                      "GetUWPVersion, Target:String=ConsolePlugin}}"}));
}

TEST_F(ClientInfoTest, PrivacyPolicyIsRecordedInTheHostLogOnly) {
  QuonValueSet response;
  EXPECT_EQ(m_p.Call(u"PrivacyPolicyStatus", &response,
                     [](QuonValueSet& r) { r.SetStringValue("Agree", std::u16string(u"true")); }),
            S_OK);
  EXPECT_TRUE(response.Empty());
  std::vector<std::u16string> lines;
  for (const RecordedLog& log : m_p.host.logs()) {
    if (log.level == kOrbLogException) lines.push_back(log.text);
  }
  EXPECT_EQ(lines, (std::vector<std::u16string>{
                       u"Enter DoPrivacyPolicyStatus", u"Cmd = PrivacyPolicyStatus",
                       u"PrivacyPolicy Agree = true", u"PrivacyPolicy Read = ",
                       u"Leave DoPrivacyPolicyStatus"}));
  EXPECT_TRUE(m_p.host.sends().empty());
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
    m_folderName = L"pelorus-test-" + std::to_wstring(GetCurrentProcessId());
    std::filesystem::create_directories(ViewFolder() / m_folderName);
    std::ofstream(ViewFolder() / m_folderName / L"config.ini")
        << "[Device]\r\nName=Kiosk\r\nUWPVersion=4.5.6.7\r\n[Other]\r\nBuild=12\r\n";
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(ViewFolder() / m_folderName, ignored);
  }

  // The answer to a request with ConfigInfo (none when folderName is null).
  std::string Version(const wchar_t* device, const wchar_t* key, const std::wstring* folderName) {
    QuonValueSet response;
    EXPECT_EQ(m_p.Call(u"GetConfigUWPVersion", &response,
                       [&](QuonValueSet& request) {
                         if (folderName == nullptr) return;
                         QuonValueSet* info = request.CreateChild("ConfigInfo");
                         info->SetStringValue("device", ToU16(device));
                         info->SetStringValue("foldername", ToU16(*folderName));
                         info->SetStringValue("key", ToU16(key));
                         info->SetStringValue("target", std::u16string(u"ignored"));
                       }),
              S_OK);
    return Typed(response);
  }

  std::wstring m_folderName;
};

TEST_F(ConfigVersionTest, ReadsTheKeyOfTheSectionAndDefaultsToZero) {
  EXPECT_EQ(Version(L"Device", L"UWPVersion", &m_folderName), "{UWPVersion:String=4.5.6.7}");
  EXPECT_TRUE(m_p.host.HasLog(kOrbLogTrace, u"[DoGetConfigUWPVersion] UWPVersion = 4.5.6.7"));
  // The section lacks the key. (No file at all: the case below.)
  EXPECT_EQ(Version(L"Device", L"Build", &m_folderName), "{UWPVersion:String=0}");
}

TEST_F(ConfigVersionTest, NoConfigInfoLooksDirectlyInTheViewFolder) {
  ASSERT_FALSE(std::filesystem::exists(ViewFolder() / L"config.ini"));
  EXPECT_EQ(Version(nullptr, nullptr, nullptr), "{UWPVersion:String=0}");
  EXPECT_TRUE(m_p.host.HasLog(kOrbLogTrace, ToU16(L"[DoGetConfigUWPVersion]UWP Version " +
                                                  ViewFolder().wstring() + L"\\\\config.ini")));
}

}  // namespace
