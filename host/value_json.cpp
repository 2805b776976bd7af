// Conversions between the value tree and JSON (portable).
#include "value_json.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "typed_args.h"
#include "utf.h"

namespace orbhost {
namespace {

using Value = QuonValueSet::OrbValue;

// Reads a fixed-width payload; a shorter payload (possible on the wire) is
// zero-extended rather than read past its end.
template <typename T>
T ReadPayload(const Value& value) {
  T result{};
  if (value.data) std::memcpy(&result, value.data, std::min<size_t>(sizeof(T), value.size));
  return result;
}

std::u16string StringUnits(const Value& value) {
  if (!value.data) return {};
  return std::u16string(static_cast<const char16_t*>(value.data), value.size / 2);
}

Json DoubleToJson(double v, JsonForm form) {
  if (std::isfinite(v)) return v;
  if (form == JsonForm::kPlain) return nullptr;
  if (std::isnan(v)) return "NaN";
  return v > 0 ? "Infinity" : "-Infinity";
}

Json ValueToJson(const Value& value, JsonForm form) {
  switch (value.kind) {
    case OrbValueKindBool:
      return ReadPayload<uint8_t>(value) != 0;
    case OrbValueKindInt:
      return ReadPayload<int32_t>(value);
    case OrbValueKindInt64:
      return ReadPayload<int64_t>(value);
    case OrbValueKindUInt:
      return ReadPayload<uint32_t>(value);
    case OrbValueKindUInt64:
      return ReadPayload<uint64_t>(value);
    case OrbValueKindDouble:
      return DoubleToJson(ReadPayload<double>(value), form);
    case OrbValueKindBinary: {
      const auto* bytes = static_cast<const uint8_t*>(value.data);
      if (form == JsonForm::kTyped) return HexBytes(bytes, bytes ? value.size : 0);
      Json array = Json::array();
      for (uint32_t i = 0; bytes && i < value.size; ++i) array.push_back(bytes[i]);
      return array;
    }
    case OrbValueKindString: {
      std::u16string units = StringUnits(value);
      if (form == JsonForm::kPlain) {
        units.resize(std::min(units.size(), units.find(u'\0')));
        return Utf16ToUtf8(units);
      }
      if (IsWellFormedUtf16(units)) return Utf16ToUtf8(units);
      Json array = Json::array();
      for (char16_t unit : units) array.push_back(static_cast<uint16_t>(unit));
      return array;
    }
    case OrbValueKindChild:
      return value.Child() ? TreeToJson(*value.Child(), form) : Json::object();
    default:
      return nullptr;
  }
}

bool Fail(std::string* error, const std::string& path, const std::string& message) {
  if (error) *error = (path.empty() ? std::string() : "'" + path + "': ") + message;
  return false;
}

bool JsonToSet(const Json& object, QuonValueSet& set, const std::string& path, int depth,
               std::string* error);

bool StoreBytes(QuonValueSet& set, const std::string& key, const std::vector<uint8_t>& bytes,
                const std::string& path, std::string* error) {
  if (!set.SetBinary(key, bytes.data(), static_cast<uint32_t>(bytes.size())))
    return Fail(error, path, "the key cannot be stored");
  return true;
}

bool StoreValue(QuonValueSet& set, const std::string& key, Value* value, const std::string& path,
                std::string* error) {
  if (!set.SetValue(key, value)) return Fail(error, path, "the key cannot be stored");
  return true;
}

// Converts a JSON value to the given kind.
bool StoreTyped(QuonValueSet& set, const std::string& key, OrbValueKind kind, const Json& json,
                const std::string& path, int depth, std::string* error) {
  const std::string expected = std::string("expected a ") + KindName(kind);
  switch (kind) {
    case OrbValueKindChild: {
      if (!json.is_object()) return Fail(error, path, "expected an object");
      QuonValueSet* child = set.CreateChild(key);
      if (!child) return Fail(error, path, "the key cannot be stored");
      return JsonToSet(json, *child, path, depth + 1, error);
    }
    case OrbValueKindString: {
      if (json.is_string()) {
        return StoreValue(set, key, new Value(Utf8ToUtf16(json.get_ref<const std::string&>())),
                          path, error);
      }
      if (!json.is_array()) return Fail(error, path, expected);
      std::u16string units;
      for (const Json& unit : json) {
        if (!unit.is_number_unsigned() || unit.get<uint64_t>() > 0xFFFF)
          return Fail(error, path, "expected UTF-16 code units (0 to 65535)");
        units += static_cast<char16_t>(unit.get<uint64_t>());
      }
      return StoreValue(set, key, new Value(std::move(units)), path, error);
    }
    case OrbValueKindBinary: {
      if (json.is_string()) {
        std::string message;
        if (!SetValueFromText(set, key, kind, json.get_ref<const std::string&>(), &message))
          return Fail(error, path, message);
        return true;
      }
      if (!json.is_array()) return Fail(error, path, expected);
      std::vector<uint8_t> bytes;
      for (const Json& byte : json) {
        if (!byte.is_number_unsigned() || byte.get<uint64_t>() > 255)
          return Fail(error, path, "expected byte values (0 to 255)");
        bytes.push_back(static_cast<uint8_t>(byte.get<uint64_t>()));
      }
      return StoreBytes(set, key, bytes, path, error);
    }
    case OrbValueKindBool:
      if (json.is_boolean()) return StoreValue(set, key, new Value(json.get<bool>()), path, error);
      break;
    case OrbValueKindDouble:
      if (json.is_number()) return StoreValue(set, key, new Value(json.get<double>()), path, error);
      if (json.is_string()) {
        const auto& text = json.get_ref<const std::string&>();
        double special = 0;
        if (text == "NaN") {
          special = std::numeric_limits<double>::quiet_NaN();
        } else if (text == "Infinity") {
          special = std::numeric_limits<double>::infinity();
        } else if (text == "-Infinity") {
          special = -std::numeric_limits<double>::infinity();
        } else {
          break;  // other text: parsed below as a number
        }
        return StoreValue(set, key, new Value(special), path, error);
      }
      break;
    default:
      break;
  }
  // Integers, and numbers given as text ("0x10", "-5", "1.5").
  std::string text;
  if (json.is_number_unsigned()) {
    text = std::to_string(json.get<uint64_t>());
  } else if (json.is_number_integer()) {
    text = std::to_string(json.get<int64_t>());
  } else if (json.is_string()) {
    text = json.get<std::string>();
  } else {
    return Fail(error, path, expected);
  }
  std::string message;
  if (!SetValueFromText(set, key, kind, text, &message)) return Fail(error, path, message);
  return true;
}

// Picks a kind for a JSON value that carries no kind suffix.
bool StoreInferred(QuonValueSet& set, const std::string& key, const Json& json,
                   const std::string& path, int depth, std::string* error) {
  switch (json.type()) {
    case Json::value_t::string:
      return StoreTyped(set, key, OrbValueKindString, json, path, depth, error);
    case Json::value_t::boolean:
      return StoreTyped(set, key, OrbValueKindBool, json, path, depth, error);
    case Json::value_t::object:
      return StoreTyped(set, key, OrbValueKindChild, json, path, depth, error);
    case Json::value_t::array:
      return StoreTyped(set, key, OrbValueKindBinary, json, path, depth, error);
    case Json::value_t::number_float:
      return StoreTyped(set, key, OrbValueKindDouble, json, path, depth, error);
    case Json::value_t::number_unsigned: {
      const uint64_t v = json.get<uint64_t>();
      if (v <= uint64_t(std::numeric_limits<int32_t>::max()))
        return StoreValue(set, key, new Value(static_cast<int32_t>(v)), path, error);
      if (v <= uint64_t(std::numeric_limits<int64_t>::max()))
        return StoreValue(set, key, new Value(static_cast<int64_t>(v)), path, error);
      return StoreValue(set, key, new Value(v), path, error);
    }
    case Json::value_t::number_integer: {
      const int64_t v = json.get<int64_t>();
      if (v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max())
        return StoreValue(set, key, new Value(static_cast<int32_t>(v)), path, error);
      return StoreValue(set, key, new Value(v), path, error);
    }
    default:
      return Fail(error, path, "null and other JSON values have no value kind");
  }
}

bool JsonToSet(const Json& object, QuonValueSet& set, const std::string& path, int depth,
               std::string* error) {
  if (!object.is_object()) return Fail(error, path, "expected a JSON object");
  if (depth > QuonValueSet::kMaxDepth) return Fail(error, path, "nested too deeply");
  for (const auto& [name, json] : object.items()) {
    std::string key;
    std::optional<OrbValueKind> kind;
    std::string message;
    const std::string itemPath = path.empty() ? name : path + "." + name;
    if (!SplitTypedKey(name, &key, &kind, &message)) return Fail(error, itemPath, message);
    if (key.size() > QuonValueSet::kMaxKeyLength)
      return Fail(error, itemPath, "a key is at most 255 bytes");
    const bool ok = kind ? StoreTyped(set, key, *kind, json, itemPath, depth, error)
                         : StoreInferred(set, key, json, itemPath, depth, error);
    if (!ok) return false;
  }
  return true;
}

}  // namespace

std::string HexBytes(const uint8_t* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

Json TreeToJson(const QuonValueSet& set, JsonForm form) {
  Json object = Json::object();
  for (const auto& [key, value] : set.Entries()) {
    if (!value) continue;
    const char* kind = KindName(value->kind);
    if (!kind) continue;  // None or invalid: nothing to show (a parsed tree holds none)
    const std::string name = form == JsonForm::kTyped ? key + ":" + kind : key;
    object[name] = ValueToJson(*value, form);
  }
  return object;
}

bool JsonToTree(const Json& object, QuonValueSet& set, std::string* error) {
  set.Clear();
  if (JsonToSet(object, set, "", 0, error)) return true;
  set.Clear();
  return false;
}

std::string DumpText(const QuonValueSet& set) {
  return Utf16ToUtf8(set.ToString(0));
}

}  // namespace orbhost
