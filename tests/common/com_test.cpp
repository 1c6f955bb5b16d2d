// Text checks, path splitting, the read-only image test, file locks between
// processes, and backup copies.
#include "common/com.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/fake_clock.h"
#include "tests/common/temp_dir.h"

namespace {

// A heap copy of exactly strlen + 1 bytes: the sanitizer build catches any
// read past the terminator.
std::unique_ptr<char[]> Exact(const std::string& text) {
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  memcpy(copy.get(), text.c_str(), text.size() + 1);
  return copy;
}

TEST(ComTextTest, NumberChecksStripInPlace) {
  // `after`: the caller's text after comIsNumber.
  const struct {
    const char* text;
    bool number, decimal;
    const char* after;
  } cases[] = {
      {"42 \r\n", true, true, "42"},  {"-0", true, true, "-0"},
      {"007", true, true, "007"},     {"-", false, false, "-"},
      {"+5", false, false, "+5"},     {" 5", false, false, " 5"},
      {"5-", false, false, "5-"},     {"  \n", false, false, ""},
      {".5", false, true, ".5"},      {"-0.25", false, true, "-0.25"},
      {"5.", false, false, "5."},     {"1.2.3", false, false, "1.2.3"},
      {"1.-2", false, false, "1.-2"}, {"1e5", false, false, "1e5"},
      {"1 .5", false, true, "1 .5"},
  };
  for (const auto& c : cases) {
    auto a = Exact(c.text);
    EXPECT_EQ(comIsNumber(a.get()), c.number) << '"' << c.text << '"';
    EXPECT_STREQ(a.get(), c.after);
    EXPECT_EQ(comIsDouble(Exact(c.text).get()), c.decimal) << '"' << c.text << '"';
  }
  EXPECT_FALSE(comIsDouble(nullptr));
  std::string longInt(511, '1');
  EXPECT_TRUE(comIsDouble(Exact(longInt + ".5").get()));
  EXPECT_FALSE(comIsDouble(Exact(longInt + "1.5").get()));
  // A literal is judged as if stripped and never written (that would crash).
  EXPECT_TRUE(comIsNumber(const_cast<char*>("42\r\n")));
}

TEST(ComTextTest, CompareAndSearch) {
  EXPECT_EQ(_stricmp("Pid", "pid") + _stricmp(nullptr, ""), 0);
  EXPECT_EQ(_stricmp("pid", "pids") + _stricmp("pids", "pid"), -2);
  // `index` -1: no match.
  const struct {
    const char* text;
    const char* pattern;
    int index;
  } cases[] = {
      {"abcabc", "ca", 2},
      {"abc", "", 0},
      {"", "", -1},
      {"abc", "abcd", -1},
      {"\x82"
       "AA",
       "A", 2},
      {"a\x82", "x", -1},
      {"a\x82", "\x82", 1},
      {"x\x82\x82\x82", "\x82\x82", 1},
  };  // a match never starts on a second byte; a lead byte may end the text
  for (const auto& c : cases) {
    auto text = Exact(c.text);
    char* found = comStrStr(text.get(), c.pattern);
    EXPECT_EQ(found == nullptr ? -1 : found - text.get(), c.index) << c.text << " / " << c.pattern;
  }
  EXPECT_EQ(comStrStr("a", nullptr), nullptr);
}

TEST(ComTextTest, GetDirName) {
  const struct {
    const char* path;
    int size;
    const char* dir;
  } cases[] = {
      {"/srv/g/data/x", 1024, "/srv/g/data"},
      {"a/b/", 1024, "a/b"},
      {"name", 1024, ""},
      {"/x", 1024, ""},
      {"c:x", 1024, "c:"},
      {"/srv/g/x", 4, "/sr"},
      {"/srv/g/x", 1, ""},
      {"a\x82/b/c", 1024, "a\x82/b"},
      {"ab\x82", 1024, ""},
  };  // a "/" after a lead byte is a second byte
  for (const auto& c : cases) {
    char out[1024];
    comGetDirName(Exact(c.path).get(), out, c.size);
    EXPECT_STREQ(out, c.dir) << c.path << " size " << c.size;
  }
}

char g_staticText[16] = "static";
char g_zeroText[16];

TEST(ComTextTest, WritableText) {
  char stack[8] = "stack";
  static const char kConstTable[] = "const";
  EXPECT_FALSE(comIsWritableText("literal"));
  EXPECT_FALSE(comIsWritableText(kConstTable));
  EXPECT_FALSE(comIsWritableText(nullptr));
  EXPECT_TRUE(comIsWritableText(stack));
  EXPECT_TRUE(comIsWritableText(Exact("heap").get()));
  EXPECT_TRUE(comIsWritableText(g_staticText));
  EXPECT_TRUE(comIsWritableText(g_zeroText));
}

// Another process holding a lock on `path` until the object goes away.
class LockHolder {
 public:
  LockHolder(const std::string& path, bool write) {
    int ready[2];
    if (pipe(ready) != 0) abort();
    if ((pid_ = fork()) == 0) {
      int fd =
          write ? comLockFileWrite(path.c_str(), 1, 0) : comLockFileRead(path.c_str(), 1, 0, 0);
      if (::write(ready[1], fd >= 0 ? "y" : "n", 1) == 1) pause();
      _exit(0);
    }
    char ok = 'n';
    close(ready[1]);
    EXPECT_TRUE(read(ready[0], &ok, 1) == 1 && ok == 'y') << "could not lock " << path;
    close(ready[0]);
  }
  ~LockHolder() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_;
};

// Whether another process finds `path` write-locked.
bool LockedElsewhere(const std::string& path) {
  pid_t pid = fork();
  if (pid == 0) _exit(comLockFileRead(path.c_str(), 1, 0, false) == -1 ? 0 : 1);
  int status = 1;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(ComLockTest, HeldLockRetriesThenFailsWithEacces) {
  TempDir dir;
  std::string path = dir.Path("record");
  WriteFile(path, "x");
  {
    LockHolder writer(path, true);
    // Scripted signals that end waits early do not change the number of tries.
    const struct {
      int attempts, wait;
      std::vector<unsigned> interrupts, sleeps;
    } cases[] = {
        {0, 5, {}, {}},     {-3, 1, {}, {}}, {1, 0, {}, {}},
        {3, 2, {}, {2, 2}}, {3, 0, {}, {}},  {4, 5, {0, 1}, {5, 5, 5}},
    };
    for (const auto& c : cases) {
      FakeClock clock;
      ScopedClock installed(&clock);
      for (unsigned after : c.interrupts) clock.InterruptSleepAfter(after);
      EXPECT_EQ(comLockFileWrite(path.c_str(), c.attempts, c.wait), -1);
      EXPECT_EQ(errno, EACCES);
      EXPECT_EQ(clock.sleeps(), c.sleeps) << c.attempts << " attempts, wait " << c.wait;
      EXPECT_EQ(comLockFileRead(path.c_str(), c.attempts, 0, false), -1);
      EXPECT_EQ(errno, EACCES);
    }
    int fd = comLockFileRead(path.c_str(), 1, 0, true);  // no lock asked: gets in
    EXPECT_GE(fd, 0);
    close(fd);
  }
  LockHolder reader(path, false);
  int fd = comLockFileRead(path.c_str(), 1, 0, false);  // readers share
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  close(fd);
  EXPECT_EQ(comLockFileWrite(path.c_str(), 1, 0), -1);
  EXPECT_EQ(errno, EACCES);
}

TEST(ComLockTest, OpenRules) {
  TempDir dir;
  EXPECT_EQ(comLockFileRead(dir.Path("missing").c_str(), 1, 0, false), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(PathExists(dir.Path("missing")));
  int fd = comLockFileWrite(dir.Path("a/b/record").c_str(), 1, 0);  // directories made
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_TRUE(LockedElsewhere(dir.Path("a/b/record")));
  close(fd);
  WriteFile(dir.Path("plain"), "");
  EXPECT_EQ(comLockFileWrite(dir.Path("plain/x/record").c_str(), 1, 0), -1);
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_EQ(comLockFileWriteShare(dir.Path("none").c_str(), 1, 0, O_RDWR), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(ComLockTest, BackUp) {
  TempDir dir;
  std::string source = dir.Path("record"), backup = dir.Path("tmp/temp1.1");  // tmp is made
  for (std::string content : {std::string(), std::string(25000, 'q')}) {
    WriteFile(source, content);
    if (PathExists(backup)) WriteFile(backup, std::string(30000, 's'));  // stale, longer
    int fd = comFileBackUp(source.c_str(), backup.c_str(), 1, 0, false, 0);
    EXPECT_EQ(ReadFile(backup), content);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);
    EXPECT_TRUE(LockedElsewhere(source));
    close(fd);
  }
  {
    LockHolder writer(source, true);
    unlink(backup.c_str());
    EXPECT_EQ(comFileBackUp(source.c_str(), backup.c_str(), 2, 0, false, 0), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_FALSE(PathExists(backup));
  }
  // A backup path that cannot be a file: failure, and the source's lock ends.
  ASSERT_EQ(mkdir(backup.c_str(), 0755), 0);
  WriteFile(backup + "/x", "");
  EXPECT_EQ(comFileBackUp(source.c_str(), backup.c_str(), 1, 0, true, O_RDWR), -1);
  EXPECT_FALSE(LockedElsewhere(source));
}

TEST(ComLockTest, CopyFile) {
  TempDir dir;
  std::string source = dir.Path("source"), target = dir.Path("target"), content(3000, 'c');
  WriteFile(source, content);
  WriteFile(target, "keep");
  EXPECT_EQ(comCopyFile(source.c_str(), target.c_str(), 1), 0);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(ReadFile(target), "keep");
  EXPECT_EQ(comCopyFile(source.c_str(), target.c_str(), 0), 1);
  EXPECT_EQ(ReadFile(target), content);
  // A source that fails to read (a directory) leaves no short copy behind.
  EXPECT_EQ(comCopyFile(dir.c_str(), dir.Path("copy").c_str(), 0), 0);
  EXPECT_EQ(errno, EISDIR);
  EXPECT_FALSE(PathExists(dir.Path("copy")));
}

}  // namespace
