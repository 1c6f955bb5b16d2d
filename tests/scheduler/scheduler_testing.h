// Helpers shared by the daemon's and the tools' tests: a data home with the
// daemon's working directory beside it, modules, schedule entries and alarms
// made with the store classes, programs started with captured output, the
// children of a process read from /proc, and the real daemon under a faked
// clock (libfaketime preloaded into it). The daemon launcher is there when
// SCHEDULER_BIN names the executable.
#ifndef TESTS_SCHEDULER_SCHEDULER_TESTING_H_
#define TESTS_SCHEDULER_SCHEDULER_TESTING_H_

#include <dirent.h>
#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/S3ComPath.h"
#include "stores/ckoralarmtime.h"
#include "stores/cvelscheduler.h"
#include "stores/cvelschedulermodule.h"
#include "tests/common/temp_dir.h"
#include "tests/s3/io_testing.h"

// A data home for one test, saved as the process's data home: root/home,
// empty, and beside it root/work, the daemon's working directory.
class DaemonHome {
 public:
  DaemonHome() : home(root.Path("home")), work(root.Path("work")) {
    mkdir(home.c_str(), 0755);
    mkdir(work.c_str(), 0755);
    S3ComPathHomeSave(home.c_str());
  }
  std::string Data(const std::string& relative) const { return home + "/data/" + relative; }
  // Files an alarm for `module` at `day` ("YYYYMMDD") and `time` ("HHMM").
  void Alarm(int module, const std::string& day, const std::string& time,
             const std::string& text = "object 1\ntext=due\nend\n") const {
    PutFile(Data("scheduler/alarm/" + day.substr(0, 4) + "/" + day.substr(4) + "/" +
                 time.substr(0, 2) + "/" + time.substr(2) + "/" + std::to_string(module)),
            text);
  }

  TempDir root;
  const std::string home;
  const std::string work;
};

#ifndef FAKETIME_LIB
#define FAKETIME_LIB ""
#endif

inline bool HaveFaketime() {
  return FAKETIME_LIB[0] != '\0' && access(FAKETIME_LIB, R_OK) == 0;
}

// `argv` run under the faked clock `clock` ("@YYYY-MM-DD HH:MM:SS xN"):
// libfaketime preloaded into the program itself (env execs it, so the pid
// started is the program's), its children sharing its clock. No wrapper
// process: the faketime wrapper keeps a semaphore and a shared-memory object
// named after its pid and fails at a later start with the same pid when a
// kill left them behind.
inline std::vector<std::string> UnderFakedClock(const std::string& clock,
                                                const std::vector<std::string>& argv) {
  std::vector<std::string> out = {"env", "-u", "FAKETIME_SHARED",
                                  std::string("LD_PRELOAD=") + FAKETIME_LIB, "FAKETIME=" + clock,
                                  "FAKETIME_DONT_RESET=1"};
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}

// The library itself keeps a semaphore and a shared-memory object named
// after the pid of the first process that loads it, and removes them when
// that process exits, but not when a signal kills it. Removes those of
// `pid`, which must not have been reaped yet: while its zombie holds the pid
// no other process can own the names.
inline void RemoveFakedClockObjects(pid_t pid) {
  const std::string id = std::to_string(pid);
  sem_unlink(("/faketime_sem_" + id).c_str());
  shm_unlink(("/faketime_shm_" + id).c_str());
}

// The entries of /dev/shm named after `pid` (ending in "_PID").
inline std::vector<std::string> SharedMemoryOf(pid_t pid) {
  std::vector<std::string> found;
  const std::string suffix = "_" + std::to_string(pid);
  DIR* shm = opendir("/dev/shm");
  if (shm == nullptr) return found;
  while (struct dirent* entry = readdir(shm)) {
    const std::string name = entry->d_name;
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      found.push_back(name);
    }
  }
  closedir(shm);
  return found;
}

// Polls `done` every `stepMs` milliseconds for up to thirty seconds: far more
// than any awaited event needs, and only spent when the event never comes.
template <typename Done>
bool Eventually(Done done, int stepMs = 10) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (; std::chrono::steady_clock::now() < end; usleep(stepMs * 1000)) {
    if (done()) return true;
  }
  return done();
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

// A module running `execute`, added to the table of the saved data home with
// a schedule entry at each "HHMM" of `times`; its ID.
inline int AddModule(const std::string& execute, const std::vector<std::string>& times = {}) {
  CvelSchedulerModule module;
  EXPECT_EQ(0, module.Set("execute", execute.c_str()));
  EXPECT_EQ(0, module.Add());
  for (const std::string& t : times) {
    EXPECT_EQ(0, CvelScheduler().Add(1, module.GetID(), t.substr(0, 2).c_str(), t.substr(2).c_str()));
  }
  return module.GetID();
}

// The next-alarm record's time ("" when none).
inline std::string NextTime() {
  CKorAlarmTime record;
  record.Get();
  return record.GetNextTime();
}

// Starts `argv` in `cwd`, its standard output in the file `out` and its
// standard error in `err` (the same file when the names are equal).
inline pid_t Spawn(const std::vector<std::string>& argv, const std::string& out,
                   const std::string& err, const std::string& cwd = ".") {
  pid_t pid = fork();
  if (pid != 0) return pid;
  // faketime preloads its library ahead of a sanitizer runtime.
  const char* asan = getenv("ASAN_OPTIONS");
  setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
  int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int e = err == out ? o : open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || chdir(cwd.c_str()) != 0) _exit(126);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

// The exit status of a child, 128 + the signal that ended it, or -1.
inline int Wait(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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

#ifdef SCHEDULER_BIN
// One daemon, `scheduler home interval` started in the working directory
// `work` under the faked clock "@<date> <start> <rate>" (UnderFakedClock),
// its output in work/daemon.out (`start` is a time of 2026-12-04 or a whole
// "YYYY-MM-DD HH:MM:SS"; `rate` is "xN"). Every process it starts shares its
// faked clock. However it ends, it leaves nothing in /dev/shm.
class Daemon {
 public:
  Daemon(const std::string& home, const std::string& interval, const std::string& work,
         const char* start = "10:14:30", const char* rate = "x20")
      : started_(std::chrono::steady_clock::now()), rate_(atof(rate + 1)) {
    std::string when = std::string(strlen(start) > 8 ? "" : "2026-12-04 ") + start;
    struct tm t = {};
    strptime(when.c_str(), "%Y-%m-%d %H:%M:%S", &t);
    t.tm_isdst = -1;
    start_ = mktime(&t);
    pid_ = Spawn(UnderFakedClock("@" + when + " " + rate, {SCHEDULER_BIN, home, interval}),
                 work + "/daemon.out", work + "/daemon.out", work);
  }
  ~Daemon() {
    if (pid_ <= 0 || status_ != kRunning) return;
    for (auto& child : ChildrenOf(pid_)) kill(child.first, SIGKILL);
    kill(pid_, SIGKILL);
    End(true);
  }
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // The daemon's own pid: the process started, as no wrapper runs it.
  pid_t Pid() const { return pid_; }
  // The exit status, or kRunning when the daemon is still running after the
  // polling deadline.
  int Wait() {
    Eventually([&] { return End(false); });
    return status_;
  }
  static constexpr int kRunning = -1;

  // The daemon's clock as it reads now, worked out from the real time since
  // its start.
  time_t Now() const {
    std::chrono::duration<double> real = std::chrono::steady_clock::now() - started_;
    return start_ + static_cast<time_t>(real.count() * rate_);
  }
  // The faked clock that runs another program's clock with the daemon's
  // from `at` (0: now), for UnderFakedClock.
  std::string FaketimeArg(time_t at = 0) const {
    return "@" + Format(at ? at : Now(), "%F %T") + " x" + std::to_string(static_cast<int>(rate_));
  }
  static std::string Format(time_t t, const char* format) {
    char text[32];
    strftime(text, sizeof(text), format, localtime(&t));
    return text;
  }

 private:
  // Once the daemon has ended (waited for when `block`), removes what the
  // faked clock left of it and reaps it. True when it has ended.
  bool End(bool block) {
    if (status_ != kRunning) return true;
    siginfo_t info = {};
    int flags = WEXITED | WNOWAIT | (block ? 0 : WNOHANG);
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, flags) != 0 || info.si_pid != pid_) {
      return false;
    }
    RemoveFakedClockObjects(pid_);
    int raw = 0;
    waitpid(pid_, &raw, 0);
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return true;
  }

  std::chrono::steady_clock::time_point started_;
  double rate_;
  time_t start_ = 0;
  pid_t pid_ = -1;
  int status_ = kRunning;
};

#endif  // SCHEDULER_BIN

#endif  // TESTS_SCHEDULER_SCHEDULER_TESTING_H_
