// Operations on a parsed record file: conditions, sorting, element entries,
// field and group edits, moves, and the writer pieces with the size delta.
#include <stdlib.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "s3/cs3data.h"
#include "s3/cs3data_parse.h"
#include "tests/s3/cs3data_testing.h"

namespace {

std::string Ids(const CS3Data& data) {
  std::string ids;
  for (const _ST_Item* r = data.items; r != nullptr; r = r->next) {
    if (!ids.empty()) ids += ",";
    ids += r->id;
  }
  return ids;
}

void Parse(CS3Data* data, const std::string& text) {
  ASSERT_EQ(0, s3DataParse(data, text.data(), text.size(), nullptr, nullptr));
}

struct ConditionCase {
  const char* name;
  std::function<void(CS3Data*)> set;
  const char* kept;
};

// Each case is run as the parse applies it and, but for ID conditions, as
// SieveData applies it to records parsed before; either way a record created
// afterwards is appended after the kept ones.
TEST(CS3DataSelect, ConditionsDropRecordsWhileParsingOrSieving) {
  // Record 1 has no field f; 2..5 hold f = "", "abc", "cab", "10".
  const std::string in =
      "object 1\ng=x\nend\nobject 2\nf=\nend\nobject 3\nf=abc\nend\n"
      "object 4\nf=cab\nend\nobject 5\nf=10\nend\n";
  const ConditionCase cases[] = {
      {"equal on a missing field drops", [](CS3Data* d) { d->SetEQCondition("f", "abc"); }, "3"},
      {"equal with empty value keeps missing", [](CS3Data* d) { d->SetEQCondition("f", ""); },
       "1,2"},
      {"two equals accept either",
       [](CS3Data* d) {
         d->SetEQCondition("f", "abc");
         d->SetEQCondition("f", "cab");
       },
       "3,4"},
      {"two not-equals reject both",
       [](CS3Data* d) {
         d->SetNEQCondition("f", "abc");
         d->SetNEQCondition("f", "cab");
       },
       "1,2,5"},
      {"not-equal empty drops missing and empty", [](CS3Data* d) { d->SetNEQCondition("f", ""); },
       "3,4,5"},
      {"about contains", [](CS3Data* d) { d->SetEQAboutCondition("f", "ab"); }, "3,4"},
      {"about prefix", [](CS3Data* d) { d->SetEQAboutCondition("f", "ab", kS3KindPrefix); }, "3"},
      {"lower bound compares text", [](CS3Data* d) { d->SetLTCondition("f", "9"); }, "3,4"},
      {"lower bound empty field", [](CS3Data* d) { d->SetLTCondition("f", "b"); }, "4"},
      {"only the first lower bound counts",
       [](CS3Data* d) {
         d->SetLTCondition("f", "a");
         d->SetLTCondition("f", "z");
       },
       "3,4"},
      {"upper bound never fails on a missing field",
       [](CS3Data* d) { d->SetHTCondition("f", "b"); }, "1,2,3,5"},
      {"number bound", [](CS3Data* d) { d->SetHTCondition("f", 2); }, "1,2,5"},
      {"id conditions and hidden ids",
       [](CS3Data* d) {
         d->SetIDCondition(3);
         d->SetIDCondition(5);
         d->SetHiddenIDCondition(5);
       },
       "3"},  // a sieve applies field conditions only
  };
  for (const ConditionCase& c : cases) {
    for (bool sieve : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (sieve ? ", sieved" : ""));
      if (sieve && std::string(c.name).rfind("id conditions", 0) == 0) continue;
      CS3Data data;
      if (sieve) Parse(&data, in);
      c.set(&data);
      EXPECT_EQ(0, sieve ? data.SieveData() : s3DataParse(&data, in.data(), in.size(), nullptr, nullptr));
      EXPECT_EQ(c.kept, Ids(data));
      EXPECT_EQ(5, data.GetLastID());  // dropped records still raised it
      EXPECT_EQ(static_cast<int>(Ids(data).size() + 1) / 2, data.GetCount());
      data.SetConditionClean();
      data.lastElement();
      ASSERT_EQ(0, data.CreateItem("6"));
      EXPECT_EQ(std::string(c.kept) + ",6", Ids(data));
    }
  }
  EXPECT_EQ(kResJudgeNoRecord, s3killjudge(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
}

TEST(CS3DataSelect, DroppedRecordLeavesTheNextOneIntact) {
  CS3Data data;
  data.SetEQCondition("keep", "1");
  // Conditions act at "end" lines: record 4, cut off, stays as read.
  Parse(&data,
        "object 1\nkeep=1\nend\nobject 2\nkeep=0\nx=y\nend\nobject 3\nkeep=1\nend\n"
        "object 4\nkeep=0\n");
  EXPECT_EQ("1{keep=1}3{keep=1}4{keep=0}", Describe(data));
  data.SetConditionClean();
  data.lastElement();
  ASSERT_EQ(0, data.CreateItem("5"));
  EXPECT_EQ("1,3,4,5", Ids(data));
}

struct SortCase {
  const char* name;
  std::vector<std::pair<const char*, const char*>> keys;
  const char* order;
};

TEST(CS3DataSort, SortedCursorFollowsTheConditions) {
  const std::string in =
      "object 4\nb=x\nend\nobject 2\nb=y\nend\nobject 9\na=1\nb=x\nend\nobject 10\nb=y\nend\n";
  const SortCase cases[] = {
      {"no conditions: list order", {}, "4,2,9,10"},
      {"missing field first", {{"a", "1"}}, "2,4,10,9"},
      {"descending, missing last", {{"a", "-1"}}, "9,2,4,10"},
      {"two keys", {{"b", "-1"}, {"a", "1"}}, "2,10,4,9"},
      {"weight 0 stops the keys", {{"b", "0"}, {"a", "1"}}, "4,2,9,10"},
  };
  for (const SortCase& c : cases) {
    SCOPED_TRACE(c.name);
    CS3Data data;
    for (const auto& k : c.keys) {
      ASSERT_EQ(0, data.SetSortCondition(k.first, k.second));
    }
    Parse(&data, in);
    ASSERT_EQ(0, data.SortData());
    std::string order;
    int steps = 0;
    for (data.firstSortElement(); !data.IsEndOfData(); data.nextSortElement()) {
      if (!order.empty()) order += ",";
      order += data.current->id;
      ++steps;
    }
    EXPECT_EQ(c.order, order);
    EXPECT_EQ(kResNoEntry, data.nextSortElement());
    // The whole rewrite follows the sorted order.
    std::string written = Written(&data);
    CS3Data again;
    Parse(&again, written);
    EXPECT_EQ(c.order, Ids(again));
  }
  _ST_Item a{}, b{};
  snprintf(a.id, sizeof(a.id), "2");
  snprintf(b.id, sizeof(b.id), "1");
  _ST_Item* pa = &a;
  _ST_Item* pb = &b;
  StpData = nullptr;
  EXPECT_EQ(1, s3datacomp(&pa, &pb));
  EXPECT_EQ(-1, s3datacomp_d(&pa, &pb));
}

// Index record entries: numeric adds with anchors, revival, deletion.
struct EntryCase {
  const char* name;
  std::function<void(CS3Data*)> run;
  const char* fields;
  int lastId = 7;
  const char* index = "object 1\n_lastid=7\n_item=3\n_item=5\n_item=7\nend\n";  // "": no record
};

TEST(CS3DataEntries, AddMoveAndDelete) {
  const EntryCase cases[] = {
      {"append", [](CS3Data* d) { d->SetFieldValue(9, false, nullptr); },
       "_lastid=7|_item=3|_item=5|_item=7|_item=9"},
      {"anchor 0 goes after a first _lastid",
       [](CS3Data* d) { d->SetFieldValue(9, false, nullptr, "0"); },
       "_lastid=7|_item=9|_item=3|_item=5|_item=7"},
      {"anchor 0 adds a duplicate", [](CS3Data* d) { d->SetFieldValue(5, false, nullptr, "0"); },
       "_lastid=7|_item=5|_item=3|_item=5|_item=7"},
      {"after the anchor", [](CS3Data* d) { d->SetFieldValue(9, false, nullptr, "3"); },
       "_lastid=7|_item=3|_item=9|_item=5|_item=7"},
      {"duplicate after the anchor is found",
       [](CS3Data* d) { d->SetFieldValue(7, false, nullptr, "3"); },
       "_lastid=7|_item=3|_item=5|_item=7"},
      {"missing anchor appends", [](CS3Data* d) { d->SetFieldValue(9, false, nullptr, "4"); },
       "_lastid=7|_item=3|_item=5|_item=7|_item=9"},
      {"duplicate allowed", [](CS3Data* d) { d->SetFieldValue(5, true, nullptr); },
       "_lastid=7|_item=3|_item=5|_item=7|_item=5"},
      {"mark by position skips _lastid", [](CS3Data* d) { d->DelFieldValue(1, true, false); },
       "_lastid=7|-_item=3|_item=5|_item=7"},
      {"remove by value", [](CS3Data* d) { d->DelFieldValue(5, false, true); },
       "_lastid=7|_item=3|_item=7"},
      {"_lastid is never matched", [](CS3Data* d) { d->DelFieldValue(7, false, false); },
       "_lastid=7|_item=3|_item=5|-_item=7"},
      {"mark by text", [](CS3Data* d) { d->DelFieldValue("5", false); },
       "_lastid=7|_item=3|-_item=5|_item=7"},
      {"mark then revive in place",
       [](CS3Data* d) {
         d->DelFieldValue(5, false, false);
         int existed = -1;
         d->SetFieldValue(5, false, &existed);
         EXPECT_EQ(1, existed);
         d->DelFieldValue("7", false);
         d->SetFieldValue("7", false, &existed);
         EXPECT_EQ(1, existed);
       },
       "_lastid=7|_item=3|_item=5|_item=7"},
      {"text entry", [](CS3Data* d) { d->SetFieldValue("abc", false, nullptr); },
       "_lastid=7|_item=3|_item=5|_item=7|_item=abc"},
      {"last id", [](CS3Data* d) { EXPECT_EQ(0, d->SetFieldLastID(8)); },
       "_lastid=8|_item=3|_item=5|_item=7", 8},
      {"up over _lastid is no move",
       [](CS3Data* d) { EXPECT_EQ(kResNoEntry, d->UpFieldValue(3, false)); },
       "_lastid=7|_item=3|_item=5|_item=7"},
      {"down", [](CS3Data* d) { EXPECT_EQ(0, d->DownFieldValue(3, false)); },
       "_lastid=7|_item=5|_item=3|_item=7"},
      {"up by text", [](CS3Data* d) { EXPECT_EQ(0, d->UpFieldValue("7")); },
       "_lastid=7|_item=3|_item=7|_item=5"},
      {"down at the end", [](CS3Data* d) { EXPECT_EQ(kResNoEntry, d->DownFieldValue(7, false)); },
       "_lastid=7|_item=3|_item=5|_item=7"},
      {"an empty file: deleting does nothing, entries create record 1",
       [](CS3Data* d) {
         EXPECT_EQ(0, d->DelFieldValue(1, true, true));
         EXPECT_EQ(0, d->SetFieldLastID(1));
         int existed = -1;
         EXPECT_EQ(0, d->SetFieldValue(1, false, &existed));
         EXPECT_EQ(0, existed);
         EXPECT_EQ(0, d->SetFieldValue(2, false, &existed));
       },
       "_lastid=1|_item=1|_item=2", 1, ""},
      {"a move around a _lastid between entries, then removing the first field",
       [](CS3Data* d) {
         EXPECT_EQ(0, d->DownFieldValue(3, false));
         EXPECT_EQ("1{_item=2|_lastid=1|_item=3}", Describe(*d));
         ASSERT_EQ(0, d->DelFieldValue(2, false, true));
         EXPECT_EQ(2, CS3Data::getIndexCount(d->current->fields));
       },
       "_lastid=1|_item=3", 1, "object 1\n_item=3\n_lastid=1\n_item=2\nend\n"},
  };
  for (const EntryCase& c : cases) {
    SCOPED_TRACE(c.name);
    CS3Data data;
    if (c.index[0] != '\0') Parse(&data, c.index);
    c.run(&data);
    EXPECT_EQ(std::string("1{") + c.fields + "}", Describe(data));
    EXPECT_EQ(c.lastId, data.GetFieldLastID());
  }
}

TEST(CS3DataFields, SetFieldValueRules) {
  CS3Data data;
  Parse(&data, "object 1\na=1\nb=2\na=3\nend\n");
  CS3String s;
  EXPECT_EQ(0, data.SetFieldValue("a", "x"));  // the first of two
  EXPECT_EQ("1{a=x|b=2|a=3}", Describe(data));
  EXPECT_EQ(0, data.SetFieldValue("a", ""));       // marked, emptied
  EXPECT_EQ(0, data.SetFieldValue("c", nullptr));  // nothing created
  EXPECT_EQ("1{-a=|b=2|a=3}", Describe(data));
  EXPECT_EQ("object 1\nb=2\na=3\nend\n", Written(&data));
  data.firstElement();                         // the rewrite left the cursor past the end
  EXPECT_EQ(0, data.SetFieldValue("a", "y"));  // revived
  EXPECT_EQ(0, data.SetFieldValue("new", "n", true, "2", false));  // after value 2
  EXPECT_EQ(0, data.SetFieldValue("n2", "m", true, "9", false));   // no anchor: last
  EXPECT_EQ("1{a=y|b=2|new=n|a=3|n2=m}", Describe(data));
  EXPECT_EQ(0, data.SetFieldValueNum("num", -5));
  EXPECT_EQ(kS3KindNumber, data.currentField->kind);
  EXPECT_EQ(0, data.GetFieldValue("b", s));
  EXPECT_STREQ("2", s.Get());
  EXPECT_EQ(0, data.GetFieldValue("none", s));  // not found: unchanged, cursor null
  EXPECT_STREQ("2", s.Get());
  EXPECT_TRUE(data.IsEndOfField());
  EXPECT_EQ(kResNoEntry, data.GetField(nullptr, s));
  EXPECT_EQ(0, data.GetFieldName(s, "m"));
  EXPECT_STREQ("n2", s.Get());
  // An integer value trims its text; the record's text must stay as it is.
  ASSERT_EQ(0, data.SetFieldValue("pad", "12 "));
  CS3Int number;
  EXPECT_EQ(0, data.GetFieldValue("pad", number));
  EXPECT_EQ(12, number.GetInt());
  EXPECT_STREQ("12 ", data.currentField->value);
}

TEST(CS3DataFields, ErrorCodesWithoutCursors) {
  CS3Data data;
  CS3String s;
  char name[kS3NameSize];
  int n = 0;
  EXPECT_EQ(kResDataNullArg, data.CreateItem(nullptr));
  EXPECT_EQ(kResDataNoCurrent, data.CreateField("a"));
  EXPECT_EQ(kResDataNoCurrent, data.CreateFieldValue("a"));
  EXPECT_EQ(kResDataNoCurrent, data.JointFieldValue("a"));
  EXPECT_EQ(kResDataNoCurrent, data.SaveFilePointer(1));
  EXPECT_EQ(kResNoEntry, data.GetFieldValue("a", s));
  EXPECT_EQ(kResNoEntry, data.GetField(name, s));
  EXPECT_EQ(kResNoEntry, data.GetFieldID(&n));
  EXPECT_EQ(kResNoEntry, data.nextElement());
  EXPECT_EQ(kResDataNoCurrent, data.DelItem(1));
  EXPECT_EQ(kResNoEntry, data.upItem("1"));
  EXPECT_EQ(-1, data.GetID());
  EXPECT_EQ(kResDataNoGroup, data.SetFieldItemsName("g"));
  EXPECT_EQ(kResDataNoSuchGroup, data.GetFieldItems("g"));
  EXPECT_EQ(kResDataNoGroup, data.GetFieldItemsValue(s));
  EXPECT_EQ(kResDataNoCurrent, data.SetFieldItemsValue(nullptr, "v", true));
  EXPECT_EQ(kResNoEntry, data.GetDataSize());
  std::string out;
  EXPECT_EQ(kResNoEntry, s3DataWrite(&data, &out));
  EXPECT_EQ(kResJudgeNoRecord, data.SieveData());
  ASSERT_EQ(0, data.CreateItem("5"));
  EXPECT_EQ(kResDataNullArg, data.CreateField(nullptr));
  EXPECT_EQ(kResDataNoCurrent, data.SetFieldItemsValue(nullptr, "v", true));
  EXPECT_EQ(kResDataNoGroup, data.SetFieldItemsValue(nullptr, 1, true, nullptr, nullptr));
  EXPECT_EQ(kResDataNoGroup, data.UpFieldItemsValue(1));
  EXPECT_EQ(kResDataNullArg, data.DelFieldValue(nullptr, false));
  ASSERT_EQ(0, data.CreateField("f"));
  EXPECT_EQ(kResDataNullArg, data.JointFieldValue(nullptr));
  EXPECT_EQ(0, data.JointFieldValue("x"));  // no old value: LF + text
  EXPECT_EQ("5{f=\\nx}", Describe(data));
  EXPECT_EQ(kResNoEntry, data.DelItem(4));
  EXPECT_EQ(0, data.DelItem(5));
  EXPECT_TRUE(data.IsDelete());
}

TEST(CS3DataFields, CursorsStayWithinTheCurrentRecord) {
  CS3Data data;
  Parse(&data, "object 1\na=1\nobject g\n_item=5\nend\nb=2\nend\n");
  // A one-record parse leaves the cursors on what was read last.
  ASSERT_FALSE(data.IsEndOfField());
  EXPECT_STREQ("b", data.currentField->name);
  int id = 0;
  EXPECT_EQ(0, data.GetFieldItemsID(&id));
  EXPECT_EQ(5, id);
  ASSERT_EQ(0, data.CreateField("c"));  // after the cursor field
  ASSERT_EQ(0, data.CreateFieldValue("3"));
  data.firstElement();  // the same record: the cursors stay
  EXPECT_STREQ("c", data.currentField->name);
  ASSERT_EQ(0, data.CreateItem("2"));  // another record: they go
  EXPECT_TRUE(data.IsEndOfField());
  EXPECT_TRUE(data.IsEndOfFieldItems());
  EXPECT_EQ(kResDataNoGroup, data.GetFieldItemsID(&id));
  ASSERT_EQ(0, data.firstElementField());
  data.firstElement();
  EXPECT_TRUE(data.IsEndOfField());
  EXPECT_EQ("1{a=1|b=2|c=3|[g:5]}2{}", Describe(data));
}

TEST(CS3DataGroups, ValuesDuplicatesAndMoves) {
  CS3Data data;
  Parse(&data, "object 1\nobject g\n_item=1\n_item=2\nend\nobject h\nend\nend\n");
  int existed = -1;
  EXPECT_EQ(0, data.SetFieldItemsValue("g", "2", false, &existed));
  EXPECT_EQ(1, existed);
  EXPECT_EQ(0, data.SetFieldItemsValue("g", "2", true, &existed));
  EXPECT_EQ(0, existed);
  EXPECT_EQ(0, data.SetFieldItemsValue("new", 4, false, &existed, nullptr));  // created
  EXPECT_EQ(0, data.SetFieldItemsValue("new", 3, false, &existed, "0"));
  EXPECT_EQ("1{[g:1,2,2]|[h:]|[new:3,4]}", Describe(data));
  ASSERT_EQ(0, data.GetFieldItems("g"));
  EXPECT_EQ(3, data.GetFieldItemsCount());
  EXPECT_EQ(0, data.DownFieldItemsValue(1));
  EXPECT_EQ(0, data.DownFieldItemsValue(1));  // now the last value
  EXPECT_EQ(kResNoEntry, data.DownFieldItemsValue(1));
  EXPECT_EQ(0, data.SetFieldItemsValue(nullptr, "9", true));  // appended after the move
  EXPECT_EQ(0, data.DelFieldItemsValue("g", 2, true));
  EXPECT_EQ("1{[g:2,-2,1,9]|[h:]|[new:3,4]}", Describe(data));
  EXPECT_EQ(kResDataNoSuchGroup, data.GetFieldItems("zz"));
  EXPECT_STREQ("new", data.currentGroup->name);  // the cursor ends on the last group
  EXPECT_EQ(0, data.DelFieldItems("g"));
  EXPECT_EQ(0, data.SetFieldItemsValue(nullptr, "5", true));
  EXPECT_EQ("1{[g:5]|[h:]|[new:3,4]}", Describe(data));
  std::string sum;
  for (data.firstElementFieldItems(); !data.IsEndOfFieldItems(); data.nextElementFieldItems()) {
    for (data.firstElementFieldItemsValue(); !data.IsEndOfFieldItemsValue();
         data.nextElementFieldItemsValue()) {
      int id = 0;
      data.GetFieldItemsID(&id);
      sum += std::to_string(id);
    }
  }
  EXPECT_EQ("534", sum);
}

// Moves keep a record created later at the end; the writer leaves a deleted
// record out and counts the bytes it no longer writes.
TEST(CS3DataRecords, UpDownAndDeletedRecords) {
  CS3Data data;
  Parse(&data, "object 1\nend\nobject 2\nend\nobject 3\nend\n");
  EXPECT_EQ(0, data.upItem("1"));
  EXPECT_EQ(0, data.upItem("3"));
  EXPECT_EQ("1,3,2", Ids(data));
  EXPECT_EQ(0, data.downItem("2"));
  EXPECT_EQ(0, data.downItem("1"));
  EXPECT_EQ(0, data.upItem("x"));
  EXPECT_EQ("3,1,2", Ids(data));
  ASSERT_EQ(0, data.DelItem(1));  // between two records that stay
  EXPECT_EQ("object 3\nend\nobject 2\nend\n", Written(&data));
  EXPECT_EQ(-13, data.sizeDelta);  // 13 bytes gone
  ASSERT_EQ(0, data.CreateItem("4"));  // still appended at the end
  EXPECT_EQ("3,1,2,4", Ids(data));
}

// The pieces in the accessor's order produce exactly EditRecord's bytes and
// the same size delta.
TEST(CS3DataWriter, PiecesMatchTheWholeRecord) {
  const std::string in =
      "object 1\na=1\nb=x\r\ty\nobject g\n_item=1\n_item=2\nend\nend\n"
      "object 2\nc=3\nend\n";
  CS3Data pieces;
  CS3Data whole;
  for (CS3Data* data : {&pieces, &whole}) {
    Parse(data, in);
    data->SetFieldValue("a", "longer");
    data->DelFieldItemsValue("g", 1, true);
  }
  std::string byPieces;
  char line[kS3EditLineSize];
  pieces.firstElement();
  ASSERT_EQ(0, pieces.EditItem(line, "7"));
  byPieces += line;
  for (pieces.firstElementField(); !pieces.IsEndOfField(); pieces.nextElementField()) {
    if (pieces.IsDeleteField()) continue;
    char* text = nullptr;
    ASSERT_EQ(0, pieces.EditField(&text));
    byPieces += text;
    free(text);
  }
  for (pieces.firstElementFieldItems(); !pieces.IsEndOfFieldItems();
       pieces.nextElementFieldItems()) {
    char* text = nullptr;
    ASSERT_EQ(0, pieces.EditFieldItems(&text));
    byPieces += text;
    free(text);
  }
  ASSERT_EQ(0, pieces.EditItemEnd(line));
  byPieces += line;
  whole.firstElement();
  std::string byWhole;
  ASSERT_EQ(0, whole.EditRecord(&byWhole, "7"));
  EXPECT_EQ("object 7\na=longer\nb=x\ty\nobject g\n_item=2\nend\nend\n", byWhole);
  EXPECT_EQ(byWhole, byPieces);
  EXPECT_EQ(static_cast<long>(byWhole.size()), pieces.editLength);
  EXPECT_EQ(pieces.editLength, whole.editLength);
  // The record was 53 bytes in the file and is 49 now.
  EXPECT_EQ(-4, pieces.sizeDelta);
  EXPECT_EQ(-4, whole.sizeDelta);
  pieces.nextElement();
  EXPECT_EQ(53 - 4, pieces.GetStartPointNew());
  EXPECT_EQ(0, pieces.EditItemDel());
  EXPECT_EQ(-4 - 17, pieces.sizeDelta);
  pieces.ClearFilePoint();
  EXPECT_EQ(0, pieces.sizeDelta);
  // GetDataSize counts the CR the writer drops.
  whole.firstElement();
  EXPECT_EQ(static_cast<long>(byWhole.size() + 1), whole.GetDataSize());
  // A group value holding a LF is refused by every writer, which writes nothing.
  EXPECT_EQ(0, whole.SetFieldItemsValue("g", "2\nend", true));
  std::string out = "kept";
  EXPECT_EQ(kResDataValueHasLineFeed, whole.GetDataSize());
  EXPECT_EQ(kResDataValueHasLineFeed, whole.EditRecord(&out, nullptr));
  EXPECT_EQ("kept", out);
  whole.firstElementFieldItems();
  char* text = reinterpret_cast<char*>(1);
  EXPECT_EQ(kResDataValueHasLineFeed, whole.EditFieldItems(&text));
  EXPECT_EQ(nullptr, text);
}

}  // namespace
