// Typed command-line arguments: every kind's text syntax, its range limits,
// dotted keys, and the errors a person sees for a malformed argument.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "typed_args.h"

namespace orbhost {
namespace {

struct Good {
  const char* argument;
  const char* key;
  OrbValueKind kind;
  std::vector<uint8_t> payload;  // little-endian bytes as they travel
};

template <typename T>
std::vector<uint8_t> Bytes(T v) {
  std::vector<uint8_t> b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}
std::vector<uint8_t> Utf16(std::u16string_view s) {
  std::vector<uint8_t> b(s.size() * 2);
  std::memcpy(b.data(), s.data(), b.size());
  return b;
}

TEST(TypedArgs, EachKindStoresTheBytesItsTextSpells) {
  const Good cases[] = {
      {"name=Sample", "name", OrbValueKindString, Utf16(u"Sample")},
      {"text=a=b", "text", OrbValueKindString, Utf16(u"a=b")},
      {"flag:Bool=true", "flag", OrbValueKindBool, {1}},
      {"n:Int=0x7fffffff", "n", OrbValueKindInt, Bytes<int32_t>(INT32_MAX)},
      {"n:Int64=-9223372036854775808", "n", OrbValueKindInt64, Bytes<int64_t>(INT64_MIN)},
      {"n:UInt=4294967295", "n", OrbValueKindUInt, Bytes<uint32_t>(UINT32_MAX)},
      {"n:UInt64=18446744073709551615", "n", OrbValueKindUInt64, Bytes<uint64_t>(UINT64_MAX)},
      {"d:Double=10.10101010101", "d", OrbValueKindDouble, Bytes<double>(10.10101010101)},
      {"b:Binary=0102fF", "b", OrbValueKindBinary, {1, 2, 255}},
      {"Disc (C:)=41.5", "Disc (C:)", OrbValueKindString, Utf16(u"41.5")},
  };
  for (const Good& c : cases) {
    SCOPED_TRACE(c.argument);
    QuonValueSet set;
    std::string error;
    ASSERT_TRUE(AddTypedArgument(set, c.argument, &error)) << error;
    const auto* value = set.GetValue(c.key);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->kind, c.kind);
    ASSERT_EQ(value->size, c.payload.size());
    if (!c.payload.empty()) {
      EXPECT_EQ(std::memcmp(value->data, c.payload.data(), value->size), 0);
    }
  }
}

TEST(TypedArgs, MalformedArgumentsAreRefusedWithAReason) {
  const struct {
    const char* argument;
    const char* reason;  // part of the message
  } cases[] = {
      {"novalue", "key=value"},
      {"n:Int=2147483648", "not a valid Int"},
      {"n:UInt=-1", "not a valid UInt"},
      {"n:Int=12abc", "not a valid Int"},
      {"d:Double=ten", "not a valid Double"},
      {"f:Bool=yes", "not a valid Bool"},
      {"b:Binary=123", "hex digit pairs"},
      {"x:Uint32=1", "unknown kind 'Uint32'"},
      {"x:Child=1", "Child"},
      {"a..b=1", "empty key part"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argument);
    QuonValueSet set;
    std::string error;
    EXPECT_FALSE(AddTypedArgument(set, c.argument, &error));
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
}

TEST(TypedArgs, DottedKeysBuildAndReuseChildren) {
  QuonValueSet set;
  std::string error;
  ASSERT_TRUE(AddTypedArgument(set, "Type40.Info=features", &error)) << error;
  ASSERT_TRUE(AddTypedArgument(set, "Type40.Level:UInt=2", &error)) << error;
  ASSERT_TRUE(AddTypedArgument(set, "a.b.c:Int=-1", &error)) << error;
  ASSERT_NE(set.GetChild("Type40"), nullptr);
  EXPECT_EQ(set.GetChild("Type40")->GetStringValue("Info"), u"features");
  EXPECT_EQ(set.GetChild("Type40")->GetUIntValue("Level"), 2u);
  EXPECT_EQ(set.GetChild("a")->GetChild("b")->GetIntValue("c"), -1);

  // A key that already holds a plain value is not silently turned into a child.
  ASSERT_TRUE(AddTypedArgument(set, "leaf=1", &error));
  EXPECT_FALSE(AddTypedArgument(set, "leaf.x=1", &error));
  EXPECT_EQ(set.GetStringValue("leaf"), u"1");
}

}  // namespace
}  // namespace orbhost
