// The DER scan of the signature reader. Portable: standard library only.
#include "support/der_scan.h"

namespace {

constexpr unsigned kTagNull = 5;
constexpr unsigned kTagOid = 6;
constexpr unsigned kTagOctetString = 4;
constexpr unsigned kTagGeneralizedTime = 24;
// Context-specific [2] constructed (0xA2): stepped into with a one-byte length.
constexpr unsigned kTagShortConstructed = 34;

bool IsPrimitive(unsigned tag) {
  switch (tag) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
    case 10:
    case 12:
    case 19:
    case 20:
    case 22:
    case 23:
    case 24:
    case 30:
      return true;
    default:
      return false;
  }
}

bool IsConstructed(unsigned tag) {
  switch (tag) {
    case 32:
    case 33:
    case 35:
    case 36:
    case 48:
    case 49:
      return true;
    default:
      return false;
  }
}

// Longest long-form length accepted, in bytes: four bytes already describe
// more than any signature holds, and the sum below cannot overflow.
constexpr std::size_t kMaxLengthBytes = 4;

struct Header {
  std::size_t size;    // identifier and length bytes
  std::size_t length;  // content bytes
};

// Reads the header of the element at `pos`; `pos` has at least two bytes left.
std::optional<Header> ReadHeader(std::span<const std::uint8_t> der, std::size_t pos) {
  const std::uint8_t first = der[pos + 1];
  if (first < 0x80) return Header{2, first};
  const std::size_t count = first & 0x7F;
  // 0x80 is the indefinite form, which DER does not allow.
  if (count == 0 || count > kMaxLengthBytes || der.size() - pos - 2 < count) return std::nullopt;
  std::size_t length = 0;
  for (std::size_t i = 0; i < count; ++i) length = (length << 8) | der[pos + 2 + i];
  return Header{2 + count, length};
}

}  // namespace

std::optional<DerContent> FindDerElement(std::span<const std::uint8_t> der, unsigned tag) {
  std::size_t pos = 0;
  while (der.size() - pos >= 2) {
    const unsigned current = der[pos] & 0x3F;
    const std::optional<Header> header = ReadHeader(der, pos);
    if (!header) return std::nullopt;
    const std::size_t left = der.size() - pos;
    if (header->size > left || header->length > left - header->size) return std::nullopt;
    if (current == tag) return DerContent{pos + header->size, header->length};

    if (current == kTagOid || current == kTagShortConstructed) {
      if (header->size != 2) return std::nullopt;
    }
    if (current == kTagNull) {
      if (header->length != 0) return std::nullopt;
      pos += header->size;
    } else if (IsPrimitive(current) || current == kTagOid) {
      pos += header->size + header->length;
    } else if (IsConstructed(current) || current == kTagShortConstructed) {
      pos += header->size;
    } else {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

namespace {

// Reads `count` decimal digits at `pos`; false on anything else.
bool ReadDigits(std::string_view text, std::size_t pos, std::size_t count, int* value) {
  if (text.size() < pos + count) return false;
  int v = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *value = v;
  return true;
}

constexpr std::size_t kMaxTimeChars = 255;

}  // namespace

std::optional<DerTime> ParseGeneralizedTime(std::string_view text) {
  if (text.size() > kMaxTimeChars) return std::nullopt;
  DerTime t{};
  if (!ReadDigits(text, 0, 4, &t.year) || !ReadDigits(text, 4, 2, &t.month) ||
      !ReadDigits(text, 6, 2, &t.day) || !ReadDigits(text, 8, 2, &t.hour) ||
      !ReadDigits(text, 10, 2, &t.minute) || !ReadDigits(text, 12, 2, &t.second)) {
    return std::nullopt;
  }
  std::size_t pos = 14;
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    const std::size_t start = pos;
    int scale = 100;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      t.milliseconds += (text[pos] - '0') * scale;
      scale /= 10;
      ++pos;
    }
    if (pos == start) return std::nullopt;
  }
  if (pos + 1 != text.size() || text[pos] != 'Z') return std::nullopt;
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour > 23 || t.minute > 59 ||
      t.second > 59) {
    return std::nullopt;
  }
  return t;
}

std::optional<DerTime> ReadTimeStampTokenTime(std::span<const std::uint8_t> der) {
  const std::optional<DerContent> info = FindDerElement(der, kTagOctetString);
  if (!info) return std::nullopt;
  const std::span<const std::uint8_t> tstInfo = der.subspan(info->offset, info->length);
  const std::optional<DerContent> time = FindDerElement(tstInfo, kTagGeneralizedTime);
  if (!time) return std::nullopt;
  const auto* chars = reinterpret_cast<const char*>(tstInfo.data() + time->offset);
  return ParseGeneralizedTime(std::string_view(chars, time->length));
}
