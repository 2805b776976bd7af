// The value tree <-> JSON conversions: the typed form must survive a round
// trip bit for bit, the plain form must read as a person expects, and JSON
// that cannot become a tree must be refused, not half-converted.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "utf.h"
#include "value_json.h"

namespace orbhost {
namespace {

using Value = QuonValueSet::OrbValue;

// A tree with every kind, edge values, both String sizes and nesting.
void FillEveryKind(QuonValueSet& set) {
  set.SetValue("bool", new Value(true));
  set.SetValue("int", new Value(int32_t{-2357}));
  set.SetValue("int64", new Value(std::numeric_limits<int64_t>::min()));
  set.SetValue("uint", new Value(std::numeric_limits<uint32_t>::max()));
  set.SetValue("uint64", new Value(std::numeric_limits<uint64_t>::max()));
  set.SetValue("double", new Value(10.10101010101));
  set.SetValue("nan", new Value(std::numeric_limits<double>::quiet_NaN()));
  set.SetValue("inf", new Value(-std::numeric_limits<double>::infinity()));
  set.SetStringValue("counted", u"Sample");                // terminator travels
  set.SetStringValue("plain", std::u16string(u"Sample"));  // it does not
  set.SetStringValue("astral", std::u16string(u"G\U0001F600"));
  set.SetStringValue("lone", std::u16string(u"a\xD800z"));  // not well-formed UTF-16
  const uint8_t bytes[] = {0, 1, 0x7F, 0xFF};
  set.SetBinary("Aaary", bytes, sizeof bytes);
  set.SetBinary("empty", nullptr, 0);
  QuonValueSet* child = set.CreateChild("Request");
  child->SetStringValue("Cmd", std::u16string(u"SendTest"));
  child->CreateChild("deeper")->SetValue("x", new Value(uint32_t{7}));
  set.CreateChild("nothing");
  set.SetStringValue("Disc (C:)", std::u16string(u"41.5"));
}

TEST(ValueJson, TypedFormRoundTripsEveryKindLosslessly) {
  QuonValueSet original;
  FillEveryKind(original);
  const Json typed = TreeToJson(original, JsonForm::kTyped);
  // Through text, as --typed output is fed back to --json.
  const Json reread = Json::parse(typed.dump());
  QuonValueSet copy;
  std::string error;
  ASSERT_TRUE(JsonToTree(reread, copy, &error)) << error;
  // Equal trees: same keys, kinds, sizes (both String forms) and bytes.
  EXPECT_TRUE(ValueSetsEqual(original, copy)) << typed.dump(2);
}

// The plain form as a person reads it, where it differs from the typed one
// (whose spelling of the common kinds is checked through orbhost.exe:
// OrbhostWithPelorus.SendTestEchoesTypedArguments).
TEST(ValueJson, PlainFormShowsEveryKindReadably) {
  QuonValueSet set;
  FillEveryKind(set);
  const Json typed = TreeToJson(set, JsonForm::kTyped);
  EXPECT_EQ(typed["counted:String"], std::string("Sample\0", 7));

  const Json plain = TreeToJson(set, JsonForm::kPlain);
  EXPECT_EQ(plain["int64"], std::numeric_limits<int64_t>::min());
  EXPECT_EQ(plain["uint64"], std::numeric_limits<uint64_t>::max());
  EXPECT_TRUE(plain["nan"].is_null());
  EXPECT_EQ(plain["counted"], "Sample");       // text up to the first NUL
  EXPECT_EQ(plain["lone"], "a\xEF\xBF\xBDz");  // U+FFFD for the lone surrogate
  EXPECT_EQ(plain["Aaary"], Json::array({0, 1, 127, 255}));
  EXPECT_EQ(plain["nothing"], Json::object());
}

TEST(ValueJson, UnsuffixedKeysTakeTheKindTheirValueSuggests) {
  const struct {
    const char* json;
    OrbValueKind kind;
  } cases[] = {
      {R"({"v": "text"})", OrbValueKindString},
      {R"({"v": false})", OrbValueKindBool},
      {R"({"v": 7})", OrbValueKindInt},
      {R"({"v": 2147483648})", OrbValueKindInt64},
      {R"({"v": 18446744073709551615})", OrbValueKindUInt64},
      {R"({"v": 1.5})", OrbValueKindDouble},
      {R"({"v": [1, 2]})", OrbValueKindBinary},
      {R"({"v": {}})", OrbValueKindChild},
      {R"({"v:UInt": "0x10"})", OrbValueKindUInt},
      {R"({"v:String": [104, 105]})", OrbValueKindString},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    QuonValueSet set;
    std::string error;
    ASSERT_TRUE(JsonToTree(Json::parse(c.json), set, &error)) << error;
    ASSERT_NE(set.GetValue("v"), nullptr);
    EXPECT_EQ(set.GetValue("v")->kind, c.kind);
  }
}

TEST(ValueJson, UnconvertibleJsonIsRefusedAndLeavesNothingBehind) {
  std::string deep = "{\"v\": 1}";
  for (int i = 0; i < QuonValueSet::kMaxDepth + 2; ++i) deep = "{\"c\": " + deep + "}";
  const struct {
    std::string json;
    const char* reason;
  } cases[] = {
      {R"({"ok": 1, "v": null})", "'v': null"},
      {R"({"v:UInt": -1})", "'-1' is not a valid UInt"},
      {R"({"v:Int": 1.5})", "expected a Int"},
      {R"({"v:Binary": [256]})", "byte values"},
      {R"({"a": {"b": {"c:UInt": true}}})", "'a.b.c:UInt'"},
      {deep, "nested too deeply"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json.substr(0, 60));
    QuonValueSet set;
    set.SetValue("stale", new Value(true));
    std::string error;
    EXPECT_FALSE(JsonToTree(Json::parse(c.json), set, &error));
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    EXPECT_TRUE(set.Empty());
  }
}

TEST(Utf, ConversionsReplaceMalformedInputAndKeepEverythingElse) {
  EXPECT_EQ(Utf8ToUtf16("a\xE2\x82\xAC\xF0\x9F\x98\x80"), u"a\u20AC\U0001F600");
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");            // overlong
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
  EXPECT_EQ(Utf8ToUtf16("ab\xE2\x82"), u"ab\uFFFD\uFFFD");        // cut short
  EXPECT_EQ(Utf16ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf16ToUtf8(std::u16string(u"\xDC00x")), "\xEF\xBF\xBDx");
  EXPECT_TRUE(IsWellFormedUtf16(u"\U0001F600"));
  EXPECT_FALSE(IsWellFormedUtf16(std::u16string(u"\xD800")));
}

}  // namespace
}  // namespace orbhost
