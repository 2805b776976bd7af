// The DER scan of the signature reader: which elements it passes, steps
// into or stops at, how it reads lengths, and reading the time of RFC 3161
// tokens made by real time-stamping authorities.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "support/der_scan.h"

namespace {

using Bytes = std::vector<uint8_t>;

// One element: identifier, DER length (short or long form), content.
Bytes Tlv(uint8_t id, const Bytes& content) {
  Bytes out{id};
  const size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<uint8_t>(n));
  } else if (n <= 0xFF) {
    out.insert(out.end(), {0x81, static_cast<uint8_t>(n)});
  } else {
    out.insert(out.end(), {0x82, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

const Bytes kOid = {0x06, 0x03, 0x2A, 0x03, 0x04};

struct FindCase {
  const char* name;
  Bytes der;
  unsigned tag;
  std::optional<DerContent> expected;
};

TEST(DerScan, FindsPassesOrStops) {
  const Bytes filler(300, 0xEE);
  const FindCase cases[] = {
      {"empty content", {0x05, 0x00, 0x04, 0x00}, 4, DerContent{4, 0}},
      {"after an object identifier", Cat({kOid, Tlv(0x04, {7})}), 4, DerContent{7, 1}},
      {"content of a skipped primitive is not searched", Cat({Tlv(0x02, {0x04, 0x00})}), 4,
       std::nullopt},
      {"class bits ignored: [4] primitive counts as tag 4",
       {0x84, 0x01, 0xFF},
       4,
       DerContent{2, 1}},
      {"two-byte long form around the target",
       Tlv(0x30, Cat({Tlv(0x04, filler), Tlv(0x18, Text("x"))})), 24, DerContent{4 + 304 + 2, 1}},
      {"[2] with one-byte length stepped into", Tlv(0xA2, Tlv(0x04, {9})), 4, DerContent{4, 1}},

      {"NULL with content", {0x05, 0x02, 0x04, 0x00}, 4, std::nullopt},
      {"object identifier with long-form length",
       {0x06, 0x81, 0x01, 0x2A, 0x04, 0x00},
       4,
       std::nullopt},
      {"[2] with long-form length", Cat({{0xA2, 0x81, 0x02}, Tlv(0x04, {})}), 4, std::nullopt},
      {"unknown universal tag", {0x07, 0x00, 0x04, 0x00}, 4, std::nullopt},
      {"indefinite length", {0x30, 0x80, 0x04, 0x00, 0x00, 0x00}, 4, std::nullopt},
      {"five length bytes", {0x04, 0x85, 0, 0, 0, 0, 1, 0xAA}, 4, std::nullopt},
      {"long-form length cut short", {0x04, 0x82, 0x01}, 4, std::nullopt},
      {"content runs past the end", {0x04, 0x05, 0xAA}, 4, std::nullopt},
      {"one byte left", {0x02, 0x01, 0x00, 0x04}, 4, std::nullopt},
      {"tag absent", Tlv(0x30, Tlv(0x02, {1})), 4, std::nullopt},
  };
  for (const FindCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<DerContent> found = FindDerElement(c.der, c.tag);
    ASSERT_EQ(found.has_value(), c.expected.has_value());
    if (found) {
      EXPECT_EQ(found->offset, c.expected->offset);
      EXPECT_EQ(found->length, c.expected->length);
    }
  }
}

std::vector<int> Fields(const DerTime& t) {
  return {t.year, t.month, t.day, t.hour, t.minute, t.second, t.milliseconds};
}

TEST(DerScan, ParsesGeneralizedTime) {
  const std::pair<const char*, std::vector<int>> accepted[] = {
      {"19991231235959Z", {1999, 12, 31, 23, 59, 59, 0}},
      {"20240601120000.04Z", {2024, 6, 1, 12, 0, 0, 40}},
      {"20240601120000.98765Z", {2024, 6, 1, 12, 0, 0, 987}},
  };
  for (const auto& [text, fields] : accepted) {
    SCOPED_TRACE(text);
    const std::optional<DerTime> t = ParseGeneralizedTime(text);
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(Fields(*t), fields);
  }
  // Texts of 256 characters or more are refused, whatever they hold.
  EXPECT_TRUE(ParseGeneralizedTime("20240601120000." + std::string(239, '1') + "Z"));
  EXPECT_FALSE(ParseGeneralizedTime("20240601120000." + std::string(240, '1') + "Z"));
  // Cut short, not a digit, no or another zone, an empty fraction, each field out of range.
  for (const char* text :
       {"", "20240601120000", "2024060112000Z", "20240601120000X", "20240601120000ZZ",
        "20240601120000+0100", "20240601120000.Z", "20240001120000Z", "20241301120000Z",
        "20240600120000Z", "20240632120000Z", "20240601240000Z", "20240601126000Z",
        "20240601120060Z"}) {
    EXPECT_FALSE(ParseGeneralizedTime(text)) << text;
  }
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(DerScan, ReadsTheTimeOfATimeStampToken) {
  // A token made with `openssl ts -reply -token_out`, and the attribute
  // osslsigncode's built-in authority put into a signed file.
  const std::string dir = PELORUS_DER_CORPUS_DIR;
  Bytes token = ReadFile(dir + "/rfc3161_token.der");
  ASSERT_FALSE(token.empty());
  std::optional<DerTime> t = ReadTimeStampTokenTime(token);
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(Fields(*t), std::vector<int>({2026, 12, 6, 1, 24, 20, 0}));
  t = ReadTimeStampTokenTime(ReadFile(dir + "/osslsigncode_rfc3161_attribute.der"));
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(Fields(*t), std::vector<int>({2024, 6, 1, 12, 0, 0, 0}));
  // A truncated token reads nothing.
  token.resize(token.size() - 5);
  EXPECT_FALSE(ReadTimeStampTokenTime(token));

  // Only the first OCTET STRING is searched, and a time that cannot be read
  // is no time stamp.
  const Bytes time = Tlv(0x18, Text("20240601120000Z"));
  EXPECT_TRUE(ReadTimeStampTokenTime(Tlv(0x04, time)));
  EXPECT_FALSE(ReadTimeStampTokenTime(Cat({Tlv(0x04, Tlv(0x02, {1})), time})));
  EXPECT_FALSE(ReadTimeStampTokenTime(Tlv(0x04, Tlv(0x18, Text("2024060112Z")))));
}

}  // namespace
