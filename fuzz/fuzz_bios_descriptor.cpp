// Fuzzes the firmware descriptor reader with any bytes as a group list or an
// item descriptor. Properties: nothing is read outside the block (ASan),
// every text a parse records lies inside the block, the remaining count
// never grows, and the number conversions stay defined (UBSan) and show
// only digits, a point and a sign.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/bios_descriptor.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckInside(std::string_view text, const uint8_t* data, size_t size) {
  if (text.empty()) return;
  const auto* begin = reinterpret_cast<const uint8_t*>(text.data());
  Check(begin >= data && begin + text.size() <= data + size);
}

void CheckShown(const std::string& text) {
  for (char c : text) Check((c >= '0' && c <= '9') || c == '.' || c == '-');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint32_t count = bios::ElementCount(data, size);

  // As a group list: every element's method id and text.
  bios::ElementCursor cursor = bios::ElementCursor::First(data, size);
  for (uint32_t i = 0; i < count && cursor.Valid(); ++i, cursor.Advance()) {
    (void)cursor.Number();
    CheckInside(cursor.Text(), data, size);
  }

  // As a descriptor, parsed the way the item of its kind parses it.
  if (count < 3) return 0;
  const uint32_t id = bios::ElementNumber(data, size, 0);
  cursor = bios::ElementCursor::First(data, size);
  cursor.Advance();
  const uint32_t initial = count - 1;
  uint32_t remaining = initial;
  switch (bios::KindOf(id)) {
    case bios::kKindBoolean:
      bios::ParseBoolean(cursor, remaining);
      break;
    case bios::kKindString: {
      uint32_t strings = 0;
      std::vector<std::string_view> texts;
      bios::ParseStrings(cursor, remaining, strings, texts);
      for (std::string_view t : texts) CheckInside(t, data, size);
      Check(texts.size() <= strings || texts.empty());
      break;
    }
    default: {
      bios::NumberFields fields;
      if (bios::ParseNumber(cursor, remaining, fields)) {
        Check(fields.extraStrings.size() <= fields.choiceCount);
      }
      for (std::string_view t : fields.extraStrings) CheckInside(t, data, size);
      const uint32_t kind = bios::KindOf(id);
      for (uint32_t position : {0u, 1u, fields.choiceCount, 0xFFFFFFFFu}) {
        uint32_t numerator = 0, denominator = 0;
        bios::PositionRational(fields.minimum, fields.step, kind, position, &numerator,
                               &denominator);
        const int places = bios::DecimalPlaces(fields.minimum, fields.step, kind);
        Check(places >= 0 && places <= 5);
        CheckShown(bios::PositionText(fields.minimum, fields.step, kind, position));
      }
      break;
    }
  }
  Check(remaining <= initial);
  return 0;
}
