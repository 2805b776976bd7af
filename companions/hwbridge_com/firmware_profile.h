// The firmware the ACPI bridge stand-in answers from: a profile of item
// groups and a mainboard-information block (JSON, README.md), and the item
// values written through the bridge, kept in the registry so that they
// survive the server process.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace hwbridge {

// One element of an element-node block: a u32 number or a single-byte string.
struct Element {
  bool isString = false;
  uint32_t number = 0;
  std::string text;
};

// The block frame shared by every answer: bytes 0-3 a tag (first byte 0xE1),
// bytes 4-7 the element count, then the element nodes. A node is
// [u16 type][u16 data length L][L data bytes], followed by padding up to
// 8 + max(L, 4) bytes in all.
std::vector<uint8_t> EncodeBlock(const std::vector<Element>& elements);

struct Item {
  uint32_t id = 0;
  std::vector<Element> descriptor;  // element 0 is the id
  uint32_t defaultValue = 0;
  uint32_t choices = 0;  // accepted values are 0..choices-1; 0 accepts any
};

struct Profile {
  std::map<uint32_t, std::vector<uint32_t>> groups;  // group -> item ids, in list order
  std::map<uint32_t, Item> items;                    // id -> item
  std::vector<Element> mainboard;
};

// Parses a profile document; false with a message on error.
bool ParseProfile(const std::string& json, Profile* profile, std::string* error);

// The firmware as the server sees it: the profile in force (the file named by
// the registry value "Profile", else the built-in one; re-read when the file
// changes) and the persisted item values. Thread-safe.
class Firmware {
 public:
  // Fills *profile with the profile in force; false when the named file is
  // missing or invalid (a message goes to the debugger output).
  bool Current(Profile* profile);
  bool ReadValue(const Item& item, ULONG* value);
  bool WriteValue(const Item& item, uint32_t value);

 private:
  std::mutex m_lock;
  std::wstring m_path;
  FILETIME m_written{};
  bool m_loaded = false;
  Profile m_profile;
};

// Registry home of the stand-in: HKLM\SOFTWARE\Pelorus Machine\ACPI Bridge.
extern const wchar_t kBridgeKey[];

}  // namespace hwbridge
