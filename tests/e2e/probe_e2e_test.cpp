// orbhost.exe driven as a user would, against the probe plug-in: whole
// output lines from concurrent threads, and a failed Initialize. (The
// loader's refusals are tested in-process, loader_test.cpp; events, shell
// mode and typed output with Pelorus.dll, pelorus_e2e_test.cpp.)
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

TEST(OrbhostWithProbe, InitializeFailureIsReportedAndTheHostGoesOn) {
  RunOptions failing;
  failing.environment = {L"PROBE_INITIALIZE_FAILS=1"};
  const RunResult r = RunOrbhost(WithProbe({L"call", L"Echo"}), failing);
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_NE(r.err.find("Initialize returned 0x00000001"), std::string::npos) << r.err;
  EXPECT_EQ(r.Answer()["status"], "0x00000000");
}

}  // namespace
}  // namespace orbhost::test
