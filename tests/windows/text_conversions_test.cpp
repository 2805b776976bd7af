// Narrow and wide text conversions.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/text_conversions.h"

namespace {

TEST(TextConversions, AnsiToWideAllocatesATerminatedCopy) {
  std::unique_ptr<wchar_t[]> text(AnsiToWide("Fan 1"));
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::wstring(text.get()), L"Fan 1");
  std::unique_ptr<wchar_t[]> empty(AnsiToWide(""));
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty[0], L'\0');
  EXPECT_EQ(AnsiToWide(nullptr), nullptr);
}

TEST(TextConversions, QuoteToWideAddsSingleQuotes) {
  EXPECT_EQ(QuoteToWide("CPU Fan"), L"'CPU Fan'");
  EXPECT_EQ(QuoteToWide(""), L"''");
}

TEST(TextConversions, BstrConversionsRoundTripAndStopAtNul) {
  EXPECT_EQ(WideToNarrowBstr(L"Temperature"), "Temperature");
  EXPECT_EQ(NarrowToWideBstr("Temperature"), L"Temperature");
  EXPECT_EQ(WideToNarrowBstr(L""), "");
  EXPECT_EQ(NarrowToWideBstr(""), L"");
  // A BSTR made from a C string ends at the first NUL.
  EXPECT_EQ(WideToNarrowBstr(std::wstring(L"ab\0cd", 5)), "ab");
  EXPECT_EQ(NarrowToWideBstr(std::string("ab\0cd", 5)), L"ab");
  // A character of the ANSI code page survives the way there and back.
  EXPECT_EQ(NarrowToWideBstr(WideToNarrowBstr(L"25\u00B0C")), L"25\u00B0C");
}

}  // namespace
