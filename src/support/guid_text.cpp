// GUID text forms (portable).
#include "support/guid_text.h"

namespace {

template <class String>
void AppendHex(String& out, uint32_t value, int digits) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
    out += static_cast<typename String::value_type>(kDigits[(value >> shift) & 0xF]);
  }
}

// XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX
template <class String>
void AppendGuid(String& out, const GUID& id) {
  AppendHex(out, id.Data1, 8);
  out += '-';
  AppendHex(out, id.Data2, 4);
  out += '-';
  AppendHex(out, id.Data3, 4);
  out += '-';
  for (int i = 0; i < 8; ++i) {
    if (i == 2) out += '-';
    AppendHex(out, id.Data4[i], 2);
  }
}

}  // namespace

std::u16string GuidText(const GUID& id) {
  std::u16string out;
  out.reserve(38);
  out += u'{';
  AppendGuid(out, id);
  out += u'}';
  return out;
}

std::string GuidPlainText(const GUID& id) {
  std::string out;
  out.reserve(36);
  AppendGuid(out, id);
  return out;
}
