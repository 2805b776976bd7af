// Firmware setup items (Win32-only): the typed item objects built from the
// ACPI bridge's descriptors. Parsing and the number conversions are the
// portable ones of bios_descriptor.h; values are read and written through
// the bridge exports on every call (never cached).
//
// Classes are instantiated for wide characters only. An item owns a copy of
// its descriptor; the strings of Number and String items point into it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/bios_descriptor.h"

template <class CharT>
class BasicBiosItem {
 public:
  using String = std::basic_string<CharT>;

  // Copies `length` bytes of the descriptor.
  BasicBiosItem(const uint8_t* descriptor, uint32_t length);
  virtual ~BasicBiosItem();
  BasicBiosItem(const BasicBiosItem&) = delete;
  BasicBiosItem& operator=(const BasicBiosItem&) = delete;

  virtual uint32_t GetChoiceCount() const;
  virtual uint32_t GetAttributes() const = 0;
  // The attribute nibble (id bits 23-20) is 8.
  virtual bool IsSubtype8() const;
  // AcpiSetItem with the id, the value and the mode; its result.
  virtual uint32_t WriteRaw(uint32_t value, uint32_t mode);
  virtual bool SetValue(uint32_t value);
  virtual bool GetValue(uint32_t* value);
  virtual void IndexToRational(uint32_t index, uint32_t* numerator, uint32_t* denominator);
  virtual double IndexToValue(uint32_t index);
  virtual String IndexToString(uint32_t index);
  // Reads the elements after the id; the cursor starts at element 1 with
  // `remaining` = element count - 1.
  virtual bool Parse(bios::ElementCursor& cursor, uint32_t& remaining);

  uint32_t Id() const { return m_id; }
  const uint8_t* Descriptor() const { return m_descriptor.get(); }
  uint32_t DescriptorLength() const { return m_length; }

  // Builds the item a descriptor describes (by the kind in its element 0),
  // parsed when it has at least 3 elements (else id 0). Throws std::bad_alloc.
  static std::unique_ptr<BasicBiosItem> Create(const uint8_t* descriptor, uint32_t length);

 protected:
  // Element 3 of the descriptor.
  uint32_t AttributeWord() const;

  std::unique_ptr<uint8_t[]> m_descriptor;
  uint32_t m_length;
  uint32_t m_id;
};

template <class CharT>
class BasicBiosBooleanItem : public BasicBiosItem<CharT> {
 public:
  using BasicBiosItem<CharT>::BasicBiosItem;
  uint32_t GetAttributes() const override;
  bool Parse(bios::ElementCursor& cursor, uint32_t& remaining) override;
};

template <class CharT>
class BasicBiosNumberItem : public BasicBiosItem<CharT> {
 public:
  using String = typename BasicBiosItem<CharT>::String;
  using BasicBiosItem<CharT>::BasicBiosItem;
  ~BasicBiosNumberItem() override;

  uint32_t GetChoiceCount() const override;
  uint32_t GetAttributes() const override;
  void IndexToRational(uint32_t index, uint32_t* numerator, uint32_t* denominator) override;
  double IndexToValue(uint32_t index) override;
  String IndexToString(uint32_t index) override;
  bool Parse(bios::ElementCursor& cursor, uint32_t& remaining) override;

  uint32_t Minimum() const { return m_minimum; }
  uint32_t Step() const { return m_step; }
  const std::vector<std::string_view>& ExtraStrings() const { return m_extraStrings; }

 protected:
  std::vector<std::string_view> m_extraStrings;
  uint32_t m_choiceCount = 0;
  uint32_t m_step = 0;
  uint32_t m_minimum = 0;
};

template <class CharT>
class BasicBiosStringItem : public BasicBiosItem<CharT> {
 public:
  using String = typename BasicBiosItem<CharT>::String;
  using BasicBiosItem<CharT>::BasicBiosItem;
  ~BasicBiosStringItem() override;

  uint32_t GetChoiceCount() const override;
  uint32_t GetAttributes() const override;
  String IndexToString(uint32_t index) override;
  bool Parse(bios::ElementCursor& cursor, uint32_t& remaining) override;

 protected:
  uint32_t m_stringCount = 0;
  std::vector<std::string_view> m_strings;
};

// A Number item that stands for several settings at once: it is never read
// or written through the bridge.
template <class CharT>
class BasicBiosCompositedItem : public BasicBiosNumberItem<CharT> {
 public:
  using BasicBiosNumberItem<CharT>::BasicBiosNumberItem;
  uint32_t WriteRaw(uint32_t value, uint32_t mode) override;
  bool SetValue(uint32_t value) override;
  bool GetValue(uint32_t* value) override;
};

extern template class BasicBiosItem<wchar_t>;
extern template class BasicBiosBooleanItem<wchar_t>;
extern template class BasicBiosNumberItem<wchar_t>;
extern template class BasicBiosStringItem<wchar_t>;
extern template class BasicBiosCompositedItem<wchar_t>;

using BiosItem = BasicBiosItem<wchar_t>;
