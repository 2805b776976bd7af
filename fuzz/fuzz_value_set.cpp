// Fuzzes the value tree's parser. Property: whatever parses re-serialises to
// at most as many bytes, those bytes parse to an equal tree, and serialising
// that tree again gives the same bytes (the form is canonical). A rejected
// input leaves the set empty. Deep copies and the text dump run on every tree.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "pelorus/value_set.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

std::vector<uint8_t> SerializeAll(const QuonValueSet& set) {
  uint64_t capacity = 0;
  set.Serialize(nullptr, &capacity);  // size query
  Check(capacity == set.GetSerializedSize());
  std::vector<uint8_t> wire(capacity);
  uint64_t used = wire.size();
  Check(set.Serialize(wire.data(), &used));
  Check(used == wire.size());
  return wire;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  QuonValueSet parsed;
  uint64_t length = size;
  if (!parsed.Deserialize(data, &length)) {
    Check(parsed.Empty());
    return 0;
  }

  const std::vector<uint8_t> wire = SerializeAll(parsed);
  Check(wire.size() <= size);  // repeated keys collapse; nothing grows

  QuonValueSet again;
  uint64_t againLength = wire.size();
  Check(again.Deserialize(wire.data(), &againLength));
  Check(ValueSetsEqual(parsed, again));
  Check(SerializeAll(again) == wire);

  QuonValueSet copy;
  copy.CopyFrom(parsed);
  Check(ValueSetsEqual(parsed, copy));

  // Exercise readers on whatever kinds arrived; they must not read out of bounds.
  (void)parsed.ToString();
  for (const auto& [key, value] : parsed.Entries()) {
    (void)parsed.GetStringValue(key);
    (void)parsed.GetDoubleValue(key);
    (void)parsed.GetUInt64Value(key);
    (void)parsed.GetBoolValue(key);
    uint32_t binarySize = 0;
    (void)parsed.GetBinary(key, &binarySize);
  }
  return 0;
}
