// The log callback's formatting follows the Windows C runtime, not C99:
// "%s" takes a wide string, "%S" a narrow one. The plug-in's log formats are
// written for those rules.
#include <gtest/gtest.h>

#include "crt_format.h"

namespace orbhost {
namespace {

TEST(CrtFormat, UsesTheWindowsRuntimeRulesForStringsAndNumbers) {
  EXPECT_EQ(FormatCrtArgs(L"ProcessRequest, Cmd:%s", L"GetName"), L"ProcessRequest, Cmd:GetName");
  EXPECT_EQ(FormatCrtArgs(L"m_inUserSession = %d", 1), L"m_inUserSession = 1");
  EXPECT_EQ(FormatCrtArgs(L"%S|%ls|%hs", "narrow", L"wide", "short"), L"narrow|wide|short");
  EXPECT_EQ(FormatCrtArgs(L"%d %u %08X %%", -5, 7u, 0xA0800010u), L"-5 7 A0800010 %");
  EXPECT_EQ(FormatCrtArgs(L"%I64d %.2f", -9000000000LL, 10.101), L"-9000000000 10.10");
  EXPECT_EQ(FormatCrtArgs(L"no arguments"), L"no arguments");
}

TEST(CrtFormat, LongTextsAreNotCut) {
  const std::wstring long_text(5000, L'x');
  EXPECT_EQ(FormatCrtArgs(L"[%s]", long_text.c_str()), L"[" + long_text + L"]");
  EXPECT_EQ(FormatCrtArgs(nullptr), L"");
}

}  // namespace
}  // namespace orbhost
