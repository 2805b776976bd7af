// Firmware setup items (Win32-only); see bios_item.h.
#include "firmware/bios_item.h"

#include <cstdio>
#include <cstring>

#include "firmware/acpi_bridge.h"
#include "support/platform_seams.h"
#include "support/win32.h"

namespace {

constexpr uint32_t kWriteMode = 1;

void Message(const char* caption, const char* format, uint32_t id) {
  char text[128];
  std::snprintf(text, sizeof text, format, id);
  Seams().messageBoxA(nullptr, text, caption, MB_OK);
}

// A single-byte string in the system code page, widened.
std::wstring Widen(std::string_view text) {
  if (text.empty()) return std::wstring();
  const int chars =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(chars > 0 ? chars : 0), L'\0');
  if (chars > 0)
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), chars);
  return wide;
}

}  // namespace

// --- BasicBiosItem ------------------------------------------------------------------

template <class CharT>
BasicBiosItem<CharT>::BasicBiosItem(const uint8_t* descriptor, uint32_t length)
    : m_descriptor(new uint8_t[length != 0 ? length : 1]), m_length(length), m_id(0) {
  if (length != 0) std::memcpy(m_descriptor.get(), descriptor, length);
}

template <class CharT>
BasicBiosItem<CharT>::~BasicBiosItem() = default;

template <class CharT>
uint32_t BasicBiosItem<CharT>::GetChoiceCount() const {
  return 0;
}

template <class CharT>
bool BasicBiosItem<CharT>::IsSubtype8() const {
  return ((m_id >> 20) & 0xF) == 8;
}

template <class CharT>
uint32_t BasicBiosItem<CharT>::WriteRaw(uint32_t value, uint32_t mode) {
  return AcpiSetItem(m_id, value, mode);
}

template <class CharT>
bool BasicBiosItem<CharT>::SetValue(uint32_t value) {
  return AcpiSetItem(m_id, value, kWriteMode) != 0;
}

template <class CharT>
bool BasicBiosItem<CharT>::GetValue(uint32_t* value) {
  return AcpiGetItem(m_id, value) != 0;
}

template <class CharT>
void BasicBiosItem<CharT>::IndexToRational(uint32_t, uint32_t*, uint32_t*) {
  Message("BiosItem", "Item[%x] does not supports IndexToRational", m_id);
}

template <class CharT>
double BasicBiosItem<CharT>::IndexToValue(uint32_t) {
  Message("BiosItem", "Item[%x] does not supports IndexToValue", m_id);
  return 0.0;
}

template <class CharT>
typename BasicBiosItem<CharT>::String BasicBiosItem<CharT>::IndexToString(uint32_t) {
  Message("BiosItem", "Item[%x] does not supports IndexToString", m_id);
  return String();
}

template <class CharT>
bool BasicBiosItem<CharT>::Parse(bios::ElementCursor& cursor, uint32_t& remaining) {
  if (remaining < 2) return false;
  cursor.Advance();
  cursor.Advance();
  remaining -= 2;
  return true;
}

template <class CharT>
uint32_t BasicBiosItem<CharT>::AttributeWord() const {
  return bios::ElementNumber(m_descriptor.get(), m_length, 3);
}

template <class CharT>
std::unique_ptr<BasicBiosItem<CharT>> BasicBiosItem<CharT>::Create(const uint8_t* descriptor,
                                                                   uint32_t length) {
  const uint32_t id = bios::ElementNumber(descriptor, length, 0);
  std::unique_ptr<BasicBiosItem<CharT>> item;
  switch (bios::KindOf(id)) {
    case bios::kKindBoolean:
      item = std::make_unique<BasicBiosBooleanItem<CharT>>(descriptor, length);
      break;
    case bios::kKindString:
      item = std::make_unique<BasicBiosStringItem<CharT>>(descriptor, length);
      break;
    case bios::kKindComposited:
      item = std::make_unique<BasicBiosCompositedItem<CharT>>(descriptor, length);
      break;
    default:
      item = std::make_unique<BasicBiosNumberItem<CharT>>(descriptor, length);
      break;
  }
  const uint32_t count = bios::ElementCount(item->m_descriptor.get(), length);
  if (count >= 3) {
    // Parsed from the item's own copy, so its strings point into it. A failed
    // parse leaves the item as far as it was filled.
    item->m_id = id;
    bios::ElementCursor cursor = bios::ElementCursor::First(item->m_descriptor.get(), length);
    cursor.Advance();
    uint32_t remaining = count - 1;
    item->Parse(cursor, remaining);
  }
  return item;
}

// --- Boolean ------------------------------------------------------------------------

template <class CharT>
uint32_t BasicBiosBooleanItem<CharT>::GetAttributes() const {
  return this->AttributeWord();
}

template <class CharT>
bool BasicBiosBooleanItem<CharT>::Parse(bios::ElementCursor& cursor, uint32_t& remaining) {
  return bios::ParseBoolean(cursor, remaining);
}

// --- Number -------------------------------------------------------------------------

template <class CharT>
BasicBiosNumberItem<CharT>::~BasicBiosNumberItem() = default;

template <class CharT>
uint32_t BasicBiosNumberItem<CharT>::GetChoiceCount() const {
  return m_choiceCount;
}

template <class CharT>
uint32_t BasicBiosNumberItem<CharT>::GetAttributes() const {
  return this->AttributeWord();
}

template <class CharT>
void BasicBiosNumberItem<CharT>::IndexToRational(uint32_t index, uint32_t* numerator,
                                                 uint32_t* denominator) {
  const uint32_t extra = static_cast<uint32_t>(m_extraStrings.size());
  if (index < extra) {
    Seams().messageBoxA(nullptr, "Can not convert extra string to value", "IndexToRational Fail",
                        MB_OK);
    return;
  }
  bios::PositionRational(m_minimum, m_step, bios::KindOf(this->m_id), index - extra, numerator,
                         denominator);
}

template <class CharT>
double BasicBiosNumberItem<CharT>::IndexToValue(uint32_t index) {
  const uint32_t extra = static_cast<uint32_t>(m_extraStrings.size());
  if (index < extra) {
    Seams().messageBoxA(nullptr, "Can not convert extra string to value", "IndexToValue Fail",
                        MB_OK);
    return 0.0;
  }
  return bios::PositionValue(m_minimum, m_step, bios::KindOf(this->m_id), index - extra);
}

template <class CharT>
typename BasicBiosNumberItem<CharT>::String BasicBiosNumberItem<CharT>::IndexToString(
    uint32_t index) {
  const uint32_t extra = static_cast<uint32_t>(m_extraStrings.size());
  if (index < extra) return Widen(m_extraStrings[index]);
  const std::string text =
      bios::PositionText(m_minimum, m_step, bios::KindOf(this->m_id), index - extra);
  return String(text.begin(), text.end());
}

template <class CharT>
bool BasicBiosNumberItem<CharT>::Parse(bios::ElementCursor& cursor, uint32_t& remaining) {
  bios::NumberFields fields;
  const bool parsed = bios::ParseNumber(cursor, remaining, fields);
  m_minimum = fields.minimum;
  m_step = fields.step;
  m_choiceCount = fields.choiceCount;
  m_extraStrings = std::move(fields.extraStrings);
  return parsed;
}

// --- String -------------------------------------------------------------------------

template <class CharT>
BasicBiosStringItem<CharT>::~BasicBiosStringItem() = default;

template <class CharT>
uint32_t BasicBiosStringItem<CharT>::GetChoiceCount() const {
  return m_stringCount;
}

template <class CharT>
uint32_t BasicBiosStringItem<CharT>::GetAttributes() const {
  return this->AttributeWord();
}

template <class CharT>
typename BasicBiosStringItem<CharT>::String BasicBiosStringItem<CharT>::IndexToString(
    uint32_t index) {
  if (index >= m_strings.size()) return String();
  return Widen(m_strings[index]);
}

template <class CharT>
bool BasicBiosStringItem<CharT>::Parse(bios::ElementCursor& cursor, uint32_t& remaining) {
  return bios::ParseStrings(cursor, remaining, m_stringCount, m_strings);
}

// --- Composited ---------------------------------------------------------------------

template <class CharT>
uint32_t BasicBiosCompositedItem<CharT>::WriteRaw(uint32_t, uint32_t) {
  return 0xFFFFFFFFu;
}

template <class CharT>
bool BasicBiosCompositedItem<CharT>::SetValue(uint32_t) {
  return false;
}

template <class CharT>
bool BasicBiosCompositedItem<CharT>::GetValue(uint32_t*) {
  return false;
}

template class BasicBiosItem<wchar_t>;
template class BasicBiosBooleanItem<wchar_t>;
template class BasicBiosNumberItem<wchar_t>;
template class BasicBiosStringItem<wchar_t>;
template class BasicBiosCompositedItem<wchar_t>;
