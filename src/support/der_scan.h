// The DER scan of the signature reader: finds the time of an RFC 3161
// time-stamp token inside an Authenticode signature.
//
// Portable: standard library only, no Windows headers. It is a forward scan
// over the bytes, not a general DER parser: it knows the element kinds that
// occur in a PKCS #7 signature and a time-stamp token and stops without a
// result at anything else. It never reads outside the given bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

// Where an element's content lies within the scanned bytes.
struct DerContent {
  std::size_t offset;
  std::size_t length;
};

// Walks `der` from the start and returns the content of the first element
// whose tag number (the low six bits of the identifier byte, so the
// constructed bit counts and the class does not) is `tag`.
//
// Primitive kinds (tags 0-4, 10, 12, 19, 20, 22, 23, 24, 30) are skipped by
// their length, NULL (5) must be empty, object identifiers (6) are skipped,
// and constructed kinds (32-36, 48, 49) are stepped into. Object identifiers
// and tag 34 must have a one-byte length. Any other tag, a length that runs
// past the end, or fewer than two bytes left ends the scan without a result.
std::optional<DerContent> FindDerElement(std::span<const std::uint8_t> der, unsigned tag);

// A moment read from a GeneralizedTime, in UTC.
struct DerTime {
  int year;
  int month;
  int day;
  int hour;
  int minute;
  int second;
  int milliseconds;
};

// Reads "YYYYMMDDhhmmss[.fff]Z" (UTC). The fraction is optional and read to
// milliseconds (".5" is 500 ms; digits beyond the third are dropped); absent,
// it is 0. Refuses other forms, out-of-range fields and texts of 256 or more
// characters.
std::optional<DerTime> ParseGeneralizedTime(std::string_view text);

// The time of an RFC 3161 time-stamp token (the DER value of the
// "1.3.6.1.4.1.311.3.3.1" attribute): the first GeneralizedTime (tag 24)
// inside the first OCTET STRING (tag 4), which holds the token's TSTInfo.
std::optional<DerTime> ReadTimeStampTokenTime(std::span<const std::uint8_t> der);
