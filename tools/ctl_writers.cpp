#include "tools/ctl_writers.h"

#include <limits.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "stores/schedulerdefs.h"
#include "stores/schedulerprogram.h"

namespace {

// The ways others than `owner` and root can write `path` (links followed),
// "" when there are none or the file cannot be examined.
std::string Writers(const char* path, uid_t owner) {
  struct stat st;
  if (stat(path, &st) != 0) return "";
  std::string who;
  auto add = [&who](const std::string& text) { who += (who.empty() ? "" : ", ") + text; };
  if (st.st_uid != owner && st.st_uid != 0) {
    add("its owner uid " + std::to_string(st.st_uid) + " (the data home belongs to uid " +
        std::to_string(owner) + ")");
  }
  if ((st.st_mode & S_IWGRP) != 0) add("its group (gid " + std::to_string(st.st_gid) + ")");
  if ((st.st_mode & S_IWOTH) != 0) add("everyone");
  if (who.empty()) return "";
  char mode[16];
  snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
  return "writable by " + who + " (mode " + mode + ")";
}

// `path`, and the file it names when it is a link.
std::string Named(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  std::unique_ptr<char, decltype(&free)> target(realpath(path, nullptr), &free);
  return target ? std::string(path) + " (a link to " + target.get() + ")" : path;
}

}  // namespace

void ctlModuleWriters(int id, const char* execute, std::vector<CtlWritable>* out) {
  char home[kComPathMax];
  comGetDirName(cPathData, home, kComPathMax);
  struct stat st;
  if (stat(home, &st) != 0) return;
  char file[64];
  snprintf(file, sizeof(file), "scheduler/module/%d/info", id);
  char path[kComPathMax];
  S3ComPathEditData(file, path);
  std::string who = Writers(path, st.st_uid);
  if (!who.empty()) out->push_back(CtlWritable{file, false, who});
  char program[kSchedProgramPathSize];
  if (schedulerResolveProgram(execute, program) == SchedulerProgramFrom::kNone) return;
  who = Writers(program, st.st_uid);
  if (!who.empty()) out->push_back(CtlWritable{Named(program), true, who});
}
