// orbhost's command line: modes, options in any position and both spellings,
// and the refusals that keep a typo from running the wrong thing.
#include <gtest/gtest.h>

#include "command_line.h"

namespace orbhost {
namespace {

TEST(CommandLine, OptionsMayComeAnywhereInEitherSpelling) {
  const ParseResult r =
      ParseCommandLine({"--dll", "x\\Pelorus.dll", "call", "SendTest", "uint:UInt=7", "--typed",
                        "--log-level=6", "--user-session", "--log=out.txt", "--profile", "p.json",
                        "--wait", "250", "--strict-init", "--pretty", "uint64:UInt64=9"});
  ASSERT_TRUE(r.ok) << r.error;
  const Options& o = r.options;
  EXPECT_EQ(o.mode, Mode::kCall);
  EXPECT_EQ(o.dllPath, "x\\Pelorus.dll");
  EXPECT_EQ(o.form, OutputForm::kTyped);
  EXPECT_EQ(o.logLevel, 6u);
  EXPECT_TRUE(o.userSession);
  EXPECT_EQ(o.logFile, "out.txt");
  EXPECT_EQ(o.profilePath, "p.json");
  EXPECT_EQ(o.waitMs, 250u);
  EXPECT_TRUE(o.strictInit);
  EXPECT_TRUE(o.pretty);
  EXPECT_EQ(o.args, (std::vector<std::string>{"SendTest", "uint:UInt=7", "uint64:UInt64=9"}));
}

TEST(CommandLine, DefaultsAndModes) {
  const struct {
    std::vector<std::string> argv;
    Mode mode;
  } cases[] = {
      {{}, Mode::kHelp},
      {{"tour", "-h"}, Mode::kHelp},
      {{"event", "session-change", "-5"}, Mode::kEvent},  // "-5" is an argument, not an option
      {{"call", "--", "--odd=value"}, Mode::kCall},
  };
  for (const auto& c : cases) {
    const ParseResult r = ParseCommandLine(c.argv);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.mode, c.mode);
  }
  const Options defaults = ParseCommandLine({"shell"}).options;
  EXPECT_EQ(defaults.logLevel, 4u);
  EXPECT_EQ(defaults.form, OutputForm::kPlain);
  EXPECT_FALSE(defaults.userSession);
  EXPECT_TRUE(defaults.dllPath.empty());
}

TEST(CommandLine, MistakesAreRefusedWithAMessage) {
  const struct {
    std::vector<std::string> argv;
    const char* reason;
  } cases[] = {
      {{"cal", "GetName"}, "unknown mode 'cal'"},
      {{"call", "X", "--verbose"}, "unknown option '--verbose'"},
      {{"call", "X", "--dll"}, "'--dll' needs a valid value"},
  };
  for (const auto& c : cases) {
    const ParseResult r = ParseCommandLine(c.argv);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find(c.reason), std::string::npos) << r.error;
  }
}

}  // namespace
}  // namespace orbhost
