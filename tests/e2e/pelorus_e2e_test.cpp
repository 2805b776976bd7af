// orbhost.exe driving the real Pelorus.dll, as the README tells a person to:
// typed arguments, the typed form fed back, shell mode, unknown commands,
// the stand-ins' answers, events and the tour. Skipped while the build's
// Pelorus.dll does not export QueryLibrary yet.
#include <gtest/gtest.h>

#include "orbhost_runner.h"
#include "support/win32_handles.h"
#include "test_support.h"

namespace orbhost::test {
namespace {

bool PelorusLoadable() {
  const std::wstring path = PelorusPath();
  if (path.empty()) return false;
  unique_hmodule module(LoadLibraryExW(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES));
  return module && GetProcAddress(module.get(), "QueryLibrary") != nullptr;
}

class OrbhostWithPelorus : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(PelorusLoadable()) << "Pelorus.dll has no QueryLibrary export";
  }
  static RunResult Run(std::vector<std::wstring> args, const RunOptions& options = {}) {
    args.push_back(L"--dll");
    args.push_back(PelorusPath());
    return RunOrbhost(args, options);
  }
};

TEST_F(OrbhostWithPelorus, SendTestEchoesTypedArguments) {
  const RunResult r = Run({L"call", L"SendTest", L"uint:UInt=7", L"uint64:UInt64=9", L"--typed"});
  EXPECT_EQ(r.exitCode, 0u) << r.err;
  const Json response = r.Answer()["response"];
  EXPECT_EQ(response["uint:UInt"], 7);
  EXPECT_EQ(response["uint64:UInt64"], 9);
  EXPECT_EQ(response["int:Int"], 2357);
  EXPECT_EQ(response["String:String"], "Sample");
  EXPECT_EQ(response["Aaary:Binary"], "010203");
  EXPECT_EQ(response["Request:Child"],
            Json({{"Cmd:String", "SendTest"}, {"uint:UInt", 7}, {"uint64:UInt64", 9}}));

  // The Request child, fed back as a request, is the same request again.
  const std::string again = response["Request:Child"].dump();
  const RunResult second =
      Run({L"call", L"--json", std::wstring(again.begin(), again.end()), L"--typed"});
  EXPECT_EQ(second.Answer()["response"]["Request:Child"], response["Request:Child"]);

  // A "uint" given as Int is not converted: the plug-in reads 0.
  const RunResult wrongKind = Run({L"call", L"SendTest", L"uint:Int=7"});
  EXPECT_EQ(wrongKind.Answer()["response"]["uint"], 0);
}

TEST_F(OrbhostWithPelorus, ShellServesSeveralRequestsInOneProcess) {
  RunOptions options;
  options.input =
      "{\"Cmd\": \"GetName\"}\n"
      "{\"Cmd\": \"QueryInformation\"}\n"
      "{\"Cmd\": \"getname\"}\n"
      "{\"Cmd\": \"Notify.LumenMessage\", \"Action\": \"Sync\"}\n";
  const RunResult r = Run({L"shell"}, options);
  EXPECT_EQ(r.exitCode, 0u) << r.err;
  std::vector<Json> answers;
  for (const Json& line : r.JsonLines())
    if (!line.contains("event")) answers.push_back(line);
  ASSERT_EQ(answers.size(), 4u) << r.out;
  EXPECT_EQ(answers[0]["status"], "0x00000000");
  EXPECT_TRUE(answers[0]["response"].contains("username"));
  EXPECT_EQ(answers[1]["response"]["SubBrand"], 0);
  EXPECT_EQ(answers[1]["response"]["SerialNumber"], "PRB01-2024-000001");
  EXPECT_EQ(answers[2]["status"], "0xA0800010");  // names are case-sensitive
  EXPECT_EQ(answers[3]["status"], "0x00000000");
  EXPECT_EQ(answers[3]["response"]["Acknowledged"], true);
  const std::vector<Json> forwards = r.Events("framework");
  ASSERT_EQ(forwards.size(), 1u);
  EXPECT_EQ(forwards[0]["request"]["Action"], "Sync");
}

TEST_F(OrbhostWithPelorus, UnknownCommandIsAnsweredAsSuch) {
  const RunResult r = Run({L"call", L"NoSuchCommand"});
  EXPECT_EQ(r.exitCode, 1u);
  EXPECT_EQ(r.Answer()["status"], "0xA0800010");
  EXPECT_EQ(r.Answer()["response"]["Error"], "Unknown Command");
}

TEST_F(OrbhostWithPelorus, QueriesAreAnsweredFromTheGivenProfile) {
  const std::wstring profile = TempFile(L"prf");
  if (FILE* f = _wfopen(profile.c_str(), L"wb")) {
    fputs(R"({"Query": {"ProductLine": {"ProductLine:Int": 42},
                        "SerialNumber": {"$status": "0xA0800005"}},
              "Console": {"GetUWPVersion": {"UWPVersion": "7.7.7"}}})",
          f);
    fclose(f);
  }
  const RunResult info = Run({L"call", L"QueryInformation", L"--profile", profile});
  EXPECT_EQ(info.Answer()["response"], Json({{"ProductLine", 42}}));
  const RunResult uwp = Run({L"call", L"GetUWPVersionByAppService", L"--profile", profile});
  DeleteFileW(profile.c_str());
  ASSERT_NE(uwp.Answer()["status"], "0xA0800010") << "GetUWPVersionByAppService is missing";
  EXPECT_EQ(uwp.Answer()["response"], Json({{"UWPVersion", "7.7.7"}}));
}

TEST_F(OrbhostWithPelorus, DatabaseSelfTestRunsAgainstTheStandIn) {
  const RunResult r = Run({L"call", L"TestSQDBServer"});
  ASSERT_NE(r.Answer()["status"], "0xA0800010") << "TestSQDBServer is missing";
  EXPECT_EQ(r.exitCode, 0u) << r.err;
  const std::vector<Json> requests = r.Events("database");
  ASSERT_EQ(requests.size(), 3u) << r.out;
  EXPECT_EQ(requests[0]["cmd"], "SQLCommand");
  EXPECT_EQ(requests[1]["cmd"], "SQLQueryTable");
  EXPECT_EQ(requests[2]["cmd"], "Upload");
  for (const Json& request : requests) EXPECT_EQ(request["result"], true) << request.dump();
}

TEST_F(OrbhostWithPelorus, NotificationLoopBroadcastsUntilUninitialize) {
  const RunResult r = Run({L"call", L"StartNotification", L"--wait", L"3500"});
  EXPECT_EQ(r.exitCode, 0u) << r.err;
  const std::vector<Json> broadcasts = r.Events("broadcast");
  ASSERT_GE(broadcasts.size(), 1u) << r.out;
  EXPECT_EQ(broadcasts[0]["destination"], 255);
  EXPECT_EQ(broadcasts[0]["message"], Json({{"NotificationCount", 0}}));
}

TEST_F(OrbhostWithPelorus, EventsBecomeBroadcasts) {
  const struct {
    const wchar_t* event;
    int destination;
    const char* text;
  } cases[] = {
      {L"device-change", 1, "DeviceChange"},
      {L"power-setting-change", 1, "PowerSetting Change"},
      {L"windows-message", 255, "Receive Windows Message"},
  };
  for (const auto& c : cases) {
    std::vector<std::wstring> args = {L"event", c.event};
    if (std::wstring(c.event) == L"windows-message") args.push_back(L"0x218");
    const RunResult r = Run(args);
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    const std::vector<Json> broadcasts = r.Events("broadcast");
    ASSERT_EQ(broadcasts.size(), 1u) << r.out;
    EXPECT_EQ(broadcasts[0]["destination"], c.destination);
    EXPECT_EQ(broadcasts[0]["message"], Json({{"Event", c.text}}));
  }
  const RunResult session = Run({L"event", L"session-change", L"7", L"--log-level", L"2"});
  EXPECT_NE(session.err.find("[2] UserSession:0, OnSessionChange: Event:7"), std::string::npos)
      << session.err;
}

// Fixed places of the Wine machine these tests change and put back: the
// service setup program installs the fan-control service and its folder
// key; "/remove" undoes both.
class PelorusOnTheMachine : public OrbhostWithPelorus {
 protected:
  void TearDown() override { Setup(L"/remove"); }
  static DWORD Setup(const wchar_t* arguments) {
    wchar_t programFiles[MAX_PATH] = {};
    GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH);
    const std::wstring setup =
        std::wstring(programFiles) +
        L"\\QUON\\CORVANE KIOSK Lite Service\\Pelorus\\SetupQuonServices.exe";
    return wintest::RunProcess(wintest::QuoteArgument(setup) + L" " + arguments).exitCode;
  }
  static constexpr wchar_t kService[] = L"QuonFanControlService";
};

// The uninstaller's export in the built DLL: a running fan-control service
// (without the older suite) is unregistered by its signed executable.
TEST_F(PelorusOnTheMachine, UninstallThroughTheBuiltDll) {
  ASSERT_EQ(Setup(L""), 0u);
  unique_schandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  unique_schandle service(OpenServiceW(manager.get(), kService, SERVICE_START));
  ASSERT_TRUE(service && StartServiceW(service.get(), 0, nullptr));
  ASSERT_TRUE(wintest::WaitServiceState(kService, SERVICE_RUNNING));
  // An open handle would keep the deleted service registered.
  service.reset();
  manager.reset();

  const RunResult r = Run({L"uninstall"});
  EXPECT_EQ(r.exitCode, 0u) << r.out << r.err;
  EXPECT_NE(r.out.find("uninstall: FanCtrlSvc Existed == True\n"
                       "uninstall: Launch Uninstall FanCtrlSvc Successfully.\n"
                       "uninstall: Uninstall Return True\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("OnUninstall returned 1"), std::string::npos) << r.out;
  EXPECT_TRUE(wintest::WaitServiceState(kService, 0));
}

// The instance in a user session (QueryLibrary(1)) speaks as endpoint 4.
TEST_F(PelorusOnTheMachine, UserSessionInstanceIsEndpointFour) {
  const RunResult r =
      Run({L"--user-session", L"event", L"notification", L"2", L"x:Int=1", L"--log-level", L"4"});
  EXPECT_EQ(r.exitCode, 0u) << r.err;
  EXPECT_NE(r.err.find("[4] [PELORUS][Initialize] m_inUserSession = 1"), std::string::npos)
      << r.err;
  const std::vector<Json> broadcasts = r.Events("broadcast");
  ASSERT_EQ(broadcasts.size(), 1u) << r.out;
  EXPECT_EQ(broadcasts[0]["source"], 4);
  EXPECT_EQ(broadcasts[0]["destination"], 1);
}

TEST_F(OrbhostWithPelorus, StatusChecksAnswerWithTheirKinds) {
  // One load: the restart flag that Initialize set is reported once.
  RunOptions options;
  options.input =
      "{\"Cmd\": \"CheckCKServiceRestart\"}\n"
      "{\"Cmd\": \"CheckCKServiceRestart\"}\n"
      "{\"Cmd\": \"CheckSystemResume\"}\n"
      "{\"Cmd\": \"GetFeatures\"}\n"
      "{\"Cmd\": \"GetType40Info\", \"Type40\": {\"Info\": \"features\"}}\n"
      "{\"Cmd\": \"GetHTMLSupport\", \"HTMLInfo\": {\"CorvaneHttp\": \"Pelorus\"}}\n"
      "{\"Cmd\": \"CheckFrameworkReady\"}\n";
  const RunResult r = Run({L"shell", L"--typed"}, options);
  EXPECT_EQ(r.exitCode, 0u) << r.err;
  std::vector<Json> answers;
  for (const Json& line : r.JsonLines())
    if (!line.contains("event")) answers.push_back(line);
  ASSERT_EQ(answers.size(), 7u) << r.out;
  for (const Json& answer : answers) EXPECT_EQ(answer["status"], "0x00000000") << answer.dump();
  EXPECT_EQ(answers[0]["response"], Json({{"check_CkServiceRestart:Bool", true}}));
  EXPECT_EQ(answers[1]["response"], Json({{"check_CkServiceRestart:Bool", false}}));
  EXPECT_EQ(answers[2]["response"], Json({{"check_SystemResume:Bool", false}}));
  // The machine's system-information library reports feature word 1.
  EXPECT_EQ(answers[3]["response"], Json({{"features:Int", 1}}));
  EXPECT_EQ(answers[4]["response"], Json({{"features:Int", 1}}));
  // The machine's HTTP front end of the device "Pelorus" (a counted terminator may follow).
  EXPECT_EQ(answers[5]["response"].value("IsHTTPSupported:String", "").rfind("true", 0), 0u)
      << answers[5].dump();
  EXPECT_TRUE(answers[6]["response"].contains("result:Bool")) << answers[6].dump();
}

TEST_F(OrbhostWithPelorus, TourReportsEverySection) {
  const RunResult r = Run({L"tour"});
  EXPECT_EQ(r.exitCode, 0u) << r.err;
  for (const char* text :
       {"Pelorus tour", "Plug-in        Pelorus", "version 5.9.9.0",
        "Identifier     {7D3F2A10-5C4B-4E21-9A6D-1B2C3D4E5F01}", "System identity", "> GetName",
        "username:", "Power plan", "> GetActivePowerPlan", "Client application",
        "UWPVersion: \"3.2.0.0\"", "Notifications", "> StartNotification", "NotificationCount",
        "Summary", "Not implemented yet:"})
    EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;

  // Every fan step answers with status 0 and its data.
  const size_t fans = r.out.find("\nFans\n");
  ASSERT_NE(fans, std::string::npos) << r.out;
  const std::string section = r.out.substr(fans, r.out.find("\nDatabase\n") - fans);
  size_t steps = 0;
  for (size_t at = section.find("> "); at != std::string::npos; at = section.find("> ", at + 2))
    ++steps;
  size_t answered = 0;
  for (size_t at = section.find("status 0x00000000,"); at != std::string::npos;
       at = section.find("status 0x00000000,", at + 1))
    ++answered;
  EXPECT_EQ(steps, 4u) << section;
  EXPECT_EQ(answered, steps) << section;
  for (const char* text : {"IsMBSupported: \"", "result: true", "itemValue: "})
    EXPECT_NE(section.find(text), std::string::npos) << text << "\n" << section;
}

// The one fan command that acts and can run in the Wine machine: it runs the
// installed fan-mode tool, which records the mode, and resets the patch value.
TEST_F(OrbhostWithPelorus, SetFanSpeedRunsTheInstalledTool) {
  // The maker's key and the fan service's key below it; what the call creates is removed.
  const wchar_t* keys[] = {L"SOFTWARE\\WOW6432Node\\QUON",
                           L"SOFTWARE\\WOW6432Node\\QUON\\QuonFanService"};
  bool existed[2];
  for (int i = 0; i < 2; ++i) {
    unique_hkey key;
    existed[i] = RegOpenKeyExW(HKEY_LOCAL_MACHINE, keys[i], 0, KEY_READ, key.put()) == 0;
  }
  auto dword = [&keys](const wchar_t* name) -> int64_t {
    DWORD value = 0, bytes = sizeof value;
    return RegGetValueW(HKEY_LOCAL_MACHINE, keys[1], name, RRF_RT_REG_DWORD, nullptr, &value,
                        &bytes) == ERROR_SUCCESS
               ? int64_t{value}
               : -1;
  };

  const RunResult r = Run({L"call", L"SetFanSpeed", L"FanSpeedStatus.dataParam=2"});
  EXPECT_EQ(r.exitCode, 0u) << r.err;
  EXPECT_EQ(r.Answer()["response"], Json({{"FanStatus", "2"}}));
  EXPECT_EQ(dword(L"FanMode"), 2);
  EXPECT_EQ(dword(L"BIOS fan patch"), 0);

  for (const wchar_t* name : {L"FanMode", L"BIOS fan patch"})
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, keys[1], name);
  for (int i = 1; i >= 0; --i)
    if (!existed[i]) RegDeleteKeyExW(HKEY_LOCAL_MACHINE, keys[i], 0, 0);
}

// The Wine machine's own answers: the front end's config.ini installed by
// provisioning, and the active scheme through orbhost's powrprof.dll stand-in.
// The library is the copy beside orbhost.exe: loaded from there, its imports
// find the stand-in in the same folder (a library loaded from elsewhere gets
// Wine's own powrprof.dll, whose scheme functions are not implemented).
TEST_F(OrbhostWithPelorus, ClientVersionAndPowerPlanComeFromTheMachine) {
  const RunResult config =
      RunOrbhost({L"call", L"GetConfigUWPVersion", L"ConfigInfo.device=Device",
                  L"ConfigInfo.foldername=CorvaneKiosk", L"ConfigInfo.key=UWPVersion"});
  EXPECT_EQ(config.exitCode, 0u) << config.err;
  EXPECT_EQ(config.Answer()["response"], Json({{"UWPVersion", "3.2.0.0"}}));

  const RunResult plan = RunOrbhost({L"call", L"GetActivePowerPlan"});
  EXPECT_EQ(plan.exitCode, 0u) << plan.err;
  const std::string active = plan.Answer()["response"].value("active_plan", "");
  EXPECT_TRUE(active == "381B4222-F694-41F0-9685-FF5BB260DF2E" ||
              active == "A1841308-3541-4FAB-BC81-F71556F20B4A" ||
              active == "8C5E7FDA-E8BF-4A96-9A85-A6E23A8C635C")
      << active;
}

}  // namespace
}  // namespace orbhost::test
