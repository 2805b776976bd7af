// Decimal text to a 32-bit int (portable).
#include "support/decimal_text.h"

#include <stdexcept>

namespace {

template <class Char>
bool IsBlank(Char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

template <class Char>
int32_t Convert(std::basic_string_view<Char> text, size_t* consumed) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const size_t firstDigit = i;
  // The magnitude saturates just above the int32_t range, so a long run of
  // digits cannot overflow while it is still read to its end.
  constexpr int64_t kLimit = int64_t{1} << 31;
  int64_t magnitude = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    if (magnitude <= kLimit) magnitude = magnitude * 10 + (text[i] - '0');
    ++i;
  }
  if (i == firstDigit) throw std::invalid_argument(kStoiInvalidText);
  if (magnitude > (negative ? kLimit : kLimit - 1)) throw std::out_of_range(kStoiRangeText);
  if (consumed != nullptr) *consumed = i;
  return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

}  // namespace

int32_t DecimalToInt(std::string_view text, size_t* consumed) {
  return Convert(text, consumed);
}
int32_t DecimalToInt(std::u16string_view text, size_t* consumed) {
  return Convert(text, consumed);
}
int32_t DecimalToInt(std::wstring_view text, size_t* consumed) {
  return Convert(text, consumed);
}
