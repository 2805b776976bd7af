// What the text conversions add to the system's own: null and empty input,
// the quotes, and a BSTR's end at the first NUL.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/text_conversions.h"

namespace {

TEST(TextConversions, EdgesOfEachConversion) {
  EXPECT_EQ(AnsiToWide(nullptr), nullptr);
  std::unique_ptr<wchar_t[]> empty(AnsiToWide(""));
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty[0], L'\0');
  EXPECT_EQ(QuoteToWide("CPU Fan"), L"'CPU Fan'");
  EXPECT_EQ(WideToNarrowBstr(std::wstring(L"ab\0cd", 5)), "ab");
  EXPECT_EQ(NarrowToWideBstr(std::string("ab\0cd", 5)), L"ab");
  EXPECT_EQ(WideToNarrowBstr(L""), "");
  EXPECT_EQ(NarrowToWideBstr(""), L"");
}

}  // namespace
