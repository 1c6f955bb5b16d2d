#include "stores/cvelschedulermodule.h"

#include <string>

#include <gtest/gtest.h>

#include "common/com.h"
#include "stores/cvelschedulermodules.h"
#include "tests/stores/store_home.h"

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
    StoreHome home;
    if (c.indexBefore != nullptr) home.Write(kIndex, c.indexBefore);
    CvelSchedulerModule module;
    ASSERT_EQ(kResOk, module.Set("name", "Alarm mail"));
    ASSERT_EQ(kResOk, module.Set("EXECUTE", c.execute));
    EXPECT_EQ(c.rc, module.Add());
    EXPECT_EQ(c.indexAfter, home.Read(kIndex));
    EXPECT_EQ(c.info, home.Read("scheduler/module/" + std::to_string(c.id) + "/info"));
  }
}

TEST(CvelSchedulerModule, ModGetDelAndTheIndex) {
  StoreHome home;
  CvelSchedulerModule module;
  EXPECT_EQ(kResNoEntry, module.Del(1));  // no index: nothing to delete
  for (const char* program : {"first", "second"}) {
    ASSERT_EQ(kResOk, module.Set("execute", program));
    ASSERT_EQ(kResOk, module.Add());
  }
  ASSERT_EQ(kResOk, module.Set("execute", "/bin/renamed"));
  ASSERT_EQ(kResOk, module.Mod(0));
  EXPECT_EQ("object 2\nexecute=/bin/renamed\nend\n", home.Read("scheduler/module/2/info"));

  CvelSchedulerModules modules;
  modules.SetDetail(true);
  ASSERT_EQ(kResOk, modules.Get());
  ASSERT_EQ(2, modules.GetElementCount());
  EXPECT_STREQ("first", static_cast<CvelSchedulerModule*>(modules.GetElement(0))->GetExecute());
  EXPECT_EQ(2, modules.GetElement(1)->GetID());

  CvelSchedulerModule reader;
  ASSERT_EQ(kResOk, reader.Get(2));
  EXPECT_STREQ("/bin/renamed", reader.GetExecute());
  ASSERT_EQ(kResOk, reader.Del(1));
  EXPECT_EQ("object 1\n_lastid=2\n_item=2\nend\n", home.Read(kIndex));
  EXPECT_FALSE(home.Exists("scheduler/module/1"));
  EXPECT_EQ(kResNoEntry, reader.Get(1));
  ASSERT_EQ(kResOk, reader.Del(2));
  ASSERT_EQ(kResOk, modules.Get());  // _lastid only: an empty table
  EXPECT_EQ(0, modules.GetElementCount());
}

}  // namespace
