// Firmware item descriptors: element-node blocks, scaled numbers, the parse
// steps and the number conversions.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "firmware/bios_descriptor.h"

namespace {

using Element = std::variant<uint32_t, std::string>;

// A block in the bridge's frame: tag, count, then the nodes.
std::vector<uint8_t> Block(const std::vector<Element>& elements, uint32_t count = UINT32_MAX) {
  std::vector<uint8_t> out = {0xE1, 0, 0, 0};
  auto put32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  put32(count == UINT32_MAX ? static_cast<uint32_t>(elements.size()) : count);
  for (const Element& e : elements) {
    const size_t start = out.size();
    if (const auto* text = std::get_if<std::string>(&e)) {
      const uint16_t length = static_cast<uint16_t>(text->size() + 1);
      out.insert(out.end(),
                 {2, 0, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)});
      out.insert(out.end(), text->begin(), text->end());
      out.push_back(0);
    } else {
      out.insert(out.end(), {1, 0, 4, 0});
      put32(std::get<uint32_t>(e));
    }
    const size_t data = out.size() - start - 4;
    out.resize(start + 8 + (data > 4 ? data : 4), 0);
  }
  return out;
}

struct Parsed {
  std::vector<uint8_t> block;  // the texts point into it
  bool ok = false;
  bios::NumberFields fields;
};
Parsed ParseNumberBlock(std::vector<uint8_t> block) {
  Parsed p;
  p.block = std::move(block);
  bios::ElementCursor cursor = bios::ElementCursor::First(p.block.data(), p.block.size());
  cursor.Advance();
  uint32_t remaining = bios::ElementCount(p.block.data(), p.block.size()) - 1;
  p.ok = bios::ParseNumber(cursor, remaining, p.fields);
  return p;
}

// A position's value three ways: as a double, as numerator/denominator, as text.
void ExpectPosition(uint32_t minimum, uint32_t step, uint32_t kind, uint32_t position, double value,
                    uint32_t numerator, uint32_t denominator, const char* text) {
  SCOPED_TRACE(text);
  EXPECT_DOUBLE_EQ(bios::PositionValue(minimum, step, kind, position), value);
  uint32_t n = 0, d = 0;
  bios::PositionRational(minimum, step, kind, position, &n, &d);
  EXPECT_EQ(std::vector<uint32_t>({n, d}), std::vector<uint32_t>({numerator, denominator}));
  EXPECT_EQ(bios::PositionText(minimum, step, kind, position), text);
}

TEST(BiosDescriptor, NumberExamples) {
  // Kind 0, minimum 5, step 0.1 (mantissa 1, exponent -1): position 3 is 5.3.
  ExpectPosition(0x00000005, 0xFF000001, 0, 3, 5.3, 53, 10, "5.3");
  // Kind 2 (thousandths), minimum 1000, step 250: position 1 is 1.25, three
  // places wanted and one trailing zero shared.
  ExpectPosition(1000, 250, 2, 1, 1.25, 1250, 1000, "1.25");

  // Kind 3 shows four places (not one), less the shared zeros: 12.5 from 125 tenths.
  EXPECT_EQ(bios::PositionText(125, 1, 3, 0), "12.5000");
  EXPECT_EQ(bios::PositionText(100, 100, 3, 0), "10.00");
  // Negative values carry their sign; one that rounds to zero does not.
  EXPECT_EQ(bios::PositionText(0x00FFFFFB, 1, 0, 2), "-3");
  EXPECT_EQ(bios::PositionText(0xFFFFFFFB, 1, 0, 0), "-0.5");
  // Nothing survives five places: the point follows the value's exponent (-7).
  EXPECT_EQ(bios::PositionText(0xF9FFFFFF, 1, 0, 0), "0.000000");
}

TEST(BiosDescriptor, ScaledMantissas) {
  struct Case {
    uint32_t raw;
    int64_t mantissa;
    int32_t exponent;
  } cases[] = {
      {0x00FFFFFB, -5, 0},        // negative
      {0xFD00000C, 12, -3},       // negative exponent
      {0x02FFD8F0, -10000, 2},    // the lowest signed reading kept
      {0x00FFD8EF, 0xFFD8EF, 0},  // below -10000: read unsigned
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.raw);
    const bios::ScaledNumber n = bios::DecodeScaled(c.raw);
    EXPECT_EQ(n.mantissa, c.mantissa);
    EXPECT_EQ(n.exponent, c.exponent);
  }
  // Large mantissas and exponents stay defined (64-bit arithmetic wraps).
  // The step's exponent is relative to the minimum's.
  EXPECT_NEAR(bios::PositionValue(0x05000000, 0x057FFFFF, 0, 2), 2.0 * 0x7FFFFF * 1e10, 1e3);
  EXPECT_NO_FATAL_FAILURE(bios::PositionText(0x7F7FFFFF, 0x807FFFFF, 12, 0xFFFFFFFF));
}

TEST(BiosDescriptor, NumberParse) {
  const uint32_t id = 0x0B000061;
  // Ends right after element 6: no extra strings, choice count = element 6.
  Parsed plain = ParseNumberBlock(Block({id, 0u, 0u, 1u, 5u, 1u, 400u}));
  EXPECT_TRUE(plain.ok);
  EXPECT_EQ(plain.fields.choiceCount, 400u);
  EXPECT_TRUE(plain.fields.extraStrings.empty());

  Parsed extra = ParseNumberBlock(Block({id, 0u, 0u, 1u, 5u, 1u, 4u, 2u, "Auto", "Off"}));
  EXPECT_TRUE(extra.ok);
  EXPECT_EQ(extra.fields.choiceCount, 6u);
  EXPECT_EQ(extra.fields.extraStrings, (std::vector<std::string_view>{"Auto", "Off"}));

  EXPECT_FALSE(ParseNumberBlock(Block({id, 0u, 0u, 1u, 5u, 1u})).ok);               // too short
  EXPECT_FALSE(ParseNumberBlock(Block({id, 0u, 0u, 1u, 5u, 1u, 4u, 2u})).ok);       // x alone
  EXPECT_FALSE(ParseNumberBlock(Block({id, 0u, 0u, 1u, 5u, 1u, 4u, 0u, "A"})).ok);  // x = 0
  EXPECT_FALSE(ParseNumberBlock(Block({id, 0u, 0u, 1u, 5u, 1u, 4u, 2u, "A"})).ok);  // x too big
  // A count larger than the nodes present ends at the block's end.
  EXPECT_FALSE(ParseNumberBlock(Block({id, 0u, 0u, 1u, 5u}, 9)).ok);
}

TEST(BiosDescriptor, StringParseAndBoundedTexts) {
  std::vector<uint8_t> block = Block({0x0B080001u, 0u, 0u, 0u, 2u, "Silent", "Turbo"});
  bios::ElementCursor cursor = bios::ElementCursor::First(block.data(), block.size());
  cursor.Advance();
  uint32_t remaining = 6, count = 0;
  std::vector<std::string_view> strings;
  EXPECT_TRUE(bios::ParseStrings(cursor, remaining, count, strings));
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(strings, (std::vector<std::string_view>{"Silent", "Turbo"}));

  // A text cut off by the block's end stops there.
  block.resize(block.size() - 8);
  cursor = bios::ElementCursor::First(block.data(), block.size());
  for (int i = 0; i < 6; ++i) cursor.Advance();
  EXPECT_EQ(cursor.Text(), "Tu");
  EXPECT_EQ(bios::ElementNumber(block.data(), block.size(), 40), 0u);
}

TEST(BiosDescriptor, FcvtDigits) {
  struct Case {
    double value;
    int digits;
    const char* text;
    int point;
  } cases[] = {
      {2.5, 0, "3", 1},     {5.3, 1, "53", 1},     {0.05, 2, "5", -1},
      {0.0, 2, "00", 0},    {-1.25, 2, "125", 1},  {0.001, 2, "", -2},
      {9.995, 2, "999", 1}, {99.96, 1, "1000", 3}, {1e20, 1, "1000000000000000000000", 21},
      {1e-7, 5, "", -6},    {4e-9, 5, "", -8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.value) + " to " + std::to_string(c.digits));
    const bios::FcvtResult mine = bios::Fcvt(c.value, c.digits);
    EXPECT_EQ(mine.digits, c.text);
    EXPECT_EQ(mine.point, c.point);
    EXPECT_EQ(mine.negative, c.value < 0);
  }
}

}  // namespace
