// Child processes running real programs.
#include "common/comproc.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
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
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  return comProcExec(argv.data(), outpath, wait, status, err);
}

TEST(ComProcTest, WaitedChildren) {
  TempDir dir;
  std::string out = dir.Path("out"), lost = dir.Path("no/out"), sh = "/bin/sh";
  std::string mark = " && touch " + dir.Path("mark");
  std::string onConsole =
      "test /proc/$$/fd/1 -ef /dev/console && test /proc/$$/fd/2 -ef /dev/console";
  bool console = access("/dev/console", W_OK) == 0;
  // An executable text without an interpreter line runs with the shell.
  std::string script = dir.Path("script");
  WriteFile(script, "echo script && touch " + dir.Path("mark") + "\n");
  ASSERT_EQ(chmod(script.c_str(), 0755), 0);
  // `output`: the output file afterwards (null: not looked at); `ran`: the
  // program reached its end.
  struct {
    std::vector<std::string> args;
    const char* outpath;
    int result;
    long status;
    const char* output;
    bool ran;
  } const cases[] = {
      // clang-format off
      {{sh, "-c", "echo out; echo err >&2" + mark}, out.c_str(), 0, 0, "out\nerr\n", true},
      {{sh, "-c", "cat && echo more" + mark}, out.c_str(), 0, 0, "more\n", true},  // stdin: null
      {{sh, "-c", "echo lost" + mark}, lost.c_str(), 0, 0, "<missing>", true},
      {{sh, "-c", onConsole + mark}, nullptr, 0, 0, nullptr, console},
      {{sh, "-c", onConsole + mark}, "/dev/console", 0, 0, nullptr, console},
      {{script}, out.c_str(), 0, 0, "script\n", true},
      {{sh, "-c", "exit 3"}, out.c_str(), -2, 3, "", false},
      {{sh, "-c", "kill -9 $$"}, out.c_str(), 0, 0, "", false},
      {{dir.Path("not-a-program")}, out.c_str(), -2, 1, "", false}};  // clang-format on
  for (const auto& c : cases) {
    unlink(out.c_str());
    unlink(dir.Path("mark").c_str());
    long status = 99, err = 99;
    int result = Exec(c.args, c.outpath, 1, &status, &err);
    EXPECT_EQ(c.output ? ReadFile(c.outpath) : "", c.output ? c.output : "") << c.args.back();
    if (c.output != nullptr || console) {  // without a console its checks fail
      EXPECT_EQ(result, c.result) << c.args.back();
      EXPECT_EQ(status, c.status) << c.args.back();
    }
    EXPECT_EQ(PathExists(dir.Path("mark")), c.ran) << c.args.back();
  }
}

// Output and error both copies of one descriptor of the caller's, which
// stays the caller's; a missing one (negative, or closed) is the null device.
// A text without an interpreter line takes the fork path.
TEST(ComProcTest, OutputToADescriptor) {
  TempDir dir;
  const std::string out = dir.Path("out"), mark = dir.Path("mark"), script = dir.Path("script");
  const std::string body = "echo one; echo two >&2; echo three; touch " + mark;
  WriteFile(script, body + "\n");
  ASSERT_EQ(chmod(script.c_str(), 0755), 0);
  const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  const char* sh[] = {"/bin/sh", "-c", body.c_str(), nullptr};
  const char* text[] = {script.c_str(), nullptr};
  const struct {
    const char* const* argv;
    int fd;
    const char* output;
  } cases[] = {{sh, fd, "one\ntwo\nthree\n"}, {text, fd, "one\ntwo\nthree\n"}, {sh, -1, ""},
               {text, 1000, ""}};
  for (const auto& c : cases) {
    ASSERT_EQ(ftruncate(fd, 0), 0);
    unlink(mark.c_str());
    int pid = 0;
    ASSERT_EQ(comProcStartOutput(const_cast<char* const*>(c.argv), c.fd, &pid), 0);
    ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
    EXPECT_EQ(ReadFile(out), c.output) << c.argv[0] << " " << c.fd;
    EXPECT_TRUE(PathExists(mark)) << c.argv[0] << " " << c.fd;
  }
  EXPECT_EQ(fcntl(fd, F_GETFD), FD_CLOEXEC) << "the caller's descriptor stays as it was";
  close(fd);
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
  EXPECT_EQ(status * 1000 + err, -1000 + ECHILD);
}

// A started program gets default signals and an empty mask whatever the
// caller ignores or blocks, and an output FIFO nobody reads yet blocks only
// the child, never the caller.
TEST(ComProcTest, ChildSetUpIndependentOfTheCaller) {
  TempDir dir;
  std::string status = dir.Path("status"), fifo = dir.Path("fifo");
  struct sigaction ignore = {}, previous = {};
  ignore.sa_handler = SIG_IGN;
  sigset_t block, saved;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  ASSERT_EQ(sigaction(SIGHUP, &ignore, &previous), 0);
  ASSERT_EQ(sigprocmask(SIG_BLOCK, &block, &saved), 0);
  long code = 99, err = 99;
  int result = Exec({"/bin/cat", "/proc/self/status"}, status.c_str(), 1, &code, &err);
  sigprocmask(SIG_SETMASK, &saved, nullptr);
  sigaction(SIGHUP, &previous, nullptr);
  EXPECT_EQ(result, 0);
  std::string text = ReadFile(status);
  EXPECT_NE(text.find("SigBlk:\t0000000000000000\n"), std::string::npos) << text;
  EXPECT_NE(text.find("SigIgn:\t0000000000000000\n"), std::string::npos) << text;

  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int pid = 0;
  ASSERT_EQ(comProcStart(std::vector<char*>{const_cast<char*>("/bin/echo"),
                                            const_cast<char*>("through"), nullptr}
                             .data(),
                         fifo.c_str(), &pid),
            0);
  EXPECT_EQ(ReadFile(fifo), "through\n");
  int word = 0;
  ASSERT_EQ(waitpid(pid, &word, 0), pid);
  EXPECT_EQ(WEXITSTATUS(word), 0);
}

TEST(ComProcTest, RedirectionWithStandardStreamsClosed) {
  TempDir dir;
  EXPECT_TRUE(HoldingChild([&] {
                for (int fd = 0; fd <= 2; ++fd) close(fd);
                char byte;
                return com_execchgio(dir.Path("out").c_str()) == 0 && write(1, "1", 1) == 1 &&
                       write(2, "2", 1) == 1 && read(0, &byte, 1) == 0;
              }).held());
  EXPECT_EQ(ReadFile(dir.Path("out")), "12");
}

}  // namespace
