#include "s3/cs3object.h"

#include <gtest/gtest.h>

#include "s3/cs3data.h"
#include "s3/cs3data_parse.h"
#include "s3/cs3dataiofile.h"
#include "s3/cs3objstring.h"
#include "tests/s3/io_testing.h"

namespace {

// Get reads the wanted record through a temporary accessor; getCurrent,
// on a file an accessor holds open, positions on it. An object without a
// file name is neither read nor written.
TEST(CS3ObjectTest, GetAndGetCurrentFindTheWantedRecord) {
  TempHome home;
  PutFile(home.Data("rec"),
          Rec("3", "Name=three\n") + Rec("7", "Name=seven\n") + Rec("9", "Name=nine\n"));
  struct Case {
    int wanted;
    int want;
    int wantId;
    const char* wantName;
  };
  const Case cases[] = {{7, 0, 7, "seven"}, {3, 0, 3, "three"}, {8, kResNoEntry, 0, ""}};
  for (const Case& c : cases) {
    TestRecord got;
    EXPECT_EQ(got.Get(c.wanted), c.want);
    EXPECT_EQ(got.name, c.wantName);
    CS3DataIO io;
    TestRecord bound;
    TestRecord target;
    ASSERT_EQ(io.Get(bound), 0);
    EXPECT_EQ(bound.getCurrent(io, bound, target, c.wanted), c.want);
    EXPECT_EQ(target.GetID(), c.wantId);
    EXPECT_EQ(target.name, c.wantName);
    EXPECT_TRUE(target.IsGetData());
  }
  CS3DataIO io;
  CS3Object fresh;
  EXPECT_EQ(CS3DataIO().Mod(fresh), kResObjNoFileName);
  EXPECT_EQ(fresh.Get(), kResObjNoFileName);
  EXPECT_EQ(fresh.GetFd(), -1);
  TestRecord never;
  TestRecord target;
  target.SetID(5);
  EXPECT_EQ(never.getCurrent(io, never, target, 3), kResIoNeverOpened);
  EXPECT_EQ(target.GetID(), 0);
  // Get() takes the first record, and its temporary accessor is gone, so the
  // file is no longer locked: a one-attempt write open succeeds at once.
  ASSERT_EQ(never.Get(), 0);
  EXPECT_EQ(never.GetID(), 3);
  io.lockAttempts = 1;
  io.lockWait = 0;
  EXPECT_EQ(io.OpenAdd(never), 0);
}

// Only what a parse guarantees is relied on: the record cursor is on the
// first record; where the field cursor stands is left to the parse.
TEST(CS3ObjStringTest, GetFieldReadsTheCursorField) {
  CS3ObjString obj;
  CS3Data empty;
  EXPECT_EQ(obj.GetField(&empty), kResNoEntry);  // no record, so no field cursor
  CS3Data data;
  ASSERT_EQ(s3DataParse(&data, "object 1\nkey=value\n_item=5\nend\n", 31, nullptr, nullptr), 0);
  data.firstElementField();
  for (const char* want : {"value", "5"}) {
    EXPECT_EQ(obj.GetField(&data), 0);
    EXPECT_STREQ(obj.GetValue(), want);
    data.nextElementField();
  }
  EXPECT_EQ(obj.GetField(&data), kResNoEntry);  // past the last field
}

}  // namespace
