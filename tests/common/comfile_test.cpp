// Directory walks and deletion, the size cap, directory creation and the
// log.
#include "common/comfile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/fake_clock.h"
#include "tests/common/temp_dir.h"

namespace {

// Builds entries under `root`: "name" is a file, "name/" a directory.
void MakeTree(const std::string& root, const std::vector<std::string>& entries) {
  for (const std::string& e : entries) {
    bool isDir = e.back() == '/';
    isDir ? (void)mkdir((root + "/" + e).c_str(), 0755) : WriteFile(root + "/" + e, "x");
  }
}

std::map<std::string, bool> g_seen;  // entry -> isFile
int g_calls_left = 0;

// Declared with a writable entry, as callers of the walk may write it.
int Record(char* entry, char* out, bool isFile) {
  g_seen[entry] = isFile;
  snprintf(out, 2, "w");
  return --g_calls_left == 0 ? 1 : 0;
}

TEST(ComFileTest, Walk) {
  TempDir dir;
  MakeTree(dir.path(), {"f1", "sub/", "sub/inner"});
  ASSERT_EQ(symlink(dir.Path("sub").c_str(), dir.Path("linkdir").c_str()), 0);
  char out[16] = "previous";
  g_calls_left = -1;
  EXPECT_EQ(comDirSaveFileName(dir.c_str(), out, Record), 0);
  std::map<std::string, bool> expected = {
      {"f1", true}, {dir.Path("sub"), false}, {dir.Path("linkdir"), false}};
  EXPECT_EQ(g_seen, expected);
  EXPECT_STREQ(out, "w");
  g_seen.clear();
  g_calls_left = 1;  // stop at the first entry
  EXPECT_EQ(comDirSaveFileName(dir.c_str(), out, Record) + g_seen.size(), 1u);
  EXPECT_EQ(comDirSaveFileName(dir.Path("missing").c_str(), out, Record), -1);
  EXPECT_STREQ(out, "");
  // An entry whose status cannot be read (a link to nothing) fails the walk.
  ASSERT_EQ(symlink(dir.Path("gone").c_str(), dir.Path("dangling").c_str()), 0);
  EXPECT_EQ(comDirSaveFileName(dir.c_str(), out, nullptr), -1);
  EXPECT_EQ(errno, ENOENT);
}

bool KeepNamedKeep(const char* name, bool) {
  return strcmp(name, "keep") != 0;
}

TEST(ComFileTest, DirDelete) {
  TempDir dir;
  MakeTree(dir.path(), {"outside/", "outside/precious", "t/", "t/keep", "t/a", "t/d/",
                        "t/d/keep", "t/d/e/", "t/d/e/f"});
  ASSERT_EQ(symlink(dir.Path("outside").c_str(), dir.Path("t/d/link").c_str()), 0);
  // The predicate sees the top level only; what it selects goes whole.
  EXPECT_EQ(comDirDelete(dir.Path("t").c_str(), KeepNamedKeep), 0);
  EXPECT_TRUE(PathExists(dir.Path("t/keep")));
  EXPECT_FALSE(PathExists(dir.Path("t/a")) || PathExists(dir.Path("t/d")));
  EXPECT_EQ(ReadFile(dir.Path("outside/precious")), "x");  // a link is never followed
  EXPECT_EQ(comDirDelete(dir.Path("t").c_str(), [](char*, bool) { return true; }), 0);
  EXPECT_FALSE(PathExists(dir.Path("t")));
  // A directory that cannot be removed (its parent is read-only) fails the
  // whole deletion, but not a selective one.
  if (geteuid() != 0) {
    MakeTree(dir.path(), {"ro/", "ro/t/", "ro/t/f"});
    ASSERT_EQ(chmod(dir.Path("ro").c_str(), 0500), 0);
    EXPECT_EQ(comDirDelete(dir.Path("ro/t").c_str(), nullptr), -1);
    EXPECT_FALSE(PathExists(dir.Path("ro/t/f")));
    EXPECT_EQ(comDirDelete(dir.Path("ro/t").c_str(), KeepNamedKeep), 0);
  }

  // Nested names of 250 characters: the innermost child path does not fit
  // the 1024-byte work buffer and is refused, not cut.
  std::string deep = dir.path();
  for (char c : {'a', 'b', 'c', 'd'}) {
    deep += "/" + std::string(250, c);
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
  }
  WriteFile(deep + "/file", "x");
  EXPECT_EQ(comDirDelete(dir.Path(std::string(250, 'a')).c_str(), nullptr), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_TRUE(PathExists(deep + "/file"));
}

TEST(ComFileTest, FileDelete) {
  struct {
    const char *prefix, *extension;
    std::vector<std::string> gone, kept;
  } const cases[] = {
      // clang-format off
      {"status", nullptr, {"status.4711", "status", "statusdir"}, {"other", "a.log", "xstatus"}},
      {nullptr, "log", {"a.log"}, {"status", "alog", "a.log.x"}}, {nullptr, ".log", {"a.log"}, {"alog"}},
      {nullptr, nullptr, {"status", "a.log", "statusdir", "other"}, {}}};  // clang-format on
  for (const auto& c : cases) {
    TempDir dir;
    MakeTree(dir.path(), {"status.4711", "status", "statusdir/", "statusdir/x", "other", "a.log",
                          "alog", "a.log.x", "xstatus"});
    EXPECT_EQ(comFileDelete(dir.c_str(), c.prefix, c.extension), 0);
    for (const std::string& name : c.gone) EXPECT_FALSE(PathExists(dir.Path(name))) << name;
    for (const std::string& name : c.kept) EXPECT_TRUE(PathExists(dir.Path(name))) << name;
  }
  EXPECT_EQ(comFileDelete("/nonexistent/dir", "status", nullptr), 0);
}

TEST(ComFileTest, SizeCapAndDirectoryCreation) {
  TempDir dir;
  WriteFile(dir.Path("empty"), "");
  ASSERT_EQ(truncate(dir.Path("empty").c_str(), 3LL << 30), 0);  // sparse 3 GiB: still there
  EXPECT_EQ(comFileGetSize(dir.Path("empty").c_str()), INT_MAX);

  EXPECT_EQ(comDirCreateAll(dir.Path("a/b/c/file.txt").c_str()), 0);
  EXPECT_TRUE(PathExists(dir.Path("a/b/c")) && !PathExists(dir.Path("a/b/c/file.txt")));
  EXPECT_EQ(comDirCreateAll(dir.Path("a/b/c/file.txt").c_str()), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(comDirCreateAll("file.txt"), -1);
}

TEST(ComFileTest, Log) {
  TempDir dir;
  FakeClock clock;
  clock.SetLocal(2026, 12, 4, 3, 20, 47);
  ScopedClock installed(&clock);
  std::string log = dir.Path("log");
  comLogOut("off at start\n");
  EXPECT_FALSE(PathExists(log));
  comLogInit(log.c_str());
  errno = 22;
  comLogOut("signal error[%d]\n", errno);
  EXPECT_EQ(errno, 22);
  comLogOut("%s", std::string(9000, 'm').c_str());  // cut to the line buffer
  EXPECT_EQ(ReadFile(log),
            "2026/12/04 03:20:47 signal error[22]\n2026/12/04 03:20:47 " + std::string(8191, 'm'));
  unlink(log.c_str());
  for (const char* off : {"", static_cast<const char*>(nullptr), "missing/log"}) {
    comLogInit(log.c_str());
    comLogInit(off && *off ? dir.Path(off).c_str() : off);
    comLogOut("nothing\n");
    EXPECT_FALSE(PathExists(log) || PathExists(dir.Path("missing")));
  }
  comLogInit(nullptr);
}

}  // namespace
