#include "tools/ctl_json.h"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(CtlJson, QuotesEveryByteExactly) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"", R"("")"},
      {"\"\\", R"("\"\\")"},
      {"\n\t\r", R"("\n\t\r")"},
      {"\x01\x1f\x7f", R"("\u0001\u001f\u007f")"},
      {"\xc3\xa9", R"("\u00e9")"},                  // UTF-8 e-acute
      {"\xe2\x82\xac", R"("\u20ac")"},              // euro sign
      {"\xf0\x9f\x98\x80", R"("\ud83d\ude00")"},    // above U+FFFF: a surrogate pair
      {"\xe9t\xe9", R"("\u00e9t\u00e9")"},          // Latin-1 bytes
      {"\xc0\xaf", R"("\u00c0\u00af")"},            // overlong: not UTF-8
      {"\xed\xa0\x80", R"("\u00ed\u00a0\u0080")"},  // a surrogate: not UTF-8
      {"\xe2\x82", R"("\u00e2\u0082")"},            // cut sequence at the end
      {"\xff", R"("\u00ff")"},
  };
  for (const Case& c : cases) {
    std::string out;
    CtlJson::AppendQuoted(c.in, &out);
    EXPECT_EQ(out, c.out) << c.in;
  }
}

TEST(CtlJson, PutsCommasAndColonsBetweenNestedValues) {
  CtlJson json;
  json.BeginObject()
      .Member("id", 3)
      .Member("name", "a")
      .Key("times")
      .BeginArray()
      .String("10:15")
      .BeginObject()
      .EndObject()
      .Null()
      .EndArray()
      .Key("up")
      .Bool(false)
      .Key("none")
      .String(nullptr)
      .Member("min", -9223372036854775807LL - 1)
      .EndObject();
  EXPECT_EQ(json.Text(), R"({"id":3,"name":"a","times":["10:15",{},null],"up":false,"none":null,)"
                         R"("min":-9223372036854775808})");
}

}  // namespace
