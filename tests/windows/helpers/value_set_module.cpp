// value_set_module.dll: builds value trees with its own copy of the value
// tree's code, for a test program to read and destroy with its copy.
#include "value_set_module.h"

extern "C" __declspec(dllexport) void FillInto(QuonValueSet* set) {
  FillRecords(*set);
}

extern "C" __declspec(dllexport) QuonValueSet* NewParsed(const uint8_t* wire, uint64_t length) {
  auto* set = new QuonValueSet();
  set->Deserialize(wire, &length);
  FillRecords(*set);
  return set;
}
