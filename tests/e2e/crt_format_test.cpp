// The log callback's formatting follows the Windows C runtime, not C99:
// "%s" takes a wide string, "%S" a narrow one. The plug-in's log formats are
// written for those rules.
#include <gtest/gtest.h>

#include "crt_format.h"

namespace orbhost {
namespace {

// The rules themselves are the runtime's; what is checked is that they are
// the ones in use, not C99's.
TEST(CrtFormat, UsesTheWindowsRuntimeRulesForStrings) {
  EXPECT_EQ(FormatCrtArgs(L"ProcessRequest, Cmd:%s", L"GetName"), L"ProcessRequest, Cmd:GetName");
  EXPECT_EQ(FormatCrtArgs(L"%S|%ls|%hs", "narrow", L"wide", "short"), L"narrow|wide|short");
}

TEST(CrtFormat, LongTextsAreNotCut) {
  const std::wstring long_text(5000, L'x');
  EXPECT_EQ(FormatCrtArgs(L"[%s]", long_text.c_str()), L"[" + long_text + L"]");
  EXPECT_EQ(FormatCrtArgs(nullptr), L"");
}

}  // namespace
}  // namespace orbhost
