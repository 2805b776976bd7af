// The DER scan of the signature reader: which elements it passes, steps
// into or stops at, how it reads lengths, and reading the time of RFC 3161
// tokens, both hand-built and made by a real time-stamping authority.
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
      {"first element", {0x04, 0x02, 0xAA, 0xBB}, 4, DerContent{2, 2}},
      {"empty content", {0x05, 0x00, 0x04, 0x00}, 4, DerContent{4, 0}},
      {"inside nested sequence and set", Tlv(0x30, Tlv(0x31, Tlv(0x04, {1, 2, 3}))), 4,
       DerContent{6, 3}},
      {"after an object identifier", Cat({kOid, Tlv(0x04, {7})}), 4, DerContent{7, 1}},
      {"object identifier found itself", kOid, 6, DerContent{2, 3}},
      {"content of a skipped primitive is not searched", Cat({Tlv(0x02, {0x04, 0x00})}), 4,
       std::nullopt},
      {"class bits ignored: [4] primitive counts as tag 4",
       {0x84, 0x01, 0xFF},
       4,
       DerContent{2, 1}},
      {"one-byte long form", Tlv(0x04, Bytes(128, 1)), 4, DerContent{3, 128}},
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
      {"constructed kind outside the list", {0x25, 0x02, 0x04, 0x00}, 4, std::nullopt},
      {"indefinite length", {0x30, 0x80, 0x04, 0x00, 0x00, 0x00}, 4, std::nullopt},
      {"five length bytes", {0x04, 0x85, 0, 0, 0, 0, 1, 0xAA}, 4, std::nullopt},
      {"long-form length cut short", {0x04, 0x82, 0x01}, 4, std::nullopt},
      {"content runs past the end", {0x04, 0x05, 0xAA}, 4, std::nullopt},
      {"skipped element runs past the end", {0x02, 0x05, 0xAA, 0x04, 0x00}, 4, std::nullopt},
      {"sequence declared longer than the input", {0x30, 0x05, 0x04, 0x00}, 4, std::nullopt},
      {"one byte left", {0x02, 0x01, 0x00, 0x04}, 4, std::nullopt},
      {"nothing", {}, 4, std::nullopt},
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

TEST(DerScan, PassesEveryPrimitiveKindAndEntersEveryConstructedKind) {
  const Bytes target = Tlv(0x18, Text("t"));
  for (uint8_t id : {0x80, 0x01, 0x02, 0x03, 0x04, 0x0A, 0x0C, 0x13, 0x14, 0x16, 0x17, 0x1E}) {
    SCOPED_TRACE(static_cast<int>(id));
    std::optional<DerContent> found = FindDerElement(Cat({Tlv(id, {0x18, 0x01}), target}), 24);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->offset, 6u);
  }
  for (uint8_t id : {0x20, 0x21, 0xA0, 0xA1, 0xA3, 0xA4, 0x24, 0x30, 0x31}) {
    SCOPED_TRACE(static_cast<int>(id));
    std::optional<DerContent> found = FindDerElement(Tlv(id, target), 24);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->offset, 4u);
  }
}

std::vector<int> Fields(const DerTime& t) {
  return {t.year, t.month, t.day, t.hour, t.minute, t.second, t.milliseconds};
}

TEST(DerScan, ParsesGeneralizedTime) {
  const std::pair<const char*, std::vector<int>> accepted[] = {
      {"20240601120000Z", {2024, 6, 1, 12, 0, 0, 0}},
      {"19991231235959Z", {1999, 12, 31, 23, 59, 59, 0}},
      {"20240601120000.5Z", {2024, 6, 1, 12, 0, 0, 500}},
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

// The shape of a time-stamp token: ContentInfo { signedData, [0] SignedData {
// version, digest algorithms, encapsulated TSTInfo in an OCTET STRING, ... } }.
Bytes Token(const Bytes& tstInfo, const Bytes& afterContent = {}) {
  const Bytes algorithm = Tlv(0x30, Cat({kOid, {0x05, 0x00}}));
  const Bytes encapsulated = Tlv(0x30, Cat({kOid, Tlv(0xA0, Tlv(0x04, tstInfo))}));
  const Bytes signedData =
      Tlv(0x30, Cat({Tlv(0x02, {3}), Tlv(0x31, algorithm), encapsulated, afterContent}));
  return Tlv(0x30, Cat({kOid, Tlv(0xA0, signedData)}));
}

Bytes TstInfo(const std::string& time) {
  const Bytes imprint =
      Tlv(0x30, Cat({Tlv(0x30, Cat({kOid, {0x05, 0x00}})), Tlv(0x04, Bytes(32, 0x5A))}));
  return Tlv(0x30, Cat({Tlv(0x02, {1}), kOid, imprint, Tlv(0x02, {0x00, 0x9D, 0x42}),
                        Tlv(0x18, Text(time))}));
}

TEST(DerScan, ReadsTheTimeOfATimeStampToken) {
  std::optional<DerTime> t = ReadTimeStampTokenTime(Token(TstInfo("20240601120000Z")));
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(Fields(*t), std::vector<int>({2024, 6, 1, 12, 0, 0, 0}));

  // Only the first OCTET STRING is searched: a time after it does not count.
  const Bytes later = Tlv(0x18, Text("20240601120000Z"));
  EXPECT_FALSE(ReadTimeStampTokenTime(Token(Tlv(0x30, Tlv(0x02, {1})), later)));
  // A time that cannot be read is no time stamp.
  EXPECT_FALSE(ReadTimeStampTokenTime(Token(TstInfo("2024060112Z"))));
  EXPECT_FALSE(
      ReadTimeStampTokenTime(Token(TstInfo("20240601120000.123Z" + std::string(240, ' ')))));
  // A truncated token reads nothing.
  Bytes cut = Token(TstInfo("20240601120000Z"));
  cut.resize(cut.size() - 5);
  EXPECT_FALSE(ReadTimeStampTokenTime(cut));
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(DerScan, ReadsTokensOfARealTimeStampingAuthority) {
  // Made with `openssl ts -reply -token_out`, the second with millisecond
  // precision.
  const std::string dir = PELORUS_DER_CORPUS_DIR;
  const Bytes seconds = ReadFile(dir + "/rfc3161_token.der");
  const Bytes millis = ReadFile(dir + "/rfc3161_token_ms.der");
  ASSERT_FALSE(seconds.empty());
  ASSERT_FALSE(millis.empty());

  std::optional<DerTime> t = ReadTimeStampTokenTime(seconds);
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(Fields(*t), std::vector<int>({2026, 12, 6, 1, 24, 20, 0}));
  t = ReadTimeStampTokenTime(millis);
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(std::vector<int>({t->second, t->milliseconds}), std::vector<int>({35, 431}));

  // The attribute osslsigncode's built-in authority put into a signed file.
  t = ReadTimeStampTokenTime(ReadFile(dir + "/osslsigncode_rfc3161_attribute.der"));
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(Fields(*t), std::vector<int>({2024, 6, 1, 12, 0, 0, 0}));
}

}  // namespace
