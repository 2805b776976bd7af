// Firmware item descriptors (portable): the element-node blocks the ACPI
// bridge answers with, the scaled numbers inside them, the per-kind parse
// steps and the conversions between a choice index and what it means.
//
// Block frame: bytes 0-3 a tag (not read), bytes 4-7 the u32 element count,
// element nodes from byte 8. A node is [u16 type][u16 data length L][data]
// and the next one starts 12 bytes later when L <= 4, else 8 + L bytes later.
// Everything here reads only inside the block it is given: a count larger
// than the nodes present ends at the block's end, and texts end at their NUL,
// at their node's data length or at the block's end, whichever comes first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bios {

constexpr uint32_t kKindBoolean = 7;
constexpr uint32_t kKindString = 8;
constexpr uint32_t kKindComposited = 13;
constexpr size_t kBlockHeaderSize = 8;

// Item id: bits 31-24 group, 23-20 attribute nibble, 19-16 kind, 15-0 index.
constexpr uint32_t GroupOf(uint32_t id) {
  return id >> 24;
}
constexpr uint32_t KindOf(uint32_t id) {
  return (id >> 16) & 0xF;
}
constexpr uint32_t IndexOf(uint32_t id) {
  return id & 0xFFFF;
}
// The table key: the id without its attribute nibble and kind.
constexpr uint32_t KeyOf(uint32_t id) {
  return id & 0xFF00FFFFu;
}

// One element node of a block, or past the end (not Valid).
class ElementCursor {
 public:
  ElementCursor() = default;
  ElementCursor(const uint8_t* node, const uint8_t* end) : m_node(node), m_end(end) {}
  // The first element of a block of `size` bytes.
  static ElementCursor First(const uint8_t* block, size_t size);

  // The node's header lies inside the block.
  bool Valid() const;
  uint16_t DataLength() const;
  // The data as a little-endian u32; 0 when those 4 bytes are not in the block.
  uint32_t Number() const;
  // The data as a NUL-terminated single-byte string, bounded as above.
  std::string_view Text() const;
  // Moves to the next node (possibly past the end).
  void Advance();
  const uint8_t* Node() const { return m_node; }

 private:
  const uint8_t* m_node = nullptr;
  const uint8_t* m_end = nullptr;
};

// The element count of a block (bytes 4-7); 0 for a block shorter than 8 bytes.
uint32_t ElementCount(const uint8_t* block, size_t size);
// The u32 value of element k, or 0 when the block does not hold it.
uint32_t ElementNumber(const uint8_t* block, size_t size, uint32_t k);

// A scaled number: bits 31-24 a signed decimal exponent, bits 23-0 a signed
// 24-bit mantissa, read unsigned when the signed reading is below -10000.
struct ScaledNumber {
  int64_t mantissa;
  int32_t exponent;
};
ScaledNumber DecodeScaled(uint32_t raw);
// Decimal exponent added to a Number's values by its kind.
int32_t UnitAdjustment(uint32_t kind);

// --- Parse steps. Each starts at element 1 with `remaining` = count - 1 and
// leaves the cursor after what it read. ---
struct NumberFields {
  uint32_t minimum = 0;
  uint32_t step = 0;
  uint32_t choiceCount = 0;
  std::vector<std::string_view> extraStrings;
};
bool ParseBoolean(ElementCursor& cursor, uint32_t& remaining);
bool ParseNumber(ElementCursor& cursor, uint32_t& remaining, NumberFields& fields);
bool ParseStrings(ElementCursor& cursor, uint32_t& remaining, uint32_t& count,
                  std::vector<std::string_view>& strings);

// --- Number conversions. `position` is the numeric position (choice index
// minus the extra strings). ---
struct Alignment {
  int64_t minimum;  // mantissas on the common exponent
  int64_t step;
  int32_t exponent;  // unit adjustment included
};
Alignment Align(uint32_t minimum, uint32_t step, uint32_t kind);
double PositionValue(uint32_t minimum, uint32_t step, uint32_t kind, uint32_t position);
void PositionRational(uint32_t minimum, uint32_t step, uint32_t kind, uint32_t position,
                      uint32_t* numerator, uint32_t* denominator);
// Decimal places a Number shows (0 to 5).
int DecimalPlaces(uint32_t minimum, uint32_t step, uint32_t kind);
// The shown text of a numeric position (ASCII).
std::string PositionText(uint32_t minimum, uint32_t step, uint32_t kind, uint32_t position);

// _fcvt-style digits of `value` with `digits` (0 to 17) places after the
// point, halves rounded away from zero: the digits without leading zeros,
// the position of the point relative to them, and the sign.
struct FcvtResult {
  std::string digits;
  int point;
  bool negative;
};
FcvtResult Fcvt(double value, int digits);
// Steps 4 and 5 of the shown text: places the point and the sign.
std::string FormatFcvt(const FcvtResult& fcvt, double value);

}  // namespace bios
