#include "stores/ckoralarmtime.h"

#include <string>

#include <gtest/gtest.h>

#include "common/com.h"
#include "tests/s3/io_testing.h"

namespace {

// A program that files alarms lowers the record only when the daemon would
// otherwise wake too late; the record text after each step.
TEST(CKorAlarmTime, LowerRewritesOnlyForAnEarlierTime) {
  TempHome home;
  const std::string file = "scheduler/controle/status", head = "object 1\nnexttime=";
  struct Step {
    const char* before;  // replaces the file first; null: leave it
    const char* dateTime;
    int rc;
    const char* after;  // nexttime in the file afterwards
  } steps[] = {
      {nullptr, "20261204101500", 1, "20261204101500"},  // no file yet
      {nullptr, "20261204103000", 0, "20261204101500"},  // later: not needed
      {nullptr, "20261204101500", 0, "20261204101500"},  // equal: not needed
      {nullptr, "20261204100000", 1, "20261204100000"},
      {nullptr, "2026120410", kResFixedBadWidth, "20261204100000"},
      {nullptr, nullptr, kResRequiredEmpty, "20261204100000"},
      {"object 1\nend\n", "20261204120000", 1, "20261204120000"},  // no nexttime
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.after);
    if (s.before != nullptr) PutFile(home.Data(file), s.before);
    CKorAlarmTime alarmTime;
    EXPECT_EQ(s.rc, alarmTime.Lower(s.dateTime));
    EXPECT_EQ(head + s.after + "\nend\n", ReadFile(home.Data(file)));
    ASSERT_EQ(kResOk, alarmTime.Get());
    EXPECT_STREQ(s.after, alarmTime.GetNextTime());
  }
  CKorAlarmTime alarmTime;
  EXPECT_EQ(kResOk, alarmTime.Set("NEXTTIME", "20261204090000"));
  EXPECT_EQ(kResUnknownField, alarmTime.Set("next", "20261204090000"));
  EXPECT_STREQ("20261204090000", alarmTime.GetNextTime());
}

}  // namespace
