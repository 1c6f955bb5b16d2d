// Text checks, path splitting, file locks between processes, and backup
// copies.
#include "common/com.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/fake_clock.h"
#include "tests/common/temp_dir.h"

namespace {

char g_dataText[8] = "7 \n";  // .data
char g_bssText[8];            // .bss, filled at run time

TEST(ComTextTest, NumberChecksStripInPlace) {
  // The caller's text after comIsNumber and after comIsDouble.
  struct {
    const char* text;
    bool number, decimal;
    const char *after, *afterDouble;
  } const cases[] = {// clang-format off
      {"42 \r\n", 1, 1, "42", "42"},     {"-0", 1, 1, "-0", "-0"},      {"007", 1, 1, "007", "007"},
      {"-", 0, 0, "-", "-"},             {"+5", 0, 0, "+5", "+5"},      {" 5", 0, 0, " 5", " 5"},
      {"5-", 0, 0, "5-", "5-"},          {"  \n", 0, 0, "", ""},        {".5\n", 0, 1, ".5", ".5"},
      {"-0.25", 0, 1, "-0.25", "-0.25"}, {"5. ", 0, 0, "5.", "5."},     {"1.2.3", 0, 0, "1.2.3", "1.2.3"},
      {"1.-2 ", 0, 0, "1.-2", "1.-2 "},  {"1e5", 0, 0, "1e5", "1e5"},   {"1 .5", 0, 1, "1 .5", "1 .5"}};
  // clang-format on
  for (const auto& c : cases) {
    auto a = Exact(c.text), b = Exact(c.text);
    EXPECT_EQ(comIsNumber(a.get()), c.number) << '"' << c.text << '"';
    EXPECT_EQ(comIsDouble(b.get()), c.decimal) << '"' << c.text << '"';
    EXPECT_EQ(std::string(a.get()) + "|" + b.get(), std::string(c.after) + "|" + c.afterDouble);
  }
  EXPECT_FALSE(comIsDouble(nullptr));
  std::string longInt(511, '1');  // the integer part's work buffer holds 511
  EXPECT_TRUE(comIsDouble(Exact(longInt + ".5").get()));
  EXPECT_FALSE(comIsDouble(Exact(longInt + "1.5").get()));
  // Literals are judged as if stripped and never written (that would crash);
  // static and stack arrays are writable and are stripped.
  EXPECT_TRUE(comIsNumber("42\r\n") && comIsDouble("1 .5\n"));
  EXPECT_TRUE(comIsNumber(const_cast<char*>("42\r\n")));
  char stack[8] = "8\r";
  snprintf(g_bssText, sizeof(g_bssText), "9\n");
  EXPECT_TRUE(comIsNumber(g_dataText) && comIsNumber(g_bssText) && comIsNumber(stack));
  EXPECT_EQ(std::string(g_dataText) + g_bssText + stack, "798");
}

TEST(ComTextTest, CompareSearchAndDirName) {
  EXPECT_EQ(_stricmp("Pid", "pid") + _stricmp(nullptr, ""), 0);
  EXPECT_EQ(_stricmp("pid", "pids") + _stricmp("pids", "pid"), -2);
  // `index` -1: no match. A match never starts on a second byte; a lead byte
  // may end the text.
  struct {
    const char *text, *pattern;
    int index;
  } const searches[] = {// clang-format off
      {"abcabc", "ca", 2}, {"abc", "", 0}, {"", "", -1}, {"abc", "abcd", -1},
      {"\x82" "AA", "A", 2}, {"a\x82", "x", -1}, {"a\x82", "\x82", 1},
      {"x\x82\x82\x82", "\x82\x82", 1}};  // clang-format on
  for (const auto& c : searches) {
    auto text = Exact(c.text);
    char* found = comStrStr(text.get(), c.pattern);
    EXPECT_EQ(found == nullptr ? -1 : found - text.get(), c.index) << c.text << " / " << c.pattern;
  }
  EXPECT_EQ(comStrStr("a", nullptr), nullptr);
  // A "/" after a lead byte is its second byte.
  struct {
    const char* path;
    int size;
    const char* dir;
  } const dirs[] = {// clang-format off
      {"/srv/g/data/x", 99, "/srv/g/data"}, {"a/b/", 99, "a/b"}, {"name", 99, ""}, {"/x", 99, ""},
      {"c:x", 99, "c:"}, {"/srv/g/x", 4, "/sr"}, {"/srv/g/x", 1, ""},
      {"a\x82/b/c", 99, "a\x82/b"}, {"ab\x82", 99, ""}};  // clang-format on
  for (const auto& c : dirs) {
    char out[99];
    comGetDirName(Exact(c.path).get(), out, c.size);
    EXPECT_STREQ(out, c.dir) << c.path << " size " << c.size;
  }
}

// Each check of another process's view runs in a HoldingChild: a child does
// not share this process's locks.
TEST(ComLockTest, HeldLockRetriesThenFailsWithEacces) {
  TempDir dir;
  std::string path = dir.Path("record");
  int held = comLockFileWrite(path.c_str(), 1, 0);
  // Scripted signals that end waits early do not change the number of tries.
  struct {
    int attempts, wait;
    std::vector<unsigned> interrupts, sleeps;
  } const cases[] = {{0, 5, {}, {}}, {1, 0, {}, {}}, {3, 2, {}, {2, 2}}, {4, 5, {0, 1}, {5, 5, 5}}};
  for (const auto& c : cases) {
    EXPECT_TRUE(HoldingChild([&] {
      FakeClock clock;
      ScopedClock installed(&clock);
      for (unsigned after : c.interrupts) clock.InterruptSleepAfter(after);
      bool write = comLockFileWrite(path.c_str(), c.attempts, c.wait) == -1 && errno == EACCES;
      bool read = comLockFileRead(path.c_str(), 1, 0, false) == -1 && errno == EACCES;
      return write && read && clock.sleeps() == c.sleeps;
    }).held()) << c.attempts
        << " attempts, wait " << c.wait;
  }
  // Readers sharing, a reader excluding a writer and the share mode are shown
  // through the record accessor, between processes.
  close(held);
}

// Reading a missing file creates nothing and a write lock makes the missing
// directories: the record store's tests show both.
TEST(ComLockTest, OpenRules) {
  TempDir dir;
  WriteFile(dir.Path("plain"), "");
  EXPECT_EQ(comLockFileWrite(dir.Path("plain/x/record").c_str(), 1, 0), -1);
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_EQ(comLockFileWriteShare(dir.Path("none").c_str(), 1, 0, O_RDWR), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(ComLockTest, BackUpAndCopy) {
  TempDir dir;
  std::string source = dir.Path("record"), backup = dir.Path("tmp/temp1.1");  // tmp is made
  // Empty, and longer than one copy chunk; a stale longer backup is replaced.
  for (std::string content : {std::string(), std::string(25000, 'q')}) {
    WriteFile(source, content);
    if (PathExists(backup)) WriteFile(backup, std::string(30000, 's'));
    int fd = comFileBackUp(source.c_str(), backup.c_str(), 1, 0, false, 0);
    EXPECT_EQ(ReadFile(backup), content);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);
    EXPECT_TRUE(HoldingChild([&] {
      std::string other = backup + "x";
      return comFileBackUp(source.c_str(), other.c_str(), 2, 0, false, 0) == -1 &&
             errno == EACCES && !PathExists(other);
    }).held());
    close(fd);
  }
  // A backup path that cannot be a file: failure, and the source's lock ends.
  ASSERT_EQ(unlink(backup.c_str()), 0);
  ASSERT_EQ(mkdir(backup.c_str(), 0755), 0);
  WriteFile(backup + "/x", "");
  EXPECT_EQ(comFileBackUp(source.c_str(), backup.c_str(), 1, 0, true, O_RDWR), -1);
  EXPECT_TRUE(
      HoldingChild([&] { return comLockFileRead(source.c_str(), 1, 0, false) >= 0; }).held());

  std::string target = dir.Path("target");
  WriteFile(target, "keep");
  EXPECT_EQ(comCopyFile(source.c_str(), target.c_str(), 1), 0);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(ReadFile(target), "keep");
  EXPECT_EQ(comCopyFile(source.c_str(), target.c_str(), 0), 1);
  EXPECT_EQ(ReadFile(target), std::string(25000, 'q'));
  // A source that fails to read (a directory) leaves no short copy behind.
  EXPECT_EQ(comCopyFile(dir.c_str(), dir.Path("copy").c_str(), 0), 0);
  EXPECT_EQ(errno, EISDIR);
  EXPECT_FALSE(PathExists(dir.Path("copy")));
}

}  // namespace
