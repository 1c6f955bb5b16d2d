// Child processes running real programs.
#include "common/comproc.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/temp_dir.h"

namespace {

int Exec(const std::vector<std::string>& args, const char* outpath, int wait, long* status,
         long* err) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return comProcExec(argv.data(), outpath, wait, status, err);
}

TEST(ComProcTest, WaitedChildren) {
  TempDir dir;
  std::string out = dir.Path("out"), mark = " && touch " + dir.Path("mark"), sh = "/bin/sh";
  // `output`: the output file afterwards; `ran`: the program reached its end.
  const struct {
    std::vector<std::string> args;
    std::string outpath;
    int result;
    long status;
    std::string output;
    bool ran;
  } cases[] = {
      {{sh, "-c", "echo out; echo err >&2" + mark}, out, 0, 0, "out\nerr\n", true},
      {{sh, "-c", "cat && echo more" + mark}, out, 0, 0, "more\n", true},  // stdin: null device
      {{sh, "-c", "echo lost" + mark}, dir.Path("no/out"), 0, 0, "<missing>", true},
      {{sh, "-c", "exit 3"}, out, -2, 3, "", false},
      {{sh, "-c", "kill -9 $$"}, out, 0, 0, "", false},
      {{dir.Path("not-a-program")}, out, -2, 1, "", false},
      {{"no-such-program-on-the-path"}, out, -2, 1, "", false},
  };
  for (const auto& c : cases) {
    unlink(out.c_str());
    unlink(dir.Path("mark").c_str());
    long status = 99, err = 99;
    EXPECT_EQ(Exec(c.args, c.outpath.c_str(), 1, &status, &err), c.result) << c.args.back();
    EXPECT_EQ(status, c.status) << c.args.back();
    EXPECT_EQ(ReadFile(c.outpath), c.output) << c.args.back();
    EXPECT_EQ(PathExists(dir.Path("mark")), c.ran) << c.args.back();
  }
}

TEST(ComProcTest, NoWaitAndReapedElsewhere) {
  long status = 99, err = 99;
  EXPECT_EQ(Exec({"/bin/sh", "-c", "exit 3"}, "/dev/null", 0, &status, &err), 0);
  EXPECT_EQ(status + err, 0);
  int word = 0;
  ASSERT_GT(waitpid(-1, &word, 0), 0);
  EXPECT_EQ(WEXITSTATUS(word), 3);
  EXPECT_EQ(comProcExec(nullptr, nullptr, 1, &status, &err), -1);
  EXPECT_EQ(err, EINVAL);

  // SIGCHLD ignored: the system reaps the child, whose status is then unknown.
  struct sigaction ignore = {}, previous = {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGCHLD, &ignore, &previous), 0);
  int result = Exec({"/bin/sh", "-c", "exit 0"}, "/dev/null", 1, &status, &err);
  sigaction(SIGCHLD, &previous, nullptr);
  EXPECT_EQ(result, -2);
  EXPECT_EQ(status, -1);
  EXPECT_EQ(err, ECHILD);
}

TEST(ComProcTest, ConsoleOutput) {
  int console = open("/dev/console", O_WRONLY);
  if (console < 0) GTEST_SKIP() << "no writable /dev/console here";
  close(console);
  TempDir dir;
  std::string check =
      "test /proc/$$/fd/1 -ef /dev/console && test /proc/$$/fd/2 -ef "
      "/dev/console && touch " +
      dir.Path("mark");
  for (const char* outpath : {static_cast<const char*>(nullptr), "/dev/console"}) {
    unlink(dir.Path("mark").c_str());
    long status, err;
    EXPECT_EQ(Exec({"/bin/sh", "-c", check}, outpath, 1, &status, &err), 0);
    EXPECT_TRUE(PathExists(dir.Path("mark"))) << (outpath ? outpath : "null");
  }
}

TEST(ComProcTest, RedirectionWithStandardStreamsClosed) {
  TempDir dir;
  pid_t child = fork();
  if (child == 0) {
    close(0);
    close(1);
    close(2);
    int rc = com_execchgio(dir.Path("out").c_str());
    char byte;
    _exit(rc == 0 && write(1, "1", 1) == 1 && write(2, "2", 1) == 1 && read(0, &byte, 1) == 0 ? 0
                                                                                              : 1);
  }
  int word = 0;
  ASSERT_EQ(waitpid(child, &word, 0), child);
  EXPECT_EQ(WEXITSTATUS(word), 0);
  EXPECT_EQ(ReadFile(dir.Path("out")), "12");
}

}  // namespace
