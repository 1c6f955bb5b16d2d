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

// The file format (version 2). The first sector holds the header line
// "s3journal 2 <generation> <checksum>\n"; it is only ever rewritten whole,
// in place, in one write shorter than a sector. Entries follow from offset
// 512, each "<kind> <generation> <tag> <a> <b> <n>:<text> <n>:<text> <n>:<bytes>
// <checksum>\n" with the checksum (16 hex digits of FNV-1a) over what comes
// before its space. Only the entries that carry the header's generation and
// follow one another whole from offset 512 count. Kinds, with a, b and the
// texts:
//   C  created       -, -, path, outermost directory made, -
//   P  pre-image     size before, offset, path, -, the bytes there before
//   B  backup copy   -, -, path, backup copy, -
//   D  deleted       whole directory?, content given?, path, backup path,
//                    the content
//   K  kept          (the tag's changes stand)
// Version 1, "s3journal 1\n" and one line "<kind> <tag> <a> <b> <n>:<path>
// <n>:<text> <checksum>\n" per entry, also knows A (appends from size a) and
// N (the created file is about to change: its C entry, which always comes
// first, already covers it), and no D with content.

namespace {

S3Durability durability = kS3DurabilityFull;
bool inspect = false;

const char kPrefix[] = "journal";
const char kHeaderV1[] = "s3journal 1\n";
const char kHeaderV2[] = "s3journal 2 ";
constexpr long long kEntriesAt = 512;

// FNV-1a, 64 bits: enough to tell a whole entry from one cut short or
// overwritten with garbage.
uint64_t Checksum(const char* p, size_t n) {
  uint64_t h = 1469598103934665603ull;
  for (size_t i = 0; i < n; ++i) {
    h ^= static_cast<unsigned char>(p[i]);
    h *= 1099511628211ull;
  }
  return h;
}

void AppendSum(std::string* line) {
  char sum[24];
  snprintf(sum, sizeof(sum), " %016" PRIx64 "\n", Checksum(line->data(), line->size()));
  *line += sum;
}

std::string Header(unsigned long long generation) {
  std::string line = kHeaderV2 + std::to_string(generation);
  AppendSum(&line);
  return line;
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

// The whole file behind `fd` from offset 0. False when reading fails.
// Read straight into the string: a long-lived process keeps written stack
// pages for the rest of its life, so no large buffer goes on the stack here.
bool ReadAll(int fd, std::string* out) {
  constexpr size_t kChunk = 65536;
  out->clear();
  for (;;) {
    const size_t have = out->size();
    out->resize(have + kChunk);
    const ssize_t n = pread(fd, &(*out)[have], kChunk, static_cast<off_t>(have));
    out->resize(have + (n > 0 ? static_cast<size_t>(n) : 0));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
  }
}

// ---- The process's own log files --------------------------------------------------

// The logs this process holds open, for reuse by its later units. fcntl locks
// do not conflict within one process, so a process cannot tell its own live
// logs from dead ones by their locks; it asks this pool instead. A log of this
// pid that is not in it was left by an earlier process that had the same pid,
// or given up by this one. A forked child starts with an empty pool: the
// descriptors it inherited are its parent's, and so are the logs.
}  // namespace

struct CS3Journal::File {
  int fd = -1;
  std::string path;
  unsigned long long generation = 1;
  bool busy = false;  // a unit writes into it
  bool fresh = true;  // its name is not yet on the disk
};

namespace {

struct Pool {
  using Log = CS3Journal::File;
  pid_t owner = 0;
  std::string dir;
  std::vector<Log*> logs;
};
std::mutex poolMutex;

void RemoveIdle(Pool* pool, bool all) {
  for (auto it = pool->logs.begin(); it != pool->logs.end();) {
    Pool::Log* log = *it;
    if (log->busy && !all) {
      ++it;
      continue;
    }
    if (!log->busy) comIoUnlink(log->path.c_str());
    close(log->fd);
    delete log;
    it = pool->logs.erase(it);
  }
}

Pool& ThePool() {
  static Pool* pool = new Pool();
  if (pool->owner != getpid()) {
    // A forked child: what it inherited belongs to its parent.
    for (Pool::Log* log : pool->logs) {
      close(log->fd);
      delete log;
    }
    pool->logs.clear();
    if (pool->owner == 0) atexit(s3JournalRelease);
    pool->owner = getpid();
  }
  if (pool->dir != cPathTemp) {
    // Another data home: the idle logs of the last one go.
    RemoveIdle(pool, false);
    pool->dir = cPathTemp;
  }
  return *pool;
}

bool IsOwn(const std::string& path) {
  std::lock_guard<std::mutex> hold(poolMutex);
  const Pool& pool = ThePool();
  for (const Pool::Log* log : pool.logs) {
    if (log->path == path) return true;
  }
  return false;
}

// An idle log of the process, or a new one (its name reaches the disk with
// its first flush). Null with errno when none could be made.
Pool::Log* TakeLog() {
  std::lock_guard<std::mutex> hold(poolMutex);
  Pool& pool = ThePool();
  for (Pool::Log* log : pool.logs) {
    if (!log->busy) {
      log->busy = true;
      return log;
    }
  }
  static unsigned counter = 0;
  char name[kComPathMax];
  for (int tries = 0; tries < 1000; ++tries) {
    counter = counter % 0x7fffffffu + 1u;
    snprintf(name, sizeof(name), "%s/%s%d.%u", cPathTemp, kPrefix, static_cast<int>(getpid()),
             counter);
    int fd = comIoOpen(name, O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0 && errno == ENOENT) {
      if (comDirCreateAll(name) != 0 && errno != EEXIST) return nullptr;
      fd = comIoOpen(name, O_RDWR | O_CREAT | O_EXCL, 0600);
    }
    if (fd < 0) {
      if (errno == EEXIST) continue;  // left by an earlier process of this pid
      return nullptr;
    }
    // Nobody else knows the name yet, so the lock is free.
    const std::string header = Header(1);
    if (!SetLock(fd, F_WRLCK) || comIoPwriteAll(fd, header.data(), header.size(), 0) != 0) {
      const int e = errno;
      close(fd);
      comIoUnlink(name);
      errno = e;
      return nullptr;
    }
    Pool::Log* log = new (std::nothrow) Pool::Log();
    if (log == nullptr) {
      close(fd);
      comIoUnlink(name);
      errno = ENOMEM;
      return nullptr;
    }
    log->fd = fd;
    log->path = name;
    log->busy = true;
    pool.logs.push_back(log);
    return log;
  }
  errno = EEXIST;
  return nullptr;
}

void GiveBack(Pool::Log* log, bool keep) {
  std::lock_guard<std::mutex> hold(poolMutex);
  Pool& pool = ThePool();
  for (auto it = pool.logs.begin(); it != pool.logs.end(); ++it) {
    if (*it != log) continue;
    if (keep) {
      log->busy = false;
    } else {
      // Abandoned: closed (its lock ends) and left for recovery.
      close(log->fd);
      delete log;
      pool.logs.erase(it);
    }
    return;
  }
}

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
  ComFd fd(open(path.c_str(), O_RDWR | O_CLOEXEC));
  std::vector<Entry> entries;
  return fd.ok() && SetLock(fd.get(), F_WRLCK) && SameFile(fd.get(), path.c_str()) &&
         ReadLog(fd.get(), &entries) && entries.empty() && comIoUnlink(path.c_str()) == 0;
}

// Sweeps the idle logs of dead processes in `tempDir`.
void SweepDir(const std::string& tempDir) {
  ComDir dir(opendir(tempDir.c_str()));
  if (!dir.ok()) return;
  while (struct dirent* d = readdir(dir.get())) {
    const int pid = LogPid(d->d_name);
    if (pid != 0) SweepIfIdle(tempDir + "/" + d->d_name, pid);
  }
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

void s3SetDurability(S3Durability mode) {
  durability = mode;
}

S3Durability s3GetDurability() {
  return durability;
}

void s3SetInspect(bool on) {
  inspect = on;
}

bool s3GetInspect() {
  return inspect;
}

void s3JournalRelease() {
  {
    std::lock_guard<std::mutex> hold(poolMutex);
    Pool& pool = ThePool();
    RemoveIdle(&pool, false);
  }
  SweepDir(cPathTemp);
}

// ---- Writing a log --------------------------------------------------------------

CS3Journal::~CS3Journal() {
  Abandon();
}

void CS3Journal::Add(char kind, int tag, unsigned long long a, unsigned long long b, const char* p1,
                     const char* p2, const char* p3, unsigned long n3) {
  const std::string r1 = Relative(p1);
  const std::string r2 = Relative(p2);
  char head[96];
  // The generation goes in after the kind when the entry is written.
  snprintf(head, sizeof(head), "%c %d %llu %llu %zu:", kind, tag, a, b, r1.size());
  std::string line = head;
  line += r1;
  snprintf(head, sizeof(head), " %zu:", r2.size());
  line += head;
  line += r2;
  snprintf(head, sizeof(head), " %lu:", n3);
  line += head;
  line.append(p3, n3);
  pending_.push_back(std::move(line));
}

int CS3Journal::LogCreated(int tag, const char* path, const char* topDir) {
  Add('C', tag, 0, 0, path, topDir, "", 0);
  return 0;
}

int CS3Journal::LogPreImage(int tag, const char* path, long long size, long long at,
                            const char* bytes, unsigned long n) {
  Add('P', tag, static_cast<unsigned long long>(size), static_cast<unsigned long long>(at), path,
      "", bytes, n);
  return 0;
}

namespace {
// A backup copy's bytes, and its name, reach the disk before an entry names
// it.
int SyncBackup(const char* backup) {
  ComFd fd(open(backup, O_RDONLY | O_CLOEXEC));
  if (!fd.ok() || comIoSync(fd.get()) != 0) return -1;
  return comIoSyncParent(backup);
}
}  // namespace

int CS3Journal::LogBackup(int tag, const char* path, const char* backup) {
  if (SyncBackup(backup) != 0) return -1;
  Add('B', tag, 0, 0, path, backup, "", 0);
  return 0;
}

int CS3Journal::LogDeleted(int tag, const char* path, const char* backup, bool wholeDirectory,
                           const std::string* content) {
  if (content == nullptr && SyncBackup(backup) != 0) return -1;
  Add('D', tag, wholeDirectory ? 1 : 0, content != nullptr ? 1 : 0, path, backup,
      content != nullptr ? content->data() : "", content != nullptr ? content->size() : 0);
  return 0;
}

int CS3Journal::LogKept(int tag) {
  if (file_ == nullptr) return 0;
  Add('K', tag, 0, 0, "", "", "", 0);
  return Flush();
}

int CS3Journal::Flush() {
  if (pending_.empty()) return 0;
  if (file_ == nullptr) {
    file_ = TakeLog();
    if (file_ == nullptr) return -1;
    end_ = kEntriesAt;
  }
  std::string out;
  const std::string gen = std::to_string(file_->generation) + " ";
  for (std::string& line : pending_) {
    line.insert(2, gen);
    AppendSum(&line);
    out += line;
  }
  // The entries are written whole at the end; a failed write leaves at most
  // a torn entry, which ends the log where the unit stopped.
  if (comIoPwriteAll(file_->fd, out.data(), out.size(), end_) != 0 || comIoSync(file_->fd) != 0) {
    return -1;
  }
  end_ += static_cast<long long>(out.size());
  pending_.clear();
  // A new log is found through its name.
  if (file_->fresh) {
    if (comIoSyncDir(cPathTemp) != 0) return -1;
    file_->fresh = false;
  }
  return 0;
}

int CS3Journal::Commit() {
  pending_.clear();
  if (file_ == nullptr) return 0;
  // The commit point: once the header with the next generation is on the
  // disk, no recovery undoes the unit.
  const std::string header = Header(file_->generation + 1);
  if (comIoPwriteAll(file_->fd, header.data(), header.size(), 0) != 0 ||
      comIoSync(file_->fd) != 0) {
    return -1;
  }
  ++file_->generation;
  GiveBack(file_, true);
  file_ = nullptr;
  return 0;
}

void CS3Journal::Abandon() {
  pending_.clear();
  if (file_ == nullptr) return;
  GiveBack(file_, false);
  file_ = nullptr;
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
    if (IsOwn(info.path) || SweepIfIdle(info.path, pid)) continue;
    ComFd fd(open(info.path.c_str(), O_RDONLY | O_CLOEXEC));
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
  ComFd log(open(journalPath, O_RDWR | O_CLOEXEC));
  if (!log.ok()) return errno == ENOENT ? kResOk : -1;
  if (!SetLock(log.get(), F_WRLCK)) return (errno == EACCES || errno == EAGAIN) ? kResLocked : -1;
  // Another recovery may have finished and removed the log while we waited.
  if (!SameFile(log.get(), journalPath)) return kResOk;
  std::vector<Entry> entries;
  if (!ReadLog(log.get(), &entries)) return -1;
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
        ComFd backup(open(Resolve(dataDir, e.p2).c_str(), O_RDONLY | O_CLOEXEC));
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
          if (lstat(through.c_str(), &st) != 0) {
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
