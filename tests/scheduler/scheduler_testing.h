// Helpers shared by the daemon's tests: files of a data home, modules and
// schedule entries made with the store classes, the children of a process
// read from /proc, and the real daemon under faketime.
// The daemon launcher is there when SCHEDULER_BIN names the executable.
#ifndef TESTS_SCHEDULER_SCHEDULER_TESTING_H_
#define TESTS_SCHEDULER_SCHEDULER_TESTING_H_

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "stores/ckorschedulersts.h"
#include "stores/cvelscheduler.h"
#include "stores/cvelschedulermodule.h"
#include "stores/cvelschedulersts.h"
#include "tests/common/temp_dir.h"

inline void MakeDirs(const std::string& path) {
  for (size_t at = 1; at != std::string::npos; at = path.find('/', at + 1)) {
    mkdir(path.substr(0, at).c_str(), 0755);
  }
  mkdir(path.c_str(), 0755);
}

// An executable shell script.
inline void WriteScript(const std::string& path, const std::string& body) {
  WriteFile(path, "#!/bin/sh\n" + body + "\n");
  chmod(path.c_str(), 0755);
}

// The lines of a file; none when it does not exist.
inline std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  if (!PathExists(path)) return lines;
  std::istringstream in(ReadFile(path));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A module running `execute`, added to the table of the saved data home.
inline int AddModule(const std::string& execute) {
  CvelSchedulerModule module;
  EXPECT_EQ(0, module.Set("execute", execute.c_str()));
  EXPECT_EQ(0, module.Add());
  return module.GetID();
}

inline void Schedule(int id, const char* hour, const char* minute) {
  CvelScheduler entry;
  EXPECT_EQ(0, entry.Add(1, id, hour, minute));
}

// {pid, state letter} of every child of `parent`.
inline std::vector<std::pair<pid_t, char>> ChildrenOf(pid_t parent) {
  std::vector<std::pair<pid_t, char>> children;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return children;
  while (struct dirent* entry = readdir(proc)) {
    std::string stat = ReadFile(std::string("/proc/") + entry->d_name + "/stat");
    size_t close = stat.rfind(')');
    char state = 0;
    int ppid = 0;
    if (close == std::string::npos ||
        sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2 || ppid != parent) {
      continue;
    }
    children.emplace_back(atoi(entry->d_name), state);
  }
  closedir(proc);
  return children;
}

// Waits up to thirty seconds for `parent` to have no children left (all
// ended and reaped); returns those still there.
inline std::vector<std::pair<pid_t, char>> WaitNoChildren(pid_t parent) {
  std::vector<std::pair<pid_t, char>> children = ChildrenOf(parent);
  for (int i = 0; i < 3000 && !children.empty(); ++i) {
    usleep(10000);
    children = ChildrenOf(parent);
  }
  return children;
}

#ifdef SCHEDULER_BIN
// Thirty seconds of polling, in steps of 10 ms: far more than any awaited
// event needs, and only spent when the event never comes.
constexpr int kPolls = 3000;

// One daemon, started as `faketime -f "@<date> <start> <rate>" scheduler
// home interval` in the working directory `work` (`start` is a time of
// 2026-12-04 or a whole "YYYY-MM-DD HH:MM:SS"). faketime runs the daemon as
// its only child; every process below shares its faked clock.
class Daemon {
 public:
  Daemon(const std::string& home, const std::string& interval, const std::string& work,
         const char* start = "10:14:30", const char* rate = "x20") {
    wrapper_ = fork();
    if (wrapper_ != 0) return;
    // Whatever the daemon (or faketime) prints lands in work/daemon.out.
    int out = open((work + "/daemon.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0 || chdir(work.c_str()) != 0) _exit(126);
    setenv("FAKETIME_DONT_RESET", "1", 1);
    const char* asan = getenv("ASAN_OPTIONS");
    std::string options = std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
    std::string fake = std::string(strlen(start) > 8 ? "@" : "@2026-12-04 ") + start + " " + rate;
    const char* argv[] = {"faketime",       "-f",   fake.c_str(), SCHEDULER_BIN, home.c_str(),
                          interval.c_str(), nullptr};
    execvp(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  ~Daemon() {
    if (wrapper_ <= 0 || status_ != kRunning) return;
    for (auto& child : ChildrenOf(wrapper_)) kill(child.first, SIGKILL);
    if (Wait() == kRunning) kill(wrapper_, SIGKILL);
    waitpid(wrapper_, nullptr, 0);
  }
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // The daemon's own pid (faketime's only child), or 0 when it never came.
  pid_t Pid() {
    for (int i = 0; pid_ == 0 && i < kPolls; ++i) {
      auto children = ChildrenOf(wrapper_);
      if (!children.empty()) pid_ = children.front().first;
      if (pid_ == 0) usleep(10000);
    }
    return pid_;
  }
  // Waits until the daemon's status record names it and its lock is held.
  bool Running() {
    CKorSchedulerSts probe;
    probe.SetPid(Pid());
    for (int i = 0; i < kPolls; ++i) {
      CvelSchedulerSts sts;
      if (sts.Get() == 0 && sts.GetPid() == pid_ && probe.IsLock()) return true;
      usleep(10000);
    }
    return false;
  }
  // The exit status, or kRunning when the daemon is still running after the
  // polling deadline.
  int Wait() {
    for (int i = 0; status_ == kRunning && i < kPolls; ++i) {
      int raw = 0;
      if (waitpid(wrapper_, &raw, WNOHANG) == wrapper_) {
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      } else {
        usleep(10000);
      }
    }
    return status_;
  }
  static constexpr int kRunning = -1;

 private:
  pid_t wrapper_ = -1;
  pid_t pid_ = 0;
  int status_ = kRunning;
};

#endif  // SCHEDULER_BIN

#endif  // TESTS_SCHEDULER_SCHEDULER_TESTING_H_
