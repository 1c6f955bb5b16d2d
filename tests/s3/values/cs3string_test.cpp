#include "s3/values/cs3string.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "s3/values/cs3flag.h"
#include "tests/s3/values/value_cases.h"

namespace {

// Exposes the buffer pointer, to tell reuse from reallocation.
template <class Base>
class Probe : public Base {
 public:
  const char* buffer() const { return this->buffer_; }
};

// `chars` characters fit and one more is refused (0: unbounded); a null or
// empty text gives `emptyCode`.
template <class Value>
void ExpectLimits(int chars, int emptyCode) {
  const std::string fits(chars ? chars : 100000, 'a'), over(chars + 1, 'b');
  const char* cleared = emptyCode == 0 ? "" : nullptr;
  RunSetCases<Value>("old", {{fits.c_str(), 0, fits.c_str()},
                             {over.c_str(), chars ? -62 : 0, chars ? nullptr : over.c_str()},
                             {nullptr, emptyCode, cleared},
                             {"", emptyCode, cleared}});
}

TEST(CS3StringTest, CapacityAndEmptyText) {
  ExpectLimits<CS3String>(0, 0);
  ExpectLimits<CS3ShortStr>(63, 0);
  ExpectLimits<CS3MiddleStr>(126, 0);
  ExpectLimits<CS3LongStr>(255, 0);
  ExpectLimits<CS3FlgStr>(7, 0);
  ExpectLimits<CS3StringH>(0, -10006);
  ExpectLimits<CS3ShortStrH>(63, -10006);
  ExpectLimits<CS3MiddleStrH>(126, -10006);
  ExpectLimits<CS3LongStrH>(255, -10006);
  CS3String never;
  EXPECT_STREQ("", never.Get());
  EXPECT_TRUE(never.IsEmpty());
}

TEST(CS3StringTest, BufferLifetimeAndLength) {
  Probe<CS3ShortStr> fixed;
  ASSERT_EQ(0, fixed.Set("abc"));
  const char* kept = fixed.buffer();
  fixed.Clean();
  EXPECT_TRUE(fixed.IsEmpty());
  EXPECT_EQ(0, fixed.Set(std::string(100, 'x').c_str(), 10));  // cut, not refused
  EXPECT_EQ(std::string(63, 'x'), fixed.Get());
  EXPECT_EQ(kept, fixed.buffer());
  EXPECT_EQ(-62, fixed.Set(std::string(64, 'y').c_str(), 64));

  Probe<CS3String> open;
  ASSERT_EQ(0, open.Set("twenty characters..."));
  const char* big = open.buffer();
  ASSERT_EQ(0, open.Set("short"));
  EXPECT_EQ(big, open.buffer());
  ASSERT_EQ(0, open.Set("six ch"));
  EXPECT_STREQ("six ch", open.Get());
  EXPECT_EQ(0, open.Set("a text longer than its length", 3));  // broken length: no overflow
  EXPECT_STREQ("a text longer than its length", open.Get());
  open.Clean();
  EXPECT_EQ(nullptr, open.buffer());
}

TEST(CS3StringTest, OwnTextAndStrCat) {
  CS3FlgStr fixed;
  CS3String open;
  for (CS3String* v : {static_cast<CS3String*>(&fixed), &open}) {
    ASSERT_EQ(0, v->Set("abcdef"));
    EXPECT_EQ(0, v->Set(v->Get() + 2));
    EXPECT_EQ(0, v->StrCat(v->Get()));
    EXPECT_EQ(0, v->StrCat(nullptr));
    EXPECT_STREQ("cdefcdef", v->Get());  // past the flag's capacity
    EXPECT_EQ(0, v->Set("7"));           // the grown buffer stays usable
    v->Clean();
    EXPECT_EQ(0, v->StrCat("12"));
    EXPECT_STREQ("12", v->Get());
  }
  EXPECT_EQ(12, fixed.GetInt());
  EXPECT_EQ(-62, fixed.Set("12345678"));
}

TEST(CS3StringTest, ComparisonsAndCutCopies) {
  CS3String v;
  EXPECT_EQ(0, v.Comp(nullptr));
  ASSERT_EQ(0, v.Set("abc"));
  EXPECT_GT(v.Comp(nullptr), 0);
  EXPECT_LT(v.Comp("abd"), 0);
  EXPECT_EQ(0, v.Comp("abd", 2));
  // clang-format off
  const struct { const char* value; int size; const char* out; } cases[] = {
      {"abcdef", 4, "abc"}, {"", 8, ""}, {"abc", 1, ""}, {"ab\xA4\xA2", 4, "ab"},
      {"ab\xA4\xA2", 5, "ab\xA4\xA2"}, {"\xA4\xA2\xA4\xA2", 4, "\xA4\xA2"}, {"a\xA4", 3, "a\xA4"}};
  // clang-format on
  for (const auto& c : cases) {
    char out[16];
    memset(out, '#', sizeof out);
    ASSERT_EQ(0, v.Set(c.value));
    EXPECT_EQ(0, v.Get(out, c.size));
    EXPECT_STREQ(c.out, out) << c.value << " in " << c.size;  // never splits a two-byte character
    EXPECT_EQ('#', out[c.size]);
  }
}

}  // namespace
