// Helpers shared by the daemon's tests: files of a data home, modules and
// schedule entries made with the store classes, and the children of a
// process read from /proc.
#ifndef TESTS_SCHEDULER_SCHEDULER_TESTING_H_
#define TESTS_SCHEDULER_SCHEDULER_TESTING_H_

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "stores/cvelscheduler.h"
#include "stores/cvelschedulermodule.h"
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

#endif  // TESTS_SCHEDULER_SCHEDULER_TESTING_H_
