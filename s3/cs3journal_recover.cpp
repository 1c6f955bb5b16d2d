// Reading unit logs and putting back the units of dead processes: what
// recovery, a reader settling a file and the sweep of idle logs share. The
// format is described in cs3journal.cpp.
#include "s3/cs3journal.h"
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comdate.h"
#include "common/comfile.h"
#include "common/comguard.h"
#include "s3/cs3journal_internal.h"

using namespace s3journal;

namespace {


// Copies the whole of `from` over `to` from offset 0 and cuts `to` there.
int CopyOver(int from, int to) {
  constexpr size_t kChunk = 65536;
  std::unique_ptr<char[]> buf(new (std::nothrow) char[kChunk]);  // not on the stack, as above
  if (buf == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  long long at = 0;
  for (;;) {
    const ssize_t n = pread(from, buf.get(), kChunk, at);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    if (comIoPwriteAll(to, buf.get(), static_cast<unsigned long>(n), at) != 0) return -1;
    at += n;
  }
  return comIoTruncate(to, at);
}

// The files of one recovery, each opened and write-locked once: closing a
// second descriptor of a file would end the process's lock on it.
class Locks {
 public:
  Locks() = default;
  ~Locks() {
    for (auto& f : fds_) {
      if (f.second >= 0) close(f.second);
    }
  }
  Locks(const Locks&) = delete;
  Locks& operator=(const Locks&) = delete;

  // The locked descriptor of `path` (-1 when it does not exist and `create`
  // is false): 0; -1 with errno when it cannot be opened or made; kResLocked
  // when its lock stays held by another process.
  int Get(const std::string& path, bool create, int* fd) {
    auto it = fds_.find(path);
    if (it != fds_.end() && (it->second >= 0 || !create)) {
      *fd = it->second;
      return kResOk;
    }
    int flags = O_RDWR | O_NONBLOCK;
    if (create) {
      if (comDirCreateAll(path.c_str()) != 0 && errno != EEXIST) return -1;
      flags |= O_CREAT;
    }
    const int f = comIoOpen(path.c_str(), flags, 0644);
    if (f < 0) {
      if (errno != ENOENT || create) return -1;
      fds_[path] = -1;
      *fd = -1;
      return kResOk;
    }
    for (int i = 0; !SetLock(f, F_WRLCK); ++i) {
      if ((errno != EACCES && errno != EAGAIN) || i + 1 >= kAttempts) {
        const int e = errno;
        close(f);
        errno = e;
        return errno == EACCES || errno == EAGAIN ? kResLocked : -1;
      }
      comSleep(1);
    }
    fds_[path] = f;
    *fd = f;
    return kResOk;
  }
  // Flushes every file a recovery wrote. False when one cannot be flushed.
  bool SyncWritten() {
    bool ok = true;
    for (int fd : written_) ok = comIoSync(fd) == 0 && ok;
    return ok;
  }
  void Written(int fd) {
    if (fd >= 0) written_.insert(fd);
  }

 private:
  static constexpr int kAttempts = 10;
  std::map<std::string, int> fds_;
  std::set<int> written_;
};

void Note(std::vector<std::string>* actions, const std::string& text) {
  if (actions != nullptr) actions->push_back(text);
}

// Removes the empty directories from `dir` up to and including `top` that a
// creation made; the directories whose entries changed are added to *dirty.
void RemoveMadeDirs(std::string dir, const std::string& top, std::set<std::string>* dirty) {
  if (top.empty()) return;
  while (dir == top || (dir.size() > top.size() && dir.compare(0, top.size(), top) == 0 &&
                        dir[top.size()] == '/')) {
    // A level the creation never made (or whose making was lost) is passed.
    if (comIoRmdir(dir.c_str()) == 0) {
      dirty->insert(DirName(dir));
    } else if (errno != ENOENT) {
      return;
    }
    if (dir == top) return;
    dir = DirName(dir);
  }
}

// Every directory from the one holding `path` up to the data directory.
void DirsUp(const std::string& path, const std::string& dataDir, std::set<std::string>* dirty) {
  for (std::string d = DirName(path); d.size() > dataDir.size(); d = DirName(d)) dirty->insert(d);
  dirty->insert(dataDir);
}

// Removes the backup copies of a dead process: the ones its log names, and
// every other temp<pid>.<n> it left when it is gone (a backup made just
// before the crash, not yet in the log).
void DropBackups(const std::string& tempDir, const std::vector<Entry>& entries, int pid,
                 const std::string& dataDir, std::vector<std::string>* actions) {
  for (const Entry& e : entries) {
    if ((e.kind == 'B' || e.kind == 'D') && comIoUnlink(Resolve(dataDir, e.p2).c_str()) == 0) {
      Note(actions, "removed backup " + e.p2);
    }
  }
  if (IsAlive(pid)) return;
  ComDir dir(comIoOpenDir(tempDir.c_str()));
  if (!dir.ok()) return;
  char prefix[32];
  snprintf(prefix, sizeof(prefix), "temp%d.", pid);
  const size_t n = strlen(prefix);
  while (struct dirent* d = readdir(dir.get())) {
    if (strncmp(d->d_name, prefix, n) != 0) continue;
    const std::string path = tempDir + "/" + d->d_name;
    if (comIoUnlink(path.c_str()) == 0) Note(actions, "removed backup " + Relative(path.c_str()));
  }
}

// Puts a deleted file back from `content` through the path `through`: the
// bytes are written there and flushed, then moved into place in one rename.
bool RestoreThrough(const std::string& path, const std::string& through,
                    const std::string& content) {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK;
  int raw = comIoOpen(through.c_str(), kFlags, 0644);
  if (raw < 0 && errno == ENOENT && (comDirCreateAll(through.c_str()) == 0 || errno == EEXIST)) {
    raw = comIoOpen(through.c_str(), kFlags, 0644);
  }
  ComFd fd(raw);
  if (!fd.ok() || comIoWriteAll(fd.get(), content.data(), content.size()) != 0 ||
      comIoSync(fd.get()) != 0 || fd.Close() != 0) {
    return false;
  }
  return (comDirCreateAll(path.c_str()) == 0 || errno == EEXIST) &&
         comPathRename(through.c_str(), path.c_str()) == 0;
}

}  // namespace

namespace s3journal {

// Sweeps the idle logs of dead processes in `tempDir`.
void SweepDir(const std::string& tempDir) {
  ComDir dir(comIoOpenDir(tempDir.c_str()));
  if (!dir.ok()) return;
  while (struct dirent* d = readdir(dir.get())) {
    const int pid = LogPid(d->d_name);
    if (pid != 0) SweepIfIdle(tempDir + "/" + d->d_name, pid);
  }
}

}  // namespace s3journal

// ---- Finding and recovering logs ----------------------------------------------------

namespace {

S3JournalState StateOf(const LogView& view) {
  switch (view.state) {
    case LogView::kEmpty:
      return kS3JournalEmpty;
    case LogView::kUnit:
      return kS3JournalUnit;
    case LogView::kDamaged:
      return kS3JournalDamaged;
    case LogView::kIdle:
      break;
  }
  return kS3JournalIdle;
}

// Keeps the first failure of a recovery: what it could not do to which file,
// and the system's reason (errno as the failed call left it).
class Failure {
 public:
  explicit Failure(std::string* why) : why_(why) {}
  bool failed() const { return failed_; }
  void Set(const std::string& what, const std::string& file) {
    const int e = errno;
    if (!failed_ && why_ != nullptr) {
      *why_ = what + " " + Relative(file.c_str()) + ": " + strerror(e);
    }
    failed_ = true;
  }
  // A failed Locks::Get of `file`: kResLocked or -1.
  void Lock(int rc, const std::string& file) {
    if (rc == kResLocked) {
      if (!failed_ && why_ != nullptr) {
        *why_ = Relative(file.c_str()) + " stayed locked by another process";
      }
      locked_ = true;
      failed_ = true;
    } else {
      Set("cannot open", file);
    }
  }
  int Result() const { return !failed_ ? kResOk : locked_ ? kResLocked : -1; }

 private:
  std::string* why_;
  bool failed_ = false;
  bool locked_ = false;
};

}  // namespace

int s3JournalList(const char* tempDir, std::vector<S3JournalInfo>* out) {
  ComDir dir(comIoOpenDir(tempDir));
  if (!dir.ok()) return errno == ENOENT ? 0 : -1;
  while (struct dirent* d = readdir(dir.get())) {
    const int pid = LogPid(d->d_name);
    if (pid == 0) continue;
    S3JournalInfo info;
    info.path = std::string(tempDir) + "/" + d->d_name;
    if (IsOwn(info.path)) continue;
    ComFd fd;
    LogView view;
    if (!OpenLog(info.path, O_RDONLY, &fd, &view)) continue;  // recovered meanwhile
    if (fd.ok()) ReadLog(fd.get(), DirName(tempDir), &view);
    struct stat st;
    info.pid = pid;
    info.live = fd.ok() && fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && IsHeld(fd.get());
    info.state = StateOf(view);
    info.files = Named(view);
    info.why = view.why;
    out->push_back(info);
  }
  return 0;
}

namespace {

int PutBack(const std::vector<Entry>& entries, const std::string& dataDir,
            const std::string& tempDir, std::vector<std::string>* actions, Failure* failure);

}  // namespace

int s3JournalRecover(const char* journalPath, std::vector<std::string>* actions, std::string* why) {
  const std::string logPath = journalPath;
  if (IsOwn(logPath)) return kResLocked;
  const std::string tempDir = DirName(logPath);
  const std::string dataDir = DirName(tempDir);
  ComFd log;
  LogView view;
  Failure failure(why);
  if (!OpenLog(logPath, O_RDWR, &log, &view)) return kResOk;
  if (log.ok()) {
    if (!SetLock(log.get(), F_WRLCK)) {
      if (errno == EACCES || errno == EAGAIN) return kResLocked;
      failure.Set("cannot lock", logPath);
      return -1;
    }
    // Another recovery may have finished and removed the log while we waited.
    if (!SameFile(log.get(), journalPath)) return kResOk;
    ReadLog(log.get(), dataDir, &view);
  }
  // The log lies in a folder that the data home's owner, and every program
  // it runs, can write: nothing is done on the word of a log that no crash
  // leaves (a file it names outside the home among them).
  if (view.state == LogView::kDamaged) {
    if (why != nullptr) *why = view.why;
    return kResDeadUnit;
  }
  const std::vector<Entry>& entries = view.entries;
  std::string failedOn;
  const int finished = Finished(entries, dataDir, tempDir, &failedOn);
  if (finished < 0) {
    if (why != nullptr) *why = failedOn + ": " + strerror(errno);
    return -1;
  }
  if (finished == 1) {
    Note(actions, "kept the committed unit of " + Relative(journalPath));
  } else if (PutBack(entries, dataDir, tempDir, actions, &failure) != 0) {
    return failure.Result();
  }
  // Everything is as the unit left it or as before it, on the disk: the log
  // may go, for good, then the copies.
  if (comIoUnlink(journalPath) != 0 || comIoSyncDir(tempDir.c_str()) != 0) {
    failure.Set("cannot remove", logPath);
    return -1;
  }
  Note(actions, "removed " + Relative(journalPath));
  const char* base = strrchr(journalPath, '/');
  DropBackups(tempDir, entries, LogPid(base != nullptr ? base + 1 : journalPath), dataDir, actions);
  return kResOk;
}

namespace {

int PutBack(const std::vector<Entry>& entries, const std::string& dataDir,
            const std::string& tempDir, std::vector<std::string>* actions, Failure* failurep) {
  Failure& failure = *failurep;
  const std::set<int> kept = Tags(entries, "K");
  const std::set<int> hadFile = Tags(entries, "PBA");

  Locks locks;
  std::set<std::string> dirty;  // directories whose entries changed
  // Newest change first: where a unit changed a file twice, the older
  // pre-image (the file before the unit) is the one put back last.
  for (auto it = entries.rbegin(); it != entries.rend() && !failure.failed(); ++it) {
    const Entry& e = *it;
    if (e.kind == 'K' || kept.count(e.tag) != 0) continue;
    const std::string path = Resolve(dataDir, e.p1);
    int fd = -1;
    int rc = kResOk;
    switch (e.kind) {
      case 'P':
      case 'A': {
        // The bytes the unit overwrote go back where they were, and the file
        // is cut to its old size: done twice, the same.
        const bool whole = e.kind == 'P' && e.b == 0 && e.p3.size() == e.a;
        if ((rc = locks.Get(path, whole, &fd)) != kResOk) {
          failure.Lock(rc, path);
        } else if (fd >= 0) {
          const long long at = e.kind == 'P' ? static_cast<long long>(e.b) : 0;
          if ((!e.p3.empty() && comIoPwriteAll(fd, e.p3.data(), e.p3.size(), at) != 0) ||
              comIoTruncate(fd, static_cast<long long>(e.a)) != 0) {
            failure.Set("cannot write", path);
          }
          locks.Written(fd);
          if (!failure.failed()) Note(actions, "restored " + e.p1);
        }
        break;
      }
      case 'B': {
        const std::string copy = Resolve(dataDir, e.p2);
        ComFd backup(comIoOpen(copy.c_str(), O_RDONLY | O_NONBLOCK, 0));
        // No copy: the unit's own rollback already put the file back.
        if (!backup.ok()) {
          if (errno != ENOENT) failure.Set("cannot open the backup copy", copy);
          break;
        }
        if ((rc = locks.Get(path, true, &fd)) != kResOk) {
          failure.Lock(rc, path);
        } else if (CopyOver(backup.get(), fd) != 0) {
          failure.Set("cannot copy back the backup copy " + e.p2 + " over", path);
        }
        locks.Written(fd);
        if (!failure.failed()) Note(actions, "restored " + e.p1 + " from " + e.p2);
        break;
      }
      case 'C': {
        // The unit created the file and held it locked from then on, and a
        // unit voids its entries on the disk before it lets go of a file:
        // whatever is at the path is the unit's, unless the file turned out
        // to be there already (the tag then logged its pre-image). Known by
        // its name alone, since a device number need not survive a reboot.
        if (hadFile.count(e.tag) == 0) {
          if ((rc = locks.Get(path, false, &fd)) != kResOk) {
            failure.Lock(rc, path);
            break;
          }
          if (fd >= 0 && comIoUnlink(path.c_str()) == 0) {
            dirty.insert(DirName(path));
            Note(actions, "removed " + e.p1 + " (created by the unit)");
          } else if (fd >= 0 && errno != ENOENT) {
            failure.Set("cannot remove", path);
          }
        }
        if (!e.p2.empty()) RemoveMadeDirs(DirName(path), Resolve(dataDir, e.p2), &dirty);
        break;
      }
      case 'D': {
        // The file goes back in one rename: until then whatever is at its
        // path (an empty file a writer or an interrupted repair made among
        // them) is not the file. With its content in the log, the file is
        // back when it holds that content; with a backup copy, when the copy
        // has gone (moved into place).
        const std::string through = Resolve(dataDir, e.p2);
        if ((rc = locks.Get(path, false, &fd)) != kResOk) {
          failure.Lock(rc, path);
          break;
        }
        if (e.b == 1) {
          std::string now;
          if (fd >= 0 && ReadAll(fd, &now) && now == e.p3) break;
          if (!RestoreThrough(path, through, e.p3)) failure.Set("cannot put back", path);
        } else {
          struct stat st;
          if (comIoLstat(through.c_str(), &st) != 0) {
            if (errno != ENOENT) failure.Set("cannot examine the backup copy", through);
            break;
          }
          if ((comDirCreateAll(path.c_str()) != 0 && errno != EEXIST) ||
              comPathRename(through.c_str(), path.c_str()) != 0) {
            failure.Set("cannot move back the backup copy " + e.p2 + " to", path);
          }
        }
        if (failure.failed()) break;
        DirsUp(path, dataDir, &dirty);
        dirty.insert(tempDir);
        Note(actions, "restored deleted " + e.p1);
        break;
      }
      default:
        break;
    }
  }
  if (!failure.failed() && !locks.SyncWritten()) failure.Set("cannot flush", "a file it put back");
  for (const std::string& d : dirty) {
    if (comIoSyncDir(d.c_str()) != 0 && errno != ENOENT) failure.Set("cannot flush", d);
  }
  return failure.failed() ? -1 : 0;
}

}  // namespace

int s3JournalDiscard(const char* journalPath) {
  const std::string logPath = journalPath;
  if (IsOwn(logPath)) return kResLocked;
  ComFd log;
  LogView view;
  if (!OpenLog(logPath, O_RDONLY, &log, &view)) return kResNoEntry;
  struct stat st;
  if (log.ok() && fstat(log.get(), &st) == 0 && S_ISREG(st.st_mode)) {
    // Held while it is judged and removed, so that no writer or recovery
    // takes it meanwhile.
    log.Reset(comIoOpen(journalPath, O_RDWR | O_NONBLOCK, 0));
    if (!log.ok()) return errno == ENOENT ? kResNoEntry : -1;
    if (!SetLock(log.get(), F_WRLCK)) return (errno == EACCES || errno == EAGAIN) ? kResLocked : -1;
    if (!SameFile(log.get(), journalPath)) return kResNoEntry;
  }
  if (log.ok()) ReadLog(log.get(), DirName(DirName(logPath)), &view);
  if (view.state != LogView::kDamaged) return kS3JournalNotDamaged;
  if (log.ok() && fstat(log.get(), &st) == 0 && S_ISDIR(st.st_mode)) {
    if (comIoRmdir(journalPath) != 0) return -1;
  } else if (comIoUnlink(journalPath) != 0) {
    return -1;
  }
  return comIoSyncDir(DirName(logPath).c_str()) == 0 ? kResOk : -1;
}

int s3JournalSettle(const char* path, int* fd) {
  if (s3GetDurability() == kS3DurabilityOff) return 0;
  ComDir dir(comIoOpenDir(cPathTemp));
  if (!dir.ok()) return 0;
  const std::string wanted = Relative(path);
  std::vector<std::string> dead;
  bool busy = false;
  bool damaged = false;
  while (struct dirent* d = readdir(dir.get())) {
    if (LogPid(d->d_name) == 0) continue;
    const std::string logPath = std::string(cPathTemp) + "/" + d->d_name;
    if (IsOwn(logPath)) continue;
    ComFd log(comIoOpen(logPath.c_str(), O_RDONLY | O_NONBLOCK, 0));
    struct stat st;
    // What cannot be opened or is no file names nothing that can be known:
    // doctor reports it.
    if (!log.ok() || fstat(log.get(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    const bool held = IsHeld(log.get());
    if (!held && SweepIfIdle(logPath, LogPid(d->d_name))) continue;
    // A live writer's log may name the file without holding it: the writer
    // is about to create or lock it (and waits for us), or kept its change.
    // Waiting for such a writer here could wait for ever on each other.
    // Such a log may name the file with its entries voided only in the page
    // cache: the void reaches the disk before this process changes the file.
    if (held && IsAlive(LogPid(d->d_name))) {
      comIoSync(log.get());
      continue;
    }
    LogView view;
    ReadLog(log.get(), DirName(cPathTemp), &view);
    const std::vector<std::string> files = Named(view);
    if (std::find(files.begin(), files.end(), wanted) == files.end()) continue;
    if (view.state == LogView::kDamaged) {
      damaged = true;
    } else if (!held) {
      dead.push_back(logPath);
    } else {
      // Its writer is gone and yet the log is held: a recovery is putting
      // the file back right now. Going on before it ends would be undone.
      busy = true;
    }
  }
  if (!busy && !damaged && dead.empty()) return 0;
  if (*fd >= 0) close(*fd);
  *fd = -1;
  if (damaged) return kResDeadUnit;
  if (busy) return kResLocked;
  for (const std::string& logPath : dead) {
    const int rc = s3JournalRecover(logPath.c_str(), nullptr);
    if (rc == kResLocked) return kResLocked;
    if (rc != kResOk) return kResDeadUnit;
  }
  return 1;
}
