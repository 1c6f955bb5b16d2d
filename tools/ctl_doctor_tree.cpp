#include "tools/ctl_doctor_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/comfile.h"
#include "common/comguard.h"
#include "stores/runoutput.h"
#include "tools/ctl_writers.h"

namespace ctl_doctor {

void Doctor::Tree() {
  home_ = comHomeBound();
  ComFd fd(comIoOpen(home_.c_str(), O_RDONLY | O_DIRECTORY, 0));
  struct stat st;
  if (!fd.ok() || fstat(fd.get(), &st) != 0) return;
  owner_ = st.st_uid;
  Walk(fd.release(), "", 0);
}

std::string Doctor::Shown(const std::string& rel) const {
  if (rel.compare(0, 5, "data/") == 0) return rel.substr(5);
  return rel.empty() ? home_ : home_ + "/" + rel;
}

void Doctor::Walk(int fd, const std::string& rel, int depth) {
  ComFd owned(fd);
  ComDir dir(fdopendir(fd));
  if (!dir.ok()) return;  // not a folder to list: nothing of it is read either
  owned.release();
  const int at = dirfd(dir.get());
  struct stat st;
  if (fstat(at, &st) != 0) return;
  const bool tmp = rel == "data/tmp";
  if (rel.empty() || rel == "data" || tmp || rel == "data/scheduler" ||
      rel.compare(0, 15, "data/scheduler/") == 0) {
    const std::string who = ctlWriters(st, owner_, tmp);
    const char* why =
        ": whoever can write it can swap the records in it, and so choose what "
        "the daemon runs and when";
    if (rel.empty()) {
      why = ": whoever can write it can swap data/ and the programs named by a bare file name";
    } else if (tmp) {
      why =
          ": whoever can write it can leave a unit's log there, which the next reader plays "
          "back into the record files";
    }
    if (!who.empty()) {
      const std::string path = rel.empty() ? home_ : home_ + "/" + rel;
      Finding& f =
          Add("writable-by-others", Shown(rel), "the folder " + path + " is " + who + why);
      Left(f, kLeftWritable);
    }
  }
  std::vector<std::string> names;
  // A listing that fails half-way (a folder removed meanwhile) ends early.
  while (struct dirent* e = readdir(dir.get())) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string child = rel.empty() ? name : rel + "/" + name;
    if (fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
    if (S_ISLNK(st.st_mode)) {
      if (!rel.empty() || programs_.count(name) == 0) Link(at, name, child);
      continue;
    }
    if (!S_ISDIR(st.st_mode) || (rel.empty() && name != "data") || depth >= kMaxDepth) continue;
    const int sub = openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub >= 0) Walk(sub, child, depth + 1);  // else swapped meanwhile, or not readable
  }
}

void Doctor::Link(int dir, const std::string& name, const std::string& rel) {
  char target[PATH_MAX];
  const ssize_t n = readlinkat(dir, name.c_str(), target, sizeof target - 1);
  const std::string to =
      n >= 0 ? "to " + std::string(target, static_cast<size_t>(n))
             : std::string("(its target cannot be read: ") + strerror(errno) + ")";
  Finding& f = Add("link", Shown(rel),
                   "a symbolic link " + to +
                       "; nothing under the data home may be one: the scheduler and the record "
                       "store never follow it");
  Left(f,
       "links are never followed or removed by --repair: see where it leads, then put the "
       "file it stands for in its place or remove the link (rm, never rm -r)");
}

void Doctor::OutputFiles() {
  std::vector<int> ids;
  runOutputModules(&ids);
  for (int id : ids) {
    const std::string folder = std::string(kRunOutputDir) + "/" + std::to_string(id);
    ComDir dir(comIoOpenDir(DataPath(folder).c_str()));
    while (struct dirent* e = dir.ok() ? readdir(dir.get()) : nullptr) {
      struct stat st;
      if (fstatat(dirfd(dir.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
          !S_ISREG(st.st_mode)) {
        continue;
      }
      const std::string who = ctlWriters(st, owner_);
      if (who.empty()) continue;
      Finding& f = Add("writable-by-others", folder + "/" + e->d_name,
                       "the output of a run is " + who +
                           ": whoever can write it changes what log --output and status show");
      Left(f, kLeftWritable);
    }
  }
}

}  // namespace ctl_doctor
