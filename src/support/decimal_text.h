// Decimal text to a 32-bit int, with the rules and failure texts of the
// conversion the plug-in's handlers rely on (the platform's std::stoi in
// base 10): leading white space (space, tab, line feed, vertical tab, form
// feed, carriage return) is skipped, one optional sign follows, then at least
// one ASCII digit; the digits end at the first other character, which is
// ignored with everything after it.
//
// Failures throw, with these exact texts (what() of the exception):
//   std::invalid_argument "invalid stoi argument"   no digit where one must be
//   std::out_of_range     "stoi argument out of range"  outside int32_t
// Callers catch them as std::exception and log what().
//
// Portable: no OS calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

inline constexpr char kStoiInvalidText[] = "invalid stoi argument";
inline constexpr char kStoiRangeText[] = "stoi argument out of range";

// `consumed`, when given, receives the number of characters converted
// (white space, sign and digits), like std::stoi's index argument.
int32_t DecimalToInt(std::string_view text, size_t* consumed = nullptr);
int32_t DecimalToInt(std::u16string_view text, size_t* consumed = nullptr);
int32_t DecimalToInt(std::wstring_view text, size_t* consumed = nullptr);
