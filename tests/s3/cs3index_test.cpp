#include "s3/cs3index.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "s3/cs3data.h"
#include "s3/cs3data_parse.h"
#include "tests/s3/io_testing.h"

namespace {

// A collection in the file "idx" whose index record carries _lastid; each
// element is kept in its own file el/<ID>.
class TestIndex : public CS3Index {
 public:
  int GetFileName(char* out) override {
    snprintf(out, kComPathMax, "idx");
    return 0;
  }
  int GetFieldCount(CS3Data* data) override { return CS3Index::GetFieldCount(data) - 1; }
  CS3Object* Alloc() override { return new TestRecord("el/%d"); }
  bool IsDelete(CS3Object* element) override { return element->GetID() == reject; }

  // The element IDs by slot, 0 for an empty slot.
  std::vector<int> Ids() const {
    std::vector<int> ids;
    for (int i = 0; i < GetElementCount(); ++i) {
      ids.push_back(GetElement(i) != nullptr ? GetElement(i)->GetID() : 0);
    }
    return ids;
  }

  int reject = 0;
};

// An index record listing `ids` ("1 2") after a _lastid entry.
std::string IndexText(const char* ids) { return IndexRec("_lastid=99\n", ids); }

// Fills `index` from an index record held in memory.
int FillFromText(TestIndex* index, const char* ids) {
  CS3Data data;
  const std::string text = IndexText(ids);
  EXPECT_EQ(s3DataParse(&data, text.data(), text.size(), nullptr, nullptr), 0);
  return index->GetFieldValue(&data);
}

TEST(CS3IndexTest, FillFromTheIndexFile) {
  struct Case {
    const char* what;
    std::string content;
    int start, max, reject;
    int want;
    std::vector<int> wantIds;
    bool detail = false;  // each element read from its file el/<ID>
  };
  const Case cases[] = {
      {"only _lastid", Rec("1", "_lastid=4\n"), -1, 0, 0, 0, {}},
      {"no fields: the count is the result", Rec("1", ""), -1, 0, 0, -1, {}},
      {"all entries", IndexText("1 2 3"), -1, 0, 0, 0, {1, 2, 3}},
      {"startRow 2", IndexText("1 2 3 4 5"), 2, 0, 0, 0, {0, 0, 3, 4, 5}},
      {"startRow 2, maxRows 2", IndexText("1 2 3 4 5"), 2, 2, 0, 0, {0, 0, 3, 4}},
      {"IsDelete leaves no gap", IndexText("1 3 5"), -1, 0, 3, 0, {1, 5}},
      {"IsDelete with maxRows", IndexText("1 2 3 4"), -1, 2, 2, 0, {1, 3}},
      {"_lastid between entries", Rec("1", "_item=4\n_lastid=9\n_item=6\n"), -1, 0, 0, 0, {4, 6}},
      {"detail, el/2 missing", IndexText("1 2"), -1, 0, 0, 0, {1, 2}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempHome home;
    PutFile(home.Data("idx"), c.content);
    PutFile(home.Data("el/1"), Rec("1", "Name=one\n"));
    TestIndex index;
    index.SetMaxRow(c.start, c.max);
    index.SetDetail(c.detail);
    index.reject = c.reject;
    EXPECT_EQ(index.Get(), c.want);
    if (c.want == 0) {
      EXPECT_EQ(index.Ids(), c.wantIds);
    }
    // Only a detail read fills the elements; a missing file leaves one empty.
    for (int i = 0; i < index.GetElementCount(); ++i) {
      const auto* e = static_cast<TestRecord*>(index.GetElement(i));
      if (e != nullptr) {
        EXPECT_EQ(e->name, c.detail && e->GetID() == 1 ? "one" : "");
      }
    }
  }
}

TEST(CS3IndexTest, CountingReadKeepsACacheForPagedReads) {
  TempHome home;
  TestIndex index;
  EXPECT_EQ(index.GetCount(), 0);  // no file
  PutFile(home.Data("idx"), IndexText("1 2 3 4 5"));
  ASSERT_EQ(index.GetCount(), 5);
  EXPECT_EQ(index.GetElementCount(), 0);
  // Later reads build from the cache and do not see the file change.
  PutFile(home.Data("idx"), IndexText("8"));
  index.SetMaxRow(2, 2);
  ASSERT_EQ(index.Get(), 0);
  EXPECT_EQ(index.Ids(), (std::vector<int>{0, 0, 3, 4}));
  EXPECT_TRUE(index.IsNoOpen());
  // A new count reads the file again.
  EXPECT_EQ(index.GetCount(), 1);
  index.SetMaxRow(-1, 0);
  ASSERT_EQ(index.Get(), 0);
  EXPECT_EQ(index.Ids(), (std::vector<int>{8}));
  // A count that runs past the entries (the _lastid entry counted too) fails
  // half way as -110, which counts as "no index"; the collection is left
  // empty and usable.
  struct CountsLastId : TestIndex {
    int GetFieldCount(CS3Data* data) override { return CS3Index::GetFieldCount(data); }
  } raw;
  EXPECT_EQ(raw.GetCount(), 0);
  EXPECT_EQ(raw.GetElementCount(), 0);
}

// a != b is true exactly when the two share no ID; moving b into a appends
// its elements and leaves it empty.
TEST(CS3IndexTest, CompareAndMove) {
  struct Case {
    const char *a, *b;
    bool wantUnequal;
    std::vector<int> wantMoved;
  };
  const Case cases[] = {
      {"1 2", "3 4", true, {1, 2, 3, 4}},
      {"1 2", "5 2", false, {1, 2, 5, 2}},
      {"", "3", true, {3}},
      {"1", "", true, {1}},
  };
  for (const Case& c : cases) {
    TestIndex a, b;
    FillFromText(&a, c.a);
    FillFromText(&b, c.b);
    EXPECT_EQ(a != b, c.wantUnequal);
    EXPECT_EQ(b != a, c.wantUnequal);
    EXPECT_EQ(a.AddObjsMove(b, false), 0);
    EXPECT_EQ(a.Ids(), c.wantMoved);
    EXPECT_EQ(b.GetElementCount(), 0);
  }
  TestIndex a;
  FillFromText(&a, "1 2");
  EXPECT_FALSE(a != a);
  EXPECT_FALSE(a != 2);
  EXPECT_TRUE(a != 3);
  EXPECT_TRUE(TestIndex() != 1);
  EXPECT_EQ(a.AddObjsMove(a, false), 0);
  EXPECT_EQ(a.Ids(), (std::vector<int>{1, 2}));
}

TEST(CS3IndexTest, GroupForms) {
  const std::string text = "object 1\nobject members\n_item=3\n_item=7\nend\nend\n";
  CS3Data data;
  ASSERT_EQ(s3DataParse(&data, text.data(), text.size(), nullptr, nullptr), 0);
  TestIndex index;
  EXPECT_EQ(index.GetFieldItemsValue("absent", &data), 0);
  EXPECT_EQ(index.GetElementCount(), 0);
  ASSERT_EQ(index.GetFieldItemsValue("members", &data), 0);
  EXPECT_EQ(index.Ids(), (std::vector<int>{3, 7}));

  TestIndex other;
  FillFromText(&other, "5 1");
  ASSERT_EQ(other.SetFieldItemsValue("members", &data, false), 0);
  std::string written;
  data.firstElement();
  ASSERT_EQ(data.EditRecord(&written, nullptr), 0);
  EXPECT_EQ(written, "object 1\nobject members\n_item=5\n_item=1\nend\nend\n");
}

}  // namespace
