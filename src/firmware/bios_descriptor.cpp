// Firmware item descriptors (portable); see bios_descriptor.h.
#include "firmware/bios_descriptor.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace bios {
namespace {

// 64-bit arithmetic that wraps like the two's-complement hardware does,
// without the undefined behaviour of signed overflow.
int64_t WrapMul(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b));
}
int64_t WrapAdd(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
int64_t TimesPow10(int64_t value, int32_t exponent) {
  for (int32_t i = 0; i < exponent; ++i) value = WrapMul(value, 10);
  return value;
}

int TrailingZeros(int64_t mantissa) {
  if (mantissa == 0) return 0;
  uint64_t v = mantissa < 0 ? 0 - static_cast<uint64_t>(mantissa) : static_cast<uint64_t>(mantissa);
  int zeros = 0;
  while (v % 10 == 0) {
    v /= 10;
    ++zeros;
  }
  return zeros;
}

int32_t KindPlaces(uint32_t kind) {
  switch (kind) {
    case 1:
      return 2;
    case 2:
      return 3;
    case 3:
      return 4;
    case 12:
      return 3;
    default:
      return 0;
  }
}

// --- Exact decimal expansion for Fcvt: a non-negative big integer in base 1e9,
// least significant limb first. ---
using BigNumber = std::vector<uint32_t>;
constexpr uint32_t kLimbBase = 1000000000u;

void Multiply(BigNumber& n, uint32_t factor) {
  uint64_t carry = 0;
  for (uint32_t& limb : n) {
    const uint64_t v = static_cast<uint64_t>(limb) * factor + carry;
    limb = static_cast<uint32_t>(v % kLimbBase);
    carry = v / kLimbBase;
  }
  while (carry != 0) {
    n.push_back(static_cast<uint32_t>(carry % kLimbBase));
    carry /= kLimbBase;
  }
}

BigNumber FromUInt64(uint64_t v) {
  BigNumber n;
  do {
    n.push_back(static_cast<uint32_t>(v % kLimbBase));
    v /= kLimbBase;
  } while (v != 0);
  return n;
}

std::string ToDecimal(const BigNumber& n) {
  std::string text = std::to_string(n.back());
  char limb[16];
  for (size_t i = n.size() - 1; i-- > 0;) {
    std::snprintf(limb, sizeof limb, "%09u", n[i]);
    text += limb;
  }
  return text;
}

// Adds one to the last digit of a decimal string (which may grow by a digit).
void IncrementDecimal(std::string& digits) {
  for (size_t i = digits.size(); i-- > 0;) {
    if (digits[i] != '9') {
      ++digits[i];
      return;
    }
    digits[i] = '0';
  }
  digits.insert(digits.begin(), '1');
}

// The decimal exponent of a positive finite value as it is written in its
// shortest round-trip form: 1e-7 is 1e-07 (exponent -7), even though the
// nearest double lies just below it.
int DecimalExponent(double magnitude) {
  char text[64];
  const std::to_chars_result written =
      std::to_chars(text, text + sizeof text, magnitude, std::chars_format::scientific);
  const char* e = std::find(text, written.ptr, 'e');
  if (written.ec != std::errc() || e == written.ptr) return 0;
  int exponent = 0;
  const char* digits = e + 1;
  if (digits != written.ptr && *digits == '+') ++digits;
  std::from_chars(digits, written.ptr, exponent);
  return exponent;
}

}  // namespace

// --- Element nodes ------------------------------------------------------------------

ElementCursor ElementCursor::First(const uint8_t* block, size_t size) {
  if (block == nullptr || size < kBlockHeaderSize) return ElementCursor(block, block);
  return ElementCursor(block + kBlockHeaderSize, block + size);
}

bool ElementCursor::Valid() const {
  return m_node != nullptr && m_end - m_node >= 4;
}

uint16_t ElementCursor::DataLength() const {
  if (!Valid()) return 0;
  return static_cast<uint16_t>(m_node[2] | (m_node[3] << 8));
}

uint32_t ElementCursor::Number() const {
  if (m_node == nullptr || m_end - m_node < 8) return 0;
  const uint8_t* d = m_node + 4;
  return static_cast<uint32_t>(d[0]) | (static_cast<uint32_t>(d[1]) << 8) |
         (static_cast<uint32_t>(d[2]) << 16) | (static_cast<uint32_t>(d[3]) << 24);
}

std::string_view ElementCursor::Text() const {
  if (!Valid()) return std::string_view();
  const char* data = reinterpret_cast<const char*>(m_node + 4);
  const size_t available = static_cast<size_t>(m_end - (m_node + 4));
  const size_t limit = std::min<size_t>(DataLength(), available);
  const void* nul = std::memchr(data, 0, limit);
  return std::string_view(data, nul ? static_cast<const char*>(nul) - data : limit);
}

void ElementCursor::Advance() {
  if (!Valid()) {
    m_node = m_end;
    return;
  }
  const size_t length = DataLength();
  const size_t step = length <= 4 ? 12 : 8 + length;
  m_node = static_cast<size_t>(m_end - m_node) > step ? m_node + step : m_end;
}

uint32_t ElementCount(const uint8_t* block, size_t size) {
  if (block == nullptr || size < kBlockHeaderSize) return 0;
  return static_cast<uint32_t>(block[4]) | (static_cast<uint32_t>(block[5]) << 8) |
         (static_cast<uint32_t>(block[6]) << 16) | (static_cast<uint32_t>(block[7]) << 24);
}

uint32_t ElementNumber(const uint8_t* block, size_t size, uint32_t k) {
  if (k >= ElementCount(block, size)) return 0;
  ElementCursor cursor = ElementCursor::First(block, size);
  for (uint32_t i = 0; i < k && cursor.Valid(); ++i) cursor.Advance();
  return cursor.Number();
}

// --- Scaled numbers -----------------------------------------------------------------

ScaledNumber DecodeScaled(uint32_t raw) {
  const int32_t exponent = static_cast<int8_t>(raw >> 24);
  const int64_t unsignedMantissa = raw & 0xFFFFFF;
  int64_t mantissa =
      (unsignedMantissa & 0x800000) ? unsignedMantissa - 0x1000000 : unsignedMantissa;
  if (mantissa < -10000) mantissa = unsignedMantissa;
  return ScaledNumber{mantissa, exponent};
}

int32_t UnitAdjustment(uint32_t kind) {
  switch (kind) {
    case 1:
      return -2;
    case 2:
      return -3;
    case 3:
      return -1;
    case 12:
      return -3;
    default:
      return 0;
  }
}

// --- Parse steps --------------------------------------------------------------------

namespace {

// Every kind first steps over elements 1 and 2.
bool StepOverHeader(ElementCursor& cursor, uint32_t& remaining) {
  if (remaining < 2) return false;
  cursor.Advance();
  cursor.Advance();
  remaining -= 2;
  return true;
}

// Records the data of the next `count` elements; false when the block ends first.
bool TakeTexts(ElementCursor& cursor, uint32_t count, std::vector<std::string_view>& texts) {
  for (uint32_t i = 0; i < count; ++i) {
    if (!cursor.Valid()) return false;
    texts.push_back(cursor.Text());
    cursor.Advance();
  }
  return true;
}

}  // namespace

bool ParseBoolean(ElementCursor& cursor, uint32_t& remaining) {
  return StepOverHeader(cursor, remaining) && remaining >= 1;
}

bool ParseNumber(ElementCursor& cursor, uint32_t& remaining, NumberFields& fields) {
  if (!StepOverHeader(cursor, remaining) || remaining < 4) return false;
  cursor.Advance();  // the attribute word
  if (!cursor.Valid()) return false;
  fields.minimum = cursor.Number();
  cursor.Advance();
  if (!cursor.Valid()) return false;
  fields.step = cursor.Number();
  cursor.Advance();
  if (!cursor.Valid()) return false;
  fields.choiceCount = cursor.Number();
  cursor.Advance();
  remaining -= 4;
  if (remaining == 0) return true;
  if (remaining < 2 || !cursor.Valid()) return false;
  const uint32_t extra = cursor.Number();
  cursor.Advance();
  if (extra == 0 || extra > remaining - 1) return false;
  if (!TakeTexts(cursor, extra, fields.extraStrings)) return false;
  fields.choiceCount += extra;
  return true;
}

bool ParseStrings(ElementCursor& cursor, uint32_t& remaining, uint32_t& count,
                  std::vector<std::string_view>& strings) {
  if (!StepOverHeader(cursor, remaining) || remaining < 3) return false;
  cursor.Advance();  // the attribute word
  if (!cursor.Valid()) return false;
  count = cursor.Number();
  cursor.Advance();
  remaining -= 2;
  if (count == 0 || count > remaining) return false;
  return TakeTexts(cursor, count, strings);
}

// --- Conversions --------------------------------------------------------------------

Alignment Align(uint32_t minimum, uint32_t step, uint32_t kind) {
  const ScaledNumber a = DecodeScaled(minimum);
  const ScaledNumber b = DecodeScaled(step);
  Alignment result{a.mantissa, b.mantissa, a.exponent};
  if (b.exponent < 0) {
    result.minimum = TimesPow10(a.mantissa, -b.exponent);
    result.exponent = a.exponent + b.exponent;
  } else {
    result.step = TimesPow10(b.mantissa, b.exponent);
  }
  result.exponent += UnitAdjustment(kind);
  return result;
}

double PositionValue(uint32_t minimum, uint32_t step, uint32_t kind, uint32_t position) {
  const Alignment a = Align(minimum, step, kind);
  double value = static_cast<double>(WrapAdd(WrapMul(position, a.step), a.minimum));
  for (int32_t i = 0; i < a.exponent; ++i) value *= 10.0;
  for (int32_t i = 0; i > a.exponent; --i) value /= 10.0;
  return value;
}

void PositionRational(uint32_t minimum, uint32_t step, uint32_t kind, uint32_t position,
                      uint32_t* numerator, uint32_t* denominator) {
  const Alignment a = Align(minimum, step, kind);
  uint64_t num = static_cast<uint64_t>(WrapAdd(WrapMul(position, a.step), a.minimum));
  uint64_t den = 1;
  for (int32_t i = 0; i < a.exponent; ++i) num *= 10;
  for (int32_t i = 0; i > a.exponent; --i) den *= 10;
  *numerator = static_cast<uint32_t>(num);
  *denominator = static_cast<uint32_t>(den);
}

int DecimalPlaces(uint32_t minimum, uint32_t step, uint32_t kind) {
  const ScaledNumber a = DecodeScaled(minimum);
  const ScaledNumber b = DecodeScaled(step);
  const Alignment aligned = Align(minimum, step, kind);
  const int32_t wanted = -a.exponent + (b.exponent < 0 ? -b.exponent : 0) + KindPlaces(kind);
  const int shared = std::min(TrailingZeros(aligned.minimum), TrailingZeros(aligned.step));
  const int32_t places = shared < wanted ? wanted - shared : 0;
  return places > 5 ? 5 : places;
}

FcvtResult Fcvt(double value, int digits) {
  FcvtResult result{std::string(), 0, value < 0};
  digits = std::clamp(digits, 0, 17);
  if (!std::isfinite(value)) return result;
  const double magnitude = std::fabs(value);

  // magnitude = mantissa * 2^exponent exactly, then as a decimal integer
  // `decimal` with `scale` places after the point.
  int exponent = 0;
  const double fraction = std::frexp(magnitude, &exponent);
  uint64_t mantissa = static_cast<uint64_t>(std::ldexp(fraction, 53));
  exponent -= 53;
  while (mantissa != 0 && (mantissa & 1) == 0 && exponent < 0) {
    mantissa >>= 1;
    ++exponent;
  }
  BigNumber number = FromUInt64(mantissa);
  int scale = 0;
  for (; exponent > 0; exponent -= std::min(exponent, 29)) {
    Multiply(number, 1u << std::min(exponent, 29));
  }
  for (; exponent < 0; exponent += std::min(-exponent, 12)) {
    uint32_t power = 1;
    for (int i = 0; i < std::min(-exponent, 12); ++i) power *= 5;
    Multiply(number, power);
    scale += std::min(-exponent, 12);
  }
  std::string decimal = ToDecimal(number);

  if (scale > digits) {
    const size_t drop = static_cast<size_t>(scale - digits);
    if (decimal.size() <= drop) decimal.insert(0, drop + 1 - decimal.size(), '0');
    const bool roundUp = decimal[decimal.size() - drop] >= '5';
    decimal.resize(decimal.size() - drop);
    if (roundUp) IncrementDecimal(decimal);
  } else {
    decimal.append(static_cast<size_t>(digits - scale), '0');
  }
  const size_t firstDigit = decimal.find_first_not_of('0');
  if (firstDigit == std::string::npos) {
    // Nothing at this resolution: zero shows its zeros, anything else no
    // digits, with the point one past the value's own decimal exponent.
    if (magnitude == 0.0) {
      result.digits.assign(static_cast<size_t>(digits), '0');
    } else {
      result.point = DecimalExponent(magnitude) + 1;
    }
    return result;
  }
  result.digits = decimal.substr(firstDigit);
  result.point = static_cast<int>(result.digits.size()) - digits;
  return result;
}

std::string FormatFcvt(const FcvtResult& fcvt, double value) {
  std::string text = fcvt.digits;
  if (fcvt.point <= 0) {
    text.insert(0, static_cast<size_t>(1 - fcvt.point), '0');
    text.insert(1, 1, '.');
    if (text.back() == '.') text.pop_back();  // no places shown: "0", not "0."
  } else if (static_cast<size_t>(fcvt.point) < text.size()) {
    text.insert(static_cast<size_t>(fcvt.point), 1, '.');
  }
  if (fcvt.negative && value < -1e-6) text.insert(0, 1, '-');
  return text;
}

std::string PositionText(uint32_t minimum, uint32_t step, uint32_t kind, uint32_t position) {
  const double value = PositionValue(minimum, step, kind, position);
  return FormatFcvt(Fcvt(value, DecimalPlaces(minimum, step, kind)), value);
}

}  // namespace bios
