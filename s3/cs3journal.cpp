#include "s3/cs3journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comdate.h"
#include "common/comfile.h"
#include "common/comguard.h"

namespace {

S3Durability durability = kS3DurabilityFull;

const char kHeader[] = "s3journal 1\n";
const char kPrefix[] = "journal";

// The logs this process holds open. fcntl locks do not conflict within one
// process, so a process cannot tell its own live logs from dead ones by their
// locks; it asks this list instead. A log of this pid that is not listed was
// left by an earlier process that had the same pid.
std::mutex registryMutex;
std::set<std::string>& Registry() {
  static std::set<std::string>* registry = new std::set<std::string>();
  return *registry;
}
void Register(const std::string& path) {
  std::lock_guard<std::mutex> hold(registryMutex);
  Registry().insert(path);
}
void Unregister(const std::string& path) {
  std::lock_guard<std::mutex> hold(registryMutex);
  Registry().erase(path);
}
bool IsOwn(const std::string& path) {
  std::lock_guard<std::mutex> hold(registryMutex);
  return Registry().count(path) != 0;
}

// FNV-1a, 64 bits: enough to tell a whole line from one cut short or
// overwritten with garbage.
uint64_t Checksum(const char* p, size_t n) {
  uint64_t h = 1469598103934665603ull;
  for (size_t i = 0; i < n; ++i) {
    h ^= static_cast<unsigned char>(p[i]);
    h *= 1099511628211ull;
  }
  return h;
}

// A path as the log keeps it: relative to the data directory when it lies
// inside it, so that a home restored elsewhere still recovers.
std::string Relative(const char* path) {
  const size_t n = strlen(cPathData);
  if (n > 0 && strncmp(path, cPathData, n) == 0 && path[n] == '/') return path + n + 1;
  return path;
}

std::string DirName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string Resolve(const std::string& dataDir, const std::string& kept) {
  if (!kept.empty() && kept[0] == '/') return kept;
  return dataDir + "/" + kept;
}

struct Entry {
  char kind = 0;
  int tag = 0;
  unsigned long long a = 0;
  unsigned long long b = 0;
  std::string p1;
  std::string p2;
};

// Reads "<len>:<text>" at *p; false when the line does not hold it.
bool ReadText(const char** p, const char* end, std::string* out) {
  char* stop = nullptr;
  errno = 0;
  const unsigned long long len = strtoull(*p, &stop, 10);
  if (errno != 0 || stop == *p || stop >= end || *stop != ':') return false;
  const char* text = stop + 1;
  if (len > static_cast<unsigned long long>(end - text)) return false;
  out->assign(text, static_cast<size_t>(len));
  *p = text + len;
  return true;
}

bool ReadNumber(const char** p, const char* end, unsigned long long* out) {
  char* stop = nullptr;
  errno = 0;
  *out = strtoull(*p, &stop, 10);
  if (errno != 0 || stop == *p || stop > end) return false;
  *p = stop;
  return true;
}

bool Skip(const char** p, const char* end, char c) {
  if (*p >= end || **p != c) return false;
  ++*p;
  return true;
}

// One entry line without its line feed; false for a torn or foreign line.
bool ParseLine(const char* line, const char* end, Entry* e) {
  const char* sum = static_cast<const char*>(memrchr(line, ' ', static_cast<size_t>(end - line)));
  if (sum == nullptr || end - sum != 17) return false;
  char hex[17];
  memcpy(hex, sum + 1, 16);
  hex[16] = '\0';
  char* stop = nullptr;
  const unsigned long long want = strtoull(hex, &stop, 16);
  if (*stop != '\0' || want != Checksum(line, static_cast<size_t>(sum - line))) return false;
  const char* p = line;
  unsigned long long tag = 0;
  e->kind = *p++;
  return Skip(&p, sum, ' ') && ReadNumber(&p, sum, &tag) && Skip(&p, sum, ' ') &&
         ReadNumber(&p, sum, &e->a) && Skip(&p, sum, ' ') && ReadNumber(&p, sum, &e->b) &&
         Skip(&p, sum, ' ') && ReadText(&p, sum, &e->p1) && Skip(&p, sum, ' ') &&
         ReadText(&p, sum, &e->p2) && p == sum && tag <= 0x7fffffffull &&
         ((e->tag = static_cast<int>(tag)), true);
}

// The entries of an open log, up to the first line that is not whole. False
// when the file is no log at all.
bool ReadLog(int fd, std::vector<Entry>* entries) {
  std::string text;
  char buf[8192];
  off_t at = 0;
  for (;;) {
    const ssize_t n = pread(fd, buf, sizeof(buf), at);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
    at += n;
  }
  const size_t headerLen = sizeof(kHeader) - 1;
  // A log cut short before its header is complete holds no entry.
  if (text.size() < headerLen) return text.compare(0, text.size(), kHeader, text.size()) == 0;
  if (text.compare(0, headerLen, kHeader) != 0) return false;
  size_t pos = headerLen;
  for (;;) {
    const size_t lf = text.find('\n', pos);
    if (lf == std::string::npos) break;
    Entry e;
    if (!ParseLine(text.data() + pos, text.data() + lf, &e)) break;
    entries->push_back(e);
    pos = lf + 1;
  }
  return true;
}

// The tags whose changes were kept.
std::set<int> KeptTags(const std::vector<Entry>& entries) {
  std::set<int> kept;
  for (const Entry& e : entries) {
    if (e.kind == 'K') kept.insert(e.tag);
  }
  return kept;
}

// "journal<pid>.<n>" gives pid; anything else 0.
int LogPid(const char* name) {
  if (strncmp(name, kPrefix, sizeof(kPrefix) - 1) != 0) return 0;
  const char* p = name + sizeof(kPrefix) - 1;
  char* stop = nullptr;
  const long pid = strtol(p, &stop, 10);
  if (stop == p || *stop != '.' || pid <= 0 || pid > 0x7fffffff) return 0;
  const char* q = stop + 1;
  if (*q == '\0') return 0;
  for (; *q != '\0'; ++q) {
    if (*q < '0' || *q > '9') return 0;
  }
  return static_cast<int>(pid);
}

bool IsAlive(int pid) {
  return pid == getpid() || kill(pid, 0) == 0 || errno != ESRCH;
}

bool SetLock(int fd, short type) {
  struct flock lock;
  memset(&lock, 0, sizeof(lock));
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  return fcntl(fd, F_SETLK, &lock) == 0;
}

// True when another process holds a lock on the open file.
bool IsHeld(int fd) {
  struct flock lock;
  memset(&lock, 0, sizeof(lock));
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(fd, F_GETLK, &lock) != 0) return true;  // cannot tell: hands off
  return lock.l_type != F_UNLCK;
}

bool SameFile(int fd, const char* path) {
  struct stat held;
  struct stat named;
  if (fstat(fd, &held) != 0 || stat(path, &named) != 0) return false;
  return held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// Copies the whole of `from` over `to` from offset 0 and cuts `to` there.
int CopyOver(int from, int to) {
  char buf[65536];
  long long at = 0;
  for (;;) {
    const ssize_t n = pread(from, buf, sizeof(buf), at);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    if (comIoPwriteAll(to, buf, static_cast<unsigned long>(n), at) != 0) return -1;
    at += n;
  }
  if (comIoTruncate(to, at) != 0) return -1;
  return comIoSync(to);
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

 private:
  static constexpr int kAttempts = 10;
  std::map<std::string, int> fds_;
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
  ComDir dir(opendir(tempDir.c_str()));
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

}  // namespace

void s3SetDurability(S3Durability mode) {
  durability = mode;
}

S3Durability s3GetDurability() {
  return durability;
}

// ---- Writing a log --------------------------------------------------------------

CS3Journal::~CS3Journal() {
  Abandon();
}

int CS3Journal::Open() {
  static unsigned counter = 0;
  char name[kComPathMax];
  for (int tries = 0; tries < 1000; ++tries) {
    counter = counter % 0x7fffffffu + 1u;
    snprintf(name, sizeof(name), "%s/%s%d.%u", cPathTemp, kPrefix, static_cast<int>(getpid()),
             counter);
    int fd = comIoOpen(name, O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0 && errno == ENOENT) {
      if (comDirCreateAll(name) != 0 && errno != EEXIST) return -1;
      fd = comIoOpen(name, O_RDWR | O_CREAT | O_EXCL, 0600);
    }
    if (fd < 0) {
      if (errno == EEXIST) continue;  // left by an earlier process of this pid
      return -1;
    }
    // Nobody else knows the name yet, so the lock is free.
    if (!SetLock(fd, F_WRLCK) || comIoWriteAll(fd, kHeader, sizeof(kHeader) - 1) != 0) {
      const int e = errno;
      close(fd);
      comIoUnlink(name);
      errno = e;
      return -1;
    }
    fd_ = fd;
    path_ = name;
    Register(path_);
    return 0;
  }
  errno = EEXIST;
  return -1;
}

int CS3Journal::Append(char kind, int tag, unsigned long long a, unsigned long long b,
                       const char* p1, const char* p2) {
  const bool fresh = fd_ < 0;
  if (fresh && Open() != 0) return -1;
  const std::string r1 = Relative(p1);
  const std::string r2 = Relative(p2);
  char head[96];
  snprintf(head, sizeof(head), "%c %d %llu %llu %zu:", kind, tag, a, b, r1.size());
  std::string line = head;
  line += r1;
  snprintf(head, sizeof(head), " %zu:", r2.size());
  line += head;
  line += r2;
  snprintf(head, sizeof(head), " %016" PRIx64 "\n", Checksum(line.data(), line.size()));
  line += head;
  // The entry is written whole at the end; a failed write leaves at most a
  // torn line, which ends the log where the unit stopped.
  if (lseek(fd_, 0, SEEK_END) == -1 || comIoWriteAll(fd_, line.data(), line.size()) != 0 ||
      comIoSync(fd_) != 0) {
    return -1;
  }
  // The log's own name, and the backup copy an entry names, must survive a
  // crash too: both live in the temporary directory.
  if (fresh || kind == 'B' || kind == 'D') return comIoSyncDir(cPathTemp);
  return 0;
}

int CS3Journal::LogCreated(int tag, const char* path, const char* topDir) {
  return Append('C', tag, 0, 0, path, topDir);
}

int CS3Journal::LogNew(int tag, const char* path, unsigned long long dev, unsigned long long ino) {
  return Append('N', tag, dev, ino, path, "");
}

namespace {
// The backup copy's bytes reach the disk before an entry names it.
int SyncBackup(const char* backup) {
  ComFd fd(open(backup, O_RDONLY | O_CLOEXEC));
  if (!fd.ok()) return -1;
  return comIoSync(fd.get());
}
}  // namespace

int CS3Journal::LogBackup(int tag, const char* path, const char* backup) {
  if (SyncBackup(backup) != 0) return -1;
  return Append('B', tag, 0, 0, path, backup);
}

int CS3Journal::LogAppend(int tag, const char* path, long long size) {
  return Append('A', tag, static_cast<unsigned long long>(size), 0, path, "");
}

int CS3Journal::LogDeleted(int tag, const char* path, const char* backup, bool wholeDirectory) {
  if (SyncBackup(backup) != 0) return -1;
  return Append('D', tag, wholeDirectory ? 1 : 0, 0, path, backup);
}

int CS3Journal::LogKept(int tag) {
  if (fd_ < 0) return 0;
  return Append('K', tag, 0, 0, "", "");
}

int CS3Journal::Commit() {
  if (fd_ < 0) return 0;
  // The commit point: once the log's name is gone from the disk, no recovery
  // undoes the unit.
  if (comIoUnlink(path_.c_str()) != 0) return -1;
  Unregister(path_);
  close(fd_);
  fd_ = -1;
  // Past the unlink the unit stands for every live process: rolling it back
  // now would leave a half-restored unit with no log to finish it. A failed
  // flush of the directory is therefore not reported; at worst a crash before
  // the directory reaches the disk brings the log back, and recovery then
  // finds the unit's copies gone and cuts appends back (the files themselves
  // are on the disk already).
  comIoSyncDir(cPathTemp);
  return 0;
}

void CS3Journal::Abandon() {
  if (fd_ < 0) return;
  Unregister(path_);
  close(fd_);
  fd_ = -1;
}

// ---- Finding and recovering logs ----------------------------------------------------

int s3JournalList(const char* tempDir, std::vector<S3JournalInfo>* out) {
  ComDir dir(opendir(tempDir));
  if (!dir.ok()) return errno == ENOENT ? 0 : -1;
  while (struct dirent* d = readdir(dir.get())) {
    const int pid = LogPid(d->d_name);
    if (pid == 0) continue;
    S3JournalInfo info;
    info.path = std::string(tempDir) + "/" + d->d_name;
    if (IsOwn(info.path)) continue;
    ComFd fd(open(info.path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) continue;  // recovered meanwhile
    info.pid = pid;
    info.live = IsHeld(fd.get());
    std::vector<Entry> entries;
    ReadLog(fd.get(), &entries);
    const std::set<int> kept = KeptTags(entries);
    std::set<std::string> seen;
    for (const Entry& e : entries) {
      if (e.kind == 'K' || kept.count(e.tag) != 0) continue;
      if (seen.insert(e.p1).second) info.files.push_back(e.p1);
    }
    out->push_back(info);
  }
  return 0;
}

int s3JournalRecover(const char* journalPath, std::vector<std::string>* actions) {
  const std::string logPath = journalPath;
  if (IsOwn(logPath)) return kResLocked;
  ComFd log(open(journalPath, O_RDWR | O_CLOEXEC));
  if (!log.ok()) return errno == ENOENT ? kResOk : -1;
  if (!SetLock(log.get(), F_WRLCK)) return (errno == EACCES || errno == EAGAIN) ? kResLocked : -1;
  // Another recovery may have finished and removed the log while we waited.
  if (!SameFile(log.get(), journalPath)) return kResOk;
  std::vector<Entry> entries;
  if (!ReadLog(log.get(), &entries)) return -1;
  const std::string tempDir = DirName(logPath);
  const std::string dataDir = DirName(tempDir);
  const std::set<int> kept = KeptTags(entries);
  const char* base = strrchr(journalPath, '/');
  const int pid = LogPid(base != nullptr ? base + 1 : journalPath);

  Locks locks;
  std::set<std::string> dirty;  // directories whose entries changed
  bool failed = false;
  // Newest change first: where a unit changed a file twice, the older
  // pre-image (the file before the unit) is the one put back last.
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    const Entry& e = *it;
    if (e.kind == 'K' || kept.count(e.tag) != 0) continue;
    const std::string path = Resolve(dataDir, e.p1);
    int fd = -1;
    switch (e.kind) {
      case 'A':
        if (!locks.Get(path, false, &fd)) {
          failed = true;
          break;
        }
        if (fd >= 0) {
          struct stat st;
          if (fstat(fd, &st) != 0) {
            failed = true;
          } else if (static_cast<unsigned long long>(st.st_size) > e.a) {
            if (comIoTruncate(fd, static_cast<long long>(e.a)) != 0 || comIoSync(fd) != 0) {
              failed = true;
            } else {
              Note(actions, "cut " + e.p1 + " back to " + std::to_string(e.a) + " bytes");
            }
          }
        }
        break;
      case 'B': {
        ComFd backup(open(Resolve(dataDir, e.p2).c_str(), O_RDONLY | O_CLOEXEC));
        // No copy: the unit's own rollback already put the file back.
        if (!backup.ok()) {
          if (errno != ENOENT) failed = true;
          break;
        }
        if (!locks.Get(path, true, &fd) || CopyOver(backup.get(), fd) != 0) {
          failed = true;
        } else {
          Note(actions, "restored " + e.p1 + " from " + e.p2);
        }
        break;
      }
      case 'N': {
        // The unit created the file and held it locked until it died, and a
        // unit voids its entries on the disk before it lets go of a file:
        // whatever is at the path is the unit's. Known by its name alone,
        // since a device number need not survive a reboot.
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
        break;
      }
      case 'C': {
        struct stat st;
        // Only an empty file can be the unit's own untouched creation; its
        // first change would have been logged with the file's identity.
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0) {
          if (!locks.Get(path, false, &fd)) {
            failed = true;
            break;
          }
          if (fd >= 0 && comIoUnlink(path.c_str()) == 0) {
            dirty.insert(DirName(path));
            Note(actions, "removed " + e.p1 + " (created by the unit)");
          }
        }
        if (!e.p2.empty()) RemoveMadeDirs(DirName(path), Resolve(dataDir, e.p2), &dirty);
        break;
      }
      case 'D': {
        // The copy goes back in one rename: while it is in the temporary
        // directory the file is not back yet (whatever is at its path, an
        // empty file a writer or an interrupted repair made among them), and
        // once it is gone the file is.
        const std::string backup = Resolve(dataDir, e.p2);
        struct stat st;
        if (lstat(backup.c_str(), &st) != 0) {
          if (errno != ENOENT) failed = true;
          break;
        }
        if (!locks.Get(path, false, &fd) ||
            ((comDirCreateAll(path.c_str()) != 0 && errno != EEXIST) ||
             comPathRename(backup.c_str(), path.c_str()) != 0)) {
          failed = true;
          break;
        }
        // Every directory on the way may be new.
        for (std::string d = DirName(path); d.size() > dataDir.size(); d = DirName(d)) {
          dirty.insert(d);
        }
        dirty.insert(dataDir);
        dirty.insert(tempDir);
        Note(actions, "restored deleted " + e.p1 + " from " + e.p2);
        break;
      }
      default:
        break;
    }
  }
  for (const std::string& d : dirty) {
    if (comIoSyncDir(d.c_str()) != 0 && errno != ENOENT) failed = true;
  }
  if (failed) return -1;
  // Everything is back on the disk: the log may go, then the copies.
  if (comIoUnlink(journalPath) != 0 || comIoSyncDir(tempDir.c_str()) != 0) return -1;
  Note(actions, "removed " + Relative(journalPath));
  DropBackups(tempDir, entries, pid, dataDir, actions);
  return kResOk;
}

int s3JournalSettle(const char* path, int* fd) {
  if (durability == kS3DurabilityOff) return 0;
  ComDir dir(opendir(cPathTemp));
  if (!dir.ok()) return 0;
  const std::string wanted = Relative(path);
  std::vector<std::string> dead;
  bool busy = false;
  while (struct dirent* d = readdir(dir.get())) {
    if (LogPid(d->d_name) == 0) continue;
    const std::string logPath = std::string(cPathTemp) + "/" + d->d_name;
    if (IsOwn(logPath)) continue;
    ComFd log(open(logPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!log.ok()) continue;
    std::vector<Entry> entries;
    ReadLog(log.get(), &entries);
    const std::set<int> kept = KeptTags(entries);
    bool names = false;
    for (const Entry& e : entries) {
      if (e.kind != 'K' && kept.count(e.tag) == 0 && e.p1 == wanted) names = true;
    }
    if (!names) continue;
    if (!IsHeld(log.get())) {
      dead.push_back(logPath);
    } else if (!IsAlive(LogPid(d->d_name))) {
      // Its writer is gone and yet the log is held: a recovery is putting
      // the file back right now. Writing before it ends would be undone.
      busy = true;
    }
    // A live writer's log may name the file without holding it: the writer
    // is about to create or lock it (and waits for us), or kept its change.
    // Waiting for such a writer here could wait for ever on each other.
  }
  if (!busy && dead.empty()) return 0;
  close(*fd);
  *fd = -1;
  if (busy) return kResLocked;
  for (const std::string& logPath : dead) {
    if (s3JournalRecover(logPath.c_str(), nullptr) != kResOk) return kResLocked;
  }
  return 1;
}
