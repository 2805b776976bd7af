// Typed request arguments of the command line (portable).
#include "typed_args.h"

#include <cctype>
#include <charconv>
#include <cstdint>
#include <limits>
#include <vector>

#include "utf.h"

namespace orbhost {
namespace {

using Value = QuonValueSet::OrbValue;

struct KindEntry {
  OrbValueKind kind;
  const char* name;
};
constexpr KindEntry kKinds[] = {
    {OrbValueKindBool, "Bool"},     {OrbValueKindInt, "Int"},       {OrbValueKindInt64, "Int64"},
    {OrbValueKindBinary, "Binary"}, {OrbValueKindUInt, "UInt"},     {OrbValueKindUInt64, "UInt64"},
    {OrbValueKindDouble, "Double"}, {OrbValueKindString, "String"}, {OrbValueKindChild, "Child"},
};

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// Parses a decimal or 0x-hexadecimal integer that must fill text entirely.
template <typename T>
bool ParseInteger(std::string_view text, T* out) {
  bool negative = !text.empty() && text.front() == '-';
  std::string_view digits = negative ? text.substr(1) : text;
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits.remove_prefix(2);
    base = 16;
  }
  if (digits.empty() || digits.front() == '-' || digits.front() == '+') return false;
  if (negative && !std::numeric_limits<T>::is_signed) return false;
  // Parse the magnitude unsigned, then apply the sign with a range check.
  uint64_t magnitude = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
  if (ec != std::errc() || end != digits.data() + digits.size()) return false;
  if constexpr (std::numeric_limits<T>::is_signed) {
    if (negative) {
      // |min| = max + 1, computed without overflow.
      const uint64_t limit = uint64_t(std::numeric_limits<T>::max()) + 1;
      if (magnitude > limit) return false;
      *out = magnitude == limit ? std::numeric_limits<T>::min() : -static_cast<T>(magnitude);
      return true;
    }
  }
  if (magnitude > uint64_t(std::numeric_limits<T>::max())) return false;
  *out = static_cast<T>(magnitude);
  return true;
}

bool ParseHexBytes(std::string_view text, std::vector<uint8_t>* bytes) {
  if (text.size() % 2 != 0) return false;
  bytes->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    uint8_t byte = 0;
    auto [end, ec] = std::from_chars(text.data() + i, text.data() + i + 2, byte, 16);
    if (ec != std::errc() || end != text.data() + i + 2) return false;
    bytes->push_back(byte);
  }
  return true;
}

bool Fail(std::string* error, std::string message) {
  if (error) *error = std::move(message);
  return false;
}

}  // namespace

const char* KindName(uint8_t kind) {
  for (const auto& entry : kKinds) {
    if (entry.kind == kind) return entry.name;
  }
  return nullptr;
}

std::optional<OrbValueKind> ParseKindName(std::string_view name) {
  for (const auto& entry : kKinds) {
    if (EqualsIgnoreCase(name, entry.name)) return entry.kind;
  }
  return std::nullopt;
}

bool SplitTypedKey(std::string_view text, std::string* key, std::optional<OrbValueKind>* kind,
                   std::string* error) {
  *kind = std::nullopt;
  const size_t colon = text.rfind(':');
  if (colon != std::string_view::npos && colon + 1 < text.size()) {
    const std::string_view suffix = text.substr(colon + 1);
    bool word = true;
    for (char c : suffix) word = word && std::isalnum(static_cast<unsigned char>(c));
    if (word) {
      *kind = ParseKindName(suffix);
      if (!*kind) return Fail(error, "unknown kind '" + std::string(suffix) + "'");
      *key = std::string(text.substr(0, colon));
      return true;
    }
  }
  *key = std::string(text);
  return true;
}

bool SetValueFromText(QuonValueSet& set, std::string_view key, OrbValueKind kind,
                      std::string_view text, std::string* error) {
  const std::string what =
      "'" + std::string(text) + "' is not a valid " + (KindName(kind) ? KindName(kind) : "value");
  Value* value = nullptr;
  switch (kind) {
    case OrbValueKindBool:
      if (EqualsIgnoreCase(text, "true") || text == "1") {
        value = new Value(true);
      } else if (EqualsIgnoreCase(text, "false") || text == "0") {
        value = new Value(false);
      }
      break;
    case OrbValueKindInt: {
      int32_t v;
      if (ParseInteger(text, &v)) value = new Value(v);
      break;
    }
    case OrbValueKindInt64: {
      int64_t v;
      if (ParseInteger(text, &v)) value = new Value(v);
      break;
    }
    case OrbValueKindUInt: {
      uint32_t v;
      if (ParseInteger(text, &v)) value = new Value(v);
      break;
    }
    case OrbValueKindUInt64: {
      uint64_t v;
      if (ParseInteger(text, &v)) value = new Value(v);
      break;
    }
    case OrbValueKindDouble: {
      double v;
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
      if (!text.empty() && ec == std::errc() && end == text.data() + text.size())
        value = new Value(v);
      break;
    }
    case OrbValueKindString:
      value = new Value(Utf8ToUtf16(text));
      break;
    case OrbValueKindBinary: {
      std::vector<uint8_t> bytes;
      if (!ParseHexBytes(text, &bytes)) return Fail(error, what + " (hex digit pairs)");
      if (!set.SetBinary(key, bytes.data(), static_cast<uint32_t>(bytes.size())))
        return Fail(error, "key '" + std::string(key) + "' cannot be stored");
      return true;
    }
    default:
      return Fail(error, "a " + std::string(KindName(kind) ? KindName(kind) : "value") +
                             " cannot be given as text");
  }
  if (!value) return Fail(error, what);
  if (!set.SetValue(key, value)) return Fail(error, "key '" + std::string(key) + "' is too long");
  return true;
}

bool AddTypedArgument(QuonValueSet& request, std::string_view argument, std::string* error) {
  const size_t equals = argument.find('=');
  if (equals == std::string_view::npos || equals == 0)
    return Fail(error, "'" + std::string(argument) + "' is not key=value or key:Kind=value");
  std::string path;
  std::optional<OrbValueKind> kind;
  if (!SplitTypedKey(argument.substr(0, equals), &path, &kind, error)) return false;
  if (kind == OrbValueKindChild) return Fail(error, "a Child cannot be given as text");

  // Walk the dotted path, creating children on the way.
  QuonValueSet* set = &request;
  size_t start = 0;
  for (size_t dot = path.find('.'); dot != std::string::npos; dot = path.find('.', start)) {
    const std::string name = path.substr(start, dot - start);
    if (name.empty()) return Fail(error, "empty key part in '" + path + "'");
    QuonValueSet* child = set->GetChild(name);
    if (!child) {
      if (set->Contains(name))
        return Fail(error, "'" + name + "' already holds a value that is not a Child");
      child = set->CreateChild(name);
      if (!child) return Fail(error, "key '" + name + "' is too long");
    }
    set = child;
    start = dot + 1;
  }
  const std::string leaf = path.substr(start);
  if (leaf.empty()) return Fail(error, "empty key part in '" + path + "'");
  return SetValueFromText(*set, leaf, kind.value_or(OrbValueKindString),
                          argument.substr(equals + 1), error);
}

}  // namespace orbhost
