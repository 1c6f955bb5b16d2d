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

constexpr size_t kSector = 512;  // what a power cut writes whole or not at all
// More than any unit writes: a larger log is damaged, never read into memory.
constexpr long long kMaxLog = 1LL << 30;

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
  for (; q < end && *q >= '0' && *q <= '9' && q - *p < 19; ++q) {
    v = v * 10 + static_cast<unsigned>(*q - '0');
  }
  if (q == *p || (q < end && *q >= '0' && *q <= '9')) return false;
  *out = v;
  *p = q;
  return true;
}

bool Skip(const char** p, const char* end, char c) {
  if (*p >= end || **p != c) return false;
  ++*p;
  return true;
}

// " <16 lowercase hex digits>\n" at *p, as the writer spells the checksum of
// [from, *p).
bool ReadSum(const char** p, const char* end, const char* from) {
  if (end - *p < 18 || (*p)[0] != ' ' || (*p)[17] != '\n') return false;
  uint64_t want = 0;
  for (const char* h = *p + 1; h < *p + 17; ++h) {
    const int digit = *h >= '0' && *h <= '9'   ? *h - '0'
                      : *h >= 'a' && *h <= 'f' ? *h - 'a' + 10
                                               : -1;
    if (digit < 0) return false;
    want = want << 4 | static_cast<uint64_t>(digit);
  }
  if (want != Checksum(from, static_cast<size_t>(*p - from))) return false;
  *p += 18;
  return true;
}

// The kind and generation that begin an entry of the second format at `p`.
bool ReadHead(const char* p, const char* end, unsigned long long* gen) {
  return p < end && ++p < end && Skip(&p, end, ' ') && ReadNumber(&p, end, gen) &&
         Skip(&p, end, ' ');
}

// The fields of an entry at *p, up to its checksum; `withGen` for the second
// format. False when [*p, end) does not hold them.
bool ReadFields(const char** p, const char* end, bool withGen, Entry* e) {
  const char* q = *p;
  unsigned long long tag = 0;
  if (q >= end) return false;
  e->kind = *q++;
  if (!Skip(&q, end, ' ')) return false;
  if (withGen && (!ReadNumber(&q, end, &e->gen) || !Skip(&q, end, ' '))) return false;
  if (!ReadNumber(&q, end, &tag) || tag > 0x7fffffffull || !Skip(&q, end, ' ') ||
      !ReadNumber(&q, end, &e->a) || !Skip(&q, end, ' ') || !ReadNumber(&q, end, &e->b) ||
      !Skip(&q, end, ' ') || !ReadText(&q, end, &e->p1) || !Skip(&q, end, ' ') ||
      !ReadText(&q, end, &e->p2)) {
    return false;
  }
  if (withGen && (!Skip(&q, end, ' ') || !ReadText(&q, end, &e->p3))) return false;
  e->tag = static_cast<int>(tag);
  *p = q;
  return true;
}

// The entry at `at` of `text` when it verifies.
bool ReadEntry(const std::string& text, size_t at, bool withGen, Entry* e) {
  *e = Entry();
  const char* start = text.data() + at;
  const char* end = text.data() + text.size();
  const char* q = start;
  if (at >= text.size() || !ReadFields(&q, end, withGen, e) || !ReadSum(&q, end, start)) {
    return false;
  }
  e->at = at;
  e->end = static_cast<size_t>(q - text.data());
  return true;
}

// What no writer writes into a verified entry: an unknown kind, a missing
// name. Null when the entry is one of a writer's.
const char* Unlike(const Entry& e, bool secondFormat) {
  if (strchr(secondFormat ? "CPBDK" : "CPBDKAN", e.kind) == nullptr || e.kind == '\0') {
    return "an entry of a kind no writer writes";
  }
  if (e.kind != 'K' && e.p1.empty()) return "an entry that names no file";
  if ((e.kind == 'B' || e.kind == 'D') && e.p2.empty()) return "an entry that names no backup copy";
  return nullptr;
}

// Marks `view` damaged for `why` (at byte `at` of the log, when not 0). The
// files it names are those of its entries that verify where an entry may
// begin: of generation `*gen` in the second format, of the first format when
// `secondFormat` is false, of either and any generation when the header is
// not whole (`gen` null, `secondFormat` true).
void Damage(const std::string& text, const unsigned long long* gen, bool secondFormat,
            const std::string& why, size_t at, LogView* view) {
  view->state = LogView::kDamaged;
  view->why = at == 0 ? why : why + " (at byte " + std::to_string(at) + ")";
  view->entries.clear();
  const bool known = gen != nullptr || !secondFormat;
  std::set<std::string> seen;
  auto take = [&](size_t from) {
    for (const bool withGen : {true, false}) {
      Entry e;
      if ((known && withGen != secondFormat) || !ReadEntry(text, from, withGen, &e) ||
          (gen != nullptr && e.gen != *gen)) {
        continue;
      }
      if (e.kind != 'K' && !e.p1.empty() && seen.insert(e.p1).second) view->named.push_back(e.p1);
    }
  };
  take(static_cast<size_t>(kEntriesAt));
  for (size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', nl + 1)) {
    take(nl + 1);
  }
}

}  // namespace

namespace s3journal {

// What a crash of the writer leaves (cs3journal.h) and how each rule follows:
//  - the header is written in one piece within the first sector, so it is
//    whole, and the rest of that sector is never written;
//  - entries are written in order, and every write before the last one was
//    flushed whole, so they follow one another whole from offset 512; the
//    last write may be torn where a sector ends, with the file reaching at
//    least that far, and what lies beyond the tear is what was there before:
//    entries of earlier generations, which a unit reusing the log overwrote
//    from offset 512;
//  - the header's generation is the newest: a unit writes entries only after
//    the commit that made it the header's.
void ParseLog(const std::string& text, LogView* view) {
  *view = LogView();
  if (text.empty()) {
    view->state = LogView::kEmpty;
    return;
  }
  const size_t v1 = sizeof(kHeaderV1) - 1, v2 = sizeof(kHeaderV2) - 1;
  const bool second = text.compare(0, v1, kHeaderV1) != 0;
  unsigned long long gen = 0;
  size_t from = v1;
  if (second) {
    const char* p = text.data();
    const char* end = p + text.size();
    const char* q = p + v2;
    if (text.compare(0, v2, kHeaderV2) != 0 || !ReadNumber(&q, end, &gen) || !ReadSum(&q, end, p)) {
      return Damage(text, nullptr, true, "it does not begin with a whole header", 0, view);
    }
    from = static_cast<size_t>(kEntriesAt);
    const size_t stray = text.find_first_not_of('\0', static_cast<size_t>(q - p));
    if (stray < from) {
      return Damage(text, &gen, true, "bytes follow its header in the first sector", stray, view);
    }
    if (text.size() <= from) return;
  }
  const unsigned long long* own = second ? &gen : nullptr;
  size_t at = from;
  for (Entry e; ReadEntry(text, at, second, &e) && (!second || e.gen == gen); at = e.end) {
    if (const char* odd = Unlike(e, second)) return Damage(text, own, second, odd, e.at, view);
    view->entries.push_back(e);
  }
  if (at < text.size()) {
    Entry e;
    unsigned long long head = 0;
    const bool verifies = ReadEntry(text, at, second, &e);
    const size_t sectorEnd = (at / kSector + 1) * kSector;
    if (second && verifies && e.gen > gen) {
      return Damage(text, own, true, "an entry of a later generation than its header's", at, view);
    }
    if (second && !verifies && ReadHead(text.data() + at, text.data() + text.size(), &head) &&
        head == gen) {
      // The unit wrote it, so a tear must explain why it does not verify:
      // the file reaches the sector's end, and the entry goes beyond it.
      Entry fields;
      const char* q = text.data() + at;
      const bool sized = ReadFields(&q, text.data() + text.size(), true, &fields);
      if (text.size() < sectorEnd ||
          (sized && static_cast<size_t>(q - text.data()) + 18 <= sectorEnd)) {
        return Damage(text, own, true,
                      "an entry of the unit does not verify, and no write tears there", at, view);
      }
    }
    for (size_t nl = text.find('\n', at); nl != std::string::npos && nl + 1 < text.size();
         nl = text.find('\n', nl + 1)) {
      if (ReadEntry(text, nl + 1, second, &e) && (!second || e.gen >= gen)) {
        return Damage(text, own, second, "an entry that verifies follows one that does not", nl + 1,
                      view);
      }
    }
  }
  view->state = view->entries.empty() ? LogView::kIdle : LogView::kUnit;
}

}  // namespace s3journal

namespace {

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

// Marks a log damaged for what its file (not its bytes) shows; its unit's
// entries, when it has some, name its files.
void Refuse(LogView* view, const std::string& why) {
  view->state = LogView::kDamaged;
  view->why = why;
  for (const Entry& e : view->entries) {
    if (e.kind != 'K' &&
        std::find(view->named.begin(), view->named.end(), e.p1) == view->named.end()) {
      view->named.push_back(e.p1);
    }
  }
  view->entries.clear();
}

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
    if (e.kind == 'K' || kept.count(e.tag) != 0) continue;
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
  return (view.state == LogView::kIdle || view.state == LogView::kEmpty) &&
         comIoUnlink(path.c_str()) == 0;
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
  const std::set<int> kept = Tags(entries, "K");
  const std::set<int> hadFile = Tags(entries, "PBA");
  const char* base = strrchr(journalPath, '/');
  const int pid = LogPid(base != nullptr ? base + 1 : journalPath);

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
  if (failure.failed()) return failure.Result();
  // Everything is back on the disk: the log may go, for good, then the
  // copies.
  if (comIoUnlink(journalPath) != 0 || comIoSyncDir(tempDir.c_str()) != 0) {
    failure.Set("cannot remove", logPath);
    return -1;
  }
  Note(actions, "removed " + Relative(journalPath));
  DropBackups(tempDir, entries, pid, dataDir, actions);
  return kResOk;
}

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
    if (held && IsAlive(LogPid(d->d_name))) continue;
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
