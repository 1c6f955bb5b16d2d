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

// ---- Reading a log ------------------------------------------------------------------

struct Entry {
  char kind = 0;
  int tag = 0;
  unsigned long long a = 0;
  unsigned long long b = 0;
  std::string p1;
  std::string p2;
  std::string p3;
};

// Reads "<len>:<text>" at *p; false when [*p, end) does not hold it.
bool ReadText(const char** p, const char* end, std::string* out) {
  unsigned long long len = 0;
  const char* q = *p;
  for (; q < end && *q >= '0' && *q <= '9'; ++q) len = len * 10 + static_cast<unsigned>(*q - '0');
  if (q == *p || q >= end || *q != ':' || q - *p > 18) return false;
  const char* text = q + 1;
  if (len > static_cast<unsigned long long>(end - text)) return false;
  out->assign(text, static_cast<size_t>(len));
  *p = text + len;
  return true;
}

bool ReadNumber(const char** p, const char* end, unsigned long long* out) {
  unsigned long long v = 0;
  const char* q = *p;
  for (; q < end && *q >= '0' && *q <= '9'; ++q) v = v * 10 + static_cast<unsigned>(*q - '0');
  if (q == *p || q - *p > 19) return false;
  *out = v;
  *p = q;
  return true;
}

bool Skip(const char** p, const char* end, char c) {
  if (*p >= end || **p != c) return false;
  ++*p;
  return true;
}

// " <16 hex digits>\n" at *p, equal to the checksum of [from, *p).
bool ReadSum(const char** p, const char* end, const char* from) {
  if (end - *p < 18 || (*p)[0] != ' ' || (*p)[17] != '\n') return false;
  char hex[17];
  memcpy(hex, *p + 1, 16);
  hex[16] = '\0';
  char* stop = nullptr;
  const unsigned long long want = strtoull(hex, &stop, 16);
  if (*stop != '\0' || want != Checksum(from, static_cast<size_t>(*p - from))) return false;
  *p += 18;
  return true;
}

// One entry at *p; `generation` null for the first format. False for a torn,
// foreign or void entry.
bool ReadEntry(const char** p, const char* end, const unsigned long long* generation, Entry* e) {
  const char* start = *p;
  const char* q = start;
  unsigned long long gen = 0, tag = 0;
  if (q >= end) return false;
  e->kind = *q++;
  if (!Skip(&q, end, ' ')) return false;
  if (generation != nullptr && (!ReadNumber(&q, end, &gen) || !Skip(&q, end, ' '))) return false;
  if (!ReadNumber(&q, end, &tag) || !Skip(&q, end, ' ') || !ReadNumber(&q, end, &e->a) ||
      !Skip(&q, end, ' ') || !ReadNumber(&q, end, &e->b) || !Skip(&q, end, ' ') ||
      !ReadText(&q, end, &e->p1) || !Skip(&q, end, ' ') || !ReadText(&q, end, &e->p2)) {
    return false;
  }
  if (generation != nullptr && (!Skip(&q, end, ' ') || !ReadText(&q, end, &e->p3))) return false;
  if (!ReadSum(&q, end, start) || tag > 0x7fffffffull) return false;
  if (generation != nullptr && gen != *generation) return false;
  e->tag = static_cast<int>(tag);
  *p = q;
  return true;
}

// The valid entries of an open log. False when the file is no log at all.
bool ReadLog(int fd, std::vector<Entry>* entries) {
  std::string text;
  if (!ReadAll(fd, &text)) return false;
  const char* p = text.data();
  const char* end = p + text.size();
  const size_t v1 = sizeof(kHeaderV1) - 1, v2 = sizeof(kHeaderV2) - 1;
  if (text.compare(0, v1, kHeaderV1) == 0) {
    for (p += v1; ReadEntry(&p, end, nullptr, &entries->emplace_back());) {
    }
    entries->pop_back();
    return true;
  }
  if (text.compare(0, v2, kHeaderV2) == 0) {
    const char* q = p + v2;
    unsigned long long generation = 0;
    // A header is written in one piece within a sector: it is whole, or the
    // log is the one being made and holds nothing yet.
    if (!ReadNumber(&q, end, &generation) || !ReadSum(&q, end, p)) return true;
    if (static_cast<long long>(text.size()) < kEntriesAt) return true;
    for (p += kEntriesAt; ReadEntry(&p, end, &generation, &entries->emplace_back());) {
    }
    entries->pop_back();
    return true;
  }
  // A log whose header did not reach the disk holds nothing.
  return text.empty() || text[0] == '\0' ||
         (text.size() < v1 && text.compare(0, text.size(), kHeaderV2, text.size()) == 0);
}

// The tags whose changes were kept, and those that logged a pre-image (their
// file was there before the unit took it).
std::set<int> Tags(const std::vector<Entry>& entries, const char* kinds) {
  std::set<int> tags;
  for (const Entry& e : entries) {
    if (strchr(kinds, e.kind) != nullptr) tags.insert(e.tag);
  }
  return tags;
}

// The files an open log would put back, relative to the data directory.
std::vector<std::string> Named(int fd) {
  std::vector<Entry> entries;
  ReadLog(fd, &entries);
  const std::set<int> kept = Tags(entries, "K");
  std::vector<std::string> files;
  std::set<std::string> seen;
  for (const Entry& e : entries) {
    if (e.kind == 'K' || kept.count(e.tag) != 0) continue;
    if (seen.insert(e.p1).second) files.push_back(e.p1);
  }
  return files;
}

// Removes the log `path` when its writer is gone and it holds no entry (a
// process that died between two units). True when it was removed.
bool SweepIfIdle(const std::string& path, int pid) {
  if (IsOwn(path) || IsAlive(pid)) return false;
  ComFd fd(comIoOpen(path.c_str(), O_RDWR, 0));
  std::vector<Entry> entries;
  return fd.ok() && SetLock(fd.get(), F_WRLCK) && SameFile(fd.get(), path.c_str()) &&
         ReadLog(fd.get(), &entries) && entries.empty() && comIoUnlink(path.c_str()) == 0;
}

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
  // is false); false when its lock stays held by another process.
  bool Get(const std::string& path, bool create, int* fd) {
    auto it = fds_.find(path);
    if (it != fds_.end() && (it->second >= 0 || !create)) {
      *fd = it->second;
      return true;
    }
    int flags = O_RDWR;
    if (create) {
      if (comDirCreateAll(path.c_str()) != 0 && errno != EEXIST) return false;
      flags |= O_CREAT;
    }
    const int f = comIoOpen(path.c_str(), flags, 0644);
    if (f < 0) {
      if (errno != ENOENT || create) return false;
      fds_[path] = -1;
      *fd = -1;
      return true;
    }
    for (int i = 0; !SetLock(f, F_WRLCK); ++i) {
      if ((errno != EACCES && errno != EAGAIN) || i + 1 >= kAttempts) {
        close(f);
        return false;
      }
      comSleep(1);
    }
    fds_[path] = f;
    *fd = f;
    return true;
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
  int raw = comIoOpen(through.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (raw < 0 && errno == ENOENT && (comDirCreateAll(through.c_str()) == 0 || errno == EEXIST)) {
    raw = comIoOpen(through.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
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

int s3JournalList(const char* tempDir, std::vector<S3JournalInfo>* out) {
  ComDir dir(comIoOpenDir(tempDir));
  if (!dir.ok()) return errno == ENOENT ? 0 : -1;
  while (struct dirent* d = readdir(dir.get())) {
    const int pid = LogPid(d->d_name);
    if (pid == 0) continue;
    S3JournalInfo info;
    info.path = std::string(tempDir) + "/" + d->d_name;
    if (IsOwn(info.path) || SweepIfIdle(info.path, pid)) continue;
    ComFd fd(comIoOpen(info.path.c_str(), O_RDONLY, 0));
    if (!fd.ok()) continue;  // recovered meanwhile
    info.pid = pid;
    info.live = IsHeld(fd.get());
    info.files = Named(fd.get());
    out->push_back(info);
  }
  return 0;
}

int s3JournalRecover(const char* journalPath, std::vector<std::string>* actions) {
  const std::string logPath = journalPath;
  if (IsOwn(logPath)) return kResLocked;
  ComFd log(comIoOpen(journalPath, O_RDWR, 0));
  if (!log.ok()) return errno == ENOENT ? kResOk : -1;
  if (!SetLock(log.get(), F_WRLCK)) return (errno == EACCES || errno == EAGAIN) ? kResLocked : -1;
  // Another recovery may have finished and removed the log while we waited.
  if (!SameFile(log.get(), journalPath)) return kResOk;
  std::vector<Entry> entries;
  if (!ReadLog(log.get(), &entries)) return -1;
  // The log lies in a folder that the data home's owner, and every program
  // it runs, can write: a file it names outside the home belongs to no unit
  // of this home, and recovery touches nothing on such a log's word. (Names
  // below the home are resolved by the file layer, which refuses links and
  // "..".)
  for (const Entry& e : entries) {
    for (const std::string* name : {&e.p1, &e.p2}) {
      if (!name->empty() && (*name)[0] == '/' && !comHomeHolds(name->c_str())) {
        errno = EXDEV;
        return -1;
      }
    }
  }
  const std::string tempDir = DirName(logPath);
  const std::string dataDir = DirName(tempDir);
  const std::set<int> kept = Tags(entries, "K");
  const std::set<int> hadFile = Tags(entries, "PBA");
  const char* base = strrchr(journalPath, '/');
  const int pid = LogPid(base != nullptr ? base + 1 : journalPath);

  Locks locks;
  std::set<std::string> dirty;  // directories whose entries changed
  bool failed = false;
  // Newest change first: where a unit changed a file twice, the older
  // pre-image (the file before the unit) is the one put back last.
  for (auto it = entries.rbegin(); it != entries.rend() && !failed; ++it) {
    const Entry& e = *it;
    if (e.kind == 'K' || kept.count(e.tag) != 0) continue;
    const std::string path = Resolve(dataDir, e.p1);
    int fd = -1;
    switch (e.kind) {
      case 'P':
      case 'A': {
        // The bytes the unit overwrote go back where they were, and the file
        // is cut to its old size: done twice, the same.
        const bool whole = e.kind == 'P' && e.b == 0 && e.p3.size() == e.a;
        if (!locks.Get(path, whole, &fd)) {
          failed = true;
        } else if (fd >= 0) {
          const long long at = e.kind == 'P' ? static_cast<long long>(e.b) : 0;
          failed = (!e.p3.empty() && comIoPwriteAll(fd, e.p3.data(), e.p3.size(), at) != 0) ||
                   comIoTruncate(fd, static_cast<long long>(e.a)) != 0;
          locks.Written(fd);
          if (!failed) Note(actions, "restored " + e.p1);
        }
        break;
      }
      case 'B': {
        ComFd backup(comIoOpen(Resolve(dataDir, e.p2).c_str(), O_RDONLY, 0));
        // No copy: the unit's own rollback already put the file back.
        if (!backup.ok()) {
          failed = errno != ENOENT;
          break;
        }
        failed = !locks.Get(path, true, &fd) || CopyOver(backup.get(), fd) != 0;
        locks.Written(fd);
        if (!failed) Note(actions, "restored " + e.p1 + " from " + e.p2);
        break;
      }
      case 'C': {
        // The unit created the file and held it locked from then on, and a
        // unit voids its entries on the disk before it lets go of a file:
        // whatever is at the path is the unit's, unless the file turned out
        // to be there already (the tag then logged its pre-image). Known by
        // its name alone, since a device number need not survive a reboot.
        if (hadFile.count(e.tag) == 0) {
          if (!locks.Get(path, false, &fd)) {
            failed = true;
            break;
          }
          if (fd >= 0 && comIoUnlink(path.c_str()) == 0) {
            dirty.insert(DirName(path));
            Note(actions, "removed " + e.p1 + " (created by the unit)");
          } else if (fd >= 0 && errno != ENOENT) {
            failed = true;
          }
        }
        if (e.kind == 'C' && !e.p2.empty()) {
          RemoveMadeDirs(DirName(path), Resolve(dataDir, e.p2), &dirty);
        }
        break;
      }
      case 'D': {
        // The file goes back in one rename: until then whatever is at its
        // path (an empty file a writer or an interrupted repair made among
        // them) is not the file. With its content in the log, the file is
        // back when it holds that content; with a backup copy, when the copy
        // has gone (moved into place).
        const std::string through = Resolve(dataDir, e.p2);
        if (!locks.Get(path, false, &fd)) {
          failed = true;
          break;
        }
        if (e.b == 1) {
          std::string now;
          if (fd >= 0 && ReadAll(fd, &now) && now == e.p3) break;
          failed = !RestoreThrough(path, through, e.p3);
        } else {
          struct stat st;
          if (comIoLstat(through.c_str(), &st) != 0) {
            failed = errno != ENOENT;
            break;
          }
          failed = (comDirCreateAll(path.c_str()) != 0 && errno != EEXIST) ||
                   comPathRename(through.c_str(), path.c_str()) != 0;
        }
        if (failed) break;
        DirsUp(path, dataDir, &dirty);
        dirty.insert(tempDir);
        Note(actions, "restored deleted " + e.p1);
        break;
      }
      default:
        break;
    }
  }
  if (!locks.SyncWritten()) failed = true;
  for (const std::string& d : dirty) {
    if (comIoSyncDir(d.c_str()) != 0 && errno != ENOENT) failed = true;
  }
  if (failed) return -1;
  // Everything is back on the disk: the log may go, for good, then the
  // copies.
  if (comIoUnlink(journalPath) != 0 || comIoSyncDir(tempDir.c_str()) != 0) return -1;
  Note(actions, "removed " + Relative(journalPath));
  DropBackups(tempDir, entries, pid, dataDir, actions);
  return kResOk;
}

int s3JournalSettle(const char* path, int* fd) {
  if (s3GetDurability() == kS3DurabilityOff) return 0;
  ComDir dir(comIoOpenDir(cPathTemp));
  if (!dir.ok()) return 0;
  const std::string wanted = Relative(path);
  std::vector<std::string> dead;
  bool busy = false;
  while (struct dirent* d = readdir(dir.get())) {
    if (LogPid(d->d_name) == 0) continue;
    const std::string logPath = std::string(cPathTemp) + "/" + d->d_name;
    if (IsOwn(logPath)) continue;
    ComFd log(comIoOpen(logPath.c_str(), O_RDONLY, 0));
    if (!log.ok()) continue;
    const bool held = IsHeld(log.get());
    if (!held && SweepIfIdle(logPath, LogPid(d->d_name))) continue;
    // A live writer's log may name the file without holding it: the writer
    // is about to create or lock it (and waits for us), or kept its change.
    // Waiting for such a writer here could wait for ever on each other.
    if (held && IsAlive(LogPid(d->d_name))) continue;
    const std::vector<std::string> files = Named(log.get());
    if (std::find(files.begin(), files.end(), wanted) == files.end()) continue;
    if (!held) {
      dead.push_back(logPath);
    } else {
      // Its writer is gone and yet the log is held: a recovery is putting
      // the file back right now. Going on before it ends would be undone.
      busy = true;
    }
  }
  if (!busy && dead.empty()) return 0;
  if (*fd >= 0) close(*fd);
  *fd = -1;
  if (busy) return kResLocked;
  for (const std::string& logPath : dead) {
    if (s3JournalRecover(logPath.c_str(), nullptr) != kResOk) return kResLocked;
  }
  return 1;
}
