// Directory walks and deletion, the size cap, directory creation and the
// log.
#include "common/comfile.h"
#include "common/comfile_seam.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/com.h"
#include "common/comguard.h"
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

// Below the bound home no link is followed, by either way of resolving: each
// call fails (ELOOP, the link named; EXDEV for "..") or, for the deletions,
// removes the link itself, and nothing outside the home changes. Outside
// the home, and for the home's own path, links are followed as before.
TEST(ComFileTest, BelowTheHomeNoLinkIsFollowed) {
  const int kCreate = O_WRONLY | O_CREAT | O_TRUNC;
  struct Case {
    const char* what;
    std::function<int(const std::string& home)> call;  // home: its path
    int want;                                          // the call's result
    int err;                                           // errno when want is -1
    const char* link;  // the refused link, relative to the home ("" none)
    std::vector<std::string> gone = {};  // entries below the home that go
  };
  auto open = [](const std::string& path, int flags) {
    ComFd fd(comIoOpen(path.c_str(), flags, 0644));
    return fd.ok() ? 0 : -1;
  };
  struct stat st;
  char out[64];
  const Case cases[] = {
      {"read through a file link", [&](auto h) { return open(h + "/fl", O_RDONLY); }, -1, ELOOP,
       "fl"},
      {"create below a folder link", [&](auto h) { return open(h + "/dl/new", kCreate); }, -1,
       ELOOP, "dl"},
      {"create over a file link", [&](auto h) { return open(h + "/d/fl", kCreate); }, -1, ELOOP,
       "d/fl"},
      {"stat below a folder link", [&](auto h) { return comIoStat((h + "/dl/victim").c_str(), &st); },
       -1, ELOOP, "dl"},
      {"size of a file link", [&](auto h) { return comFileGetSize((h + "/fl").c_str()); }, -1,
       ELOOP, "fl"},
      {"mkdir below a folder link", [&](auto h) { return comIoMkdir((h + "/dl/x").c_str(), 0755); },
       -1, ELOOP, "dl"},
      {"unlink below a folder link", [&](auto h) { return comIoUnlink((h + "/dl/victim").c_str()); },
       -1, ELOOP, "dl"},
      {"rename into a folder link",
       [&](auto h) { return comIoRename((h + "/d/f").c_str(), (h + "/dl/f").c_str()); }, -1, ELOOP,
       "dl"},
      {"list a folder link", [&](auto h) { return comIoOpenDir((h + "/dl").c_str()) ? 0 : -1; }, -1,
       ELOOP, "dl"},
      {"walk over a link", [&](auto h) { return comDirSaveFileName((h + "/d").c_str(), out, nullptr); },
       -1, ELOOP, "d/fl"},
      {"lock-create below a folder link",
       [&](auto h) { return comLockFileWrite((h + "/dl/x/y").c_str(), 1, 0) >= 0 ? 0 : -1; }, -1,
       ELOOP, "dl"},
      {"back up into a folder link",
       [&](auto h) {
         ComFd fd(comFileBackUp((h + "/d/f").c_str(), (h + "/dl/b").c_str(), 1, 0, false, 0));
         return fd.ok() ? 0 : -1;
       },
       -1, ELOOP, "dl"},
      {"a way out through ..", [&](auto h) { return open(h + "/d/../../out/victim", O_RDONLY); },
       -1, EXDEV, ""},
      {"delete a tree with links", [&](auto h) { return comDirDelete((h + "/d").c_str(), nullptr); },
       0, 0, "", {"d", "d/f", "d/fl"}},
      {"delete entries that are links", [&](auto h) { return comFileDelete(h.c_str(), "", nullptr); },
       0, 0, "", {"d", "d/f", "d/fl", "dl", "fl"}},
      {"the home's own link", [&](auto h) { return open(h + "-link/d/f", O_RDONLY); }, 0, 0, ""},
      {"outside the home",
       [&](auto h) { return open(h.substr(0, h.rfind('/')) + "/outlink", O_RDONLY); }, 0, 0, ""},
  };
  for (bool walk : {false, true}) {
    comIoResolveByWalk(walk);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (walk ? " (walk)" : " (openat2)"));
      TempDir root;
      const std::string home = root.Path("home");
      MakeTree(root.path(), {"out/", "out/victim", "home/", "home/d/", "home/d/f"});
      for (const auto& [link, target] : {std::pair<std::string, std::string>{"home/dl", "out"},
                                         {"home/fl", "out/victim"},
                                         {"home/d/fl", "out/victim"},
                                         {"home-link", "home"},
                                         {"outlink", "out/victim"}}) {
        ASSERT_EQ(symlink(root.Path(target).c_str(), root.Path(link).c_str()), 0);
      }
      const auto outside = Snapshot(root.Path("out"));
      auto below = Snapshot(home);
      comHomeBind(home.c_str());
      if (c.what == std::string("the home's own link")) comHomeBind((home + "-link").c_str());
      errno = 0;
      EXPECT_EQ(c.call(home), c.want);
      EXPECT_EQ(c.want == -1 ? errno : 0, c.err);
      const std::string refused = *c.link ? comHomeBound() + std::string("/") + c.link : "";
      EXPECT_EQ(comHomeRefusedLink(), refused);
      comHomeBind(nullptr);
      EXPECT_EQ(Snapshot(root.Path("out")), outside);
      for (const std::string& name : c.gone) below.erase(name);
      EXPECT_EQ(Snapshot(home), below);
    }
  }
  comIoResolveByWalk(false);
}

// A folder swapped for a link between two calls of one operation (here by
// the seam, right before the create) is refused by the call after the swap.
TEST(ComFileTest, AFolderSwappedForALinkMidwayIsRefused) {
  static TempDir* root;
  TempDir dir;
  root = &dir;
  MakeTree(dir.path(), {"out/", "home/", "home/d/", "home/d/f"});
  comHomeBind(dir.Path("home").c_str());
  static const ComIoHooks swap = {
      [](const ComIoCall& call) {
        if (call.op == kComIoCreate) {
          rename(root->Path("home/d").c_str(), root->Path("moved").c_str());
          symlink(root->Path("out").c_str(), root->Path("home/d").c_str());
        }
        return 0;
      },
      nullptr};
  comSetIoHooks(&swap);
  ComFd backup(comFileBackUp(dir.Path("home/d/f").c_str(), dir.Path("home/d/f.bak").c_str(), 1,
                             0, false, 0));
  comSetIoHooks(nullptr);
  comHomeBind(nullptr);
  EXPECT_FALSE(backup.ok());
  EXPECT_EQ(errno, ELOOP);
  EXPECT_TRUE(Snapshot(dir.Path("out")).empty());
}

}  // namespace
