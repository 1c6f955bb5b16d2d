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
//   F  after-images  -, -, -, -, one line per file the unit changed:
//                    "f <length> <regions> (<start> <end> <sum>)... <n>:<path>"
//                    or "g <n>:<path>" (gone); written by the commit, or with
//                    the entries of a unit's only change ahead of it; they
//                    count only as the unit's last entry, and an empty one
//                    (written before a further change or a rollback) voids
//                    those before it
// Version 1, "s3journal 1\n" and one line "<kind> <tag> <a> <b> <n>:<path>
// <n>:<text> <checksum>\n" per entry, also knows A (appends from size a) and
// N (the created file is about to change: its C entry, which always comes
// first, already covers it), and no D with content.

namespace {

S3Durability durability = kS3DurabilityFull;
bool inspect = false;

}  // namespace

namespace s3journal {

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
  if (fstat(fd, &held) != 0 || comIoStat(path, &named) != 0) return false;
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
    try {
      out->resize(have + kChunk);
    } catch (const std::bad_alloc&) {
      out->clear();
      errno = ENOMEM;
      return false;
    }
    const ssize_t n = pread(fd, &(*out)[have], kChunk, static_cast<off_t>(have));
    out->resize(have + (n > 0 ? static_cast<size_t>(n) : 0));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
  }
}

}  // namespace s3journal

using namespace s3journal;

// ---- The process's own log files --------------------------------------------------

// The logs this process holds open, for reuse by its later units. fcntl locks
// do not conflict within one process, so a process cannot tell its own live
// logs from dead ones by their locks; it asks this pool instead. A log of this
// pid that is not in it was left by an earlier process that had the same pid,
// or given up by this one. A forked child starts with an empty pool: the
// descriptors it inherited are its parent's, and so are the logs.

struct CS3Journal::File {
  int fd = -1;
  std::string path;
  unsigned long long generation = 1;
  bool busy = false;  // a unit writes into it
  bool fresh = true;  // its name is not yet on the disk
  bool voidPending = false;  // its header voids its entries, not yet flushed
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
    // A log whose void is not on the disk could come back, whole, with the
    // name: it is flushed before it goes.
    if (!log->busy && (!log->voidPending || comIoSync(log->fd) == 0)) {
      comIoUnlink(log->path.c_str());
    }
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
    pool->owner = getpid();
  }
  if (pool->dir != cPathTemp) {
    // Another data home: the idle logs of the last one go.
    RemoveIdle(pool, false);
    pool->dir = cPathTemp;
  }
  return *pool;
}

}  // namespace

namespace s3journal {

bool IsOwn(const std::string& path) {
  std::lock_guard<std::mutex> hold(poolMutex);
  const Pool& pool = ThePool();
  for (const Pool::Log* log : pool.logs) {
    if (log->path == path) return true;
  }
  return false;
}

}  // namespace s3journal

namespace {

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
  // A writer tidies up after itself at its end; a process that only reads
  // (an inspection among them) leaves data/tmp as it found it.
  static bool releaseAtExit = false;
  if (!releaseAtExit) releaseAtExit = atexit(s3JournalRelease) == 0;
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
  ComFd fd(comIoOpen(backup, O_RDONLY, 0));
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

int CS3Journal::LogAfterImages(const std::string& afterImages) {
  pendingAfter_ = afterImages;
  return 0;
}

int CS3Journal::Revoke() {
  pendingAfter_.clear();
  if (lastAfter_.empty()) return 0;
  Add('F', 0, 0, 0, "", "", "", 0);
  return Flush();
}

int CS3Journal::LogKept(int tag) {
  if (file_ == nullptr) return 0;
  Add('K', tag, 0, 0, "", "", "", 0);
  return Flush();
}

int CS3Journal::Flush() {
  if (pending_.empty() && pendingAfter_.empty()) return 0;
  if (file_ == nullptr) {
    file_ = TakeLog();
    if (file_ == nullptr) return -1;
    end_ = kEntriesAt;
  }
  std::string out;
  const std::string gen = std::to_string(file_->generation) + " ";
  auto put = [&](std::string line) {  // a copy: kept as collected, for a retry
    line.insert(2, gen);
    AppendSum(&line);
    out += line;
  };
  for (const std::string& entry : pending_) put(entry);
  // After-images collected ahead come last: they describe every change the
  // entries before them announce.
  if (!pendingAfter_.empty()) {
    Add('F', 0, 0, 0, "", "", pendingAfter_.data(), pendingAfter_.size());
    std::string after = std::move(pending_.back());
    pending_.pop_back();
    put(std::move(after));
  }
  // The entries are written whole at the end; a failed write leaves at most
  // a torn entry, which ends the log where the unit stopped. What it wrote
  // is cut off again (a best effort), so that the log holds what a crash
  // leaves: a torn entry that ends where no sector does would read as damage.
  // In the same round: a new log's name, and the voids of the process's other
  // logs that are not on the disk yet (the change that follows may touch a
  // file their entries name).
  std::vector<ComIoFlush> round{{file_->fd, nullptr}};
  std::vector<File*> voided;
  if (file_->fresh) round.push_back({-1, cPathTemp});
  {
    std::lock_guard<std::mutex> hold(poolMutex);
    for (File* log : ThePool().logs) {
      if (log != file_ && log->voidPending) {
        round.push_back({log->fd, nullptr});
        voided.push_back(log);
      }
    }
  }
  if (comIoPwriteAll(file_->fd, out.data(), out.size(), end_) != 0 ||
      comIoSyncRound(round.data(), static_cast<int>(round.size())) != 0) {
    const int e = errno;
    comIoTruncate(file_->fd, end_);
    errno = e;
    return -1;
  }
  end_ += static_cast<long long>(out.size());
  pending_.clear();
  lastAfter_ = std::move(pendingAfter_);
  pendingAfter_.clear();
  file_->fresh = false;
  file_->voidPending = false;
  std::lock_guard<std::mutex> hold(poolMutex);
  for (File* log : ThePool().logs) {
    if (std::find(voided.begin(), voided.end(), log) != voided.end()) log->voidPending = false;
  }
  return 0;
}

int CS3Journal::CommitRound(const std::string& afterImages, const std::vector<ComIoFlush>& flushes) {
  // After-images flushed ahead of the change, still the log's last entry and
  // still what the files are to hold: the files' round alone commits.
  const bool ahead = pending_.empty() && pendingAfter_.empty() && !afterImages.empty() &&
                     afterImages == lastAfter_;
  pending_.clear();
  pendingAfter_.clear();
  if (file_ == nullptr) {
    lastAfter_.clear();
    return comIoSyncRound(flushes.data(), static_cast<int>(flushes.size()));
  }
  // Nothing left to commit by after-images (every slot was kept or changed
  // nothing): the entries are voided on the disk, as a rollback does.
  if (afterImages.empty()) {
    if (comIoSyncRound(flushes.data(), static_cast<int>(flushes.size())) != 0) return -1;
    return Commit();
  }
  // Until the unit stands, after-images that may be on the disk stay known
  // (lastAfter_): a rollback after a failure here voids them first.
  if (ahead) {
    if (comIoSyncRound(flushes.data(), static_cast<int>(flushes.size())) != 0) return -1;
  } else {
    lastAfter_ = afterImages;
    Add('F', 0, 0, 0, "", "", afterImages.data(), afterImages.size());
    std::string line = std::move(pending_.back());
    pending_.clear();
    line.insert(2, std::to_string(file_->generation) + " ");
    AppendSum(&line);
    std::vector<ComIoFlush> round = flushes;
    round.push_back({file_->fd, nullptr});
    if (comIoPwriteAll(file_->fd, line.data(), line.size(), end_) != 0 ||
        comIoSyncRound(round.data(), static_cast<int>(round.size())) != 0) {
      return -1;
    }
    end_ += static_cast<long long>(line.size());
  }
  lastAfter_.clear();
  // The unit stands. Its entries are voided before its files are let go: on
  // the disk by the log's next flush (see the top of cs3journal.h).
  const std::string header = Header(file_->generation + 1);
  if (comIoPwriteAll(file_->fd, header.data(), header.size(), 0) != 0) {
    // Not voided: the header before goes back whole (a torn one would read
    // as damage) and the log is left for recovery, which keeps the unit (its
    // files match the after-images).
    std::string before = Header(file_->generation);
    before.resize(std::max(before.size(), header.size()), '\0');
    comIoPwriteAll(file_->fd, before.data(), before.size(), 0);
    Abandon();
    return 0;
  }
  ++file_->generation;
  file_->voidPending = true;
  GiveBack(file_, true);
  file_ = nullptr;
  return 0;
}

int CS3Journal::Commit() {
  pending_.clear();
  pendingAfter_.clear();
  lastAfter_.clear();
  if (file_ == nullptr) return 0;
  // The commit point: once the header with the next generation is on the
  // disk, no recovery undoes the unit.
  const std::string header = Header(file_->generation + 1);
  if (comIoPwriteAll(file_->fd, header.data(), header.size(), 0) != 0 ||
      comIoSync(file_->fd) != 0) {
    // A header cut short by the failed write would read as damage: the one
    // before goes back, whole, and the entries stand until a commit (a best
    // effort: the failure is reported either way).
    const int e = errno;
    std::string before = Header(file_->generation);
    before.resize(std::max(before.size(), header.size()), '\0');  // over a longer one, too
    comIoPwriteAll(file_->fd, before.data(), before.size(), 0);
    errno = e;
    return -1;
  }
  ++file_->generation;
  GiveBack(file_, true);
  file_ = nullptr;
  return 0;
}

void CS3Journal::Abandon() {
  pending_.clear();
  pendingAfter_.clear();
  lastAfter_.clear();
  if (file_ == nullptr) return;
  GiveBack(file_, false);
  file_ = nullptr;
}
