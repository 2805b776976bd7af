// orbhost.exe driven as a user would, against the probe plug-in: the typed
// form fed back, shell mode, events, clean standard output and concurrent
// output. (The loader's refusals are tested in-process, loader_test.cpp.)
#include <gtest/gtest.h>

#include <set>

#include "orbhost_runner.h"
#include "test_support.h"

namespace orbhost::test {
namespace {

std::wstring Probe() {
  return BesideTest(L"probe_plugin.dll");
}

std::vector<std::wstring> WithProbe(std::vector<std::wstring> args) {
  args.push_back(L"--dll");
  args.push_back(Probe());
  return args;
}

TEST(OrbhostWithProbe, TypedOutputReadsBackThroughJson) {
  const RunResult first =
      RunOrbhost(WithProbe({L"call", L"Echo", L"n:Int64=-5", L"u:UInt=4294967295", L"b:Binary=00ff",
                            L"c.d:Double=1e300", L"--typed"}));
  const Json response = first.Answer()["response"];
  const std::string json = response.dump();
  const RunResult second = RunOrbhost(
      WithProbe({L"call", L"--json", std::wstring(json.begin(), json.end()), L"--typed"}));
  EXPECT_EQ(second.exitCode, 0u) << second.err;
  EXPECT_EQ(second.Answer()["response"], response);
}

TEST(OrbhostWithProbe, ShellAnswersOneLinePerRequestInOneProcess) {
  RunOptions options;
  options.input =
      "{\"Cmd\": \"Echo\", \"n:UInt\": 1}\r\n"
      "\n"
      "not json\n"
      "{\"Cmd\": \"Echo\", \"v:UInt\": -1}\n"
      "{\"Cmd\": \"Data\", \"Name\": \"k\", \"Bytes:Binary\": \"0102\"}\n"
      "{\"Cmd\": \"Data\", \"Name\": \"k\"}\n";
  const RunResult r = RunOrbhost(WithProbe({L"shell"}), options);
  EXPECT_EQ(r.exitCode, 0u) << r.err;
  const std::vector<Json> lines = r.JsonLines();
  ASSERT_EQ(lines.size(), 5u) << r.out;
  EXPECT_EQ(lines[0]["response"]["n"], 1);
  EXPECT_TRUE(lines[1].contains("error"));
  EXPECT_NE(lines[2]["error"].get<std::string>().find("not a valid UInt"), std::string::npos);
  // Shared data set by one request is still there for the next.
  EXPECT_EQ(lines[4]["response"]["Bytes"], Json::array({1, 2}));
}

TEST(OrbhostWithProbe, PluginPrintsGoToStandardErrorNotTheJson) {
  const RunResult r = RunOrbhost(WithProbe({L"call", L"Print"}));
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_EQ(r.out, "{\"status\":\"0x00000000\",\"response\":{}}\n");
  EXPECT_NE(r.err.find("probe printf line"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("probe handle line"), std::string::npos) << r.err;
}

TEST(OrbhostWithProbe, LinesFromManyThreadsNeverInterleave) {
  const RunResult r = RunOrbhost(
      WithProbe({L"call", L"Storm", L"Threads:UInt=8", L"Count:UInt=50", L"--log-level", L"6"}));
  EXPECT_EQ(r.exitCode, 0u);
  std::set<std::pair<int, int>> seen;
  for (const Json& event : r.Events("broadcast"))
    seen.insert({event["message"]["Thread"].get<int>(), event["message"]["Index"].get<int>()});
  EXPECT_EQ(seen.size(), 400u);
  EXPECT_EQ(r.Answer()["response"]["Answered"], 400);
  // Every log line is whole too.
  size_t stormLines = 0;
  for (size_t at = r.err.find("[4] storm "); at != std::string::npos;
       at = r.err.find("[4] storm ", at + 1))
    ++stormLines;
  EXPECT_EQ(stormLines, 400u);
}

TEST(OrbhostWithProbe, EventsReachTheirInterfaces) {
  const struct {
    std::vector<std::wstring> args;
    const char* event;
    Json code;
    Json text;
  } cases[] = {
      {{L"session-change", L"5"}, "SessionChange", 5, ""},
      {{L"device-change"}, "DeviceChange", 0x8000, ""},
      {{L"windows-message", L"0x218", L"7"}, "WindowsMessage", 0x218, ""},
      {{L"uwp-connection-change", L"true"}, "UWPConnectionChange", 1, ""},
      {{L"power-setting-change"}, "PowerSettingChange", 0x6FE69556u, ""},
      {{L"lumen-message", L"Sync", L"b=2", L"a=1"}, "LumenMessage", 0, "Sync|a=1|b=2"},
      {{L"rls-message", L"-3", L"text here"}, "RLSMessage", 0xFFFFFFFDu, "text here"},
      {{L"collect-diagnostics", L"C:\\Diag"}, "CollectDiagnostics", 0, "C:\\Diag"},
  };
  for (const auto& c : cases) {
    std::vector<std::wstring> args = {L"event"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult r = RunOrbhost(WithProbe(args));
    SCOPED_TRACE(c.event);
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    const std::vector<Json> broadcasts = r.Events("broadcast");
    ASSERT_EQ(broadcasts.size(), 1u) << r.out;
    EXPECT_EQ(broadcasts[0]["destination"], 1);
    EXPECT_EQ(broadcasts[0]["message"]["Event"], c.event);
    EXPECT_EQ(broadcasts[0]["message"]["Code"], c.code);
    EXPECT_EQ(broadcasts[0]["message"]["Text"], c.text);
  }

  const RunResult service =
      RunOrbhost(WithProbe({L"event", L"service-message", L"4098", L"3", L"NewVersion=2.0",
                            L"PPAgreed:Bool=true", L"--typed"}));
  const std::vector<Json> broadcasts = service.Events("broadcast");
  ASSERT_EQ(broadcasts.size(), 1u) << service.out << service.err;
  EXPECT_EQ(broadcasts[0]["message"]["Data:Child"],
            Json({{"NewVersion:String", "2.0"}, {"PPAgreed:Bool", true}}));

  const RunResult note = RunOrbhost(WithProbe({L"event", L"notification", L"4", L"x:Int=1"}));
  ASSERT_EQ(note.Events("broadcast").size(), 1u) << note.out;
  EXPECT_EQ(note.Events("broadcast")[0]["message"]["Source"], 4);

  const RunResult bad = RunOrbhost(WithProbe({L"event", L"earthquake"}));
  EXPECT_EQ(bad.exitCode, 2u);
  EXPECT_NE(bad.err.find("unknown event 'earthquake'"), std::string::npos);
  EXPECT_EQ(RunOrbhost(WithProbe({L"event", L"session-change"})).exitCode, 2u);
}

TEST(OrbhostWithProbe, InitializeFailureIsReportedAndTheHostGoesOn) {
  RunOptions failing;
  failing.environment = {L"PROBE_INITIALIZE_FAILS=1"};
  const RunResult r = RunOrbhost(WithProbe({L"call", L"Echo"}), failing);
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_NE(r.err.find("Initialize returned 0x00000001"), std::string::npos) << r.err;
  EXPECT_EQ(r.Answer()["status"], "0x00000000");

  const RunResult strict = RunOrbhost(WithProbe({L"call", L"Echo", L"--strict-init"}), failing);
  EXPECT_EQ(strict.exitCode, 4u);
  EXPECT_TRUE(strict.out.empty());
}

TEST(OrbhostWithProbe, LogFileAndLevelThreshold) {
  const std::wstring log = TempFile(L"olg");
  const RunResult r = RunOrbhost(WithProbe({L"call", L"Log", L"Text=line", L"Number:Int=3",
                                            L"Level:UInt=5", L"--log", log, L"--log-level", L"5"}));
  EXPECT_EQ(r.exitCode, 0u);
  const std::string text = ReadAll(log);
  EXPECT_NE(text.find("[5] probe line 3"), std::string::npos) << text;
  EXPECT_EQ(r.err.find("probe line"), std::string::npos) << "log lines go to the file only";

  const RunResult quiet = RunOrbhost(
      WithProbe({L"call", L"Log", L"Text=hidden", L"Level:UInt=5", L"--log-level", L"4"}));
  EXPECT_EQ(quiet.err.find("hidden"), std::string::npos) << quiet.err;
  DeleteFileW(log.c_str());
}

TEST(OrbhostWithProbe, DumpShowsTheTreesOwnText) {
  const RunResult r = RunOrbhost(WithProbe({L"call", L"Echo", L"a:UInt=5", L"--dump"}));
  EXPECT_EQ(r.out, "status: 0x00000000\n{\r\n  Cmd:  Echo,\r\n  a:  5,\r\n}\n");
}

}  // namespace
}  // namespace orbhost::test
