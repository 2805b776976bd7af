// GUID text form (portable).
#include "support/guid_text.h"

namespace {

void AppendHex(std::u16string& out, uint32_t value, int digits) {
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
}

}  // namespace

std::u16string GuidText(const GUID& id) {
  std::u16string out;
  out.reserve(38);
  out += u'{';
  AppendHex(out, id.Data1, 8);
  out += u'-';
  AppendHex(out, id.Data2, 4);
  out += u'-';
  AppendHex(out, id.Data3, 4);
  out += u'-';
  for (int i = 0; i < 8; ++i) {
    if (i == 2) out += u'-';
    AppendHex(out, id.Data4[i], 2);
  }
  out += u'}';
  return out;
}
