// The record text format: line rules, the written form, round trips, offsets,
// chunked input, and the wanted and required IDs.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "s3/cs3data.h"
#include "tests/s3/cs3data_testing.h"

namespace {

const char kWorkedExample[] =
    "object 1\n"
    "Name=Nightly copy\n"
    "execute=copy.sh\n"
    "memo=first line\n"
    "\tsecond line\n"
    "object members\n"
    "_item=3\n"
    "_item=7\n"
    "end\n"
    "end\n"
    "object 2\n"
    "Name=Report\n"
    "execute=\n"
    "end\n";

struct FormatCase {
  const char* name;
  std::string input;
  const char* parsed;   // Describe() of the parse
  const char* written;  // null: the input itself
};

const std::vector<FormatCase>& FormatCases() {
  static const std::vector<FormatCase> cases = {
      {"worked example", kWorkedExample,
       "1{Name=Nightly copy|execute=copy.sh|memo=first line\\nsecond line|[members:3,7]}"
       "2{Name=Report|execute=}",
       nullptr},
      {"index record", "object 1\n_lastid=2\n_item=1\n_item=2\nend\n",
       "1{_lastid=2|_item=1|_item=2}", nullptr},
      {"object alone is record 1", "object\na=1\nend\n", "1{a=1}", "object 1\na=1\nend\n"},
      {"object with more words outside is ignored", "objects 5\nobject 6 x y\nend\n", "6{}",
       "object 6\nend\n"},
      {"objectx inside starts a group named by its second word",
       "object 1\nobjectives goals\nk=v\nend\nend\n", "1{[goals:v]}",
       "object 1\nobject goals\n_item=v\nend\nend\n"},
      {"end with text ends, endx is a field", "object 1\nendx=1\nend of it\nobject 2\nend\n",
       "1{endx=1}2{}", "object 1\nendx=1\nend\nobject 2\nend\n"},
      {"leading spaces and CR dropped", "  object 4\r\n   a=1\r\n end\r\n", "4{a=1}",
       "object 4\na=1\nend\n"},
      {"two = and empty value", "object 1\nf=a=b\ng=\nend\n", "1{f=a=b|g=}", nullptr},
      {"value ending with LF", "object 1\nf=x\n\t\nend\n", "1{f=x\\n}", nullptr},
      {"CR inside a value is not written", "object 1\nf=a\rb\nend\n", "1{f=a\rb}",
       "object 1\nf=ab\nend\n"},
      {"tab line without a field is a field", "object 1\n\tt=1\nf=2\n\tmore\nend\n",
       "1{\tt=1|f=2\\nmore}", nullptr},
      {"group values are named _item", "object 1\nobject g\nx=1\ny=2\nend\nend\n", "1{[g:1,2]}",
       "object 1\nobject g\n_item=1\n_item=2\nend\nend\n"},
      {"unnamed group", "object 1\nobject\n_item=\nend\nend\n", "1{[:]}",
       "object 1\nobject \n_item=\nend\nend\n"},
      {"fields after a group are written before it",
       "object 1\nobject g\n_item=1\nend\nf=2\n\tcont\nend\n", "1{f=2\\ncont|[g:1]}",
       "object 1\nf=2\n\tcont\nobject g\n_item=1\nend\nend\n"},
      {"text outside records dropped", "junk\n\nobject 1\nend\nmore junk\n", "1{}",
       "object 1\nend\n"},
      {"missing end", "object 1\na=1\n", "1{a=1}", "object 1\na=1\nend\n"},
      {"unterminated last line never parsed", "object 1\na=1\nb=2", "1{a=1}",
       "object 1\na=1\nend\n"},
      {"line without = is a name", "object 1\nflag\nend\n", "1{flag=}", "object 1\nflag=\nend\n"},
      {"line beginning with = has the empty name", "object 1\n=v\nend\n", "1{=v}", nullptr},
      {"NUL ends the line", std::string("object 1\na=x\0yz\nend\0junk\nb=2\nend\n", 33), "1{a=x}",
       "object 1\na=x\nend\n"},
      {"IDs, group names and group values keep a CR that was not last; the writer drops it",
       "object 5\r\r\nobject g\r\r\n_item=3\r\r\nend\nend\nobject \r\r\nend\n",
       "5\r{[g\r:3\r]}\r{}", "object 5\nobject g\n_item=3\nend\nend\nobject 1\nend\n"},
      {"names and IDs keep 63 characters",
       "object " + std::string(70, '9') + "\n" + std::string(70, 'n') + "=v\nend\n", nullptr,
       nullptr},
  };
  return cases;
}

TEST(CS3DataFormat, ParsesAndWritesBack) {
  for (const FormatCase& c : FormatCases()) {
    SCOPED_TRACE(c.name);
    CS3Data data;
    ASSERT_EQ(0, s3DataParse(&data, c.input.data(), c.input.size(), nullptr, nullptr));
    if (c.parsed != nullptr) {
      EXPECT_EQ(c.parsed, Describe(data));
    }
    std::string written = Written(&data);
    if (c.written != nullptr || c.parsed != nullptr) {
      EXPECT_EQ(c.written != nullptr ? c.written : c.input, written);
    }
    // What was written reads back to itself (unless it holds a CR before an
    // LF, which the reader drops).
    CS3Data again;
    ASSERT_EQ(0, s3DataParse(&again, written.data(), written.size(), nullptr, nullptr));
    if (written.find("\r\n") == std::string::npos) {
      EXPECT_EQ(written, Written(&again));
    }
  }
}

TEST(CS3DataFormat, LongNamesAndIdsAreCut) {
  std::string in = "object " + std::string(70, '9') + "\n" + std::string(70, 'n') + "=v\nend\n";
  CS3Data data;
  ASSERT_EQ(0, s3DataParse(&data, in.data(), in.size(), nullptr, nullptr));
  EXPECT_EQ(std::string(63, '9'), data.items->id);
  EXPECT_EQ(std::string(63, 'n'), data.items->fields->name);
  EXPECT_EQ(2147483647, data.GetLastID());  // clamped, not undefined
}

// Every case fed in two chunks at every split point, and byte by byte, gives
// the same records, offsets and written text as one chunk.
TEST(CS3DataFormat, ChunkBoundariesDoNotMatter) {
  for (const FormatCase& c : FormatCases()) {
    SCOPED_TRACE(c.name);
    CS3Data whole;
    ASSERT_EQ(0, s3DataParse(&whole, c.input.data(), c.input.size(), nullptr, nullptr));
    std::string expected = Describe(whole);
    std::vector<long> offsets;
    for (const _ST_Item* r = whole.items; r != nullptr; r = r->next) {
      offsets.push_back(r->filePointer);
      offsets.push_back(r->nextFilePointer);
    }
    for (size_t split = 0; split <= c.input.size() + 1; ++split) {
      CS3Data data;
      CS3DataParser parser(&data, nullptr, nullptr);
      if (split <= c.input.size()) {
        ASSERT_EQ(0, parser.Feed(c.input.data(), split));
        ASSERT_EQ(0, parser.Feed(c.input.data() + split, c.input.size() - split));
      } else {
        for (char ch : c.input) {
          ASSERT_EQ(0, parser.Feed(&ch, 1));
        }
      }
      ASSERT_EQ(0, parser.Finish()) << split;
      EXPECT_EQ(expected, Describe(data)) << split;
      std::vector<long> got;
      for (const _ST_Item* r = data.items; r != nullptr; r = r->next) {
        got.push_back(r->filePointer);
        got.push_back(r->nextFilePointer);
      }
      EXPECT_EQ(offsets, got) << split;
    }
  }
}

TEST(CS3DataFormat, RecordOffsets) {
  const std::string in = "junk\n  object 1\r\na=1\r\nend\r\nobject 2\nb=2\n";
  CS3Data data;
  ASSERT_EQ(0, s3DataParse(&data, in.data(), in.size(), nullptr, nullptr));
  ASSERT_EQ(2, data.GetCount());
  EXPECT_EQ(7, data.GetStartPoint());  // the "o" after the two spaces
  EXPECT_EQ(27, data.GetNextPoint());  // just past "end\r\n"
  data.nextElement();
  EXPECT_EQ(27, data.GetStartPoint());
  EXPECT_EQ(static_cast<long>(in.size()), data.GetNextPoint());  // no end line
}

struct SelectCase {
  const char* name;
  const char* input;
  const char* wanted;
  const char* required;
  int result;
  const char* records;  // ids collected, in order
  int lastId;
};

TEST(CS3DataFormat, WantedAndRequiredIds) {
  const char* three = "object 3\na=3\nend\nobject 7\na=7\nend\nobject 9\na=9\nend\n";
  const SelectCase cases[] = {
      {"wanted found", three, "7", nullptr, 0, "7", 7},
      {"wanted missing", three, "8", nullptr, kResNoEntry, "", 0},
      {"wanted compared as text", "object 01\nend\n", "1", nullptr, kResNoEntry, "", 0},
      {"wanted without end", "object 3\nend\nobject 7\na=1\n", "7", nullptr, 0, "7", 7},
      {"object inside a foreign record", "object 3\nobject 7\nend\nobject 7\nend\n", "7", nullptr,
       0, "7", 7},
      {"required met", three, nullptr, "9", 0, "379", 9},
      {"required missing", three, nullptr, "8", kResNoEntry, "379", 9},
      {"required is text", "object 1\nend\n", nullptr, "01", kResNoEntry, "1", 1},
      {"record line without ID does not meet required 1", "object\nend\n", nullptr, "1",
       kResNoEntry, "1", 1},
      {"empty wanted reads all", three, "", nullptr, 0, "379", 9},
      {"empty input", "", nullptr, nullptr, kResNoEntry, "", 0},
      {"only junk", "a=1\nend\n", nullptr, nullptr, kResNoEntry, "", 0},
  };
  for (const SelectCase& c : cases) {
    SCOPED_TRACE(c.name);
    CS3Data data;
    EXPECT_EQ(c.result, s3DataParse(&data, c.input, strlen(c.input), c.wanted, c.required));
    std::string ids;
    for (const _ST_Item* r = data.items; r != nullptr; r = r->next) ids += r->id;
    EXPECT_EQ(c.records, ids);
    EXPECT_EQ(c.lastId, data.GetLastID());
  }
}

TEST(CS3DataFormat, WantedRecordStopsTheFeed) {
  const std::string in = "object 3\nend\nobject 7\na=1\nend\nobject 9\nend\n";
  CS3Data data;
  CS3DataParser parser(&data, "7", nullptr);
  EXPECT_EQ(CS3DataParser::kGoOn, parser.Feed(in.data(), 20));
  EXPECT_EQ(CS3DataParser::kDone, parser.Feed(in.data() + 20, in.size() - 20));
  EXPECT_EQ(CS3DataParser::kDone, parser.Feed("object 8\nend\n", 13));
  EXPECT_EQ(0, parser.Finish());
  EXPECT_EQ("7{a=1}", Describe(data));
  EXPECT_EQ(13, data.GetStartPoint());
  EXPECT_EQ(30, data.GetNextPoint());
}

TEST(CS3DataFormat, SaveFieldNamesLimitFieldsAndGroups) {
  const std::string in =
      "object 1\nkeep=1\nskip=2\n\tskipped too\nobject keep\n_item=a\nend\n"
      "object other\n_item=b\nend\nend\n";
  CS3Data data;
  ASSERT_EQ(0, data.SetSaveFieldName("keep"));
  ASSERT_EQ(0, s3DataParse(&data, in.data(), in.size(), nullptr, nullptr));
  EXPECT_EQ("1{keep=1|[keep:a]}", Describe(data));
}

TEST(CS3DataFormat, LongLinesAndManyContinuationLines) {
  std::string in = "object 1\nbig=" + std::string(1 << 20, 'x') + "\n";
  for (int i = 0; i < 10000; ++i) in += "\tline\n";
  in += "end\n";
  CS3Data data;
  CS3DataParser parser(&data, nullptr, nullptr);
  for (size_t at = 0; at < in.size(); at += 8192) {
    ASSERT_EQ(0, parser.Feed(in.data() + at, std::min<size_t>(8192, in.size() - at)));
  }
  ASSERT_EQ(0, parser.Finish());
  EXPECT_EQ((1u << 20) + 10000 * 5, data.items->fields->valueLength);
  EXPECT_EQ(in, Written(&data));
}

TEST(CS3DataFormat, OutOfMemoryKeepsWhatWasParsed) {
  std::string in;
  for (int i = 1; i <= 200; ++i) in += "object " + std::to_string(i) + "\nf=value\nend\n";
  CS3Data data;
  data.SetMemoryLimit(8192);
  EXPECT_EQ(kResNoMemory, s3DataParse(&data, in.data(), in.size(), nullptr, nullptr));
  EXPECT_GT(data.GetCount(), 0);
  EXPECT_LT(data.GetCount(), 200);
  data.init();
  EXPECT_EQ(0, data.GetCount());
}

}  // namespace
