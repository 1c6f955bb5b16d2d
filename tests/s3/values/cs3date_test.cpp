#include "s3/values/cs3date.h"

#include <gtest/gtest.h>

#include "tests/s3/values/value_cases.h"

namespace {

TEST(CS3DateStrTest, SetTable) {
  RunSetCases<CS3DateStr>("20000101", {// clang-format off
      {"20240229", 0, "20240229"}, {"2026/2/3", 0, "20260203"}, {"2026-12-04", 0, "20261204"},
      {"2026/12/4\n", 0, "20261204"}, {"", 0, ""}, {nullptr, 0, ""},
      {"20230229", -13002, ""}, {"202612", -13002, ""}, {"2026/12", -13002, ""},
      {"/12/4", -13002, ""}, {"2026/12-04", -13002, ""}, {"9999999999/", -13002, ""},
      {"-0001204", -13002, ""}, {"2026ab01", -13004, ""}, {"2026+1+1", -13004, ""},
      {"2026121 ", -13004, ""}, {"99999999999/1/1", -13004, ""},
      {"20261204032047", -13004, nullptr}, {"20261204\n", -13004, nullptr}});  // clang-format on
  RunSetCases<CS3DateStrH>("20000101", {{"", -10006, nullptr}, {"2026/2/3", 0, "20260203"}});
}

TEST(CS3DateStrTest, SetFromParts) {
  // clang-format off
  const struct { const char *year, *month, *day; int code; const char* stored; } cases[] = {
      {"2026", "2", "3", 0, "20260203"}, {"2026", "12", "", -13002, nullptr},
      {nullptr, "1", nullptr, -13002, nullptr}, {"", "", nullptr, 0, nullptr},
      {"20261", "1", "1", -62, nullptr}, {"2026", "123", "1", -62, nullptr},
      {"2026", "1", "1a", -13006, nullptr}, {"2026", "13", "1", -13002, ""},
      {"-999", "1", "1", -13004, nullptr}};
  // clang-format on
  for (const auto& c : cases) {
    CS3DateStr v;
    ASSERT_EQ(0, v.Set("20000101"));
    EXPECT_EQ(c.code, v.Set(c.year, c.month, c.day)) << (c.year ? c.year : "(null)");
    EXPECT_STREQ(c.stored ? c.stored : "20000101", v.Get());
  }
  CS3DateStrH required;
  EXPECT_EQ(-10006, required.Set("", nullptr, ""));
  CS3DateTimeStr stamp;  // gets only eight digits through the virtual Set
  EXPECT_EQ(-10007, stamp.Set("2026", "12", "4"));
  EXPECT_EQ(-1, stamp.GetYear());
}

TEST(CS3DateTimeStrTest, SetTableAndFields) {
  RunSetCases<CS3DateTimeStr>("20000101000000",
                              {// clang-format off
      {"20261204240000", 0, "20261204240000"}, {"", 0, ""},
      {"20261204236000", -10007, ""}, {"20261204235960", -10007, ""},
      {"20261304000000", -10007, ""}, {"20261204", -10007, ""},
      {"2026120412    ", -10007, ""}, {"-0001204000000", -10007, ""},
      {"202612040000001", -62, nullptr}});  // clang-format on
  CS3DateTimeStr v;
  EXPECT_EQ(-1, v.GetHour());
  ASSERT_EQ(0, v.Set("20261204032047"));
  EXPECT_EQ(2026 + 12 + 4, v.GetYear() + v.GetMonth() + v.GetDay());
  EXPECT_EQ(3, v.GetHour());
  EXPECT_EQ(20, v.GetMinute());
  ASSERT_EQ(0, v.Set("2026", 4));  // unchecked and short: the clock part is empty
  EXPECT_EQ(0, v.GetHour());
}

TEST(CS3TimeStrTest, SetTable) {
  RunSetCases<CS3TimeStr>("1200", {// clang-format off
      {"9:05", 0, "0905"}, {"905", 0, "0905"}, {"2400", 0, "2400"}, {"0905\n", 0, "0905"},
      {"", 0, ""}, {"2460", -13007, ""}, {"1:999999999", -13007, ""}, {"9h05", -13005, ""},
      {"9:", -13005, ""}, {"9999999999:", -13005, ""},
      {"09050", -62, nullptr}, {"123:45", -62, nullptr}, {"90 ", -10007, ""},
      {"-012", -10007, ""}});  // clang-format on
  char buffer[] = "0905\r\n";
  CS3TimeStr v;
  EXPECT_EQ(0, v.Set(buffer));
  EXPECT_STREQ("0905", buffer);
  EXPECT_EQ(9 * 100 + 5, v.GetHour() * 100 + v.GetMinute());
}

}  // namespace
