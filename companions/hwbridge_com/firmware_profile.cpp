// The firmware profile of the ACPI bridge stand-in (see firmware_profile.h).
#include "firmware_profile.h"

#include <nlohmann/json.hpp>

#include <cstring>
#include <fstream>
#include <sstream>

namespace hwbridge {

const wchar_t kBridgeKey[] = L"SOFTWARE\\Pelorus Machine\\ACPI Bridge";

extern const char kDefaultProfile[];  // default_firmware_profile.json, embedded

namespace {

using Json = nlohmann::json;

constexpr wchar_t kValuesKey[] = L"SOFTWARE\\Pelorus Machine\\ACPI Bridge\\Values";
constexpr uint32_t kKindBoolean = 7;
constexpr uint32_t kKindString = 8;

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A u32 from a JSON number or a "0x..."/decimal text.
bool Number(const Json& j, uint32_t* out) {
  if (j.is_number_unsigned()) {
    if (j.get<uint64_t>() > 0xFFFFFFFFull) return false;
    *out = j.get<uint32_t>();
    return true;
  }
  if (j.is_number_integer()) {  // negative: its 32-bit pattern
    const int64_t v = j.get<int64_t>();
    if (v < INT32_MIN) return false;
    *out = static_cast<uint32_t>(v);
    return true;
  }
  if (!j.is_string()) return false;
  const std::string text = j.get<std::string>();
  if (text.empty()) return false;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (*end != '\0' || v > 0xFFFFFFFFull) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

Element NumberElement(uint32_t v) {
  Element e;
  e.number = v;
  return e;
}
Element TextElement(std::string text) {
  Element e;
  e.isString = true;
  e.text = std::move(text);
  return e;
}

bool ElementFrom(const Json& j, Element* out) {
  if (j.is_string() && !j.get<std::string>().empty() && j.get<std::string>().rfind("0x", 0) != 0) {
    *out = TextElement(j.get<std::string>());
    return true;
  }
  uint32_t v = 0;
  if (!Number(j, &v)) return false;
  *out = NumberElement(v);
  return true;
}

bool Field(const Json& item, const char* name, uint32_t fallback, uint32_t* out) {
  auto it = item.find(name);
  if (it == item.end()) {
    *out = fallback;
    return true;
  }
  return Number(*it, out);
}

bool Strings(const Json& item, const char* name, std::vector<std::string>* out) {
  auto it = item.find(name);
  if (it == item.end()) return true;
  if (!it->is_array()) return false;
  for (const Json& s : *it) {
    if (!s.is_string()) return false;
    out->push_back(s.get<std::string>());
  }
  return true;
}

// Builds an item's descriptor from its fields (or takes its raw "Elements").
bool ParseItem(const Json& j, Item* item, std::string* error) {
  if (!j.is_object() || !j.contains("Id") || !Number(j["Id"], &item->id)) {
    *error = "an item needs an \"Id\"";
    return false;
  }
  uint32_t attributes = 0, minimum = 0, step = 1, positions = 1;
  std::vector<std::string> strings, extra;
  if (!Field(j, "Attributes", 0, &attributes) || !Field(j, "Minimum", 0, &minimum) ||
      !Field(j, "Step", 1, &step) || !Field(j, "Positions", 1, &positions) ||
      !Field(j, "Value", 0, &item->defaultValue) || !Strings(j, "Strings", &strings) ||
      !Strings(j, "ExtraStrings", &extra)) {
    *error = "item " + j["Id"].dump() + ": a field has the wrong kind";
    return false;
  }
  const uint32_t kind = (item->id >> 16) & 0xF;
  if (auto raw = j.find("Elements"); raw != j.end()) {
    if (!raw->is_array()) {
      *error = "\"Elements\" must be a list";
      return false;
    }
    for (const Json& e : *raw) {
      Element element;
      if (!ElementFrom(e, &element)) {
        *error = "item " + j["Id"].dump() + ": bad element " + e.dump();
        return false;
      }
      item->descriptor.push_back(std::move(element));
    }
    item->choices = 0;
    return true;
  }
  // Elements 1 and 2 carry the item's index and a descriptor version.
  item->descriptor = {NumberElement(item->id), NumberElement(item->id & 0xFFFF), NumberElement(1),
                      NumberElement(attributes)};
  if (kind == kKindBoolean) {
    item->choices = 2;
  } else if (kind == kKindString) {
    item->descriptor.push_back(NumberElement(static_cast<uint32_t>(strings.size())));
    for (auto& s : strings) item->descriptor.push_back(TextElement(s));
    item->choices = static_cast<uint32_t>(strings.size());
  } else {
    item->descriptor.push_back(NumberElement(minimum));
    item->descriptor.push_back(NumberElement(step));
    item->descriptor.push_back(NumberElement(positions));
    if (!extra.empty()) {
      item->descriptor.push_back(NumberElement(static_cast<uint32_t>(extra.size())));
      for (auto& s : extra) item->descriptor.push_back(TextElement(s));
    }
    item->choices = positions + static_cast<uint32_t>(extra.size());
  }
  return true;
}

std::wstring RegistryText(HKEY root, const wchar_t* key, const wchar_t* name) {
  wchar_t text[1024];
  DWORD bytes = sizeof text - sizeof(wchar_t);
  if (RegGetValueW(root, key, name, RRF_RT_REG_SZ, nullptr, text, &bytes) != ERROR_SUCCESS)
    return std::wstring();
  return std::wstring(text);
}

std::wstring ValueName(uint32_t id) {
  wchar_t name[16];
  swprintf(name, 16, L"%08X", id);
  return name;
}

void Debug(const std::string& text) {
  OutputDebugStringA(("hwbridge: " + text + "\n").c_str());
}

}  // namespace

std::vector<uint8_t> EncodeBlock(const std::vector<Element>& elements) {
  std::vector<uint8_t> out = {0xE1, 0, 0, 0};
  Put32(out, static_cast<uint32_t>(elements.size()));
  for (const Element& e : elements) {
    const size_t start = out.size();
    if (e.isString) {
      const auto length = static_cast<uint16_t>(e.text.size() + 1);
      Put16(out, 2);
      Put16(out, length);
      out.insert(out.end(), e.text.begin(), e.text.end());
      out.push_back(0);
    } else {
      Put16(out, 1);
      Put16(out, 4);
      Put32(out, e.number);
    }
    const size_t data = out.size() - start - 4;
    out.resize(start + 8 + (data > 4 ? data : 4), 0);
  }
  return out;
}

bool ParseProfile(const std::string& text, Profile* profile, std::string* error) {
  Json doc;
  try {
    doc = Json::parse(text, nullptr, true, true);
  } catch (const Json::exception& e) {
    *error = e.what();
    return false;
  }
  if (!doc.is_object()) {
    *error = "the profile must be an object";
    return false;
  }
  Profile result;
  if (auto mb = doc.find("Mainboard"); mb != doc.end()) {
    if (!mb->is_array()) {
      *error = "\"Mainboard\" must be a list of elements";
      return false;
    }
    for (const Json& e : *mb) {
      Element element;
      if (!ElementFrom(e, &element)) {
        *error = "bad mainboard element " + e.dump();
        return false;
      }
      result.mainboard.push_back(std::move(element));
    }
  }
  if (auto groups = doc.find("Groups"); groups != doc.end()) {
    if (!groups->is_object()) {
      *error = "\"Groups\" must map group numbers to item lists";
      return false;
    }
    for (const auto& [name, list] : groups->items()) {
      uint32_t group = 0;
      if (!Number(Json(name), &group) || group > 255 || !list.is_array()) {
        *error = "bad group \"" + name + "\"";
        return false;
      }
      auto& ids = result.groups[group];
      for (const Json& j : list) {
        Item item;
        if (!ParseItem(j, &item, error)) return false;
        ids.push_back(item.id);
        result.items.emplace(item.id, std::move(item));
      }
    }
  }
  *profile = std::move(result);
  return true;
}

bool Firmware::Current(Profile* profile) {
  std::lock_guard<std::mutex> guard(m_lock);
  const std::wstring path = RegistryText(HKEY_LOCAL_MACHINE, kBridgeKey, L"Profile");
  WIN32_FILE_ATTRIBUTE_DATA info{};
  if (!path.empty() && !GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info)) {
    Debug("the profile file named in the registry cannot be read");
    return false;
  }
  if (!m_loaded || path != m_path || CompareFileTime(&info.ftLastWriteTime, &m_written) != 0) {
    std::string text;
    if (path.empty()) {
      text = kDefaultProfile;
    } else {
      std::ifstream file(path.c_str(), std::ios::binary);
      std::ostringstream content;
      content << file.rdbuf();
      if (!file) {
        Debug("the profile file cannot be read");
        return false;
      }
      text = content.str();
    }
    std::string error;
    Profile parsed;
    if (!ParseProfile(text, &parsed, &error)) {
      Debug("invalid profile: " + error);
      return false;
    }
    m_profile = std::move(parsed);
    m_path = path;
    m_written = info.ftLastWriteTime;
    m_loaded = true;
  }
  *profile = m_profile;
  return true;
}

bool Firmware::ReadValue(const Item& item, ULONG* value) {
  std::lock_guard<std::mutex> guard(m_lock);
  DWORD stored = 0;
  DWORD bytes = sizeof stored;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kValuesKey, ValueName(item.id).c_str(), RRF_RT_REG_DWORD,
                   nullptr, &stored, &bytes) == ERROR_SUCCESS) {
    *value = stored;
  } else {
    *value = item.defaultValue;
  }
  return true;
}

bool Firmware::WriteValue(const Item& item, uint32_t value) {
  std::lock_guard<std::mutex> guard(m_lock);
  const DWORD stored = value;
  return RegSetKeyValueW(HKEY_LOCAL_MACHINE, kValuesKey, ValueName(item.id).c_str(), REG_DWORD,
                         &stored, sizeof stored) == ERROR_SUCCESS;
}

}  // namespace hwbridge
