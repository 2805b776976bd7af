// Decimal text to int: the rules and failure texts of the conversion the
// fan and status commands rely on, for each character type.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "support/decimal_text.h"

namespace {

struct Case {
  const char* text;
  int32_t value;      // when it converts
  size_t consumed;    // characters converted
  const char* error;  // what() when it throws, else null
};

const Case kCases[] = {
    {"3abc", 3, 1, nullptr},
    {" \t\n\v\f\r42", 42, 8, nullptr},
    {"+7", 7, 2, nullptr},
    {"-7 and more", -7, 2, nullptr},
    {"000000000000000000000012", 12, 24, nullptr},
    {"2147483647", 2147483647, 10, nullptr},
    {"-2147483648", -2147483647 - 1, 11, nullptr},
    {"-", 0, 0, kStoiInvalidText},
    {"- 1", 0, 0, kStoiInvalidText},
    {"\x01"
     "5",
     0, 0, kStoiInvalidText},
    {"2147483648", 0, 0, kStoiRangeText},
    {"-2147483649", 0, 0, kStoiRangeText},
    {"99999999999999999999999999", 0, 0, kStoiRangeText},
    {"4294967296abc", 0, 0, kStoiRangeText},
};

template <class Char>
void Check(const Case& c) {
  const std::string narrow(c.text);
  const std::basic_string<Char> text(narrow.begin(), narrow.end());
  SCOPED_TRACE(std::string("\"") + c.text + "\" as char" + std::to_string(8 * sizeof(Char)));
  size_t consumed = 12345;
  if (c.error == nullptr) {
    EXPECT_EQ(DecimalToInt(std::basic_string_view<Char>(text), &consumed), c.value);
    EXPECT_EQ(consumed, c.consumed);
    return;
  }
  try {
    DecimalToInt(std::basic_string_view<Char>(text), &consumed);
    ADD_FAILURE() << "converted";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(c.error, kStoiInvalidText);
    EXPECT_STREQ(e.what(), "invalid stoi argument");
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(c.error, kStoiRangeText);
    EXPECT_STREQ(e.what(), "stoi argument out of range");
  }
  EXPECT_EQ(consumed, 12345u);
}

TEST(DecimalToInt, ConvertsLikeTheStoiOfTheHandlers) {
  for (const Case& c : kCases) {
    Check<char>(c);
    Check<char16_t>(c);
    Check<wchar_t>(c);
  }
}

}  // namespace
