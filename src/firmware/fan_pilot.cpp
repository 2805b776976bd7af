// Fan-tool generation: feature word and labels (portable).
#include "firmware/fan_pilot.h"

#include "firmware/bios_descriptor.h"

uint32_t FeatureWordFromMbif(const uint8_t* block, size_t length) {
  return bios::ElementNumber(block, length, 2);
}

FanPilotLabels FanPilotLabelsFor(uint8_t generation) {
  switch (generation) {
    case 0x00:
      return {u"No Support", u"Fan Pilot (in TS3)", true};
    case 0x07:
      return {u"No Support", u"Fan Pilot 2+ (in TS3)", true};
    case 0x08:
      return {u"No Support", u"Fan Pilot 3 (in TS3)", true};
    case 0x10:
      return {u"Fan Pilot", u"Fan Pilot (in CK)", true};
    // The two labels below carry two blanks before the parenthesis.
    case 0x17:
      return {u"Fan Pilot 2+", u"Fan Pilot 2+  (in CK)", true};
    case 0x18:
      return {u"Fan Pilot 4", u"Fan Pilot 4  (in CK)", true};
    case 0x80:
      return {u"No Support", u"No Support, Disable FanPilot support", false};
    default:
      return {u"No Support", u"No Support, unknown", false};
  }
}
