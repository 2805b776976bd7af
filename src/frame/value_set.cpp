// QuonValueSet: the typed value tree, its wire form and its text dump.
//
// Portable core: standard library only. Payloads are stored little-endian
// exactly as they travel, so scalars are copied, never converted.
#include "pelorus/value_set.h"

#include <bit>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <tuple>
#include <utility>
#include <vector>

static_assert(std::endian::native == std::endian::little,
              "payloads are kept in wire (little-endian) order and read in place");

namespace {

using OrbValue = QuonValueSet::OrbValue;
using Map = QuonValueSet::Map;

// Size of a value's wire header: kind byte plus 32-bit size.
constexpr uint64_t kValueHeader = 5;

// Payloads live in raw storage from operator new, so a String payload can be
// read as char16_t units and a scalar payload copied out without aliasing issues.
void* AllocPayload(size_t bytes) {
  return ::operator new(bytes == 0 ? 1 : bytes);
}
void FreePayload(void* p) {
  ::operator delete(p);
}

// Copies a payload. Scalars (1, 4 or 8 bytes) dominate real trees; giving the
// compiler a constant length turns their copy into one move instead of a call.
inline void CopyBytes(void* dst, const void* src, size_t bytes) {
  switch (bytes) {
    case 8:
      std::memcpy(dst, src, 8);
      break;
    case 4:
      std::memcpy(dst, src, 4);
      break;
    case 1:
      std::memcpy(dst, src, 1);
      break;
    case 0:
      break;
    default:
      std::memcpy(dst, src, bytes);
      break;
  }
}

void* CopyPayload(const void* src, size_t bytes) {
  void* p = AllocPayload(bytes);
  CopyBytes(p, src, bytes);
  return p;
}

bool IsScalarKind(uint8_t kind) {
  return kind >= OrbValueKindBool && kind <= OrbValueKindDouble;
}

uint32_t LoadU32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

void StoreU32(uint8_t* p, uint32_t v) {
  std::memcpy(p, &v, 4);
}

// A String payload: the text code units followed by a NUL unit. payloadBytes is
// the size recorded in the value; the allocation always ends with a whole NUL
// unit, even when a sender's byte count is odd, so readers can scan for it.
void* MakeStringPayload(const void* bytes, size_t payloadBytes) {
  const size_t alloc = (payloadBytes + 1) / 2 * 2 + 2;
  auto* p = static_cast<uint8_t*>(AllocPayload(alloc));
  if (payloadBytes != 0) std::memcpy(p, bytes, payloadBytes);
  std::memset(p + payloadBytes, 0, alloc - payloadBytes);
  return p;
}

size_t TextLength(const char16_t* text) {
  return text == nullptr ? 0 : std::char_traits<char16_t>::length(text);
}

// Reads a fixed-width scalar. A payload shorter than the type (only possible
// from hostile wire input or hand-made values) reads as the default, like a
// value of the wrong kind.
template <typename T>
T ReadScalar(const OrbValue* v, uint8_t kind) {
  T out{};
  if (v != nullptr && v->kind == kind && v->size >= sizeof(T))
    std::memcpy(&out, v->data, sizeof(T));
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// OrbValue

QuonValueSet::OrbValue::OrbValue() : kind(OrbValueKindNone), data(nullptr), size(0) {}

QuonValueSet::OrbValue::OrbValue(bool v) : kind(OrbValueKindBool), data(nullptr), size(1) {
  const uint8_t b = v ? 1 : 0;
  data = CopyPayload(&b, 1);
}

QuonValueSet::OrbValue::OrbValue(int32_t v)
    : kind(OrbValueKindInt), data(CopyPayload(&v, sizeof v)), size(sizeof v) {}

QuonValueSet::OrbValue::OrbValue(int64_t v)
    : kind(OrbValueKindInt64), data(CopyPayload(&v, sizeof v)), size(sizeof v) {}

QuonValueSet::OrbValue::OrbValue(uint32_t v)
    : kind(OrbValueKindUInt), data(CopyPayload(&v, sizeof v)), size(sizeof v) {}

QuonValueSet::OrbValue::OrbValue(uint64_t v)
    : kind(OrbValueKindUInt64), data(CopyPayload(&v, sizeof v)), size(sizeof v) {}

QuonValueSet::OrbValue::OrbValue(double v)
    : kind(OrbValueKindDouble), data(CopyPayload(&v, sizeof v)), size(sizeof v) {}

QuonValueSet::OrbValue::OrbValue(const char16_t* text) : OrbValue(text, false) {}

QuonValueSet::OrbValue::OrbValue(const char16_t* text, bool countTerminator)
    : kind(OrbValueKindString), data(nullptr), size(0) {
  const size_t bytes = TextLength(text) * 2;
  data = MakeStringPayload(text, bytes);
  size = static_cast<uint32_t>(countTerminator ? bytes + 2 : bytes);
}

QuonValueSet::OrbValue::OrbValue(std::u16string text)
    : kind(OrbValueKindString),
      data(MakeStringPayload(text.data(), text.size() * 2)),
      size(static_cast<uint32_t>(text.size() * 2)) {}

QuonValueSet::OrbValue::~OrbValue() {
  if (kind == OrbValueKindChild)
    delete static_cast<QuonValueSet*>(data);
  else if (data != nullptr)
    FreePayload(data);
}

std::u16string QuonValueSet::OrbValue::Text() const {
  if (kind != OrbValueKindString || data == nullptr) return {};
  return std::u16string(static_cast<const char16_t*>(data));
}

// ---------------------------------------------------------------------------
// Storage, wire form and dump. Members of a nested helper so they can build
// values through OrbValue's private constructor and reach a set's map.

struct QuonValueSet::Codec {
  // Stores an owned value under key, destroying any value it replaces.
  static void Store(Map& map, std::string_view key, OrbValue* value) {
    std::unique_ptr<OrbValue> owned(value);
    const auto hint = map.lower_bound(key);
    if (hint != map.end() && hint->first == key) {
      delete hint->second;
      hint->second = owned.release();
      return;
    }
    map.emplace_hint(hint, std::piecewise_construct, std::forward_as_tuple(key.data(), key.size()),
                     std::forward_as_tuple(owned.get()));
    owned.release();
  }

  // The parser's store. Keys normally arrive in ascending order (that is how
  // sets serialise), so the end hint appends after one comparison; any other
  // order falls back to a search inside emplace_hint. A repeated key finds the
  // earlier entry, whose value is then replaced.
  static void StoreParsed(Map& map, std::string_view key, OrbValue* value) {
    std::unique_ptr<OrbValue> owned(value);
    const auto it = map.emplace_hint(map.end(), std::piecewise_construct,
                                     std::forward_as_tuple(key.data(), key.size()),
                                     std::forward_as_tuple(owned.get()));
    if (it->second != value) {
      delete it->second;
      it->second = value;
    }
    owned.release();
  }

  static bool StoreChecked(Map& map, std::string_view key, OrbValue* value) {
    if (value == nullptr) return false;
    if (key.size() > kMaxKeyLength) {
      delete value;
      return false;
    }
    Store(map, key, value);
    return true;
  }

  // Wire length of a set. Each Child value's size is refreshed on the way, so
  // the write pass that follows reads it instead of recomputing it. Clears
  // *fits when some Child's wire form exceeds the 32-bit size field.
  static uint64_t Measure(const Map& map, bool* fits) {
    uint64_t total = 0;
    for (const auto& [key, v] : map) {
      uint64_t payload = v->size;
      if (v->kind == OrbValueKindChild) {
        payload = v->data != nullptr ? Measure(*v->Child()->m_map, fits) : 0;
        if (payload > UINT32_MAX)
          *fits = false;
        else
          v->size = static_cast<uint32_t>(payload);
      }
      total += 1 + key.size() + kValueHeader + payload;
    }
    return total;
  }

  // Writes a measured set into a buffer known to be large enough. Returns the
  // end of the written bytes, or nullptr at the first value that has no wire form.
  static uint8_t* Write(const Map& map, uint8_t* out) {
    for (const auto& [key, v] : map) {
      *out++ = static_cast<uint8_t>(key.size());
      std::memcpy(out, key.data(), key.size());
      out += key.size();
      *out++ = v->kind;
      StoreU32(out, v->size);
      out += 4;
      if (IsScalarKind(v->kind) || v->kind == OrbValueKindString) {
        CopyBytes(out, v->data, v->size);
        out += v->size;
      } else if (v->kind == OrbValueKindChild && v->data != nullptr) {
        out = Write(*v->Child()->m_map, out);
        if (out == nullptr) return nullptr;
      } else {
        return nullptr;
      }
    }
    return out;
  }

  // Builds one value from its bounded payload. Returns nullptr for an invalid
  // kind, for nesting past kMaxDepth, or for a Child that fails to parse.
  static OrbValue* ParseValue(uint8_t kind, const uint8_t* payload, uint32_t size, int depth) {
    if (IsScalarKind(kind) || kind == OrbValueKindString) {
      auto* v = new OrbValue();
      v->kind = kind;
      v->size = size;
      v->data = kind == OrbValueKindString ? MakeStringPayload(payload, size)
                                           : CopyPayload(payload, size);
      return v;
    }
    if (kind != OrbValueKindChild || depth >= kMaxDepth) return nullptr;
    std::unique_ptr<OrbValue> v(new OrbValue());
    auto* child = new QuonValueSet();
    v->kind = kind;
    v->data = child;
    v->size = size;
    if (!Parse(*child->m_map, payload, size, depth + 1)) return nullptr;
    return v.release();
  }

  // Parses length bytes into an empty map. On failure the map is left empty.
  // depth counts the Child levels above this set.
  static bool Parse(Map& map, const uint8_t* in, uint64_t length, int depth) {
    uint64_t pos = 0;
    while (pos < length) {
      const uint64_t keyLength = in[pos];
      // Each check subtracts from the side known to be larger, so nothing wraps.
      if (length - pos - 1 < keyLength + kValueHeader) return Fail(map);
      const std::string_view key(reinterpret_cast<const char*>(in + pos + 1), keyLength);
      const uint64_t header = pos + 1 + keyLength;
      const uint8_t kind = in[header];
      const uint32_t size = LoadU32(in + header + 1);
      if (length - header - kValueHeader < size) return Fail(map);
      OrbValue* v = ParseValue(kind, in + header + kValueHeader, size, depth);
      if (v == nullptr) return Fail(map);
      StoreParsed(map, key, v);
      pos = header + kValueHeader + size;
    }
    return true;
  }

  static bool Fail(Map& map) {
    Destroy(map);
    return false;
  }

  static void Destroy(Map& map) {
    for (auto& entry : map) delete entry.second;
    map.clear();
  }

  static void Dump(const Map& map, int level, std::u16string& out) {
    out.append(u"{\r\n");
    for (const auto& [key, v] : map) {
      AppendIndent(out, level + 1);
      AppendAscii(out, key);
      out.push_back(u':');
      DumpValue(*v, level + 1, out);
      out.append(u",\r\n");
    }
    AppendIndent(out, level);
    out.push_back(u'}');
  }

  static void DumpValue(const OrbValue& v, int level, std::u16string& out) {
    if (v.kind == OrbValueKindChild) {
      if (v.data != nullptr) Dump(*v.Child()->m_map, level, out);
      return;
    }
    AppendIndent(out, level);
    switch (v.kind) {
      case OrbValueKindBool:
        out.push_back(ReadScalar<uint8_t>(&v, OrbValueKindBool) != 0 ? u'1' : u'0');
        break;
      case OrbValueKindInt:
        AppendNumber(out, ReadScalar<int32_t>(&v, v.kind));
        break;
      case OrbValueKindInt64:
        AppendNumber(out, ReadScalar<int64_t>(&v, v.kind));
        break;
      case OrbValueKindUInt:
        AppendNumber(out, ReadScalar<uint32_t>(&v, v.kind));
        break;
      case OrbValueKindUInt64:
        AppendNumber(out, ReadScalar<uint64_t>(&v, v.kind));
        break;
      case OrbValueKindDouble: {
        char buf[400];  // "%f" of the largest double needs 317 characters.
        const int n = std::snprintf(buf, sizeof buf, "%f", ReadScalar<double>(&v, v.kind));
        if (n > 0) AppendAscii(out, std::string_view(buf, static_cast<size_t>(n)));
        break;
      }
      case OrbValueKindString:
        out.append(v.Text());
        break;
      case OrbValueKindBinary: {
        out.push_back(u'[');
        const auto* bytes = static_cast<const uint8_t*>(v.data);
        for (uint32_t i = 0; i < v.size; ++i) {
          if (i != 0) out.append(u", ");
          AppendNumber(out, static_cast<unsigned>(bytes[i]));
        }
        out.push_back(u']');
        break;
      }
      default:  // None or an invalid kind: nothing after the indent.
        break;
    }
  }

  static void AppendAscii(std::u16string& out, std::string_view s) {
    for (char c : s) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  }

  static void AppendIndent(std::u16string& out, int level) {
    out.append(static_cast<size_t>(level) * 2, u' ');
  }

  template <typename T>
  static void AppendNumber(std::u16string& out, T v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    AppendAscii(out, std::string_view(buf, static_cast<size_t>(r.ptr - buf)));
  }
};

// ---------------------------------------------------------------------------
// QuonValueSet

QuonValueSet::QuonValueSet() : m_map(new Map()) {}

QuonValueSet::~QuonValueSet() {
  Codec::Destroy(*m_map);
  delete m_map;
}

bool QuonValueSet::SetValue(std::string_view key, OrbValue* value) {
  return Codec::StoreChecked(*m_map, key, value);
}

QuonValueSet::OrbValue* QuonValueSet::GetValue(std::string_view key) const {
  const auto it = m_map->find(key);
  return it == m_map->end() ? nullptr : it->second;
}

bool QuonValueSet::Contains(std::string_view key) const {
  return m_map->find(key) != m_map->end();
}

bool QuonValueSet::SetBinary(std::string_view key, const void* bytes, uint32_t size) {
  if (bytes == nullptr && size != 0) return false;
  if (key.size() > kMaxKeyLength) return false;
  auto* v = new OrbValue();
  v->kind = OrbValueKindBinary;
  v->data = CopyPayload(bytes, size);
  v->size = size;
  Codec::Store(*m_map, key, v);
  return true;
}

const uint8_t* QuonValueSet::GetBinary(std::string_view key, uint32_t* size) const {
  const OrbValue* v = GetValue(key);
  if (v == nullptr || v->kind != OrbValueKindBinary) return nullptr;
  if (size != nullptr) *size = v->size;
  return static_cast<const uint8_t*>(v->data);
}

QuonValueSet* QuonValueSet::CreateChild(std::string_view key) {
  if (key.size() > kMaxKeyLength) return nullptr;
  auto* v = new OrbValue();
  auto* child = new QuonValueSet();
  v->kind = OrbValueKindChild;
  v->data = child;
  Codec::Store(*m_map, key, v);
  return child;
}

QuonValueSet* QuonValueSet::GetChild(std::string_view key) const {
  const OrbValue* v = GetValue(key);
  return v == nullptr ? nullptr : v->Child();
}

void QuonValueSet::CopyFrom(const QuonValueSet& other) {
  // Each value travels through its own wire form, reusing one scratch buffer.
  // Copying a set into itself replaces every value with an equal copy.
  std::vector<uint8_t> scratch;
  for (const auto& [key, v] : *other.m_map) {
    bool fits = true;
    uint64_t payload = v->size;
    if (v->kind == OrbValueKindChild && v->data != nullptr) {
      payload = Codec::Measure(*v->Child()->m_map, &fits);
      if (fits) v->size = static_cast<uint32_t>(payload);
    }
    if (!fits) continue;
    scratch.resize(kValueHeader + payload);
    uint8_t* out = scratch.data();
    out[0] = v->kind;
    StoreU32(out + 1, v->size);
    if (IsScalarKind(v->kind) || v->kind == OrbValueKindString) {
      if (v->size != 0) std::memcpy(out + kValueHeader, v->data, v->size);
    } else if (v->kind != OrbValueKindChild || v->data == nullptr ||
               Codec::Write(*v->Child()->m_map, out + kValueHeader) == nullptr) {
      continue;
    }
    OrbValue* copy = Codec::ParseValue(out[0], out + kValueHeader, v->size, 0);
    if (copy != nullptr) Codec::Store(*m_map, key, copy);
  }
}

void QuonValueSet::Clear() {
  Codec::Destroy(*m_map);
}

size_t QuonValueSet::Count() const {
  return m_map->size();
}

bool QuonValueSet::Empty() const {
  return m_map->empty();
}

uint64_t QuonValueSet::GetSerializedSize() const {
  bool fits = true;
  return Codec::Measure(*m_map, &fits);
}

bool QuonValueSet::Serialize(uint8_t* buffer, uint64_t* capacity) const {
  if (capacity == nullptr) return false;
  bool fits = true;
  const uint64_t needed = Codec::Measure(*m_map, &fits);
  const uint64_t available = *capacity;
  *capacity = needed;
  if (!fits || available < needed || (buffer == nullptr && needed != 0)) return false;
  return needed == 0 || Codec::Write(*m_map, buffer) != nullptr;
}

bool QuonValueSet::Deserialize(const uint8_t* buffer, uint64_t* length) {
  Codec::Destroy(*m_map);
  if (length == nullptr) return false;
  const uint64_t total = *length;
  if (total == 0) return true;
  if (buffer == nullptr || !Codec::Parse(*m_map, buffer, total, 0)) {
    *length = 0;
    return false;
  }
  return true;
}

std::u16string QuonValueSet::ToString(int level) const {
  std::u16string out;
  Codec::Dump(*m_map, level < 0 ? 0 : level, out);
  return out;
}

bool QuonValueSet::SetUIntValue(std::string_view key, uint32_t v) {
  return SetValue(key, new OrbValue(v));
}

bool QuonValueSet::SetDoubleValue(std::string_view key, double v) {
  return SetValue(key, new OrbValue(v));
}

bool QuonValueSet::SetStringValue(std::string_view key, const char16_t* text) {
  return SetValue(key, new OrbValue(text, true));
}

bool QuonValueSet::SetStringValue(std::string_view key, std::u16string text) {
  return SetValue(key, new OrbValue(std::move(text)));
}

std::u16string QuonValueSet::GetStringValue(std::string_view key) const {
  const OrbValue* v = GetValue(key);
  return v == nullptr ? std::u16string() : v->Text();
}

bool QuonValueSet::GetBoolValue(std::string_view key) const {
  return ReadScalar<uint8_t>(GetValue(key), OrbValueKindBool) != 0;
}

int32_t QuonValueSet::GetIntValue(std::string_view key) const {
  return ReadScalar<int32_t>(GetValue(key), OrbValueKindInt);
}

int64_t QuonValueSet::GetInt64Value(std::string_view key) const {
  return ReadScalar<int64_t>(GetValue(key), OrbValueKindInt64);
}

uint32_t QuonValueSet::GetUIntValue(std::string_view key) const {
  return ReadScalar<uint32_t>(GetValue(key), OrbValueKindUInt);
}

uint64_t QuonValueSet::GetUInt64Value(std::string_view key) const {
  return ReadScalar<uint64_t>(GetValue(key), OrbValueKindUInt64);
}

double QuonValueSet::GetDoubleValue(std::string_view key) const {
  return ReadScalar<double>(GetValue(key), OrbValueKindDouble);
}

namespace {

bool EntriesEqual(const Map& a, const Map& b) {
  if (a.size() != b.size()) return false;
  for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib) {
    const OrbValue& va = *ia->second;
    const OrbValue& vb = *ib->second;
    if (ia->first != ib->first || va.kind != vb.kind) return false;
    if (va.kind == OrbValueKindChild) {
      // A Child's size is a cache of its wire length; compare the trees instead.
      if ((va.data == nullptr) != (vb.data == nullptr)) return false;
      if (va.data != nullptr && !EntriesEqual(va.Child()->Entries(), vb.Child()->Entries()))
        return false;
    } else if (va.size != vb.size ||
               (va.size != 0 && std::memcmp(va.data, vb.data, va.size) != 0)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool ValueSetsEqual(const QuonValueSet& a, const QuonValueSet& b) {
  return EntriesEqual(a.Entries(), b.Entries());
}
