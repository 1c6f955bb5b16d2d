#include "tools/ctl_writers.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <set>
#include <utility>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comfile.h"
#include "common/comguard.h"
#include "stores/schedulerdefs.h"
#include "stores/schedulerprogram.h"

namespace {

// The kernel's own bound on the links one lookup passes.
constexpr int kMaxLinks = 40;

using FolderId = std::pair<dev_t, ino_t>;

// `path`, and the file it names when it is a link.
std::string Named(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  std::unique_ptr<char, decltype(&free)> target(realpath(path, nullptr), &free);
  return target ? std::string(path) + " (a link to " + target.get() + ")" : path;
}

// Puts the names of `path` ("" and "." left out) in front of `names`.
void PushNames(const std::string& path, std::deque<std::string>* names) {
  std::deque<std::string> mine;
  for (size_t at = 0; at <= path.size();) {
    size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    std::string name = path.substr(at, end - at);
    if (!name.empty() && name != ".") mine.push_back(name);
    at = end + 1;
  }
  names->insert(names->begin(), mine.begin(), mine.end());
}

// Calls visit(folder, st) before each name that the lookup of `path` reads
// in a folder: `folder` spelt from "/" down, `st` its status. A relative path
// is looked up from the current directory, spelt as getcwd spells it. Each
// folder is opened beneath the one before, never through a link: a link's
// target is read and its names looked up in turn, from "/" for an absolute
// one. The walk ends after the last name, where a name is missing or not a
// folder, or after kMaxLinks links, so what it reports is what a lookup
// would have read up to there.
template <typename Visit>
void ForEachFolderOnTheWay(const char* path, Visit visit) {
  std::string full = path;
  if (full.empty()) return;
  if (full[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return;
    full = std::string(cwd) + "/" + full;
  }
  std::deque<std::string> names;
  PushNames(full, &names);
  ComFd dir(open("/", kComFolderRef | O_CLOEXEC));
  std::string at = "/";
  int links = 0;
  while (dir.ok() && !names.empty()) {
    const std::string name = names.front();
    names.pop_front();
    if (name == "..") {
      // The real parent: the walk never stands in a folder through a link.
      dir.Reset(openat(dir.get(), "..", kComFolderRef | O_CLOEXEC));
      const size_t slash = at.find_last_of('/');
      at = slash == 0 || slash == std::string::npos ? "/" : at.substr(0, slash);
      continue;
    }
    struct stat st;
    if (fstat(dir.get(), &st) != 0) return;
    visit(at, st);
    if (fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (S_ISLNK(st.st_mode)) {
      char target[PATH_MAX];
      const ssize_t n = readlinkat(dir.get(), name.c_str(), target, sizeof target - 1);
      if (n <= 0 || ++links > kMaxLinks) return;
      target[n] = '\0';
      PushNames(target, &names);
      if (target[0] == '/') {
        dir.Reset(open("/", kComFolderRef | O_CLOEXEC));
        at = "/";
      }
      continue;
    }
    if (names.empty() || !S_ISDIR(st.st_mode)) return;
    dir.Reset(openat(dir.get(), name.c_str(), kComFolderRef | O_NOFOLLOW | O_CLOEXEC));
    at += (at == "/" ? "" : "/") + name;
  }
}

}  // namespace

std::string ctlWriters(const struct stat& st, uid_t owner, bool strict) {
  std::string who;
  auto add = [&who](const std::string& text) { who += (who.empty() ? "" : ", ") + text; };
  if (st.st_uid != owner && st.st_uid != 0) {
    add("its owner uid " + std::to_string(st.st_uid) + " (the data home belongs to uid " +
        std::to_string(owner) + ")");
  }
  // In a sticky folder a writer may add entries but not remove or rename
  // another user's.
  const bool sticky = S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0 && !strict;
  if (!sticky && (st.st_mode & S_IWGRP) != 0) {
    add("its group (gid " + std::to_string(st.st_gid) + ")");
  }
  if (!sticky && (st.st_mode & S_IWOTH) != 0) add("everyone");
  if (who.empty()) return "";
  char mode[16];
  snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
  return "writable by " + who + " (mode " + mode + ")";
}

void ctlModuleWriters(int id, const char* execute, bool recordFolders,
                      std::vector<CtlWritable>* out) {
  char home[kComPathMax];
  comGetDirName(cPathData, home, kComPathMax);
  struct stat st;
  // The home's own path may be a link: its owner or root chose it.
  if (stat(home, &st) != 0) return;
  const uid_t owner = st.st_uid;
  std::set<FolderId> seen;
  // The folders of the record, the home first; a link among them stops the
  // list there (doctor reports the link).
  char dir[kComPathMax];
  std::string folder = home;
  for (const std::string& name : {std::string("data"), std::string("scheduler"),
                                  std::string("module"), std::to_string(id), std::string()}) {
    if (!seen.insert(FolderId(st.st_dev, st.st_ino)).second) break;
    const std::string who = ctlWriters(st, owner);
    if (recordFolders && !who.empty()) {
      out->push_back(CtlWritable{CtlWritable::kRecordFolder, folder, "", who});
    }
    if (name.empty()) break;
    pathEdit(folder.c_str(), name.c_str(), dir);
    folder = dir;
    if (comIoStat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) break;
  }
  char file[64];
  snprintf(file, sizeof(file), "scheduler/module/%d/info", id);
  char path[kComPathMax];
  S3ComPathEditData(file, path);
  if (comIoStat(path, &st) == 0) {
    const std::string who = ctlWriters(st, owner);
    if (!who.empty()) out->push_back(CtlWritable{CtlWritable::kRecord, file, "", who});
  }
  char program[kSchedProgramPathSize];
  if (schedulerResolveProgram(execute, program) == SchedulerProgramFrom::kNone) return;
  const std::string named = Named(program);
  ForEachFolderOnTheWay(program, [&](const std::string& on, const struct stat& at) {
    if (!seen.insert(FolderId(at.st_dev, at.st_ino)).second) return;
    const std::string who = ctlWriters(at, owner);
    if (!who.empty()) out->push_back(CtlWritable{CtlWritable::kProgramFolder, on, named, who});
  });
  // What runs is the file the links lead to, whoever may write the links.
  if (stat(program, &st) != 0) return;
  const std::string who = ctlWriters(st, owner);
  if (!who.empty()) out->push_back(CtlWritable{CtlWritable::kProgram, named, "", who});
}
