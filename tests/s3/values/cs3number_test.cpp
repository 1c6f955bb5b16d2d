#include "s3/values/cs3number.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "tests/s3/values/value_cases.h"

namespace {

class Fixed4 : public CS3FixedInt {
 public:
  Fixed4() { SetCapacity(5); }
};

TEST(CS3IntTest, SetTable) {
  const std::string digits(1000, '1');
  const std::vector<SetCase> cases = {// clang-format off
      {"123456789", 0, "123456789"}, {"-123456789", 0, "-123456789"}, {"007", 0, "007"},
      {"42\n", 0, "42"}, {"42 \r\n ", 0, "42"}, {nullptr, 0, ""}, {"", 0, ""},
      {"1234567890", -63, nullptr}, {"-1234567890", -63, nullptr}, {digits.c_str(), -63, nullptr},
      {"1.0", -13009, nullptr}, {"12a", -13006, nullptr}};  // clang-format on
  RunSetCases<CS3Int>("7", cases);
  RunSetCases<CS3Id>("7", cases);
  const std::vector<SetCase> required = {
      {nullptr, -10006, nullptr}, {"", -10006, nullptr}, {"12\n", 0, "12"}};
  RunSetCases<CS3IntH>("7", required);
  RunSetCases<CS3IdH>("7", required);
}

TEST(CS3IntTest, SetIntAndGetInt) {
  CS3Int v;
  EXPECT_EQ(0, v.GetInt());
  char buffer[] = "42\n";  // the caller's writable text is stripped in place
  EXPECT_EQ(0, v.Set(buffer));
  EXPECT_STREQ("42", buffer);
  EXPECT_EQ(42, v.GetInt());
  EXPECT_EQ(0, v.SetInt(-999999999));
  EXPECT_STREQ("-999999999", v.Get());
  EXPECT_EQ(-63, v.SetInt(INT_MAX));
  EXPECT_EQ(-63, v.SetInt(INT_MIN));
  EXPECT_EQ(-999999999, v.GetInt());
  ASSERT_EQ(0, v.Set("9999999999", 10));  // unchecked: reads clamped, not undefined
  EXPECT_EQ(INT_MAX, v.GetInt());
}

TEST(CS3FixedIntTest, SetTable) {
  RunSetCases<Fixed4>("9999", {// clang-format off
      {"1234", 0, "1234"}, {"-123", 0, "-123"}, {"12  ", 0, "12"}, {"", 0, ""},
      {"12345", -62, nullptr}, {"123", -10007, ""}, {"12a4", -10007, ""}});  // clang-format on
}

}  // namespace
