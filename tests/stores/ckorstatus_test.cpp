#include "stores/ckorstatus.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>

#include <gtest/gtest.h>

#include "common/com.h"
#include "stores/ckorschedulersts.h"
#include "tests/s3/io_testing.h"

namespace {

// Locks the whole file `path` with `type`; `ofd`: as a lock of the open file
// description, which belongs to no process. The descriptor stays open.
bool LockAs(const std::string& path, short type, bool ofd = false) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
  struct flock lock = {};
  lock.l_type = type;
  return fd >= 0 && fcntl(fd, ofd ? F_OFD_SETLK : F_SETLK, &lock) == 0;
}

// The home's owner can write any pid V into the status record and lock
// status.V from a process of its own: only V holding a write lock on
// status.V itself makes V the daemon, and only then is V sent the signal
// (SIGUSR1, whose default action ends it).
TEST(CKorSchedulerSts, SignalsOnlyAProcessHoldingItsOwnLock) {
  enum Other { kNone, kProcess, kOpenFile, kUnlocked, kNoFile };
  struct Case {
    const char* what;
    short own;     // the victim's lock on its own file (F_UNLCK: none)
    Other other;   // another child's lock (a process's or an open file's),
                   // or an unlocked file, or none
    int reported;  // by comLockHolder: 1 the victim, 2 the other child, 0, -1
  };
  const Case cases[] = {
      {"its own write lock", F_WRLCK, kNone, 1},
      {"its own read lock", F_RDLCK, kNone, 0},
      {"another process's lock", F_UNLCK, kProcess, 2},
      {"an open file's lock", F_UNLCK, kOpenFile, -1},
      {"no lock", F_UNLCK, kUnlocked, 0},
      {"no file", F_UNLCK, kNoFile, -1},
  };
  TempHome home;
  const std::string dir = home.Data("scheduler");
  ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
  auto file = [&](pid_t pid) { return dir + "/status." + std::to_string(pid); };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HoldingChild victim([&] { return c.own == F_UNLCK || LockAs(file(getpid()), c.own); });
    if (c.other == kUnlocked) WriteFile(file(victim.pid()), "");
    HoldingChild other([&] {
      return c.other == kNone || c.other == kUnlocked || c.other == kNoFile ||
             LockAs(file(victim.pid()), F_WRLCK, c.other == kOpenFile);
    });
    ASSERT_TRUE(victim.held() && other.held());
    const int holders[] = {-1, 0, victim.pid(), other.pid()};
    EXPECT_EQ(holders[c.reported + 1], comLockHolder(file(victim.pid()).c_str()));
    const bool daemon = c.reported == 1;
    CKorSchedulerSts sts;
    ASSERT_EQ(kResOk, sts.SetPid(victim.pid()));
    EXPECT_EQ(daemon, sts.IsLockedByPid());
    EXPECT_EQ(daemon ? 1 : 0, sts.Signal(SIGUSR1));
    // A fatal signal ends a process as it is sent: a SIGUSR1 sent before
    // this SIGKILL is the one that ended the victim.
    siginfo_t end = {};
    ASSERT_EQ(0, kill(victim.pid(), SIGKILL));
    ASSERT_EQ(0, waitid(P_PID, victim.pid(), &end, WEXITED | WNOWAIT));
    EXPECT_EQ(daemon ? SIGUSR1 : SIGKILL, end.si_status);
  }
  // No pid names no daemon; it must not become this process's own.
  CKorSchedulerSts none;
  EXPECT_FALSE(none.IsLockedByPid());
  EXPECT_EQ(0, none.Signal(SIGUSR1));
  EXPECT_EQ(0, none.GetPid());
}

TEST(CKorSchedulerSts, DelAllRemovesOnlyStatusEntries) {
  TempHome home;
  CKorSchedulerSts sts;
  EXPECT_EQ(kResOk, sts.Set("PID", "100"));  // field names are matched in any case
  EXPECT_EQ(kResUnknownField, sts.Set("pids", "1"));
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
