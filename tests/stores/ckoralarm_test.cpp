#include "stores/ckoralarm.h"

#include <cstdio>

#include <gtest/gtest.h>

#include "common/com.h"
#include "tests/common/fake_clock.h"
#include "tests/s3/io_testing.h"

namespace {

const char kAlarm[] = "scheduler/alarm/2026/1204/09/30/3";

// The daemon's question at a wake-up on 4 December 2026 (or another day): is
// there a non-empty alarm file for this module at that minute of today?
TEST(CKorAlarm, IsAccess) {
  struct Case {
    int day;
    const char* file;  // written with `content`; null: none
    const char* content;
    int module;
    const char* hour;
    const char* minute;
    int rc;
  } cases[] = {
      {4, kAlarm, "mail", 3, "09", "30", kResOk},
      {5, kAlarm, "mail", 3, "09", "30", kResNoEntry},
      {4, kAlarm, "mail", 4, "09", "30", kResNoEntry},
      {4, kAlarm, "mail", 3, "09", "31", kResNoEntry},
      {4, kAlarm, "", 3, "09", "30", kResNoEntry},  // an empty file is no alarm
      {4, nullptr, "", 3, "09", "30", kResNoEntry},
      {4, "scheduler/alarm/2026/1204/09", "a file", 3, "09", "30", kResNoEntry},  // ENOTDIR
      {4, kAlarm, "mail", 3, "09", "75", kResFixedBadWidth},
      {4, kAlarm, "mail", 3, nullptr, "30", kResFixedBadWidth},
      {4, kAlarm, "mail", 3, "0930", "", kResFixedBadWidth},  // must not shift into 09:30
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.day << " " << (c.file ? c.file : "-") << " " << c.rc);
    TempHome home;
    FakeClock clock;
    clock.SetLocal(2026, 12, c.day, 9, 30, 5);
    ScopedClock use(&clock);
    if (c.file != nullptr) PutFile(home.Data(c.file), c.content);
    CKorAlarm alarm;
    EXPECT_EQ(c.rc, alarm.IsAccess(c.module, c.hour, c.minute));
  }
}

TEST(CKorAlarm, FileNameNeedsBothKeys) {
  char out[kComPathMax] = "untouched";
  CKorAlarm alarm;
  alarm.stream = tmpfile();  // the destructor closes it; a leak fails the sanitizer build
  ASSERT_EQ(kResOk, alarm.SetDateTime("20261204093000"));
  EXPECT_EQ(kResAlarmNoKey, alarm.GetFileName(out));
  EXPECT_STREQ("untouched", out);
  ASSERT_EQ(kResOk, alarm.SetModuleID(3));
  alarm.Clean();  // keeps the keys
  ASSERT_EQ(kResOk, alarm.GetFileName(out));
  EXPECT_STREQ(kAlarm, out);
}

}  // namespace
