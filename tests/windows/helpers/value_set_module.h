// The interface of value_set_module.dll: a module with its own copy of the
// value tree's code, for value_set_module_test.cpp. The tree content both
// sides build is here, so the test can build the same tree itself.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "pelorus/value_set.h"

// Records as a hardware answer writes them: enough entries to outgrow a
// set's first arena block, a key too long for a string's inline buffer, a
// payload kept outside the arena, and a replaced value.
inline void FillRecords(QuonValueSet& set) {
  char key[32];
  for (int i = 0; i < 30; ++i) {
    std::snprintf(key, sizeof key, "Record%02d", i);
    QuonValueSet* r = set.CreateChild(key);
    r->SetStringValue("Name", u"CPU Package Temperature");
    r->SetDoubleValue("Value", 40.5 + i);
    r->SetUIntValue("AKeyLongerThanFifteenBytes", static_cast<uint32_t>(i));
    r->SetValue("Valid", new QuonValueSet::OrbValue(i % 2 == 0));
    r->SetUIntValue("Value", 7);  // replaces the Double
  }
  const std::string big(4000, 'b');
  set.SetBinary("Blob", big.data(), static_cast<uint32_t>(big.size()));
}

typedef void (*PFN_FillInto)(QuonValueSet* set);             // fills a caller's set
typedef QuonValueSet* (*PFN_NewParsed)(const uint8_t* wire,  // a new set parsed from
                                       uint64_t length);     // wire, plus FillRecords
