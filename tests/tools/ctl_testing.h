// schedulerctl as the tool tests run it: the real binary on a test's own data
// home, with its exit status and what it printed.
#ifndef TESTS_TOOLS_CTL_TESTING_H_
#define TESTS_TOOLS_CTL_TESTING_H_

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "tests/common/temp_dir.h"
#include "tests/scheduler/scheduler_testing.h"

using Args = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

struct Result {
  int status;
  std::string out;
  std::string err;
};

// Run in a HoldingChild: write-locks the whole file `path`.
inline bool LockWhole(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  return fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0;
}

// One test's data home and, beside it, the daemon's working directory and
// captured output.
class Ctl : public DaemonHome {
 public:
  // schedulerctl HOME args..., optionally under the faked clock `fake`
  // (UnderFakedClock); a first word "HOME=PATH" gives PATH for HOME.
  Result Run(const Args& args, const std::string& fake = "", const std::string& cwd = ".") {
    Args argv;
    bool other = !args.empty() && args[0].rfind("HOME=", 0) == 0;
    argv.push_back(SCHEDULERCTL_BIN);
    argv.push_back(other ? args[0].substr(5) : home);
    argv.insert(argv.end(), args.begin() + (other ? 1 : 0), args.end());
    if (!fake.empty()) argv = UnderFakedClock(fake, argv);
    std::string out = Scratch("ctl.out"), err = Scratch("ctl.err");
    int status = Wait(Spawn(argv, out, err, cwd));
    return Result{status, ReadFile(out), ReadFile(err)};
  }
  struct Module {
    std::string name, program;
    Args times = {};  // HH:MM of its schedule entries
  };
  // Sets up the home: init, and the modules (IDs 1, 2, ...) with their entries.
  void Setup(const std::vector<Module>& modules) {
    ASSERT_EQ(Run({"init"}).status, 0);
    for (const Module& m : modules) {
      ASSERT_EQ(Run({"module", "add", m.name, m.program}).status, 0);
      if (m.times.empty()) continue;
      Args add = {"schedule", "add", std::to_string(&m - modules.data() + 1)};
      add.insert(add.end(), m.times.begin(), m.times.end());
      ASSERT_EQ(Run(add).status, 0);
    }
  }
  std::string Scratch(const std::string& name) const { return root.Path(name); }
  // `text` with WORK and HOME standing for those directories.
  std::string Named(const std::string& text) const {
    return std::regex_replace(std::regex_replace(text, std::regex("WORK"), work),
                              std::regex("HOME"), home);
  }
};

#endif  // TESTS_TOOLS_CTL_TESTING_H_
