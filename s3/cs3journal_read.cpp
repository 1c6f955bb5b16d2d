// Reading a unit log found in a temporary directory: its file, its bytes
// (cs3journal_parse.cpp) and what its backup copies show; the files it names,
// and the sweep of an idle one.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/com.h"
#include "common/comfile.h"
#include "common/comfile_seam.h"
#include "common/comguard.h"
#include "s3/cs3journal.h"
#include "s3/cs3journal_internal.h"

using namespace s3journal;

namespace {

// More than any unit writes: a larger log is damaged, never read into memory.
constexpr long long kMaxLog = 1LL << 30;

}  // namespace

namespace s3journal {

// The tags whose changes were kept, and those that logged a pre-image (their
// file was there before the unit took it).
std::set<int> Tags(const std::vector<Entry>& entries, const char* kinds) {
  std::set<int> tags;
  for (const Entry& e : entries) {
    if (strchr(kinds, e.kind) != nullptr) tags.insert(e.tag);
  }
  return tags;
}

// True when the log's name `name` lies outside the data home: an absolute
// path elsewhere, or ".." among its names.
bool Outside(const std::string& name) {
  if (!name.empty() && name[0] == '/') return !comHomeHolds(name.c_str());
  for (size_t at = 0; at <= name.size();) {
    size_t slash = name.find('/', at);
    if (slash == std::string::npos) slash = name.size();
    if (slash - at == 2 && name.compare(at, 2, "..") == 0) return true;
    at = slash + 1;
  }
  return false;
}

}  // namespace

namespace {

// Marks a log damaged for what its file (not its bytes) shows; its unit's
// entries, when it has some, name its files.
void Refuse(LogView* view, const std::string& why) {
  view->state = LogView::kDamaged;
  view->why = why;
  for (const Entry& e : view->entries) {
    if (e.kind != 'K' && !e.p1.empty() &&
        std::find(view->named.begin(), view->named.end(), e.p1) == view->named.end()) {
      view->named.push_back(e.p1);
    }
  }
  view->entries.clear();
}

}  // namespace

namespace s3journal {

// Reads the log open at `fd`, which lies in the temporary directory of
// `dataDir`: its bytes (ParseLog), and what only the files tell.
void ReadLog(int fd, const std::string& dataDir, LogView* view) {
  *view = LogView();
  struct stat st;
  std::string text;
  if (fstat(fd, &st) != 0) {
    return Refuse(view, std::string("it cannot be examined: ") + strerror(errno));
  }
  if (!S_ISREG(st.st_mode)) {
    return Refuse(view,
                  S_ISDIR(st.st_mode) ? "it is a folder, not a file" : "it is not a plain file");
  }
  if (st.st_size > kMaxLog) {
    return Refuse(view,
                  "it holds " + std::to_string(st.st_size) + " bytes, more than any unit writes");
  }
  if (!ReadAll(fd, &text)) {
    return Refuse(view, std::string("it cannot be read: ") + strerror(errno));
  }
  try {
    ParseLog(text, view);
  } catch (const std::bad_alloc&) {
    *view = LogView();
    return Refuse(view, "it cannot be read: out of memory");
  }
  if (view->state != LogView::kUnit) return;
  const std::set<int> kept = Tags(view->entries, "K");
  for (const Entry& e : view->entries) {
    for (const std::string* name : {&e.p1, &e.p2}) {
      if (Outside(*name)) return Refuse(view, "it names a file outside the data home: " + *name);
    }
    if ((e.kind != 'B' && e.kind != 'D') || kept.count(e.tag) != 0) continue;
    // A missing copy is one the unit's own rollback, or a recovery, used up.
    struct stat copy;
    if (comIoLstat(Resolve(dataDir, e.p2).c_str(), &copy) != 0) {
      if (errno == ENOENT) continue;
      return Refuse(view, "its backup copy " + e.p2 + " cannot be examined: " + strerror(errno));
    }
    if (!S_ISREG(copy.st_mode)) {
      return Refuse(
          view, "its backup copy " + e.p2 +
                    (S_ISDIR(copy.st_mode) ? " is a folder, not a file" : " is not a plain file"));
    }
  }
}

// Opens the log at `path` as `flags`, never waiting on a pipe. False when it
// is not there; one that cannot be opened is damaged in `view`.
bool OpenLog(const std::string& path, int flags, ComFd* fd, LogView* view) {
  *view = LogView();
  fd->Reset(comIoOpen(path.c_str(), flags | O_NONBLOCK, 0));
  if (fd->ok()) return true;
  if (errno == ENOENT) return false;
  Refuse(view, std::string("it cannot be opened: ") + strerror(errno));
  return true;
}

// The files a log would put back or, damaged, names; relative to the data
// directory.
std::vector<std::string> Named(const LogView& view) {
  if (view.state == LogView::kDamaged) return view.named;
  const std::set<int> kept = Tags(view.entries, "K");
  std::vector<std::string> files;
  std::set<std::string> seen;
  for (const Entry& e : view.entries) {
    if (e.kind == 'K' || e.kind == 'F' || kept.count(e.tag) != 0) continue;
    if (seen.insert(e.p1).second) files.push_back(e.p1);
  }
  return files;
}

// Removes the log `path` when its writer is gone and it holds no entry (a
// process that died between two units, or as it made the log). True when it
// was removed.
bool SweepIfIdle(const std::string& path, int pid) {
  if (IsOwn(path) || IsAlive(pid)) return false;
  ComFd fd;
  LogView view;
  if (!OpenLog(path, O_RDWR, &fd, &view) || !fd.ok() || !SetLock(fd.get(), F_WRLCK) ||
      !SameFile(fd.get(), path.c_str())) {
    return false;
  }
  ReadLog(fd.get(), DirName(DirName(path)), &view);
  // Its void may not be on the disk yet (its writer was killed after a
  // commit): the log is flushed first, or it could come back with its name.
  return (view.state == LogView::kIdle || view.state == LogView::kEmpty) &&
         comIoSync(fd.get()) == 0 && comIoUnlink(path.c_str()) == 0;
}

}  // namespace s3journal
