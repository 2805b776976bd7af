// Fuzzes the DER scan of the signature reader. Properties: a found content
// lies inside the scanned bytes; a time read from a token has fields in
// range; the scan reads nothing outside the input (ASan) and always ends.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "support/der_scan.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckTime(const std::optional<DerTime>& t) {
  if (!t) return;
  Check(t->month >= 1 && t->month <= 12 && t->day >= 1 && t->day <= 31);
  Check(t->hour >= 0 && t->hour <= 23 && t->minute >= 0 && t->minute <= 59);
  Check(t->second >= 0 && t->second <= 59);
  Check(t->milliseconds >= 0 && t->milliseconds <= 999);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> der(data, size);
  // The tags the reader looks for, and a few it only passes.
  for (unsigned tag : {4u, 24u, 2u, 48u, 63u}) {
    if (std::optional<DerContent> found = FindDerElement(der, tag)) {
      Check(found->offset >= 2 && found->offset <= size);
      Check(found->length <= size - found->offset);
    }
  }
  CheckTime(ReadTimeStampTokenTime(der));
  CheckTime(ParseGeneralizedTime(std::string_view(reinterpret_cast<const char*>(data), size)));
  return 0;
}
