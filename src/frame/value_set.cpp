// QuonValueSet: the typed value tree, its wire form and its text dump.
//
// Portable core: standard library only. Payloads are stored little-endian
// exactly as they travel, so scalars are copied, never converted.
#include "pelorus/value_set.h"

#include <algorithm>
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
using Entry = Map::value_type;

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

// Storage of a String payload of `bytes` bytes: the text code units followed by
// a NUL unit. The storage always ends with a whole NUL unit, even when a
// sender's byte count is odd, so readers can scan for it.
size_t StringStorage(size_t bytes) {
  return (bytes + 1) / 2 * 2 + 2;
}

void* MakeStringPayload(const void* bytes, size_t payloadBytes) {
  const size_t alloc = StringStorage(payloadBytes);
  auto* p = static_cast<uint8_t*>(AllocPayload(alloc));
  if (payloadBytes != 0) std::memcpy(p, bytes, payloadBytes);
  std::memset(p + payloadBytes, 0, alloc - payloadBytes);
  return p;
}

std::string_view KeyOf(const Entry& entry) {
  return entry.first;
}

// Byte-wise key order (a shorter key before a longer one with the same
// prefix), as std::string orders them. Written out because keys are a few
// bytes long: a loop beats calling memcmp for them.
bool KeyLess(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
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
  return std::u16string(TextView());
}

std::u16string_view QuonValueSet::OrbValue::TextView() const {
  if (kind != OrbValueKindString || data == nullptr) return {};
  return std::u16string_view(static_cast<const char16_t*>(data));
}

// ---------------------------------------------------------------------------
// Arena blocks: a header, then `capacity` bytes handed out front to back.

struct QuonValueSet::Block {
  Block* next;
  size_t used;
  size_t capacity;
  bool external;  // storage the set's owner provided: reused, never freed

  uint8_t* Bytes() { return reinterpret_cast<uint8_t*>(this + 1); }
};

// ---------------------------------------------------------------------------
// Storage, wire form and dump. Members of a nested helper so they can build
// values through OrbValue's private constructor and reach a set's entries.

struct QuonValueSet::Codec {
  // A set's first arena block holds a small answer; each later block doubles,
  // up to kMaxBlock. A request above half of that gets a block of its own.
  static constexpr size_t kFirstBlock = 512;
  static constexpr size_t kMaxBlock = 32 * 1024;
  // Larger payloads stay separate heap buffers of heap values, so a big
  // Binary never sits in, or forces, an arena block.
  static constexpr size_t kMaxInlinePayload = 1024;

  static size_t RoundUp(size_t bytes) { return (bytes + 7) & ~size_t{7}; }

  // Bump allocation from the newest block of an arena. A new block doubles
  // the newest one, or is `expected` bytes when that is more (a parse knows
  // roughly how much its tree needs).
  static void* Allocate(Block*& arena, size_t bytes, size_t expected = kFirstBlock) {
    bytes = RoundUp(bytes);
    Block* head = arena;
    if (head != nullptr && head->capacity - head->used >= bytes) {
      void* p = head->Bytes() + head->used;
      head->used += bytes;
      return p;
    }
    const bool own = bytes > kMaxBlock / 2;
    const size_t doubled = head != nullptr ? head->capacity * 2 : 0;
    size_t capacity = std::clamp(RoundUp(std::max(doubled, expected)), kFirstBlock, kMaxBlock);
    if (own || capacity < bytes) capacity = bytes;
    auto* block = static_cast<Block*>(::operator new(sizeof(Block) + capacity));
    block->used = bytes;
    block->capacity = capacity;
    block->external = false;
    if (own && head != nullptr) {
      // Behind the head, whose free room stays in use.
      block->next = head->next;
      head->next = block;
    } else {
      block->next = head;
      arena = block;
    }
    return block->Bytes();
  }

  // Frees the arena's blocks; an external block stays, emptied, as the
  // arena's only block.
  static void FreeArena(Block*& arena) {
    Block* b = arena;
    arena = nullptr;
    while (b != nullptr) {
      Block* next = b->next;
      if (b->external) {
        b->used = 0;
        b->next = nullptr;
        arena = b;
      } else {
        ::operator delete(b);
      }
      b = next;
    }
  }

  // A value that lives in an arena block with its payload (or its child set)
  // right behind it. The block belongs to the arena, so deleting the value
  // only runs destructors: the class's operator delete frees nothing. A
  // virtual destructor dispatches there whichever module deletes the value.
  struct ArenaValue final : OrbValue {
    ArenaValue(uint8_t valueKind, uint32_t valueSize) {
      kind = valueKind;
      size = valueSize;
      data = this + 1;
    }
    ~ArenaValue() override {
      if (kind == OrbValueKindChild) static_cast<QuonValueSet*>(data)->~QuonValueSet();
      data = nullptr;  // nothing left for ~OrbValue to free
    }
    static void* operator new(size_t bytes, Block*& arena, size_t payload) {
      return Allocate(arena, bytes + payload);
    }
    static void operator delete(void*, Block*&, size_t) {}
    static void operator delete(void*) {}
  };
  static_assert(sizeof(ArenaValue) % 8 == 0, "what follows a value stays 8-byte aligned");

  // A value of `kind` recording `size`, whose payload is `copy` bytes of src
  // followed by zeros up to `storage` bytes. Placed in *arena when one is
  // given and the payload is small, else a heap value with a heap payload.
  static OrbValue* NewValue(Block** arena, uint8_t kind, uint32_t size, const void* src,
                            size_t copy, size_t storage) {
    OrbValue* v;
    if (arena != nullptr && storage <= kMaxInlinePayload) {
      v = new (*arena, storage) ArenaValue(kind, size);
    } else {
      std::unique_ptr<OrbValue> heap(new OrbValue());
      heap->data = AllocPayload(storage);
      heap->kind = kind;
      heap->size = size;
      v = heap.release();
    }
    auto* out = static_cast<uint8_t*>(v->data);
    CopyBytes(out, src, copy);
    if (storage > copy) std::memset(out + copy, 0, storage - copy);
    return v;
  }

  // An empty Child value, in *arena (with the child set inside the value's
  // block) when one is given, else on the heap.
  static OrbValue* NewChild(Block** arena) {
    if (arena != nullptr) {
      auto* v = new (*arena, sizeof(QuonValueSet)) ArenaValue(OrbValueKindChild, 0);
      new (v->data) QuonValueSet();
      return v;
    }
    std::unique_ptr<OrbValue> v(new OrbValue());
    v->data = new QuonValueSet();
    v->kind = OrbValueKindChild;
    return v.release();
  }

  // Index of the first entry whose key is not less than key. Keys mostly
  // arrive in ascending order, so the last entry is compared first.
  static size_t LowerBound(const Map& map, std::string_view key) {
    if (map.m_size == 0 || KeyLess(KeyOf(map.m_entries[map.m_size - 1]), key)) return map.m_size;
    const Entry* at =
        std::lower_bound(map.m_entries, map.m_entries + map.m_size, key,
                         [](const Entry& e, std::string_view k) { return KeyLess(KeyOf(e), k); });
    return static_cast<size_t>(at - map.m_entries);
  }

  static bool Holds(const Map& map, size_t index, std::string_view key) {
    return index < map.m_size && KeyOf(map.m_entries[index]) == key;
  }

  // Moves the entries into an array twice as large from the set's arena. The
  // old array stays behind in its arena until that is freed, which bounds the
  // waste by the final array's size.
  static void Grow(QuonValueSet& set) {
    Map& map = set.m_map;
    const size_t capacity = map.m_capacity == 0 ? 4 : map.m_capacity * 2;
    auto* entries = static_cast<Entry*>(Allocate(set.m_arena, capacity * sizeof(Entry)));
    for (size_t i = 0; i < map.m_size; ++i) {
      new (&entries[i]) Entry(std::move(map.m_entries[i]));
      map.m_entries[i].~Entry();
    }
    map.m_entries = entries;
    map.m_capacity = capacity;
  }

  // Inserts (key, value) as entry `index`, shifting the later entries up.
  // Takes the value from `value` once nothing can fail any more.
  static void InsertAt(QuonValueSet& set, size_t index, std::string_view key,
                       std::unique_ptr<OrbValue>& value) {
    Map& map = set.m_map;
    if (map.m_size == map.m_capacity) Grow(set);
    Entry* e = map.m_entries;
    if (index == map.m_size) {
      new (&e[index]) Entry(std::string(key), value.get());
    } else {
      Entry entry(std::string(key), value.get());
      new (&e[map.m_size]) Entry(std::move(e[map.m_size - 1]));
      std::move_backward(e + index, e + map.m_size - 1, e + map.m_size);
      e[index] = std::move(entry);
    }
    ++map.m_size;
    value.release();
  }

  // Stores an owned value under key, destroying any value it replaces.
  static void Store(QuonValueSet& set, std::string_view key, OrbValue* value) {
    std::unique_ptr<OrbValue> owned(value);
    const size_t index = LowerBound(set.m_map, key);
    if (Holds(set.m_map, index, key)) {
      Entry& e = set.m_map.m_entries[index];
      delete e.second;
      e.second = owned.release();
      return;
    }
    InsertAt(set, index, key, owned);
  }

  static bool StoreChecked(QuonValueSet& set, std::string_view key, OrbValue* value) {
    if (value == nullptr) return false;
    if (key.size() > kMaxKeyLength) {
      delete value;
      return false;
    }
    Store(set, key, value);
    return true;
  }

  // Stores the value make(arena) builds: in the set's arena under a new key,
  // on the heap (arena null) when it replaces a value, so that replacing a
  // value again and again cannot grow the arena. Returns the stored value, or
  // nullptr when the key is too long or make fails.
  template <class Make>
  static OrbValue* Put(QuonValueSet& set, std::string_view key, Make make) {
    if (key.size() > kMaxKeyLength) return nullptr;
    const size_t index = LowerBound(set.m_map, key);
    if (Holds(set.m_map, index, key)) {
      OrbValue* v = make(nullptr);
      if (v == nullptr) return nullptr;
      Entry& e = set.m_map.m_entries[index];
      delete e.second;
      e.second = v;
      return v;
    }
    std::unique_ptr<OrbValue> v(make(&set.m_arena));
    if (v == nullptr) return nullptr;
    OrbValue* stored = v.get();
    InsertAt(set, index, key, v);
    return stored;
  }

  // Wire length of a set. Each Child value's size is refreshed on the way, so
  // the write pass that follows reads it instead of recomputing it. Clears
  // *fits when some Child's wire form exceeds the 32-bit size field.
  static uint64_t Measure(const Map& map, bool* fits) {
    uint64_t total = 0;
    for (const auto& [key, v] : map) {
      uint64_t payload = v->size;
      if (v->kind == OrbValueKindChild) {
        payload = v->data != nullptr ? Measure(v->Child()->m_map, fits) : 0;
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
        out = Write(v->Child()->m_map, out);
        if (out == nullptr) return nullptr;
      } else {
        return nullptr;
      }
    }
    return out;
  }

  // Builds one value from its bounded payload, in *arena when one is given
  // (a Child's entries and values then go there too), else on the heap (a
  // Child then parses into its own arena). Returns nullptr for an invalid
  // kind, for nesting past kMaxDepth, or for a Child that fails to parse.
  static OrbValue* ParseValue(uint8_t kind, const uint8_t* payload, uint32_t size, int depth,
                              Block** arena) {
    if (IsScalarKind(kind)) return NewValue(arena, kind, size, payload, size, size);
    if (kind == OrbValueKindString)
      return NewValue(arena, kind, size, payload, size, StringStorage(size));
    if (kind != OrbValueKindChild || depth >= kMaxDepth) return nullptr;
    std::unique_ptr<OrbValue> v(NewChild(arena));
    QuonValueSet& child = *v->Child();
    if (!Parse(child, arena != nullptr ? *arena : child.m_arena, payload, size, depth + 1))
      return nullptr;
    v->size = size;
    return v.release();
  }

  // Number of entries at the front of a set's wire form whose header and
  // payload lie within length: all of them in a well-formed set.
  static size_t CountEntries(const uint8_t* in, uint64_t length) {
    size_t count = 0;
    uint64_t pos = 0;
    while (pos < length) {
      const uint64_t keyLength = in[pos];
      if (length - pos - 1 < keyLength + kValueHeader) break;
      const uint64_t header = pos + 1 + keyLength;
      const uint32_t size = LoadU32(in + header + 1);
      if (length - header - kValueHeader < size) break;
      ++count;
      pos = header + kValueHeader + size;
    }
    return count;
  }

  // Parses length bytes into an empty set, placing entries and values in
  // arena. On failure the set is left empty. depth counts the Child levels
  // above this set. The entry array is sized by a first pass over the
  // headers; entries are appended in wire order, and only a set whose keys
  // did not arrive strictly ascending is sorted afterwards.
  static bool Parse(QuonValueSet& set, Block*& arena, const uint8_t* in, uint64_t length,
                    int depth) {
    Map& map = set.m_map;
    const size_t count = CountEntries(in, length);
    if (count != 0) {
      map.m_entries = static_cast<Entry*>(Allocate(arena, count * sizeof(Entry), 2 * length));
      map.m_capacity = count;
    }
    bool ascending = true;
    uint64_t pos = 0;
    while (pos < length) {
      const uint64_t keyLength = in[pos];
      // Each check subtracts from the side known to be larger, so nothing wraps.
      if (length - pos - 1 < keyLength + kValueHeader) return Fail(set);
      const std::string_view key(reinterpret_cast<const char*>(in + pos + 1), keyLength);
      const uint64_t header = pos + 1 + keyLength;
      const uint8_t kind = in[header];
      const uint32_t size = LoadU32(in + header + 1);
      if (length - header - kValueHeader < size) return Fail(set);
      std::unique_ptr<OrbValue> v(
          ParseValue(kind, in + header + kValueHeader, size, depth, &arena));
      if (v == nullptr) return Fail(set);
      if (map.m_size != 0 && !KeyLess(KeyOf(map.m_entries[map.m_size - 1]), key)) ascending = false;
      new (&map.m_entries[map.m_size]) Entry(std::string(key), v.get());  // count leaves room
      ++map.m_size;
      v.release();
      pos = header + kValueHeader + size;
    }
    if (!ascending) SortAndCollapse(map);
    return true;
  }

  // Orders the entries by key; of entries with the same key the one that
  // came last on the wire stays (the stable sort keeps wire order among them).
  static void SortAndCollapse(Map& map) {
    Entry* e = map.m_entries;
    const size_t n = map.m_size;
    std::stable_sort(e, e + n,
                     [](const Entry& a, const Entry& b) { return KeyLess(KeyOf(a), KeyOf(b)); });
    size_t kept = 0;
    for (size_t i = 0; i < n; ++i) {
      if (i + 1 < n && KeyOf(e[i]) == KeyOf(e[i + 1])) {
        delete e[i].second;
        continue;
      }
      if (kept != i) e[kept] = std::move(e[i]);
      ++kept;
    }
    for (size_t i = kept; i < n; ++i) e[i].~Entry();
    map.m_size = kept;
  }

  static bool Fail(QuonValueSet& set) {
    Destroy(set);
    return false;
  }

  // Destroys every value, then the entries, then the set's own arena blocks
  // (values of its arena are gone by then; a child's destructor frees the
  // child's own blocks).
  static void Destroy(QuonValueSet& set) {
    Map& map = set.m_map;
    for (size_t i = 0; i < map.m_size; ++i) {
      delete map.m_entries[i].second;
      map.m_entries[i].~Entry();
    }
    map.m_entries = nullptr;
    map.m_size = 0;
    map.m_capacity = 0;
    FreeArena(set.m_arena);
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
      if (v.data != nullptr) Dump(v.Child()->m_map, level, out);
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

QuonValueSet::Map::const_iterator QuonValueSet::Map::find(std::string_view key) const {
  const size_t index = Codec::LowerBound(*this, key);
  return Codec::Holds(*this, index, key) ? m_entries + index : end();
}

QuonValueSet::QuonValueSet() = default;

QuonValueSet::QuonValueSet(void* storage, size_t bytes) {
  if (storage == nullptr || reinterpret_cast<uintptr_t>(storage) % alignof(Block) != 0 ||
      bytes < sizeof(Block) + Codec::kFirstBlock / 4)
    return;  // unusable storage: the set works from the heap
  m_arena = new (storage) Block{nullptr, 0, bytes - sizeof(Block), true};
}

QuonValueSet::~QuonValueSet() {
  Codec::Destroy(*this);
}

bool QuonValueSet::SetValue(std::string_view key, OrbValue* value) {
  return Codec::StoreChecked(*this, key, value);
}

QuonValueSet::OrbValue* QuonValueSet::GetValue(std::string_view key) const {
  const auto it = m_map.find(key);
  return it == m_map.end() ? nullptr : it->second;
}

bool QuonValueSet::Contains(std::string_view key) const {
  return m_map.contains(key);
}

bool QuonValueSet::SetBinary(std::string_view key, const void* bytes, uint32_t size) {
  if (bytes == nullptr && size != 0) return false;
  return Codec::Put(*this, key, [&](Block** arena) {
           return Codec::NewValue(arena, OrbValueKindBinary, size, bytes, size, size);
         }) != nullptr;
}

const uint8_t* QuonValueSet::GetBinary(std::string_view key, uint32_t* size) const {
  const OrbValue* v = GetValue(key);
  if (v == nullptr || v->kind != OrbValueKindBinary) return nullptr;
  if (size != nullptr) *size = v->size;
  return static_cast<const uint8_t*>(v->data);
}

QuonValueSet* QuonValueSet::CreateChild(std::string_view key) {
  OrbValue* v = Codec::Put(*this, key, [](Block** arena) { return Codec::NewChild(arena); });
  return v == nullptr ? nullptr : v->Child();
}

QuonValueSet* QuonValueSet::GetChild(std::string_view key) const {
  const OrbValue* v = GetValue(key);
  return v == nullptr ? nullptr : v->Child();
}

void QuonValueSet::CopyFrom(const QuonValueSet& other) {
  // Each value travels through its own wire form, reusing one scratch buffer.
  // Copying a set into itself replaces every value with an equal copy.
  if (m_arena == nullptr && !other.Empty()) {
    // One arena block sized for the whole copy (kept within the block limit).
    bool fits = true;
    Codec::Allocate(m_arena, 0, 2 * Codec::Measure(other.m_map, &fits));
  }
  std::vector<uint8_t> scratch;
  for (const auto& [key, v] : other.m_map) {
    bool fits = true;
    uint64_t payload = v->size;
    if (v->kind == OrbValueKindChild && v->data != nullptr) {
      payload = Codec::Measure(v->Child()->m_map, &fits);
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
               Codec::Write(v->Child()->m_map, out + kValueHeader) == nullptr) {
      continue;
    }
    const uint32_t size = v->size;
    Codec::Put(*this, key, [&](Block** arena) {
      return Codec::ParseValue(out[0], out + kValueHeader, size, 0, arena);
    });
  }
}

void QuonValueSet::Clear() {
  Codec::Destroy(*this);
}

size_t QuonValueSet::Count() const {
  return m_map.size();
}

bool QuonValueSet::Empty() const {
  return m_map.empty();
}

uint64_t QuonValueSet::GetSerializedSize() const {
  bool fits = true;
  return Codec::Measure(m_map, &fits);
}

bool QuonValueSet::Serialize(uint8_t* buffer, uint64_t* capacity) const {
  if (capacity == nullptr) return false;
  bool fits = true;
  const uint64_t needed = Codec::Measure(m_map, &fits);
  const uint64_t available = *capacity;
  *capacity = needed;
  if (!fits || available < needed || (buffer == nullptr && needed != 0)) return false;
  return needed == 0 || Codec::Write(m_map, buffer) != nullptr;
}

bool QuonValueSet::Deserialize(const uint8_t* buffer, uint64_t* length) {
  Codec::Destroy(*this);
  if (length == nullptr) return false;
  const uint64_t total = *length;
  if (total == 0) return true;
  if (buffer == nullptr || !Codec::Parse(*this, m_arena, buffer, total, 0)) {
    *length = 0;
    return false;
  }
  return true;
}

std::u16string QuonValueSet::ToString(int level) const {
  std::u16string out;
  Codec::Dump(m_map, level < 0 ? 0 : level, out);
  return out;
}

bool QuonValueSet::SetUIntValue(std::string_view key, uint32_t v) {
  return Codec::Put(*this, key, [&](Block** arena) {
           return Codec::NewValue(arena, OrbValueKindUInt, sizeof v, &v, sizeof v, sizeof v);
         }) != nullptr;
}

bool QuonValueSet::SetDoubleValue(std::string_view key, double v) {
  return Codec::Put(*this, key, [&](Block** arena) {
           return Codec::NewValue(arena, OrbValueKindDouble, sizeof v, &v, sizeof v, sizeof v);
         }) != nullptr;
}

bool QuonValueSet::SetStringValue(std::string_view key, const char16_t* text) {
  const size_t bytes = TextLength(text) * 2;
  return Codec::Put(*this, key, [&](Block** arena) {
           return Codec::NewValue(arena, OrbValueKindString, static_cast<uint32_t>(bytes + 2), text,
                                  bytes, StringStorage(bytes));
         }) != nullptr;
}

bool QuonValueSet::SetStringValue(std::string_view key, std::u16string text) {
  const size_t bytes = text.size() * 2;
  return Codec::Put(*this, key, [&](Block** arena) {
           return Codec::NewValue(arena, OrbValueKindString, static_cast<uint32_t>(bytes),
                                  text.data(), bytes, StringStorage(bytes));
         }) != nullptr;
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
