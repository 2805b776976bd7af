// Which generation of the maker's fan-tuning tool ("Fan Pilot") a board
// supports: the feature word of the mainboard-information block and the
// labels the two support queries answer with.
//
// Portable: no OS calls.
#pragma once

#include <cstddef>
#include <cstdint>

// Bytes of the buffer the mainboard-information block is read into.
inline constexpr uint32_t kMbifBufferBytes = 4096;

// The feature word of a mainboard-information block (the element-node frame
// of the bridge answers, bios_descriptor.h): the u32 value of element 2 when
// the block holds at least 3 elements, else 0. Reads only inside `length`.
uint32_t FeatureWordFromMbif(const uint8_t* block, size_t length);

// The fan-tool generation: bits 15-8 of the feature word.
constexpr uint8_t FanPilotGeneration(uint32_t featureWord) {
  return static_cast<uint8_t>((featureWord >> 8) & 0xFF);
}

struct FanPilotLabels {
  const char16_t* plugin;     // GetTesseraPluginInfo's "IsMBSupported"
  const char16_t* dashboard;  // GetTesseraPluginInfoForDashbaord's "IsMBSupported"
  bool supported;             // the dashboard label names a Fan Pilot version
};

FanPilotLabels FanPilotLabelsFor(uint8_t generation);
