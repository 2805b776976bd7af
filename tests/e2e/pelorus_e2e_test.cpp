// orbhost.exe driving the real Pelorus.dll, as the README tells a person to:
// one exact wire answer per command or route (typed arguments, unknown
// commands, the framework stand-in's answer, the machine's answers; the
// database stand-in's in database_e2e_test.cpp), each
// event interface, the uninstall export, the user-session instance and the
// tour. Handler detail is tested
// in-process (tests/windows); orbhost's own behaviour with the probe plug-in.
#include <gtest/gtest.h>

#include "orbhost_runner.h"
#include "support/win32_handles.h"
#include "test_support.h"
#include "utf.h"

namespace orbhost::test {
namespace {

// A build without a usable Pelorus.dll fails every case (orbhost's exit code 3).
class OrbhostWithPelorus : public ::testing::Test {
 protected:
  static RunResult Run(std::vector<std::wstring> args, const RunOptions& options = {}) {
    args.push_back(L"--dll");
    args.push_back(PelorusPath());
    return RunOrbhost(args, options);
  }
};

TEST_F(OrbhostWithPelorus, SendTestEchoesTypedArguments) {
  const RunResult r = Run({L"call", L"SendTest", L"uint:UInt=7", L"uint64:UInt64=9", L"--typed"});
  EXPECT_EQ(r.exitCode, 0u) << r.err;
  Json response = r.Answer()["response"];
  response.erase("Index:Int");  // the plug-in's count of logged calls
  // Keys in the tree's order (byte order).
  EXPECT_EQ(response,
            Json({{"Aaary:Binary", "010203"},
                  {"Request:Child",
                   Json({{"Cmd:String", "SendTest"}, {"uint:UInt", 7}, {"uint64:UInt64", 9}})},
                  {"String:String", "Sample"},
                  {"bool:Bool", true},
                  {"double:Double", 10.10101010101},
                  {"int:Int", 2357},
                  {"int64:Int64", 100},
                  {"uint:UInt", 7},
                  {"uint64:UInt64", 9}}));
}

// The lighting forward reaches the framework, whose acknowledgement comes back.
TEST_F(OrbhostWithPelorus, LightingForwardReachesTheFramework) {
  const RunResult r = Run({L"call", L"Notify.LumenMessage", L"Action=Sync"});
  EXPECT_EQ(r.exitCode, 0u) << r.err;
  EXPECT_EQ(r.Answer()["response"], Json({{"Acknowledged", true}}));
  const std::vector<Json> forwards = r.Events("framework");
  ASSERT_EQ(forwards.size(), 1u) << r.out;
  EXPECT_EQ(forwards[0]["request"], Json({{"Action", "Sync"}, {"Cmd", "Notify.LumenMessage"}}));
}

TEST_F(OrbhostWithPelorus, UnknownCommandIsAnsweredAsSuch) {
  const RunResult r = Run({L"call", L"NoSuchCommand"});
  EXPECT_EQ(r.exitCode, 1u);
  EXPECT_EQ(r.Answer()["status"], "0xA0800010");
  EXPECT_EQ(r.Answer()["response"]["Error"], "Unknown Command");
}

// Each event orbhost delivers, through the interface that takes it, as
// Pelorus answers it: a log line on standard error or a broadcast.
TEST_F(OrbhostWithPelorus, EventsReachTheirInterfaces) {
  const struct {
    std::vector<std::wstring> args;
    int destination;   // of the broadcast; 0: the text is a log line on standard error
    const char* text;  // the broadcast's "Event", or the log line
  } cases[] = {
      {{L"session-change", L"5"}, 0, "[2] UserSession:0, OnSessionChange: Event:5"},
      {{L"device-change"}, 1, "DeviceChange"},
      {{L"power-setting-change"}, 1, "PowerSetting Change"},
      {{L"windows-message", L"0x219", L"1", L"2"}, 255, "Receive Windows Message"},
      {{L"uwp-connection-change", L"false"}, 0, "[4] OnUWPConnectionChange : false."},
      {{L"lumen-message", L"Sync", L"b=2", L"a=1"},
       0,
       "[4] OnLumenMessage => Action:Sync, Attributes:(a:1),(b:2),"},
      {{L"rls-message", L"-3", L"limit"}, 0, "[4] OnRLSMessage => -3:limit"},
      {{L"service-message", L"4098", L"3", L"OldVersion=1.0", L"NewVersion=2.0",
        L"PPAgreed:Bool=true"},
       0,
       "[4] UWPInfoEvent::Updated, V1.0 -> V2.0, PPRead:0, PPAgreed:1"},
  };
  for (const auto& c : cases) {
    std::vector<std::wstring> args = {L"event"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.insert(args.end(), {L"--log-level", L"4"});
    const RunResult r = Run(args);
    SCOPED_TRACE(::testing::PrintToString(c.args[0]));
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    if (c.destination == 0) {
      EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
      continue;
    }
    const std::vector<Json> broadcasts = r.Events("broadcast");
    ASSERT_EQ(broadcasts.size(), 1u) << r.out;
    EXPECT_EQ(broadcasts[0]["message"]["Event"], c.text);
    EXPECT_EQ(broadcasts[0]["destination"], c.destination);
  }
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

// Two requests in one process (shell mode): what the real start-up left for
// the status checks. (Each check's answers and log lines: status_commands_test.cpp.)
TEST_F(OrbhostWithPelorus, StatusChecksReportWhatStartUpLeft) {
  RunOptions options;
  options.input =
      "{\"Cmd\": \"CheckCKServiceRestart\"}\n"
      "{\"Cmd\": \"GetType40Info\", \"Type40\": {\"Info\": \"features\"}}\n";
  const RunResult r = Run({L"shell", L"--typed"}, options);
  EXPECT_EQ(r.exitCode, 0u) << r.err;
  std::vector<Json> answers;
  for (const Json& line : r.JsonLines())
    if (!line.contains("event")) answers.push_back(line);
  // The restart flag that Initialize set, and the feature word the machine's
  // system-information library reported.
  EXPECT_EQ(answers,
            std::vector<Json>({
                {{"status", "0x00000000"}, {"response", {{"check_CkServiceRestart:Bool", true}}}},
                {{"status", "0x00000000"}, {"response", {{"features:Int", 1}}}},
            }))
      << r.out;
}

TEST_F(OrbhostWithPelorus, TourReportsEverySection) {
  const NewPublicLibraryFiles databases;  // the database self-test's
  const wintest::ScratchFolder uploads;
  // The temporary folder, and with it the tour's default log, is the case's own.
  const wintest::ScratchFolder temp;
  const std::wstring folder = temp.path().wstring() + L"\\";
  RunOptions options;
  options.environment = {L"TEMP=" + folder, L"TMP=" + folder};
  const RunResult r = Run({L"tour", L"--upload-dir", uploads.path().wstring()}, options);
  EXPECT_EQ(r.exitCode, 0u) << r.err;

  // Host log lines and the plug-in's own prints (the hardware-monitor
  // bridge's module handle) are in the log named at the end, not in the report.
  const std::filesystem::path logPath = temp.path() / L"orbhost-tour.log";
  const std::string named = "\nHost log and the plug-in's own output: " +
                            Utf16ToUtf8(AsU16Text(logPath.wstring().c_str())) + "\n";
  ASSERT_GE(r.out.size(), named.size()) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - named.size()), named);
  const std::string log = ReadAll(logPath);
  for (const char* text : {"\n[4] ", "hHm: "}) {
    EXPECT_NE(("\n" + log).find(text), std::string::npos) << text << "\n" << log;
    EXPECT_EQ(("\n" + r.out + r.err).find(text), std::string::npos) << text;
  }
  for (const char* text :
       {"Pelorus tour", "Plug-in        Pelorus", "version 5.9.9.0",
        "Identifier     {7D3F2A10-5C4B-4E21-9A6D-1B2C3D4E5F01}", "System identity", "> GetName",
        "username:", "Power plan", "> GetActivePowerPlan", "Client application",
        "UWPVersion: \"3.2.0.0\"", "Notifications", "> StartNotification", "NotificationCount",
        "Summary", "Not implemented yet:"})
    EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;

  // Every one of the four fan steps answers with status 0 and its data.
  const size_t fans = r.out.find("\nFans\n");
  ASSERT_NE(fans, std::string::npos) << r.out;
  const std::string section = r.out.substr(fans, r.out.find("\nDatabase\n") - fans);
  auto count = [&section](const std::string& text) {
    size_t n = 0;
    for (size_t at = section.find(text); at != std::string::npos; at = section.find(text, at + 1))
      ++n;
    return n;
  };
  EXPECT_EQ(count("> "), 4u) << section;
  EXPECT_EQ(count("status 0x00000000,"), 4u) << section;
  for (const char* text : {"IsMBSupported: \"", "result: true", "itemValue: "})
    EXPECT_NE(section.find(text), std::string::npos) << text << "\n" << section;
}

// The active scheme through orbhost's powrprof.dll stand-in, as the tour
// shows it. The library is the copy beside orbhost.exe: loaded from there,
// its imports find the stand-in in the same folder (a library loaded from
// elsewhere gets Wine's own powrprof.dll, whose scheme functions are not
// implemented). (The answer to each scheme: power_plans_test.cpp.)
TEST_F(OrbhostWithPelorus, PowerPlanComesFromTheMachine) {
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
