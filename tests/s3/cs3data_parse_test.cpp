// The record text format: line rules, the written form, round trips, offsets,
// chunked input, and the wanted and required IDs.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "s3/cs3data.h"
#include "s3/cs3data_parse.h"
#include "tests/s3/cs3data_testing.h"

namespace {

// Parses `in` whole for split 0, else in two chunks cut at split - 1, or byte
// by byte once the cut is past the end; SplitsOf(in) counts every way.
int ParseSplit(CS3Data* data, const std::string& in, size_t split, const char* wanted = nullptr,
               const char* required = nullptr) {
  if (split == 0) return s3DataParse(data, in.data(), in.size(), wanted, required);
  CS3DataParser parser(data, wanted, required);
  const size_t cut = split - 1;
  int fed = 0;
  if (cut <= in.size()) {
    fed = parser.Feed(in.data(), cut);
    if (fed >= 0) fed = parser.Feed(in.data() + cut, in.size() - cut);
  } else {
    for (size_t i = 0; i < in.size() && fed >= 0; ++i) fed = parser.Feed(&in[i], 1);
  }
  if (wanted == nullptr) {
    EXPECT_EQ(CS3DataParser::kGoOn, fed) << split;  // only a wanted record stops the feed
  }
  EXPECT_LE(0, fed) << split;
  return parser.Finish();
}
size_t SplitsOf(const std::string& in) { return in.size() + 3; }

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
  std::string parsed;   // Describe() of the parse
  std::string written;  // empty: the input itself
};

const std::vector<FormatCase>& FormatCases() {
  const auto s = [](size_t n, char c) { return std::string(n, c); };
  const std::string head1 = "object 1\n" + s(15, 'a') + "=" + s(32, 'v') + "\n" + s(16, 'b') + "=" +
                            s(17, 'w') + "\nend_time=" + s(31, '5');
  const std::string joined[] = {"joined onto g, a line of some length",
                                "joined onto g inside the group", "joined onto g after the group"};
  static const std::vector<FormatCase> cases = {
      {"worked example", kWorkedExample,
       "1{Name=Nightly copy|execute=copy.sh|memo=first line\\nsecond line|[members:3,7]}"
       "2{Name=Report|execute=}",
       ""},
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
      {"two = and empty value", "object 1\nf=a=b\ng=\nend\n", "1{f=a=b|g=}", ""},
      {"value ending with LF", "object 1\nf=x\n\t\nend\n", "1{f=x\\n}", ""},
      {"CR inside a value is not written", "object 1\nf=a\rb\nend\n", "1{f=a\rb}",
       "object 1\nf=ab\nend\n"},
      {"tab line without a field is a field", "object 1\n\tt=1\nf=2\n\tmore\nend\n",
       "1{\tt=1|f=2\\nmore}", ""},
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
      {"line beginning with = has the empty name", "object 1\n=v\nend\n", "1{=v}", ""},
      {"NUL ends the line", std::string("object 1\na=x\0yz\nc=w\0\0v\nend\0junk\nb=2\nend\n", 40),
       "1{a=x|c=w}", "object 1\na=x\nc=w\nend\n"},
      {"IDs, group names and group values keep a CR that was not last; the writer drops it",
       "object 5\r\r\nobject g\r\r\n_item=3\r\r\nend\nend\nobject \r\r\nend\n",
       "5\r{[g\r:3\r]}\r{}", "object 5\nobject g\n_item=3\nend\nend\nobject 1\nend\n"},
      // Lines long enough for the single-pass store of value lines: names of
      // 15 and 16 bytes, values ending on and off the copy's 32-byte steps, look-alikes
      // of "end" and "object" at the start of lines, CRs, a NUL, and
      // continuation lines joined after a group or inside one.
      {"long value lines",
       head1 + "\nobjection=" + s(20, 'o') + "\n=" + s(20, 'e') +
           "\nend\nend of record 1=yes\nobject 2\nflag\nv=" + s(20, 'v') + "\nend\n",
       "1{" + s(15, 'a') + "=" + s(32, 'v') + "|" + s(16, 'b') + "=" + s(17, 'w') +
           "|end_time=" + s(31, '5') + "|[:" + s(20, 'e') + "]}2{flag=|v=" + s(20, 'v') + "}",
       head1 + "\nobject \n_item=" + s(20, 'e') + "\nend\nend\nobject 2\nflag=\nv=" + s(20, 'v') +
           "\nend\n"},
      {"long lines with CR, NUL and joins",
       "object 1\nf=" + s(20, 'x') + "\r\n\t" + s(20, 'y') + "\r\ng=" + s(18, 'z') + s(1, '\0') +
           s(20, 'q') + "\n\t" + joined[0] + "\n\tcut" + s(1, '\0') + s(20, 'c') +
           "\nobject grp\n_item=" + s(20, '1') + "\n\t" + joined[1] + "\nend\n\t" + joined[2] +
           "\nh=" + s(20, 'h') + "\nend\n",
       "1{f=" + s(20, 'x') + "\\n" + s(20, 'y') + "|g=" + s(18, 'z') + "\\n" + joined[0] +
           "\\ncut\\n" + joined[1] + "\\n" + joined[2] + "|h=" + s(20, 'h') +
           "|[grp:" + s(20, '1') + "]}",
       "object 1\nf=" + s(20, 'x') + "\n\t" + s(20, 'y') + "\ng=" + s(18, 'z') + "\n\t" +
           joined[0] + "\n\tcut\n\t" + joined[1] + "\n\t" + joined[2] + "\nh=" + s(20, 'h') +
           "\nobject grp\n_item=" + s(20, '1') + "\nend\nend\n"},
  };
  return cases;
}

// Every case also fed in two chunks at every split point, and byte by byte,
// gives the same records, offsets and written text as one chunk.
TEST(CS3DataFormat, ParsesAndWritesBackAtAnyChunkBoundary) {
  for (const FormatCase& c : FormatCases()) {
    SCOPED_TRACE(c.name);
    CS3Data whole;
    ASSERT_EQ(0, s3DataParse(&whole, c.input.data(), c.input.size(), nullptr, nullptr));
    EXPECT_EQ(c.parsed, Describe(whole));
    for (size_t split = 1; split < SplitsOf(c.input); ++split) {
      CS3Data data;
      ASSERT_EQ(0, ParseSplit(&data, c.input, split)) << split;
      EXPECT_EQ(Describe(whole), Describe(data)) << split;
      EXPECT_EQ(Offsets(whole), Offsets(data)) << split;
    }
    std::string written = Written(&whole);
    EXPECT_EQ(c.written.empty() ? c.input : c.written, written);
    // What was written reads back to itself (unless it holds a CR before an
    // LF, which the reader drops).
    CS3Data again;
    ASSERT_EQ(0, s3DataParse(&again, written.data(), written.size(), nullptr, nullptr));
    if (written.find("\r\n") == std::string::npos) {
      EXPECT_EQ(written, Written(&again));
    }
  }
}

struct SelectCase {
  const char* name;
  std::string input;
  const char* wanted;
  const char* required;
  int result;
  std::string records;  // Describe() of the records collected
  int lastId;
  std::vector<long> offsets;
};

// Records that are not collected are passed over up to their first "end"
// line, and text outside records up to the next record line, looking only
// at the lines that can be one of those: each case holds look-alikes of
// both, with spaces, CRs, NULs, tabs and long lines around them, and is also
// fed in two chunks at every split point and byte by byte.
TEST(CS3DataFormat, WantedAndRequiredIds) {
  const std::string three = "object 3\na=3\nend\nobject 7\na=7\nend\nobject 9\na=9\nend\n";
  const std::string longLines = "object 3\nvalue=" + std::string(40, 'x') + "\nenough=" +
                                std::string(30, 'y') + "\n\tend of the text\n   end\n" +
                                "a line outside the records, then one of only spaces\n" +
                                std::string(20, ' ') + "\nobject 7\nv=" + std::string(20, 'z') +
                                "\nend\n";
  const SelectCase cases[] = {
      {"wanted found", three, "7", nullptr, 0, "7{a=7}", 7, {17, 34}},
      {"wanted missing", three, "8", nullptr, kResNoEntry, "", 0, {}},
      {"wanted compared as text", "object 01\nend\n", "1", nullptr, kResNoEntry, "", 0, {}},
      {"wanted without end", "object 3\nend\nobject 7\na=1\n", "7", nullptr, 0, "7{a=1}", 7,
       {13, 26}},
      {"wanted whose end line is not ended", "object 3\nend\nobject 7\nend", "7", nullptr, 0,
       "7{}", 7, {13, 25}},
      {"object inside a foreign record", "object 3\nobject 7\nend\nobject 7\nend\n", "7", nullptr,
       0, "7{}", 7, {22, 35}},
      {"a foreign record ends at the end line of its group",
       "object 3\nobject g\n_item=1\nend\nobject 7\nend\nend\nobject 7\nb=2\nend\n", "7", nullptr,
       0, "7{}", 7, {30, 43}},
      {"end look-alikes in a foreign record",
       std::string("object 3\nendx=1\nen\n\tend\n=end\n\0end\nend\0x\nobject 7\0 8\nend\n", 56), "7",
       nullptr, 0, "7{}", 7, {40, 56}},
      {"end with spaces and CR in a foreign record", "object 3\r\n  end \r\nobject 7\r\nend\r\n",
       "7", nullptr, 0, "7{}", 7, {18, 33}},
      {"record line look-alikes outside",
       "objects 7\nobj 7\n  object 77\nend\n\t object 7\nob\nobject  7 x\r\na=1\nend\n", "7",
       nullptr, 0, "7{a=1}", 7, {46, 67}},
      {"long lines", longLines, "7", nullptr, 0, "7{v=zzzzzzzzzzzzzzzzzzzz}", 7,
       {191, 227}},
      {"required met", three, nullptr, "9", 0, "3{a=3}7{a=7}9{a=9}", 9, {0, 17, 17, 34, 34, 51}},
      {"required met past text outside records",
       "junk\n  \nobject 3\nend\nobligatory junk\n obviously\nobject 7\nend\n", nullptr, "7", 0,
       "3{}7{}", 7, {8, 21, 48, 61}},
      {"required missing", three, nullptr, "8", kResNoEntry, "3{a=3}7{a=7}9{a=9}", 9,
       {0, 17, 17, 34, 34, 51}},
      {"required is text", "object 1\nend\n", nullptr, "01", kResNoEntry, "1{}", 1, {0, 13}},
      {"record line without ID does not meet required 1", "object\nend\n", nullptr, "1",
       kResNoEntry, "1{}", 1, {0, 11}},
      {"empty wanted reads all", three, "", nullptr, 0, "3{a=3}7{a=7}9{a=9}", 9,
       {0, 17, 17, 34, 34, 51}},
      {"names and IDs keep 63 characters; the last ID is clamped",
       "object " + std::string(70, '9') + "\n" + std::string(70, 'n') + "=v\nend\n", nullptr,
       nullptr, 0, std::string(63, '9') + "{" + std::string(63, 'n') + "=v}", 2147483647,
       {0, 155}},
      {"empty input", "", nullptr, nullptr, kResNoEntry, "", 0, {}},
      {"only junk", "a=1\nend\n", nullptr, nullptr, kResNoEntry, "", 0, {}},
      // Starts at the "o" after the spaces, ends just past "end\r\n" or, with
      // no end line, at the end of the input.
      {"offsets past spaces and CRs", "junk\n  object 1\r\na=1\r\nend\r\nobject 2\nb=2\n", nullptr,
       nullptr, 0, "1{a=1}2{b=2}", 2, {7, 27, 27, 40}},
  };
  for (const SelectCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (size_t split = 0; split < SplitsOf(c.input); ++split) {
      CS3Data data;
      const int r = ParseSplit(&data, c.input, split, c.wanted, c.required);
      EXPECT_EQ(c.result, r) << split;
      EXPECT_EQ(c.records, Describe(data)) << split;
      EXPECT_EQ(c.lastId, data.GetLastID()) << split;
      EXPECT_EQ(c.offsets, Offsets(data)) << split;
    }
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
