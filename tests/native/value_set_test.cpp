// Value tree: wire layout against hand-written bytes, parser robustness,
// ownership on replace, accessors' defaults, CopyFrom and the text dump.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "pelorus/value_set.h"

namespace {

using Bytes = std::vector<uint8_t>;
using OrbValue = QuonValueSet::OrbValue;

Bytes Wire(const QuonValueSet& set) {
  uint64_t capacity = set.GetSerializedSize();
  Bytes out(capacity);
  EXPECT_TRUE(set.Serialize(out.data(), &capacity));
  EXPECT_EQ(capacity, out.size());
  return out;
}

bool Parse(QuonValueSet& set, const Bytes& bytes) {
  uint64_t length = bytes.size();
  return set.Deserialize(bytes.data(), &length);
}

// Appends one entry in wire form, the way a sender writes it.
void AppendEntry(Bytes& wire, const std::string& key, uint8_t kind, const Bytes& payload) {
  const auto n = static_cast<uint32_t>(payload.size());
  wire.push_back(static_cast<uint8_t>(key.size()));
  wire.insert(wire.end(), key.begin(), key.end());
  wire.insert(wire.end(), {kind, uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)});
  wire.insert(wire.end(), payload.begin(), payload.end());
}

// Wraps inner wire bytes as key "n" = Child.
Bytes WrapInChild(const Bytes& inner) {
  Bytes out;
  AppendEntry(out, "n", 0x20, inner);
  return out;
}

// A value that reports its destruction.
struct Tracked : OrbValue {
  explicit Tracked(int* destroyed) : OrbValue(uint32_t{7}), destroyed(destroyed) {}
  ~Tracked() override { ++*destroyed; }
  int* destroyed;
};

struct WireCase {
  const char* name;
  std::function<void(QuonValueSet&)> fill;
  Bytes wire;
};

TEST(ValueSetWire, EachKindMatchesHandWrittenBytesBothWays) {
  const WireCase cases[] = {
      {"bool", [](auto& s) { s.SetValue("k", new OrbValue(true)); }, {1, 'k', 1, 1, 0, 0, 0, 1}},
      {"int",
       [](auto& s) { s.SetValue("k", new OrbValue(int32_t{-2})); },
       {1, 'k', 2, 4, 0, 0, 0, 0xfe, 0xff, 0xff, 0xff}},
      {"int64",
       [](auto& s) { s.SetValue("k", new OrbValue(int64_t{0x0102030405060708})); },
       {1, 'k', 3, 8, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1}},
      {"uint",
       [](auto& s) { s.SetUIntValue("k", 0xA0800010u); },
       {1, 'k', 5, 4, 0, 0, 0, 0x10, 0, 0x80, 0xa0}},
      {"uint64",
       [](auto& s) { s.SetValue("k", new OrbValue(uint64_t{1} << 63)); },
       {1, 'k', 6, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80}},
      {"double",
       [](auto& s) { s.SetDoubleValue("k", 1.0); },
       {1, 'k', 7, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xf0, 0x3f}},
      {"binary",
       [](auto& s) { s.SetBinary("k", "\x01\x02\x03", 3); },
       {1, 'k', 4, 3, 0, 0, 0, 1, 2, 3}},
      {"empty binary", [](auto& s) { s.SetBinary("k", nullptr, 0); }, {1, 'k', 4, 0, 0, 0, 0}},
      {"C string counts its terminator",
       [](auto& s) { s.SetStringValue("k", u"hi"); },
       {1, 'k', 0x10, 6, 0, 0, 0, 'h', 0, 'i', 0, 0, 0}},
      {"string object does not",
       [](auto& s) { s.SetStringValue("k", std::u16string(u"hi")); },
       {1, 'k', 0x10, 4, 0, 0, 0, 'h', 0, 'i', 0}},
      {"plain C string constructor",
       [](auto& s) { s.SetValue("k", new OrbValue(u"hi")); },
       {1, 'k', 0x10, 4, 0, 0, 0, 'h', 0, 'i', 0}},
      {"empty child", [](auto& s) { s.CreateChild("k"); }, {1, 'k', 0x20, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QuonValueSet built;
    c.fill(built);
    EXPECT_EQ(Wire(built), c.wire);
    QuonValueSet parsed;
    ASSERT_TRUE(Parse(parsed, c.wire));
    EXPECT_TRUE(ValueSetsEqual(parsed, built));
  }
}

TEST(ValueSetWire, BothStringFormsAndOddSizesReadAsText) {
  QuonValueSet set;
  ASSERT_TRUE(Parse(set, {1, 'a', 0x10, 6, 0, 0, 0, 'h', 0, 'i', 0, 0, 0,  //
                          1, 'c', 0x10, 3, 0, 0, 0, 'h', 0, 'i'}));
  EXPECT_EQ(set.GetStringValue("a"), u"hi");  // the counted terminator is not text
  EXPECT_EQ(set.GetStringValue("c"), u"hi");  // odd count: last unit completed with a zero byte
}

TEST(ValueSetWire, KeysTravelInByteOrderAndLongestKeyFits) {
  QuonValueSet set;
  for (const char* key : {"b", "aa", "\x80", "a", "B", ""}) set.SetValue(key, new OrbValue(true));
  EXPECT_EQ(Wire(set), (Bytes{0, 1,    1,   0, 0, 0, 1,        //
                              1, 'B',  1,   1, 0, 0, 0, 1,     //
                              1, 'a',  1,   1, 0, 0, 0, 1,     //
                              2, 'a',  'a', 1, 1, 0, 0, 0, 1,  //
                              1, 'b',  1,   1, 0, 0, 0, 1,     //
                              1, 0x80, 1,   1, 0, 0, 0, 1}));

  QuonValueSet longKey;
  ASSERT_TRUE(longKey.SetUIntValue(std::string(255, 'x'), 1));
  EXPECT_EQ(Wire(longKey)[0], 255);
}

TEST(ValueSetWire, NestedChildrenRoundTripAndRecordTheirWireLength) {
  QuonValueSet set;
  set.CreateChild("a")->CreateChild("b")->CreateChild("c")->SetStringValue("d", u"deep");
  set.GetChild("a")->SetBinary("z", "\xff", 1);
  const Bytes expected{1, 'a', 0x20, 0x27, 0, 0, 0,                                        //
                       1, 'b', 0x20, 0x18, 0, 0, 0,                                        //
                       1, 'c', 0x20, 0x11, 0, 0, 0,                                        //
                       1, 'd', 0x10, 10,   0, 0, 0, 'd', 0, 'e', 0, 'e', 0, 'p', 0, 0, 0,  //
                       1, 'z', 4,    1,    0, 0, 0, 0xff};
  EXPECT_EQ(Wire(set), expected);
  EXPECT_EQ(set.GetValue("a")->size, 0x27u);
  EXPECT_EQ(set.GetChild("a")->GetChild("b")->GetValue("c")->size, 0x11u);

  QuonValueSet parsed;
  ASSERT_TRUE(Parse(parsed, expected));
  EXPECT_TRUE(ValueSetsEqual(parsed, set));
}

// An empty set is zero bytes; a short buffer gets nothing written and the
// size needed.
TEST(ValueSetWire, SerializeFollowsTheSizeQueryRule) {
  QuonValueSet set;
  uint64_t capacity = 99;
  EXPECT_TRUE(set.Serialize(nullptr, &capacity));
  EXPECT_EQ(capacity, 0u);

  set.SetStringValue("Cmd", u"GetName");
  Bytes buffer(10, 0xaa);
  capacity = buffer.size();
  EXPECT_FALSE(set.Serialize(buffer.data(), &capacity));
  EXPECT_EQ(capacity, 1u + 3 + 5 + 16);
  EXPECT_EQ(buffer, Bytes(10, 0xaa));

  uint64_t length = 0;  // zero bytes parse to an empty set
  EXPECT_TRUE(set.Deserialize(nullptr, &length));
  EXPECT_TRUE(set.Empty());
}

TEST(ValueSetParse, MalformedInputFailsAndLeavesSetEmpty) {
  const struct {
    const char* name;
    Bytes wire;
  } cases[] = {
      {"short value header", {1, 'k', 5, 4, 0, 0}},
      {"kind none", {1, 'k', 0, 0, 0, 0, 0}},
      {"kind 8", {1, 'k', 8, 0, 0, 0, 0}},
      {"kind 0x11", {1, 'k', 0x11, 0, 0, 0, 0}},
      {"kind 0x21", {1, 'k', 0x21, 0, 0, 0, 0}},
      {"last payload runs past end", {1, 'a', 1, 1, 0, 0, 0, 1, 1, 'z', 4, 5, 0, 0, 0, 1, 2}},
      {"size near 2^32", {1, 'k', 4, 0xff, 0xff, 0xff, 0xff, 0}},
      {"child with bad content", {1, 'k', 0x20, 2, 0, 0, 0, 9, 9}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QuonValueSet set;
    set.SetUIntValue("previous", 1);
    uint64_t length = c.wire.size();
    EXPECT_FALSE(set.Deserialize(c.wire.data(), &length));
    EXPECT_TRUE(set.Empty());
    EXPECT_EQ(length, 0u);
  }
}

TEST(ValueSetParse, NestingLimitIsSixtyFourChildLevels) {
  Bytes wire{1, 'v', 1, 1, 0, 0, 0, 1};
  for (int i = 0; i < QuonValueSet::kMaxDepth; ++i) wire = WrapInChild(wire);
  QuonValueSet set;
  EXPECT_TRUE(Parse(set, wire));
  EXPECT_FALSE(Parse(set, WrapInChild(wire)));
  EXPECT_TRUE(set.Empty());
}

// Keys in any order, repeated any number of times, through the parser and
// through the setters: the set holds what a std::map fed the same sequence
// (later value wins) holds, in its order, and nothing it held before. Payloads above the in-arena
// limit, and sets that outgrow their first block, are among them.
TEST(ValueSetOrder, AnyKeyOrderAndRepeatsMatchAnOrderedMap) {
  std::mt19937 random(7);
  for (const size_t keys : {2u, 9u, 300u}) {
    SCOPED_TRACE(keys);
    std::map<std::string, Bytes> model;
    Bytes wire;
    QuonValueSet built;
    for (size_t i = 0; i < keys * 2; ++i) {
      const std::string key = "k" + std::to_string(random() % keys);
      const Bytes payload(i % 3 == 0 ? 2000 : 4, static_cast<uint8_t>(i));
      model[key] = payload;
      AppendEntry(wire, key, 4, payload);
      built.SetBinary(key, payload.data(), static_cast<uint32_t>(payload.size()));
    }
    Bytes expected;
    for (const auto& [key, payload] : model) AppendEntry(expected, key, 4, payload);
    QuonValueSet parsed;
    parsed.SetUIntValue("stale", 1);  // a parse replaces what the set held
    ASSERT_TRUE(Parse(parsed, wire));
    EXPECT_TRUE(Wire(parsed) == expected);
    EXPECT_TRUE(Wire(built) == expected);
  }
}

// A set that starts in caller storage works past it, and after Clear and a
// new parse it still serialises as a set on the heap does.
TEST(ValueSetStorage, CallerStorageOverflowsToTheHeapAndIsReused) {
  QuonValueSet heap;
  for (int i = 0; i < 50; ++i) heap.CreateChild("c" + std::to_string(i))->SetStringValue("s", u"x");
  const Bytes wire = Wire(heap);

  alignas(8) unsigned char storage[512];
  QuonValueSet set(storage, sizeof storage);
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 50; ++i)
      set.CreateChild("c" + std::to_string(i))->SetStringValue("s", u"x");
    EXPECT_EQ(Wire(set), wire);
    set.Clear();
    ASSERT_TRUE(Parse(set, wire));
    EXPECT_TRUE(ValueSetsEqual(set, heap));
    set.Clear();
  }
}

TEST(ValueSetOwnership, ReplacingOrRefusingDestroysTheValue) {
  int destroyed = 0;
  QuonValueSet set;
  set.SetValue("k", new Tracked(&destroyed));
  auto* second = new Tracked(&destroyed);
  set.SetValue("k", second);
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(set.Count(), 1u);
  EXPECT_EQ(set.GetValue("k"), second);

  set.CreateChild("k");  // a child replaces a value too
  EXPECT_EQ(destroyed, 2);

  const std::string tooLong(256, 'x');
  EXPECT_FALSE(set.SetValue(tooLong, new Tracked(&destroyed)));
  EXPECT_EQ(destroyed, 3);
  EXPECT_EQ(set.CreateChild(tooLong), nullptr);
  EXPECT_EQ(set.Count(), 1u);
}

TEST(ValueSetAccessors, WrongKindAbsentOrShortPayloadReadsDefault) {
  QuonValueSet set;
  ASSERT_TRUE(Parse(set, {1, 'i', 2, 4, 0, 0, 0, 5, 0, 0, 0,  // Int 5
                          1, 's', 2, 2, 0, 0, 0, 5, 0}));     // Int with a 2-byte payload
  EXPECT_EQ(set.GetIntValue("i"), 5);
  EXPECT_EQ(set.GetInt64Value("i"), 0);
  EXPECT_EQ(set.GetStringValue("i"), u"");
  EXPECT_EQ(set.GetChild("i"), nullptr);
  EXPECT_EQ(set.GetIntValue("s"), 0);
  EXPECT_FALSE(set.GetBoolValue("absent"));
  EXPECT_EQ(set.GetDoubleValue("absent"), 0.0);

  uint32_t size = 0xdeadbeef;
  EXPECT_EQ(set.GetBinary("i", &size), nullptr);
  EXPECT_EQ(size, 0xdeadbeef);
}

TEST(ValueSetCopy, DeepCopyReplacesExistingKeysAndKeepsOthers) {
  QuonValueSet source;
  source.SetStringValue("Cmd", u"Get");
  source.CreateChild("Request")->CreateChild("Inner")->SetBinary("PID", "\x01\x02", 2);

  int destroyed = 0;
  QuonValueSet target;
  target.SetValue("Cmd", new Tracked(&destroyed));
  target.SetUIntValue("Kept", 3);
  target.CopyFrom(source);

  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(target.GetUIntValue("Kept"), 3u);
  target.Clear();
  target.CopyFrom(source);
  EXPECT_TRUE(ValueSetsEqual(target, source));

  target.CopyFrom(target);
  EXPECT_EQ(target.Count(), 2u);
  EXPECT_EQ(target.GetStringValue("Cmd"), u"Get");
}

TEST(ValueSetDump, EveryKindAndNestedChildren) {
  QuonValueSet set;
  set.SetUIntValue("a", 5);
  set.SetValue("b", new OrbValue(true));
  set.CreateChild("c")->SetStringValue("s", u"x");
  set.SetDoubleValue("d", 10.10101010101);
  set.SetValue("i", new OrbValue(int32_t{-7}));
  set.SetValue("j", new OrbValue(INT64_MIN));
  set.SetValue("u", new OrbValue(UINT64_MAX));
  set.SetBinary("x", "\x01\x00\xff", 3);
  EXPECT_EQ(set.ToString(0),
            u"{\r\n"
            u"  a:  5,\r\n"
            u"  b:  1,\r\n"
            u"  c:{\r\n"
            u"    s:    x,\r\n"
            u"  },\r\n"
            u"  d:  10.101010,\r\n"
            u"  i:  -7,\r\n"
            u"  j:  -9223372036854775808,\r\n"
            u"  u:  18446744073709551615,\r\n"
            u"  x:  [1, 0, 255],\r\n"
            u"}");
}

}  // namespace
