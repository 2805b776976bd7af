// Texts of the process utilities and the uninstall clean-up: which program a
// command line names, the registry GUID form and the uninstall paths.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugin/uninstall_paths.h"
#include "support/command_line.h"
#include "support/guid_text.h"

namespace {

using Texts = std::vector<std::u16string>;

TEST(ProgramPathCandidates, FollowCreateProcessSearchOrder) {
  struct Case {
    const char* name;
    std::u16string commandLine;
    Texts expected;
  };
  const Case cases[] = {
      {"unquoted path with spaces and an argument",
       u"C:\\Program Files (x86)\\QUON\\S S\\Server.exe -run",
       {u"C:\\Program.exe", u"C:\\Program Files.exe", u"C:\\Program Files (x86)\\QUON\\S.exe",
        u"C:\\Program Files (x86)\\QUON\\S S\\Server.exe",
        u"C:\\Program Files (x86)\\QUON\\S S\\Server.exe -run"}},
      {"quoted path: only the text between the quotes",
       u"\"C:\\Program Files\\Q\\p.exe\" -run",
       {u"C:\\Program Files\\Q\\p.exe"}},
      {"quoted path without extension gets .exe", u"\"C:\\a b\\tool\"", {u"C:\\a b\\tool.exe"}},
      {"unterminated quote takes the rest", u"\"C:\\a b\\p.exe", {u"C:\\a b\\p.exe"}},
      {"leading blanks and repeated blanks",
       u" \t C:\\p.exe   -run  ",
       {u"C:\\p.exe", u"C:\\p.exe   -run"}},
      {"a dot in a folder is no extension",
       u"C:\\v1.2\\tool -x",
       {u"C:\\v1.2\\tool.exe", u"C:\\v1.2\\tool -x.exe"}},
      {"blank", u"  \t", {}},
      {"empty quotes", u"\"\" -run", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ProgramPathCandidates(c.commandLine), c.expected) << c.name;
  }
}

TEST(GuidText, UpperCaseRegistryForm) {
  // Leading zeros kept in every group; Data4 split after its second byte.
  GUID small = {0x1, 0x2, 0xa, {0x0, 0xb, 0xc, 0x0, 0x0, 0x0, 0x0, 0xff}};
  EXPECT_EQ(GuidText(small), u"{00000001-0002-000A-000B-0C00000000FF}");
  EXPECT_EQ(GuidPlainText(small), "00000001-0002-000A-000B-0C00000000FF");
}

TEST(UninstallPaths, UpdateClientKeyAndServiceExecutable) {
  EXPECT_EQ(UpdateClientKeyPath(),
            u"SOFTWARE\\QUON\\Update\\Clients\\{7D3F2A10-5C4B-4E21-9A6D-1B2C3D4E5F05}");
  // The folder value carries its own separator: nothing is inserted.
  EXPECT_EQ(FanServiceExecutablePath(u"C:\\Svc"), u"C:\\SvcQuonFanControlService.exe");
  // A path longer than the fixed buffer is cut to it.
  EXPECT_EQ(FanServiceExecutablePath(std::u16string(300, u'x')), std::u16string(259, u'x'));
}

}  // namespace
