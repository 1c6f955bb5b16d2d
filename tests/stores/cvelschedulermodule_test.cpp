#include "stores/cvelschedulermodule.h"

#include <string>

#include <gtest/gtest.h>

#include "common/com.h"
#include "stores/cvelschedulermodules.h"
#include "tests/s3/io_testing.h"

namespace {

const char kIndex[] = "scheduler/module/index";
const char kSeven[] = "object 1\n_lastid=7\n_item=7\nend\n";

// Add hands out _lastid + 1 and writes index and record as one unit of work;
// without a program nothing of it stays.
TEST(CvelSchedulerModule, Add) {
  struct Case {
    const char* indexBefore;  // null: no index file
    const char* execute;
    int rc;
    int id;
    const char* indexAfter;
    const char* info;  // scheduler/module/<id>/info afterwards
  } cases[] = {
      {kSeven, "alarm", kResOk, 8, "object 1\n_lastid=8\n_item=7\n_item=8\nend\n",
       "object 8\nName=Alarm mail\nexecute=alarm\nend\n"},
      {nullptr, "alarm", kResOk, 1, "object 1\n_lastid=1\n_item=1\nend\n",
       "object 1\nName=Alarm mail\nexecute=alarm\nend\n"},
      {kSeven, "", kResRequiredEmpty, 8, kSeven, "<missing>"},  // rolled back
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.info);
    TempHome home;
    if (c.indexBefore != nullptr) PutFile(home.Data(kIndex), c.indexBefore);
    CvelSchedulerModule module;
    ASSERT_EQ(kResOk, module.Set("name", "Alarm mail"));
    ASSERT_EQ(kResOk, module.Set("EXECUTE", c.execute));
    EXPECT_EQ(kResTooLong, module.Set("Name", std::string(256, 'n').c_str()));  // old name kept
    EXPECT_EQ(kResUnknownField, module.Set("exec", "x"));
    EXPECT_EQ(c.rc, module.Add());
    EXPECT_EQ(c.indexAfter, ReadFile(home.Data(kIndex)));
    EXPECT_EQ(c.info, ReadFile(home.Data("scheduler/module/" + std::to_string(c.id) + "/info")));
  }
}

// The table as the daemon meets it: entries 1 and 3, module 1's record gone.
// Del heals the gap (a missing directory counts as deleted), Mod rewrites
// module 3 under its own ID, Del of 3 takes its directory, and an index left
// with _lastid only is an empty table.
TEST(CvelSchedulerModule, HealModDel) {
  TempHome home;
  const char info[] = "scheduler/module/3/info";
  CvelSchedulerModule module;
  EXPECT_EQ(kResNoEntry, module.Del(1));  // no index: nothing to delete
  PutFile(home.Data(kIndex), "object 1\n_lastid=3\n_item=1\n_item=3\nend\n");
  PutFile(home.Data(info), "object 3\nName=Alarm mail\nexecute=alarm\nend\n");
  CvelSchedulerModules modules;
  ASSERT_EQ(kResOk, modules.Get());
  ASSERT_EQ(2, modules.GetElementCount());
  EXPECT_EQ(1, modules.GetElement(0)->GetID());
  EXPECT_EQ(3, modules.GetElement(1)->GetID());

  EXPECT_EQ(kResNoEntry, module.Get(1));
  ASSERT_EQ(kResOk, module.Del(1));
  EXPECT_EQ("object 1\n_lastid=3\n_item=3\nend\n", ReadFile(home.Data(kIndex)));
  ASSERT_EQ(kResOk, module.Get(3));
  EXPECT_STREQ("alarm", module.GetExecute());
  ASSERT_EQ(kResOk, module.Set("execute", "/bin/renamed"));
  ASSERT_EQ(kResOk, module.Mod(0));
  EXPECT_EQ("object 3\nName=Alarm mail\nexecute=/bin/renamed\nend\n", ReadFile(home.Data(info)));
  ASSERT_EQ(kResOk, module.Del(3));
  EXPECT_FALSE(PathExists(home.Data("scheduler/module/3")));
  ASSERT_EQ(kResOk, modules.Get());
  EXPECT_EQ(0, modules.GetElementCount());
}

}  // namespace
