#include "stores/ckorstatus.h"

#include <string>

#include <gtest/gtest.h>

#include "common/com.h"
#include "stores/ckorschedulersts.h"
#include "tests/common/temp_dir.h"
#include "tests/s3/io_testing.h"

namespace {

// The running-instance probe across real processes: a child takes the lock as
// the daemon does (own pid, empty file) and the parent probes it, before and
// after the child is killed; then the dead holder's file can be locked again.
TEST(CKorStatus, IsLockSeesOnlyALiveHolder) {
  TempHome home;
  HoldingChild child([] {
    static CS3DataIO io;  // kept, with the lock, until the child is killed
    static CKorSchedulerSts own;
    return own.Lock(io) == kResOk;
  });
  ASSERT_TRUE(child.held());
  const std::string pid = std::to_string(child.pid()), file = "scheduler/status." + pid;
  EXPECT_EQ("", ReadFile(home.Data(file)));
  CKorSchedulerSts probe;
  EXPECT_EQ(kResOk, probe.Set("PID", pid.c_str()));
  EXPECT_EQ(kResUnknownField, probe.Set("pids", "1"));
  EXPECT_TRUE(probe.IsLock());
  CS3DataIO io;
  io.lockAttempts = 1;
  EXPECT_EQ(kResLocked, probe.Lock(io));
  EXPECT_TRUE(probe.IsLock());  // probing did not end the holder's lock
  child.End();

  // The probe, a reader, undid the dead holder's unit, which made the file.
  EXPECT_FALSE(probe.IsLock());
  EXPECT_EQ("<missing>", ReadFile(home.Data(file)));
  EXPECT_EQ(kResOk, probe.Lock(io));  // the dead holder's empty file is taken over
  CKorSchedulerSts never;
  never.SetPid(std::stoi(pid) + 1000000);  // never ran: no file
  EXPECT_FALSE(never.IsLock());
}

TEST(CKorSchedulerSts, DelAllRemovesOnlyStatusEntries) {
  TempHome home;
  CKorSchedulerSts sts;
  EXPECT_EQ(kResOk, sts.DelAll());  // no scheduler directory
  for (const char* name : {"status.100", "status.200", "status.9/x", "schedulersts"}) {
    PutFile(home.Data(std::string("scheduler/") + name), "x");
  }
  EXPECT_EQ(kResOk, sts.DelAll());
  for (const char* name : {"status.100", "status.200", "status.9"}) {
    EXPECT_FALSE(PathExists(home.Data(std::string("scheduler/") + name))) << name;
  }
  EXPECT_EQ("x", ReadFile(home.Data("scheduler/schedulersts")));
}

}  // namespace
