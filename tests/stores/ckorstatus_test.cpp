#include "stores/ckorstatus.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "common/com.h"
#include "stores/ckorschedulersts.h"
#include "tests/stores/store_home.h"

namespace {

// The running-instance probe across real processes: a child takes the lock as
// the daemon does (own pid, empty file) and the parent probes it, before and
// after the child is killed.
TEST(CKorStatus, IsLockSeesOnlyALiveHolder) {
  StoreHome home;
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    CS3DataIO io;
    CKorSchedulerSts own;
    const char ok = own.Lock(io) == kResOk ? 'y' : 'n';
    if (write(ready[1], &ok, 1) != 1) _exit(1);
    for (;;) pause();
  }
  struct Reaper {  // also when an assertion leaves early
    pid_t pid;
    ~Reaper() {
      if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
    }
  } reaper{child};
  close(ready[1]);
  char ok = 0;
  ASSERT_EQ(1, read(ready[0], &ok, 1));
  close(ready[0]);
  ASSERT_EQ('y', ok);
  const std::string file = "scheduler/status." + std::to_string(child);
  EXPECT_EQ("", home.Read(file));

  CKorSchedulerSts probe;
  probe.SetPid(child);
  EXPECT_TRUE(probe.IsLock());
  CS3DataIO io;
  io.lockAttempts = 1;
  EXPECT_EQ(kResLocked, probe.Lock(io));
  EXPECT_TRUE(probe.IsLock());  // probing did not end the holder's lock

  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  reaper.pid = 0;
  EXPECT_FALSE(probe.IsLock());
  EXPECT_TRUE(home.Exists(file));
  probe.SetPid(child + 1000000);  // never ran: no file
  EXPECT_FALSE(probe.IsLock());
}

TEST(CKorSchedulerSts, DelAllRemovesOnlyStatusEntries) {
  StoreHome home;
  CKorSchedulerSts sts;
  EXPECT_EQ(kResOk, sts.DelAll());  // no scheduler directory
  for (const char* name : {"status.100", "status.200", "status.9/x", "schedulersts"}) {
    home.Write(std::string("scheduler/") + name, "x");
  }
  EXPECT_EQ(kResOk, sts.DelAll());
  for (const char* name : {"status.100", "status.200", "status.9"}) {
    EXPECT_FALSE(home.Exists(std::string("scheduler/") + name)) << name;
  }
  EXPECT_EQ("x", home.Read("scheduler/schedulersts"));
}

}  // namespace
