#include "stores/cvelschedulersts.h"

#include <memory>

#include <gtest/gtest.h>

#include "common/com.h"
#include "tests/s3/io_testing.h"

namespace {

// The handshake as the daemon and the suite's programs perform it: each step
// on a fresh or on the same object, its result and the record text it leaves.
TEST(CvelSchedulerSts, HandshakeWritesBothFieldsAndKeepsTheOther) {
  TempHome home;
  enum Op { kMod, kModSts, kGet };
  struct Step {
    bool fresh;
    Op op;
    int arg;
    int rc;
    const char* bytes;
  } steps[] = {
      {true, kGet, 0, kResNoEntry, "<missing>"},
      {true, kMod, 4242, kResOk, "object 1\npid=4242\nend\n"},
      {false, kModSts, -99, kResOk, "object 1\npid=4242\nstatus=-99\nend\n"},
      {true, kMod, 77, kResOk, "object 1\npid=77\nend\n"},  // a fresh start clears the status
      {true, kGet, 0, kResOk, "object 1\npid=77\nend\n"},
      {false, kModSts, 3, kResOk, "object 1\npid=77\nstatus=3\nend\n"},  // keeps Get's pid
  };
  std::unique_ptr<CvelSchedulerSts> sts;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.bytes);
    if (s.fresh) sts.reset(new CvelSchedulerSts);
    EXPECT_EQ(s.rc, s.op == kMod      ? sts->Mod(s.arg)
                    : s.op == kModSts ? sts->ModSts(s.arg)
                                      : sts->Get());
    EXPECT_EQ(s.bytes, ReadFile(home.Data("scheduler/schedulersts")));
  }
  ASSERT_EQ(kResOk, sts->Get());
  EXPECT_EQ(77, sts->GetPid());
  EXPECT_EQ(3, sts->GetStatus());
  PutFile(home.Data("scheduler/schedulersts"), "object 2\npid=5\nend\n");  // no record 1: no status
  EXPECT_EQ(kResNoEntry, sts->Get());
}

}  // namespace
