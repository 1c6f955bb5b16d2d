#include "s3/cs3dataiofile.h"

#include <fcntl.h>
#include <sys/param.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comdate.h"
#include "common/comfile.h"
#include "common/comguard.h"
#include "s3/cs3data.h"
#include "s3/cs3journal.h"

// copy_file_range: Linux (glibc 2.27) and FreeBSD 13.
#if defined(__linux__) || (defined(__FreeBSD_version) && __FreeBSD_version >= 1300037)
#define S3_HAVE_COPY_FILE_RANGE 1
#endif

namespace {

// Room for the decimal text of any int.
constexpr int kIdTextSize = 16;

// An object keeps (slot, key) after its accessor is gone when nobody closed
// it, and may later be handed to another accessor. Had that accessor drawn
// the same key, the stale binding would pass for its own: the object would
// count as already open (-73), or Close would release another object's slot.
// rand() alone repeats a key with a chance of one in RAND_MAX per pair of
// accessors. The low 16 bits therefore come from a per-process serial: of any
// 65535 accessors made one after another in this process no two share a key,
// and beyond that the rand() bits make a repeat unlikely. The serial skips 0,
// so no key equals that of an unbound object.
int DrawKey() {
  static unsigned serial = 0;
  serial = serial % 0xffffu + 1u;
  const unsigned high = static_cast<unsigned>(rand()) & 0x7fffu;
  return static_cast<int>((high << 16) | serial);
}

void IdText(int id, char* out) {
  snprintf(out, kIdTextSize, "%d", id);
}

// Writes all `len` bytes, restarting after an interrupted or short write.
// 0, or -1 with errno.
int WriteAll(int fd, const char* buf, size_t len) {
  return comIoWriteAll(fd, buf, len);
}

bool Durable() {
  return s3GetDurability() == kS3DurabilityFull;
}

std::string ParentOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The outermost directory on the way to `path` that does not exist yet, ""
// when the file's directory exists.
std::string OutermostMissingDir(const char* path) {
  std::string top;
  struct stat st;
  for (std::string dir = ParentOf(path); dir != "/" && dir != "."; dir = ParentOf(dir)) {
    if (stat(dir.c_str(), &st) == 0 || errno != ENOENT) break;
    top = dir;
  }
  return top;
}

// Removes the directories from the one that holds `path` up to and including
// `top` while they are empty: what the creation of a rolled-back file made.
void RemoveCreatedDirs(const char* path, const std::string& top) {
  if (top.empty()) return;
  for (std::string dir = ParentOf(path); dir.size() >= top.size(); dir = ParentOf(dir)) {
    // A level that was never made (the creation failed half-way) is passed.
    if ((comIoRmdir(dir.c_str()) != 0 && errno != ENOENT) || dir == top) return;
  }
}

// Flushes the directories from the one that holds `path` up to the one that
// holds `top` (only the first when top is empty): each new directory's entry
// lives in its parent. A level that is gone (a rollback removed it) is passed.
int SyncDirsUp(const char* path, const std::string& top) {
  std::string dir = ParentOf(path);
  for (;;) {
    if (comIoSyncDir(dir.c_str()) != 0 && errno != ENOENT) return -1;
    if (top.empty() || dir.size() < top.size() || dir == "/" || dir == ".") return 0;
    dir = ParentOf(dir);
  }
}

// read(), restarted when a signal interrupts it before any byte arrived.
ssize_t ReadSome(int fd, char* buf, size_t len) {
  ssize_t n;
  do {
    n = read(fd, buf, len);
  } while (n < 0 && errno == EINTR);
  return n;
}

// Copies `from` (from its current offset) to the current offset of `to`
// until the end of `from`, advancing both offsets. 0, kResIoWriteFailed, or
// kResIoOpenFailed when reading fails (a short copy must not pass for a
// complete one). The kernel copies without a trip through `buf` where it can;
// on any refusal the plain loop goes on from where it stopped and reports the
// failure by its own reading and writing.
int CopyRest(int from, int to, char* buf, size_t size) {
#ifdef S3_HAVE_COPY_FILE_RANGE
  // The kernel's copy bypasses the seam; with hooks installed every byte goes
  // through the plain loop, so that they see (and may fail) each write.
  for (; !comIoHooked();) {
    const ssize_t n = copy_file_range(from, nullptr, to, nullptr, size_t{1} << 30, 0);
    if (n == 0) return kResOk;
    if (n < 0 && errno != EINTR) break;
  }
#endif
  for (;;) {
    ssize_t n = ReadSome(from, buf, size);
    if (n == 0) return kResOk;
    if (n < 0) return kResIoOpenFailed;
    if (WriteAll(to, buf, static_cast<size_t>(n)) != 0) return kResIoWriteFailed;
  }
}

// Creates `path` empty unless something is there already, with its missing
// directories.
void CreateEmpty(const char* path) {
  ComFd fd(comIoOpen(path, O_WRONLY | O_CREAT | O_EXCL, 0644));
  if (!fd.ok() && errno == ENOENT && (comDirCreateAll(path) == 0 || errno == EEXIST)) {
    ComFd again(comIoOpen(path, O_WRONLY | O_CREAT | O_EXCL, 0644));
  }
}

// True when `dir` is a directory strictly inside the data directory, other
// than the temporary directory, and names no parent directory. A record
// object whose file lies directly in the data directory (or a name with "..")
// would otherwise make a whole-directory deletion take the data directory
// itself, or the backup copies, with it.
bool IsDeletableDir(const char* dir) {
  const size_t n = strlen(cPathData);
  if (n == 0 || strncmp(dir, cPathData, n) != 0 || dir[n] != '/' || dir[n + 1] == '\0')
    return false;
  if (strcmp(dir, cPathTemp) == 0) return false;
  for (const char* p = dir + n; (p = strstr(p, "/..")) != nullptr; ++p) {
    if (p[3] == '/' || p[3] == '\0') return false;
  }
  return true;
}

// What a deletion of the record file `path` removes: the file, or with
// `whole` its directory (refused unless IsDeletableDir).
bool DeleteTarget(const char* path, bool whole, char* target) {
  if (!whole) {
    snprintf(target, kComPathMax, "%s", path);
    return true;
  }
  comGetDirName(path, target, kComPathMax);
  return IsDeletableDir(target);
}

// True when something other than a regular file (or a link to one) is at
// `path`. A FIFO or a device where a record file should be would block the
// open or the reads for ever (or never end), and a directory is no record
// file; all are refused before anything is opened.
bool IsNotRegular(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && !S_ISREG(st.st_mode);
}

// Removes the file at `path` when it is empty and no process holds a lock
// on it (a file another process just made and is about to fill stays).
bool RemoveIfEmpty(const char* path) {
  ComFd fd(comIoOpen(path, O_RDWR, 0));
  struct flock lock;
  memset(&lock, 0, sizeof(lock));
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  struct stat st;
  return fd.ok() && fcntl(fd.get(), F_SETLK, &lock) == 0 && fstat(fd.get(), &st) == 0 &&
         st.st_size == 0 && comIoUnlink(path) == 0;
}

// Opens of a record file made again because the file they locked was no
// longer the one at its path (see IsStillAtPath).
constexpr int kReopenRounds = 10;

// True when the open descriptor `fd` is the file that `path` names now. A
// process waiting for a lock holds a descriptor of the file as it was when it
// opened it; when the holder deleted that file meanwhile (a rolled-back new
// file, a deletion) the lock is then won on a file that no path names any
// more, and whatever is written into it is lost. Such an open is made again.
bool IsStillAtPath(int fd, const char* path) {
  struct stat held;
  struct stat named;
  if (fstat(fd, &held) != 0) return true;  // cannot tell: keep the open
  if (stat(path, &named) != 0) return false;
  return held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

}  // namespace

// ---- Construction, connection, slots --------------------------------------------

CS3DataIOFile::CS3DataIOFile() : key(DrawKey()) {}

CS3DataIOFile::~CS3DataIOFile() {
  // Slots first: a rollback copies the backup back through the read buffer.
  init();
  delete[] readBuffer;
}

CS3DataIO::~CS3DataIO() = default;

int CS3DataIOFile::Connect() {
  DisConnect();
  readBuffer = new (std::nothrow) char[kIoReadChunk];
  return readBuffer != nullptr ? kResOk : kResNoMemory;
}

void CS3DataIOFile::DisConnect() {
  init();
  delete[] readBuffer;
  readBuffer = nullptr;
}

int CS3DataIOFile::record(int code) {
  if (code != kResOk) error = code;
  return code;
}

void CS3DataIOFile::init() {
  finishUnit();
  // Newest first, the order in which the changes are undone: when two slots
  // changed the same file, the older backup copy (the file before the unit)
  // is the one put back last.
  for (int i = dataCount - 1; i >= 0; --i) init(i, true);
  delete[] dataList;
  delete[] slotExtra;
  dataList = nullptr;
  slotExtra = nullptr;
  dataCount = 0;
  error = 0;
}

void CS3DataIOFile::init(int slot, bool restore) {
  if (slot < 0 || slot >= dataCount || dataList[slot] == nullptr) return;
  CS3Data* data = dataList[slot];
  SlotExtra& x = slotExtra[slot];
  bool dropBackup = !x.keepBackup;
  // The rollback runs while the descriptor (and so the lock) is still held:
  // another process waiting for the lock then sees the restored bytes, in the
  // same file it is waiting on.
  if (!x.settled) {
    bool undo = restore && error != 0 && hasUndo(data, x);
    // A slot committed alone whose change cannot be flushed is put back: the
    // caller learns of it from the error, and no crash can undo it later.
    if (!undo && !flushSlot(slot)) {
      record(kResIoWriteFailed);
      undo = data->tempPath[0] != '\0';
    }
    bool restored = true;
    if (undo) {
      restored = rollBack(data, x.existed);
      dropBackup = restored;
      if (restored && !x.existed) RemoveCreatedDirs(data->path, x.createdTop);
      // A rollback that is not on the disk must not lose its log entries.
      if (restored) restored = flushRestored(slot);
    }
    // From here on the file is the next holder's: a recovery of this unit
    // must leave it alone. A failed rollback keeps its entries (and copy).
    if (restored && x.tag != 0 && journal != nullptr) journal->LogKept(x.tag);
  }
  if (data->fd != -1) {
    close(data->fd);
    data->fd = -1;
  }
  if (dropBackup && data->tempPath[0] != '\0') comIoUnlink(data->tempPath);
  delete slotExtra[slot].rest;
  slotExtra[slot] = SlotExtra();
  delete data;
  dataList[slot] = nullptr;
}

bool CS3DataIOFile::rollBack(CS3Data* data, bool existed) {
  const char* path = data->path;
  const char* backup = data->tempPath;
  struct stat st;
  if (stat(backup, &st) != 0) {
    // Without a copy of a file that existed there is nothing to put back;
    // deleting the file would lose what is left of it. Another failure than
    // absence: the copy may still be there, so keep it and the file as is.
    if (errno != ENOENT) return false;
    if (!existed) comIoUnlink(path);
    return true;
  }
  if (st.st_size == 0) {
    if (!existed) {
      comIoUnlink(path);
    } else if (data->fd != -1) {
      if (comIoTruncate(data->fd, 0) != 0) return false;
    } else {
      CreateEmpty(path);
    }
    return true;
  }
  // A file open for writing is restored in place through its locked
  // descriptor (same file, same owner and mode); a deleted one, or one whose
  // in-place restore failed, gets the copy moved back.
  if (data->fd != -1 && restoreInPlace(data->fd, backup, static_cast<long>(st.st_size))) {
    return true;
  }
  // The copy's bytes reach the disk before its name replaces the file's (the
  // unit's log may hold the pre-image, so nothing flushed the copy so far).
  if (Durable()) {
    ComFd copy(open(backup, O_RDONLY | O_CLOEXEC));
    if (!copy.ok() || comIoSync(copy.get()) != 0) return false;
  }
  if (comPathRename(backup, path) == 0) return true;
  // A whole-directory deletion took the directory too: re-create it and move
  // the copy back. If that still fails the copy stays in the temporary
  // directory, the only image of the file that is left.
  if ((errno == ENOENT || errno == ENOTDIR) && (comDirCreateAll(path) == 0 || errno == EEXIST) &&
      comPathRename(backup, path) == 0) {
    return true;
  }
  return false;
}

CS3Journal* CS3DataIOFile::unitLog() {
  if (journal == nullptr) journal = new (std::nothrow) CS3Journal();
  return journal;
}

int CS3DataIOFile::logCreated(CS3Data* data) {
  const int slot = slotOf(data);
  if (slot < 0) return kResOk;
  SlotExtra& x = slotExtra[slot];
  if (pendingCreateTag != 0 && pendingCreatePath == data->path) {
    // Logged already, with the entry of the index that hands out its ID.
    x.tag = pendingCreateTag;
    x.createdTop = pendingCreateTop;
    x.createdHere = true;
    pendingCreateTag = 0;
    return kResOk;
  }
  // A rollback removes the directories the creation makes, as a recovery does.
  x.createdTop = OutermostMissingDir(data->path);
  if (!Durable()) return kResOk;
  CS3Journal* log = unitLog();
  if (log == nullptr) return kResNoMemory;
  if (x.tag == 0) x.tag = log->NewTag();
  // A crash after the creation leaves a file (and directories) that only
  // this entry tells apart from one another process made.
  if (log->LogCreated(x.tag, data->path, x.createdTop.c_str()) != 0 || log->Flush() != 0) {
    return kResIoWriteFailed;
  }
  x.createdHere = true;
  return kResOk;
}

int CS3DataIOFile::logCreationAhead(CS3Object& obj, int id) {
  if (!Durable()) return kResOk;
  obj.SetID(id);
  char name[kComPathMax] = "";
  if (obj.GetFileName(name) != kResOk) return kResOk;  // the open will say so
  name[kComPathMax - 1] = '\0';
  char path[kComPathMax];
  S3ComPathEditData(name, path);
  if (comFileGetSize(path) >= 0) return kResOk;
  CS3Journal* log = unitLog();
  if (log == nullptr) return kResNoMemory;
  pendingCreateTag = log->NewTag();
  pendingCreatePath = path;
  pendingCreateTop = OutermostMissingDir(path);
  return log->LogCreated(pendingCreateTag, path, pendingCreateTop.c_str()) == 0 ? kResOk
                                                                                : kResNoMemory;
}

int CS3DataIOFile::prepareChange(CS3Data* data, long long at, long long alsoAt, long long alsoEnd) {
  const int slot = slotOf(data);
  if (slot < 0) return kResOk;
  SlotExtra& x = slotExtra[slot];
  x.changed = true;
  // The unit's own new file is covered by its creation entry, and the bytes
  // from loggedFrom on by the entries made so far.
  if (!Durable() || x.createdHere || at >= x.loggedFrom) return kResOk;
  CS3Journal* log = unitLog();
  if (log == nullptr) return kResNoMemory;
  if (x.tag == 0) x.tag = log->NewTag();
  // The bytes before the change come from the backup copy, the file as it
  // was opened: below loggedFrom nothing has changed since.
  ComFd copy(open(data->tempPath, O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (!copy.ok() || fstat(copy.get(), &st) != 0) return kResIoWriteFailed;
  const long long size = static_cast<long long>(st.st_size);
  const long long from = at < size ? at : size;
  auto preImage = [&](long long start, long long end) {
    std::string bytes(static_cast<size_t>(end - start), '\0');
    return (bytes.empty() || pread(copy.get(), &bytes[0], bytes.size(), start) ==
                                 static_cast<ssize_t>(bytes.size())) &&
           log->LogPreImage(x.tag, data->path, size, start, bytes.data(), bytes.size()) == 0;
  };
  bool ok;
  if (size - from > kIoInlinePreImage) {
    // A large pre-image stays in the backup copy, which is flushed instead.
    ok = log->LogBackup(x.tag, data->path, data->tempPath) == 0;
    x.loggedFrom = 0;
  } else {
    ok = preImage(from, size) && (alsoAt < 0 || alsoAt >= from || preImage(alsoAt, alsoEnd));
    x.loggedFrom = from;
  }
  if (!ok || log->Flush() != 0) {
    x.loggedFrom = kNothingLogged;
    return kResIoWriteFailed;
  }
  return kResOk;
}

bool CS3DataIOFile::flushSlot(int slot) {
  const SlotExtra& x = slotExtra[slot];
  if (!Durable() || !x.changed) return true;
  CS3Data* data = dataList[slot];
  if (x.deleted) {
    // The deletion (of the file, or of its directory) must stay done once the
    // log that could undo it is gone.
    std::string target = x.whole ? ParentOf(data->path) : std::string(data->path);
    return comIoSyncParent(target.c_str()) == 0 || errno == ENOENT;
  }
  if (data->fd != -1 && comIoSync(data->fd) != 0) return false;
  // A new file is found through its directory entry, and a new directory
  // through its parent's.
  if (x.createdHere && SyncDirsUp(data->path, x.createdTop) != 0) return false;
  return true;
}

bool CS3DataIOFile::flushRestored(int slot) {
  const SlotExtra& x = slotExtra[slot];
  if (!Durable() || !x.changed) return true;
  CS3Data* data = dataList[slot];
  bool ok = data->fd == -1 || comIoSync(data->fd) == 0;
  // The file's own entry, and those of the directories a whole deletion or a
  // creation changed, with it.
  const std::string top = x.deleted && x.whole ? ParentOf(data->path) : x.createdTop;
  return SyncDirsUp(data->path, top) == 0 && ok;
}

bool CS3DataIOFile::hasUndo(const CS3Data* data, const SlotExtra& x) {
  // A slot that only holds the paths of a deletion not yet made has nothing
  // to put back.
  return data->tempPath[0] != '\0' && (data->fd != -1 || x.deleted);
}

int CS3DataIOFile::Commit() {
  finishUnit();
  return error;
}

void CS3DataIOFile::removeCreatedDirs(CS3Data* data) {
  const int slot = slotOf(data);
  if (slot >= 0) RemoveCreatedDirs(data->path, slotExtra[slot].createdTop);
}

void CS3DataIOFile::finishUnit() {
  if (error == 0) {
    // The commit point is the log's next generation on the disk; before it
    // every change must be on the disk, or a crash just after it would lose
    // part of the unit.
    bool flushed = true;
    for (int i = 0; i < dataCount && flushed; ++i) {
      if (dataList[i] != nullptr && !slotExtra[i].settled) flushed = flushSlot(i);
    }
    if (flushed && journal != nullptr && journal->Commit() != 0) flushed = false;
    if (!flushed) error = kResIoWriteFailed;
  }
  if (error != 0) {
    // Newest first, as a recovery would: where two slots changed one file the
    // older copy, the file before the unit, is put back last.
    bool all = true;
    for (int i = dataCount - 1; i >= 0; --i) {
      if (dataList[i] == nullptr || slotExtra[i].settled) continue;
      CS3Data* data = dataList[i];
      if (!hasUndo(data, slotExtra[i])) continue;
      if (rollBack(data, slotExtra[i].existed)) {
        if (!slotExtra[i].existed) RemoveCreatedDirs(data->path, slotExtra[i].createdTop);
        // Put back, but not on the disk: the log must stay to finish it.
        if (!flushRestored(i)) {
          slotExtra[i].keepBackup = true;
          all = false;
        }
      } else {
        slotExtra[i].keepBackup = true;
        all = false;
      }
    }
    // Everything is back: the log has nothing left to undo. Otherwise it
    // stays for a recovery, which will find the copies that were kept.
    if (journal != nullptr) {
      if (!all || journal->Commit() != 0) journal->Abandon();
    }
  }
  for (int i = 0; i < dataCount; ++i) {
    if (dataList[i] != nullptr) slotExtra[i].settled = true;
  }
  delete journal;
  journal = nullptr;
}

bool CS3DataIOFile::restoreInPlace(int fd, const char* backup, long size) {
  ComFd from(open(backup, O_RDONLY | O_CLOEXEC));
  if (!from.ok() || lseek(fd, 0, SEEK_SET) != 0) return false;
  char local[8192];
  char* buf = readBuffer != nullptr ? readBuffer : local;
  const size_t bufSize = readBuffer != nullptr ? kIoReadChunk : sizeof(local);
  if (CopyRest(from.get(), fd, buf, bufSize) != kResOk) return false;
  return comIoTruncate(fd, static_cast<off_t>(size)) == 0;
}

int CS3DataIOFile::reAllocData(int n) {
  if (n <= 0) return kResOk;
  CS3Data** list = new (std::nothrow) CS3Data*[dataCount + n];
  SlotExtra* extra = new (std::nothrow) SlotExtra[dataCount + n];
  if (list == nullptr || extra == nullptr) {
    delete[] list;
    delete[] extra;
    return kResNoMemory;
  }
  for (int i = 0; i < dataCount; ++i) {
    list[i] = dataList[i];
    extra[i] = slotExtra[i];
  }
  for (int k = 0; k < n; ++k) {
    list[dataCount + k] = new (std::nothrow) CS3Data();
    if (list[dataCount + k] == nullptr) {
      while (k-- > 0) delete list[dataCount + k];
      delete[] list;
      delete[] extra;
      return kResNoMemory;
    }
  }
  delete[] dataList;
  delete[] slotExtra;
  dataList = list;
  slotExtra = extra;
  dataCount += n;
  return kResOk;
}

int CS3DataIOFile::boundSlot(CS3Object& obj) {
  const int slot = obj.GetFd();
  if (slot < 0) return kResIoNeverOpened;
  // The key check makes a binding left by another accessor (one that no
  // longer exists) point nowhere here, even when the slot number is in use.
  if (slot >= dataCount || dataList[slot] == nullptr || obj.GetFdKey() != key) {
    return kResIoNotOpen;
  }
  return slot;
}

int CS3DataIOFile::getFd(CS3Object& obj) {
  const int slot = boundSlot(obj);
  if (slot >= 0 && slotExtra[slot].broken != 0) return slotExtra[slot].broken;
  return slot;
}

CS3Data* CS3DataIOFile::slotData(CS3Object& obj) {
  const int slot = getFd(obj);
  if (slot < 0 || completeRead(slot) != kResOk) return nullptr;
  return dataList[slot];
}

int CS3DataIOFile::slotOf(const CS3Data* data) const {
  for (int i = 0; i < dataCount; ++i) {
    if (dataList[i] == data) return i;
  }
  return -1;
}

void CS3DataIOFile::setExisted(const CS3Data* data, bool existed) {
  const int slot = slotOf(data);
  if (slot >= 0) slotExtra[slot].existed = existed;
}

// ---- Opens -------------------------------------------------------------------------

int CS3DataIOFile::openStart(CS3Object& obj, int* slot, const int* setId) {
  // Only the buffer is allocated here: Connect() would first release the
  // slots that a deletion reserved without connecting.
  if (readBuffer == nullptr) {
    readBuffer = new (std::nothrow) char[kIoReadChunk];
    if (readBuffer == nullptr) return kResNoMemory;
  }
  int r = obj.SetFd(dataCount, key);
  if (r != kResOk) {
    if (boundSlot(obj) >= 0) return r;
    // Bound by this accessor to a slot released since: bind anew.
    obj.SetFd(-1, 0);
    obj.SetFd(dataCount, key);
  }
  const int s = dataCount;
  if (setId != nullptr) obj.SetID(*setId);
  r = reAllocData(1);
  if (r != kResOk) {
    obj.SetFd(-1, 0);
    if (s != 0) record(r);
    return r;
  }
  *slot = s;
  return kResOk;
}

int CS3DataIOFile::openFail(CS3Object& obj, int slot, int code) {
  Close(obj);
  if (slot != 0) record(code);
  return code;
}

int CS3DataIOFile::OpenAdd(CS3Object& obj) {
  return openAdd(obj, false);
}

int CS3DataIOFile::openAdd(CS3Object& obj, bool firstOnly) {
  int s = 0;
  int r = openStart(obj, &s, nullptr);
  if (r != kResOk) return r;
  CS3Data* data = dataList[s];
  r = openWrite(&obj, data, kIoModeCreate);
  if (r != kResOk) return openFail(obj, s, r);
  r = firstOnly ? readFirst(data, &slotExtra[s].rest) : readData(data, nullptr, nullptr);
  if (r != kResOk && r != kResNoEntry) return openFail(obj, s, r);
  return kResOk;
}

int CS3DataIOFile::OpenMod(CS3Object& obj, const char* requiredId, bool read) {
  int s = 0;
  int r = openStart(obj, &s, nullptr);
  if (r != kResOk) return r;
  CS3Data* data = dataList[s];
  r = openWrite(&obj, data, kIoModeExisting);
  if (r == kResOk && read) r = readData(data, nullptr, requiredId);
  return r == kResOk ? kResOk : openFail(obj, s, r);
}

int CS3DataIOFile::OpenMod(CS3Object& obj, int id) {
  int s = 0;
  int r = openStart(obj, &s, &id);
  if (r != kResOk) return r;
  CS3Data* data = dataList[s];
  char text[kIdTextSize];
  IdText(id, text);
  r = openWrite(&obj, data, kIoModeExisting);
  if (r == kResOk) r = readData(data, text, nullptr);
  return r == kResOk ? kResOk : openFail(obj, s, r);
}

int CS3DataIOFile::OpenGet(CS3Object& obj) {
  int s = 0;
  int r = openStart(obj, &s, nullptr);
  if (r != kResOk) return r;
  if (obj.IsNoOpen()) return kResOk;
  CS3Data* data = dataList[s];
  r = openRead(&obj, data);
  if (r == kResOk) r = readData(data, nullptr, nullptr);
  return r == kResOk ? kResOk : openFail(obj, s, r);
}

int CS3DataIOFile::OpenGet(CS3Object& obj, int id) {
  int s = 0;
  int r = openStart(obj, &s, &id);
  if (r != kResOk) return r;
  CS3Data* data = dataList[s];
  char text[kIdTextSize];
  IdText(id, text);
  r = obj.SetSaveFieldName(data);
  if (r == kResOk) r = openRead(&obj, data);
  if (r == kResOk) r = readData(data, text, nullptr);
  return r == kResOk ? kResOk : openFail(obj, s, r);
}

int CS3DataIOFile::openWrite(CS3Object* obj, CS3Data* data, int mode) {
  char name[kComPathMax] = "";
  int r = obj->GetFileName(name);
  if (r != kResOk) return r;
  name[kComPathMax - 1] = '\0';
  S3ComPathEditData(name, data->path);
  S3ComPathTemp(data->tempPath);
  for (int round = 0; round < kReopenRounds; ++round) {
    const bool existed = comFileGetSize(data->path) >= 0;
    if (mode == kIoModeExisting && !existed) {
      data->tempPath[0] = '\0';
      return kResNoEntry;
    }
    if (IsNotRegular(data->path)) {
      data->tempPath[0] = '\0';
      return kResIoOpenFailed;
    }
    setExisted(data, existed);
    const int slot = slotOf(data);
    if (!existed && slot >= 0 && !slotExtra[slot].createdHere) {
      r = logCreated(data);
      if (r != kResOk) {
        data->tempPath[0] = '\0';
        return r;
      }
    }
    data->fd =
        comFileBackUp(data->path, data->tempPath, lockAttempts, lockWait, share, O_RDWR | O_CREAT);
    if (data->fd == -1) {
      const int e = errno;
      // comFileBackUp leaves no copy behind when it fails.
      data->tempPath[0] = '\0';
      if (e == EACCES || e == EAGAIN) return kResLocked;
      // The file, its copy or a directory could not be made (a full disk):
      // the empty file the open created goes again, with the directories
      // made for it.
      if (!existed) {
        RemoveIfEmpty(data->path);
        removeCreatedDirs(data);
      }
      return kResIoOpenFailed;
    }
    if (IsStillAtPath(data->fd, data->path)) {
      // A dead unit that changed this file is undone before we read it; the
      // copy just made held its half-done bytes, so the open is made again.
      const int settled = Durable() ? s3JournalSettle(data->path, &data->fd) : 0;
      if (settled == 0) {
        // Another process created the file first and wrote to it: it is not
        // this unit's to remove.
        struct stat st;
        if (slot >= 0 && slotExtra[slot].createdHere && fstat(data->fd, &st) == 0 &&
            st.st_size > 0) {
          slotExtra[slot].createdHere = false;
          setExisted(data, true);
        }
        return kResOk;
      }
      comIoUnlink(data->tempPath);
      // The recovery may have removed what this open created (the file, its
      // directories): the next round logs the creation anew.
      if (slot >= 0) slotExtra[slot].createdHere = false;
      if (settled == kResLocked && lockWait > 0) comSleep(static_cast<unsigned>(lockWait));
      continue;
    }
    close(data->fd);
    data->fd = -1;
    comIoUnlink(data->tempPath);
  }
  // The file was replaced under every open: it never stood still long
  // enough to be locked.
  data->tempPath[0] = '\0';
  return kResLocked;
}

int CS3DataIOFile::openRead(CS3Object* obj, CS3Data* data) {
  char name[kComPathMax] = "";
  int r = obj->GetFileName(name);
  if (r != kResOk) return r;
  name[kComPathMax - 1] = '\0';
  S3ComPathEditData(name, data->path);
  data->tempPath[0] = '\0';
  for (int round = 0; round < kReopenRounds; ++round) {
    if (IsNotRegular(data->path)) return kResIoOpenFailed;
    data->fd = comLockFileRead(data->path, lockAttempts, lockWait, share);
    if (data->fd == -1) {
      const int e = errno;
      if (e == ENOENT) return kResNoEntry;
      return (e == EACCES || e == EAGAIN) ? kResLocked : kResIoOpenFailed;
    }
    if (IsStillAtPath(data->fd, data->path)) {
      // A dead unit's half-done change is never read: it is undone first
      // (which takes the write locks and closes our descriptor), and the file
      // opened anew. Only then does this reader lock as every reader does.
      const int settled = Durable() && !s3GetInspect() ? s3JournalSettle(data->path, &data->fd) : 0;
      if (settled == 0) return kResOk;
      if (settled == kResLocked && lockWait > 0) comSleep(static_cast<unsigned>(lockWait));
      continue;
    }
    close(data->fd);
    data->fd = -1;
  }
  return kResLocked;
}

// ---- Reading and writing a slot's file ----------------------------------------------

int CS3DataIOFile::readData(CS3Data* data, const char* wantedId, const char* requiredId) {
  if (readBuffer == nullptr) return kResIoNotConnected;
  if (lseek(data->fd, 0, SEEK_SET) == -1) return kResIoSeekFailed;
  CS3DataParser parser(data, wantedId, requiredId);
  for (;;) {
    const ssize_t n = ReadSome(data->fd, readBuffer, kIoReadChunk);
    if (n == 0) break;
    // A read error is not the end of the file: a whole rewrite from what was
    // read so far would drop the rest of it.
    if (n < 0) return kResIoOpenFailed;
    const int r = parser.Feed(readBuffer, static_cast<size_t>(n));
    if (r == CS3DataParser::kDone) break;
    if (r != CS3DataParser::kGoOn) return r;
  }
  return parser.Finish();
}

int CS3DataIOFile::readFirst(CS3Data* data, CS3DataParser** rest) {
  *rest = nullptr;
  if (readBuffer == nullptr) return kResIoNotConnected;
  if (lseek(data->fd, 0, SEEK_SET) == -1) return kResIoSeekFailed;
  std::unique_ptr<CS3DataParser> parser(new (std::nothrow) CS3DataParser(data, nullptr, nullptr));
  if (parser == nullptr) return kResNoMemory;
  for (;;) {
    const ssize_t n = ReadSome(data->fd, readBuffer, kIoReadChunk);
    if (n == 0) break;
    if (n < 0) return kResIoOpenFailed;
    // Line by line, so that the parse stops exactly after the first record's
    // "end" line, outside any record and with nothing carried over.
    const char* p = readBuffer;
    const char* end = readBuffer + n;
    while (p < end) {
      const char* lf = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
      const char* stop = lf != nullptr ? lf + 1 : end;
      const int r = parser->Feed(p, static_cast<size_t>(stop - p));
      if (r != CS3DataParser::kGoOn) return r;
      p = stop;
      if (lf != nullptr && data->items != nullptr && data->items->nextFilePointer > 0) {
        data->firstElement();
        *rest = parser.release();
        return kResOk;
      }
    }
  }
  return parser->Finish();
}

int CS3DataIOFile::completeRead(int slot) {
  const SlotExtra& x = slotExtra[slot];
  if (x.rest == nullptr && x.bytesAddId == 0) return kResOk;
  const int r = x.rest != nullptr ? parseRest(slot) : replayIndexAdd(slot);
  if (r != kResOk) slotExtra[slot].broken = r;
  return record(r);
}

int CS3DataIOFile::replayIndexAdd(int slot) {
  const int id = slotExtra[slot].bytesAddId;
  slotExtra[slot].bytesAddId = 0;
  CS3Data* data = dataList[slot];
  ComFd from(open(data->tempPath, O_RDONLY | O_CLOEXEC));
  if (!from.ok() || readBuffer == nullptr) return kResIoOpenFailed;
  CS3DataParser parser(data, nullptr, nullptr);
  for (;;) {
    const ssize_t n = ReadSome(from.get(), readBuffer, kIoReadChunk);
    if (n == 0) break;
    if (n < 0) return kResIoOpenFailed;
    const int r = parser.Feed(readBuffer, static_cast<size_t>(n));
    if (r != CS3DataParser::kGoOn) return r;
  }
  int r = parser.Finish();
  if (r != kResOk) return r;
  // AddIndex(obj, nullptr) on the parsed record: the counter, then the entry.
  data->firstElement();
  r = data->SetFieldLastID(id);
  if (r != kResOk) return r;
  data->firstElement();
  r = data->SetFieldValue(id, false, nullptr, nullptr);
  if (r != kResOk) return r;
  // The whole rewrite's walk without its writes: the cursor ends past the
  // last record and the edit lengths are those the rewrite left.
  std::string text;
  for (data->firstSortElement(); !data->IsEndOfData(); data->nextSortElement()) {
    if (data->IsDelete()) {
      data->EditItemDel();
      continue;
    }
    text.clear();
    r = data->EditRecord(&text, nullptr);
    if (r != kResOk) return r;
  }
  return kResOk;
}

int CS3DataIOFile::parseRest(int slot) {
  std::unique_ptr<CS3DataParser> parser(slotExtra[slot].rest);
  slotExtra[slot].rest = nullptr;
  CS3Data* data = dataList[slot];
  // The rest is parsed as it was when the file was opened: from the backup
  // copy, at the offset where the parse stopped. The cursors are put back, so
  // the parsed record ends exactly as a whole read followed by the same steps
  // would have left it.
  _ST_Item* current = data->current;
  _ST_ItemField* field = data->currentField;
  _ST_ItemFieldItems* group = data->currentGroup;
  _ST_ItemField* value = data->currentGroupValue;
  ComFd from(open(data->tempPath, O_RDONLY | O_CLOEXEC));
  if (!from.ok() || readBuffer == nullptr) return kResIoOpenFailed;
  if (lseek(from.get(), parser->Offset(), SEEK_SET) == -1) return kResIoSeekFailed;
  for (;;) {
    const ssize_t n = ReadSome(from.get(), readBuffer, kIoReadChunk);
    if (n == 0) break;
    if (n < 0) return kResIoOpenFailed;
    const int r = parser->Feed(readBuffer, static_cast<size_t>(n));
    if (r != CS3DataParser::kGoOn) return r;
  }
  const int r = parser->Finish();
  if (r != kResOk) return r;
  data->current = current;
  data->currentField = field;
  data->currentGroup = group;
  data->currentGroupValue = value;
  return kResOk;
}

int CS3DataIOFile::writeData(CS3Data* data, const char* id, bool append, CS3Object* filter) {
  if (data->IsEmpty()) return kResNoEntry;
  const bool whole = id == nullptr || id[0] == '\0';
  const bool inPlace = !whole && !append;
  off_t at;
  if (whole) {
    data->firstSortElement();
    at = lseek(data->fd, 0, SEEK_SET);
  } else if (append) {
    at = lseek(data->fd, 0, SEEK_END);
  } else {
    if (data->CompID(id) != 0) return kResIoIdMismatch;
    at = lseek(data->fd, data->GetStartPointNew(), SEEK_SET);
  }
  if (at == -1) return kResIoSeekFailed;

  // The tail of a one-record rewrite comes from the backup copy, the file as
  // it was opened. It is opened before anything is written: without it the
  // records after this one would be cut off by the truncation below, so a
  // missing copy fails the write unless the record is the last one.
  const long oldNext = data->GetNextPoint();
  ComFd tail(inPlace ? open(data->tempPath, O_RDONLY | O_CLOEXEC) : -1);
  if (inPlace) {
    if (!tail.ok()) {
      if (errno != ENOENT && errno != ENOTDIR) return kResIoOpenFailed;
      struct stat st;
      if (fstat(data->fd, &st) != 0) return kResIoOpenFailed;
      if (oldNext + data->sizeDelta < static_cast<long>(st.st_size)) return kResIoOpenFailed;
    }
  }
  int r = prepareChange(data, at);
  if (r != kResOk) return r;
  r = writeDataCurrent(data, id, filter);
  if (r != kResOk) return r;
  if (tail.ok()) {
    if (lseek(tail.get(), oldNext, SEEK_SET) == -1) return kResIoSeekFailed;
    r = CopyRest(tail.get(), data->fd, readBuffer, kIoReadChunk);
    if (r != kResOk) return r;
    tail.Close();
  }
  const off_t end = lseek(data->fd, 0, SEEK_CUR);
  if (end == -1) return kResIoSeekFailed;
  if (comIoTruncate(data->fd, end) != 0) return kResIoTruncateFailed;
  return kResOk;
}

int CS3DataIOFile::writeDataCurrent(CS3Data* data, const char* id, CS3Object* filter) {
  if (data->IsEndOfData()) return kResOk;
  const bool one = id != nullptr && id[0] != '\0';
  // Records are gathered and written in few large writes instead of one write
  // per line; the bytes that reach the file are the same.
  std::string text;
  for (;;) {
    const bool skip = data->IsDelete() || (filter != nullptr && filter->IsDeleteData(data));
    if (skip) {
      data->EditItemDel();
    } else {
      const int r = data->EditRecord(&text, one ? id : nullptr);
      if (r != kResOk) return r;
      if (text.size() >= static_cast<size_t>(kIoReadChunk)) {
        if (WriteAll(data->fd, text.data(), text.size()) != 0) return kResIoWriteFailed;
        text.clear();
      }
    }
    if (one) break;
    data->nextSortElement();
    if (data->IsEndOfData()) break;
  }
  if (!text.empty() && WriteAll(data->fd, text.data(), text.size()) != 0) {
    return kResIoWriteFailed;
  }
  return kResOk;
}

// ---- Deletion ------------------------------------------------------------------------

int CS3DataIOFile::backupData(CS3Object* obj, CS3Data* data, int mode) {
  char name[kComPathMax] = "";
  int r = obj->GetFileName(name);
  if (r != kResOk) return r;
  name[kComPathMax - 1] = '\0';
  S3ComPathEditData(name, data->path);
  S3ComPathTemp(data->tempPath);
  struct stat st;
  const bool exists = stat(data->path, &st) == 0;
  // A directory where the record file should be is no record file: copying
  // it would give an empty "backup" and deleting it would take a whole tree
  // that no rollback could bring back. A FIFO would block the copy.
  if (exists && !S_ISREG(st.st_mode)) {
    data->tempPath[0] = '\0';
    return kResIoBackupFailed;
  }
  if (!exists && mode != kIoModeDelete) {
    data->tempPath[0] = '\0';
    return kResNoEntry;
  }
  setExisted(data, exists);
  // At least one copy is always tried, and creating the missing temporary
  // directory does not use up an attempt: a deletion must never go ahead
  // without its backup copy because the attempts ran out.
  const int attempts = lockAttempts > 0 ? lockAttempts : 1;
  bool madeDir = false;
  for (int i = 0; i < attempts; ++i) {
    if (comCopyFile(data->path, data->tempPath, 0) == 1) return kResOk;
    const int e = errno;
    comIoUnlink(data->tempPath);
    if (e == ENOENT) {
      char dir[kComPathMax];
      comGetDirName(data->tempPath, dir, kComPathMax);
      struct stat dirStat;
      if (stat(dir, &dirStat) == 0) {
        // The record file itself is missing: nothing to back up.
        data->tempPath[0] = '\0';
        return kResOk;
      }
      // EEXIST: another process made the directory just now; the next
      // copy attempt will find it.
      if (madeDir || (comDirCreateAll(data->tempPath) != 0 && errno != EEXIST)) {
        data->tempPath[0] = '\0';
        return kResIoNoDir;
      }
      madeDir = true;
      --i;
      continue;
    }
    if (e == EACCES) {
      if (i + 1 >= attempts) break;
      if (lockWait > 0) comSleep(static_cast<unsigned>(lockWait));
      continue;
    }
    data->tempPath[0] = '\0';
    return kResIoBackupFailed;
  }
  data->tempPath[0] = '\0';
  return kResLocked;
}

int CS3DataIOFile::delData(CS3Object* obj, CS3Data* data, bool wholeDirectory) {
  const int r = delPrepare(obj, data, wholeDirectory);
  return r != kResOk ? r : delFinish(data, wholeDirectory);
}

int CS3DataIOFile::delPrepare(CS3Object* obj, CS3Data* data, bool wholeDirectory) {
  int r = backupData(obj, data, kIoModeDelete);
  if (r != kResOk) return r;
  char target[kComPathMax];
  if (!DeleteTarget(data->path, wholeDirectory, target)) return kResIoDeleteFailed;
  const int slot = slotOf(data);
  if (slot < 0 || data->tempPath[0] == '\0' || !Durable()) return kResOk;
  SlotExtra& x = slotExtra[slot];
  CS3Journal* log = unitLog();
  if (log == nullptr) return kResNoMemory;
  if (x.tag == 0) x.tag = log->NewTag();
  // A small file's content goes into the entry; a large one stays in the
  // backup copy, flushed for the purpose.
  std::string content;
  struct stat st;
  bool inLog = stat(data->tempPath, &st) == 0 && st.st_size <= kIoInlinePreImage;
  if (inLog) {
    ComFd copy(open(data->tempPath, O_RDONLY | O_CLOEXEC));
    content.resize(static_cast<size_t>(st.st_size));
    inLog = copy.ok() && (content.empty() || pread(copy.get(), &content[0], content.size(), 0) ==
                                                 static_cast<ssize_t>(content.size()));
  }
  if (log->LogDeleted(x.tag, data->path, data->tempPath, wholeDirectory,
                      inLog ? &content : nullptr) != 0) {
    return kResIoBackupFailed;
  }
  return kResOk;
}

int CS3DataIOFile::delFinish(CS3Data* data, bool wholeDirectory) {
  char target[kComPathMax];
  if (!DeleteTarget(data->path, wholeDirectory, target)) return kResIoDeleteFailed;
  const int slot = slotOf(data);
  if (slot >= 0 && data->tempPath[0] != '\0') {
    SlotExtra& x = slotExtra[slot];
    if (journal != nullptr && journal->Flush() != 0) return kResIoBackupFailed;
    x.changed = true;
    x.deleted = true;
    x.whole = wholeDirectory;
  }
  if (comDirDelete(target, nullptr) != 0) return kResIoDeleteFailed;
  return kResOk;
}

// ---- Public operations -------------------------------------------------------------------

int CS3DataIOFile::Get(CS3Object& obj) {
  obj.Clean();
  int r = OpenGet(obj);
  if (r != kResOk) return r;
  return GetData(obj, nullptr);
}

int CS3DataIOFile::Get(CS3Object& obj, int id) {
  obj.Clean();
  int r = OpenGet(obj, id);
  if (r != kResOk) return r;
  return GetData(obj, nullptr);
}

// Only record 1 is rewritten, so only the file up to its end is parsed
// before the write; the rest of the parse, which the slot's parsed record
// still owes, is made when (and only if) a later step on this open file looks
// at it. Committing or rolling back does not need it.
int CS3DataIOFile::Mod(CS3Object& obj) {
  int r = openAdd(obj, true);
  if (r != kResOk) return r;
  return record(modData(obj.GetFd(), obj, 1, nullptr));
}

int CS3DataIOFile::Del(CS3Object& obj) {
  const int s = dataCount;
  int r = reAllocData(1);
  if (r != kResOk) return r;
  return record(delData(&obj, dataList[s], false));
}

int CS3DataIOFile::Del(CS3Object& index, CS3Object& record, int id, bool wholeDirectory) {
  const int s = dataCount;
  int r = reAllocData(1);
  if (r != kResOk) return r;
  r = OpenMod(index, nullptr, true);
  if (r != kResOk) return r;
  // The record's backup copy and entry come first, so that the entry reaches
  // the disk with the index's.
  record.SetID(id);
  r = delPrepare(&record, dataList[s], wholeDirectory);
  if (r != kResOk) return this->record(r);
  r = DelIndex(index, id, false);
  if (r != kResOk) return r;
  return this->record(delFinish(dataList[s], wholeDirectory));
}

int CS3DataIOFile::Close(CS3Object& obj) {
  const int slot = boundSlot(obj);  // a broken slot too can be closed
  if (slot < 0) return slot;
  obj.SetFd(-1, 0);
  init(slot, false);
  if (slot == dataCount - 1) dataCount = slot;
  return kResOk;
}

int CS3DataIOFile::GetData(CS3Object& obj, CS3Object* target) {
  const int slot = getFd(obj);
  if (slot < 0) return slot;
  int r = completeRead(slot);
  if (r != kResOk) return r;
  CS3Data* data = dataList[slot];
  CS3Object* dest = target != nullptr ? target : &obj;
  dest->SetID(data->GetID());
  if (!dest->IsGetData()) return kResOk;
  r = dest->GetFieldValue(data);
  return record(r);
}

int CS3DataIOFile::ModData(CS3Object& obj, int id, CS3Object* source) {
  const int slot = getFd(obj);
  if (slot < 0) return slot;
  const int r = completeRead(slot);
  return r != kResOk ? r : modData(slot, obj, id, source);
}

int CS3DataIOFile::modData(int slot, CS3Object& obj, int id, CS3Object* source) {
  CS3Data* data = dataList[slot];
  obj.SetID(id);
  int r;
  if (source != nullptr) {
    r = source->SetFieldValue(data);
    if (r != kResOk) return record(r);
  } else {
    // Nothing has been written yet: a refusal here is recorded only when
    // the unit already holds another file.
    r = obj.PreSetFieldValue(data);
    if (r != kResOk) {
      if (slot != 0) record(r);
      return r;
    }
    r = obj.SetFieldValue(data);
    if (r != kResOk) return record(r);
  }
  char text[kIdTextSize];
  IdText(id, text);
  return record(writeData(data, text, false, nullptr));
}

int CS3DataIOFile::DelIndex(CS3Object& obj, int id, bool removeNow) {
  const int slot = getFd(obj);
  if (slot < 0) return slot;
  int r = completeRead(slot);
  if (r != kResOk) return r;
  CS3Data* data = dataList[slot];
  r = data->DelFieldValue(id, false, removeNow);
  if (r != kResOk) {
    if (slot != 0) record(r);
    return r;
  }
  return record(writeData(data, nullptr, false, nullptr));
}
