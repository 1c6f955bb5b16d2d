#include "stores/ckorstatus.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "common/com.h"
#include "stores/ckorschedulersts.h"
#include "tests/s3/io_testing.h"

namespace {

// The running-instance probe across real processes: a child takes the lock as
// the daemon does (own pid, empty file) and the parent probes it, before and
// after the child is killed; then the dead holder's file can be locked again.
TEST(CKorStatus, IsLockSeesOnlyALiveHolder) {
  TempHome home;
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    CS3DataIO io;
    CKorSchedulerSts own;
    const char ok = own.Lock(io) == kResOk ? 'y' : 'n';
    if (write(ready[1], &ok, 1) == 1) pause();
    _exit(1);
  }
  // No ASSERT until the child is killed: it must not outlive the test.
  close(ready[1]);
  char ok = 0;
  EXPECT_EQ(1, read(ready[0], &ok, 1));
  close(ready[0]);
  EXPECT_EQ('y', ok);
  const std::string file = "scheduler/status." + std::to_string(child);
  EXPECT_EQ("", ReadFile(home.Data(file)));
  CKorSchedulerSts probe;
  EXPECT_EQ(kResOk, probe.Set("PID", std::to_string(child).c_str()));
  EXPECT_EQ(kResUnknownField, probe.Set("pids", "1"));
  EXPECT_TRUE(probe.IsLock());
  CS3DataIO io;
  io.lockAttempts = 1;
  EXPECT_EQ(kResLocked, probe.Lock(io));
  EXPECT_TRUE(probe.IsLock());  // probing did not end the holder's lock
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);

  // The probe, a reader, undid the dead holder's unit, which made the file.
  EXPECT_FALSE(probe.IsLock());
  EXPECT_EQ("<missing>", ReadFile(home.Data(file)));
  EXPECT_EQ(kResOk, probe.Lock(io));  // the dead holder's empty file is taken over
  CKorSchedulerSts never;
  never.SetPid(child + 1000000);  // never ran: no file
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
