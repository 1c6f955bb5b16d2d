// The record file accessor's slots, its opens (with the lock, the backup
// copy and the settling of a dead unit first) and its public operations. The
// unit of work is in cs3dataiofile_unit.cpp; reading, writing and deleting a
// slot's file in cs3dataiofile_rw.cpp; index edits in cs3dataiofile_index.cpp.
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
#include "common/comfile_seam.h"
#include "common/comguard.h"
#include "s3/cs3data.h"
#include "s3/cs3data_parse.h"
#include "s3/cs3dataiofile_internal.h"
#include "s3/cs3journal.h"

// copy_file_range: Linux (glibc 2.27) and FreeBSD 13.
#if defined(__linux__) || (defined(__FreeBSD_version) && __FreeBSD_version >= 1300037)
#define S3_HAVE_COPY_FILE_RANGE 1
#endif

namespace s3io {

void IdText(int id, char* out) {
  snprintf(out, kIdTextSize, "%d", id);
}

bool Durable() {
  return s3GetDurability() == kS3DurabilityFull;
}

bool RefuseUnlessRegular(const char* path, const struct stat& st) {
  if (S_ISREG(st.st_mode)) return false;
  comNoteFailure("open", path, 0,
                 S_ISDIR(st.st_mode) ? "a directory where a record file should be"
                                     : "not a regular file (a record file must be one)");
  return true;
}

std::string ParentOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

int FilePaths(CS3Object* obj, CS3Data* data, bool withBackup) {
  char name[kComPathMax] = "";
  const int r = obj->GetFileName(name);
  if (r != kResOk) return r;
  name[kComPathMax - 1] = '\0';
  S3ComPathEditData(name, data->path);
  if (withBackup) {
    S3ComPathTemp(data->tempPath);
  } else {
    data->tempPath[0] = '\0';
  }
  return kResOk;
}

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
    if (comIoWriteAll(to, buf, static_cast<size_t>(n)) != 0) return kResIoWriteFailed;
  }
}

}  // namespace s3io

namespace {

using s3io::Durable;
using s3io::IdText;
using s3io::kIdTextSize;

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

// True when something other than a regular file is at `path`. A FIFO or a
// device where a record file should be would block the open or the reads for
// ever (or never end), a directory is no record file, and a link below the
// data home is never followed; all are refused before anything is opened.
bool IsNotRegular(const char* path) {
  struct stat st;
  if (comIoStat(path, &st) != 0) return errno == ELOOP;
  return s3io::RefuseUnlessRegular(path, st);
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
  if (comIoStat(path, &named) != 0) return false;
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
  int r = s3io::FilePaths(obj, data, true);
  if (r != kResOk || (r = settleAheadOf(data->path)) != kResOk) return r;
  for (int round = 0; round < kReopenRounds; ++round) {
    struct stat st;
    const bool existed = comIoStat(data->path, &st) == 0;
    if (existed ? s3io::RefuseUnlessRegular(data->path, st) : errno == ELOOP) {  // see IsNotRegular
      data->tempPath[0] = '\0';
      return kResIoOpenFailed;
    }
    if (mode == kIoModeExisting && !existed) {
      data->tempPath[0] = '\0';
      return kResNoEntry;
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
      if (settled == kResDeadUnit) {
        // A dead unit's log that cannot be played back names the file: it is
        // not ours to change. What this open created goes again.
        data->tempPath[0] = '\0';
        if (!existed) {
          RemoveIfEmpty(data->path);
          removeCreatedDirs(data);
        }
        return kResDeadUnit;
      }
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
  int r = s3io::FilePaths(obj, data, false);
  if (r != kResOk || (r = settleAheadOf(data->path)) != kResOk) return r;
  for (int round = 0; round < kReopenRounds; ++round) {
    if (IsNotRegular(data->path)) return kResIoOpenFailed;
    data->fd = comLockFileRead(data->path, lockAttempts, lockWait, share);
    if (data->fd == -1) {
      const int e = errno;
      if (e != ENOENT) return (e == EACCES || e == EAGAIN) ? kResLocked : kResIoOpenFailed;
      // A dead unit may have deleted it: it is put back, or the reader refused, as for a file
      // that is there.
      const int settled = Durable() && !s3GetInspect() ? s3JournalSettle(data->path, &data->fd) : 0;
      if (settled == 0 || settled == kResDeadUnit) return settled == 0 ? kResNoEntry : settled;
      if (settled == kResLocked && lockWait > 0) comSleep(static_cast<unsigned>(lockWait));
      continue;
    }
    if (IsStillAtPath(data->fd, data->path)) {
      // A dead unit's half-done change is never read: it is undone first
      // (which takes the write locks and closes our descriptor), and the file
      // opened anew. Only then does this reader lock as every reader does.
      const int settled = Durable() && !s3GetInspect() ? s3JournalSettle(data->path, &data->fd) : 0;
      if (settled == 0 || settled == kResDeadUnit) return settled;
      if (settled == kResLocked && lockWait > 0) comSleep(static_cast<unsigned>(lockWait));
      continue;
    }
    close(data->fd);
    data->fd = -1;
  }
  return kResLocked;
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
