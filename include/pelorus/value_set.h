// QuonValueSet: the typed value tree of every request, response, notification
// and host message, with its binary wire form and its text dump.
//
// Portable: no Windows headers. Keys are narrow byte strings; text values are
// UTF-16 (char16_t, the same bits as wchar_t on Windows).
//
// Wire form of a set: its entries in key order, each
//   [1 byte key length][key bytes][1 byte kind][4 bytes size, LE][size payload bytes]
// with no count, header or padding. A Child's payload is the child set's wire form.
//
// Limits this implementation enforces (the format itself leaves them open):
//  - A key is at most kMaxKeyLength (255) bytes, since its length travels in
//    one byte. SetValue/SetBinary/CreateChild/SetStringValue refuse a longer
//    key: the value passed in is destroyed, nothing is stored, CreateChild
//    returns nullptr. So a set never holds a key it cannot serialise.
//  - Parsing refuses nesting deeper than kMaxDepth levels of Child values, so
//    hostile input cannot exhaust the stack. Answers the plug-in builds are at
//    most a handful of levels deep.
//  - Every length read from the wire is checked against the bytes that remain
//    before it is used; sizes are computed in 64 bits and a set whose wire
//    form would not fit a 32-bit Child size is refused by Serialize.
//
// Storage: a set keeps its entries in one key-ordered array, and the values it
// builds itself (parsed ones, and those of the typed setters for a new key)
// together with their payloads in blocks of its own arena, so a parsed tree
// costs a few allocations instead of three per value. Values handed to
// SetValue stay individual heap objects. Either kind is destroyed through its
// virtual destructor, so whichever module destroys a tree runs the code of the
// module that built each value; the arena's blocks and the entry keys come
// from the global operator new, as every other allocation of the tree does.
// A set may also start its arena in storage its owner provides (a stack
// buffer of a request being handled); that block is never freed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

enum OrbValueKind : uint8_t {
  OrbValueKindNone = 0,
  OrbValueKindBool = 1,
  OrbValueKindInt = 2,
  OrbValueKindInt64 = 3,
  OrbValueKindBinary = 4,
  OrbValueKindUInt = 5,
  OrbValueKindUInt64 = 6,
  OrbValueKindDouble = 7,
  OrbValueKindString = 0x10,
  OrbValueKindChild = 0x20,
};

class QuonValueSet {
  // Wire, dump and storage helpers of value_set.cpp; may build values directly.
  struct Codec;

 public:
  static constexpr size_t kMaxKeyLength = 255;
  static constexpr int kMaxDepth = 64;

  // One typed value. Layout (kind, data, size) is shared with the host:
  // trees cross module boundaries.
  class OrbValue {
   public:
    OrbValue(bool v);
    OrbValue(int32_t v);
    OrbValue(int64_t v);
    OrbValue(uint32_t v);
    OrbValue(uint64_t v);
    OrbValue(double v);
    // Plain constructor: size = 2 * length (terminator not counted).
    explicit OrbValue(const char16_t* text);
    // Terminator-counting constructor: size = 2 * (length + 1).
    OrbValue(const char16_t* text, bool countTerminator);
    // Wide string object: size = 2 * length.
    explicit OrbValue(std::u16string text);
    virtual ~OrbValue();

    OrbValue(const OrbValue&) = delete;
    OrbValue& operator=(const OrbValue&) = delete;

    uint8_t kind;
    void* data;     // payload; for Child the owned QuonValueSet*
    uint32_t size;  // payload bytes; for Child the child's wire length (stale until serialised)

    // Text up to the first NUL (String kind), else empty.
    std::u16string Text() const;
    // The same text as a view of the payload, without a copy. The payload
    // always holds a NUL after it, so data() is a C string as well.
    std::u16string_view TextView() const;
    QuonValueSet* Child() const {
      return kind == OrbValueKindChild ? static_cast<QuonValueSet*>(data) : nullptr;
    }

   private:
    friend class QuonValueSet;
    friend struct Codec;
    OrbValue();  // kind None; used by the parser and for Binary/Child
  };

  QuonValueSet();
  // A set whose arena starts in `bytes` of caller storage (8-byte aligned),
  // which must outlive the set: a set that lives for one call can then be
  // filled without heap allocations. What does not fit goes to the heap.
  QuonValueSet(void* storage, size_t bytes);
  ~QuonValueSet();
  QuonValueSet(const QuonValueSet&) = delete;
  QuonValueSet& operator=(const QuonValueSet&) = delete;

  // Takes ownership of a heap value; replaces (and destroys) an existing one.
  // Returns false (and destroys value) when the key is longer than kMaxKeyLength
  // or value is null.
  bool SetValue(std::string_view key, OrbValue* value);
  OrbValue* GetValue(std::string_view key) const;
  bool Contains(std::string_view key) const;

  bool SetBinary(std::string_view key, const void* bytes, uint32_t size);
  // Borrowed bytes and their count; nullptr (size untouched) when absent or not Binary.
  const uint8_t* GetBinary(std::string_view key, uint32_t* size) const;

  // Replaces any value under key with a new empty child set and returns it (borrowed).
  QuonValueSet* CreateChild(std::string_view key);
  QuonValueSet* GetChild(std::string_view key) const;

  // Deep copy of every entry of other through the wire form; values that fail to copy are skipped.
  void CopyFrom(const QuonValueSet& other);
  void Clear();

  size_t Count() const;
  bool Empty() const;

  // Wire form. Serialize stores the needed length in *capacity and fails
  // without writing when the buffer is smaller.
  uint64_t GetSerializedSize() const;
  bool Serialize(uint8_t* buffer, uint64_t* capacity) const;
  // Clears, then parses *length bytes; *length receives the bytes consumed
  // (all of them on success, 0 on failure). On failure the set is left empty.
  bool Deserialize(const uint8_t* buffer, uint64_t* length);

  // Text dump for log lines: two-blank indent units, CR LF line breaks.
  std::u16string ToString(int level = 0) const;

  // Typed accessors used by command handlers.
  bool SetUIntValue(std::string_view key, uint32_t v);
  bool SetDoubleValue(std::string_view key, double v);
  bool SetStringValue(std::string_view key, const char16_t* text);  // terminator counted
  bool SetStringValue(std::string_view key, std::u16string text);   // not counted
  std::u16string GetStringValue(std::string_view key) const;
  bool GetBoolValue(std::string_view key) const;
  int32_t GetIntValue(std::string_view key) const;
  int64_t GetInt64Value(std::string_view key) const;
  uint32_t GetUIntValue(std::string_view key) const;
  uint64_t GetUInt64Value(std::string_view key) const;
  double GetDoubleValue(std::string_view key) const;

  // The entries of a set, ordered by key (byte-wise comparison): a read-only
  // sorted array of (key, value) pairs, iterated like a std::map.
  class Map {
   public:
    using value_type = std::pair<std::string, OrbValue*>;
    using const_iterator = const value_type*;
    using iterator = const_iterator;
    using size_type = size_t;

    const_iterator begin() const { return m_entries; }
    const_iterator end() const { return m_entries + m_size; }
    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    // The entry under key, or end().
    const_iterator find(std::string_view key) const;
    size_t count(std::string_view key) const { return find(key) != end() ? 1 : 0; }
    bool contains(std::string_view key) const { return find(key) != end(); }

   private:
    friend class QuonValueSet;
    friend struct Codec;
    value_type* m_entries = nullptr;  // in the arena of this set or of the tree it was parsed with
    size_t m_size = 0;
    size_t m_capacity = 0;
  };
  const Map& Entries() const { return m_map; }

 private:
  struct Block;  // one arena block (value_set.cpp)

  Map m_map;
  Block* m_arena = nullptr;  // this set's arena blocks, newest first
};

// Deep equality of two trees (kinds, keys, payloads; String compared by
// payload bytes). Used by tests and the fuzz round-trip property.
bool ValueSetsEqual(const QuonValueSet& a, const QuonValueSet& b);
