// The unit of work of the record file accessor: the log entries written
// before a file is first changed, the flushes before the commit point, the
// commit, and the rollback that puts every changed file back byte for byte
// (through its locked descriptor where it is still open) and removes the
// directories a rolled-back creation made.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comfile.h"
#include "common/comfile_seam.h"
#include "common/comguard.h"
#include "s3/cs3data.h"
#include "s3/cs3data_parse.h"
#include "s3/cs3dataiofile.h"
#include "s3/cs3dataiofile_internal.h"
#include "s3/cs3journal.h"

namespace {

using s3io::CopyRest;
using s3io::Durable;
using s3io::ParentOf;

// The outermost directory on the way to `path` that does not exist yet, ""
// when the file's directory exists.
std::string OutermostMissingDir(const char* path) {
  std::string top;
  struct stat st;
  for (std::string dir = ParentOf(path); dir != "/" && dir != "."; dir = ParentOf(dir)) {
    if (comIoStat(dir.c_str(), &st) == 0 || errno != ENOENT) break;
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

// Creates `path` empty unless something is there already, with its missing
// directories.
void CreateEmpty(const char* path) {
  ComFd fd(comIoOpen(path, O_WRONLY | O_CREAT | O_EXCL, 0644));
  if (!fd.ok() && errno == ENOENT && (comDirCreateAll(path) == 0 || errno == EEXIST)) {
    ComFd again(comIoOpen(path, O_WRONLY | O_CREAT | O_EXCL, 0644));
  }
}

}  // namespace

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
    if (!undo && ((x.held && settleAhead(false) != kResOk) || !flushSlot(slot))) {
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
  const int slot = slotOf(data);
  if (slot >= 0 && slotExtra[slot].held) {
    // The held bytes never reached the file: it is as it was opened, unlike
    // the after-images on the disk.
    slotExtra[slot].held = false;
    slotExtra[slot].heldBytes.clear();
    if (journal != nullptr) journal->Disarm();
  }
  // After-images on the disk that the file matches (a commit whose flush
  // failed wrote them) must not make a recovery keep the unit while it is
  // being put back.
  if (journal != nullptr && journal->Revoke() != 0) return false;
  const char* path = data->path;
  const char* backup = data->tempPath;
  struct stat st;
  if (comIoStat(backup, &st) != 0) {
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
    ComFd copy(comIoOpen(backup, O_RDONLY, 0));
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
  // A file there already, or a link below the home that the open refuses:
  // the unit creates nothing.
  if (comFileGetSize(path) >= 0 || errno == ELOOP) return kResOk;
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
  if (at < x.afterFrom) x.afterFrom = at;
  if (alsoAt >= 0 && alsoAt < x.afterFrom) {
    x.alsoFrom = alsoAt;
    x.alsoTo = alsoEnd;
  }
  // The unit's own new file is covered by its creation entry, and the bytes
  // from loggedFrom on by the entries made so far.
  if (!Durable() || x.createdHere || at >= x.loggedFrom) return kResOk;
  CS3Journal* log = unitLog();
  if (log == nullptr) return kResNoMemory;
  if (x.tag == 0) x.tag = log->NewTag();
  // The bytes before the change come from the backup copy, the file as it
  // was opened: below loggedFrom nothing has changed since.
  ComFd copy(comIoOpen(data->tempPath, O_RDONLY, 0));
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

int CS3DataIOFile::prepareRewrite(CS3Data* data, long long at, std::string* newBytes, bool* held) {
  *held = false;
  const int slot = slotOf(data);
  CS3Journal* log = Durable() ? unitLog() : nullptr;
  // Only the unit's first change, of few bytes (the pre-image of the file
  // as opened goes into the entry itself).
  struct stat st;
  bool ahead = slot >= 0 && log != nullptr && log->IsUnused() &&
               static_cast<long long>(newBytes->size()) <= s3io::kAheadMax &&
               slotExtra[slot].afterFrom == kNothingLogged && !slotExtra[slot].createdHere &&
               comIoStat(data->tempPath, &st) == 0 &&
               st.st_size - std::min<long long>(at, st.st_size) <= s3io::kAheadMax;
  for (int i = 0; ahead && i < dataCount; ++i) {
    if (i != slot && dataList[i] != nullptr && slotExtra[i].changed) ahead = false;
  }
  if (ahead) {
    const long long length = at + static_cast<long long>(newBytes->size());
    const S3AfterRegion region{at, length, s3AfterSum(newBytes->data(), newBytes->size())};
    log->LogAfterImages(s3AfterImage(data->path, false, length, {region}));
  }
  const int r = prepareChange(data, at);
  if (r == kResOk && ahead && log->IsArmed()) {
    SlotExtra& x = slotExtra[slot];
    x.held = true;
    x.heldAt = at;
    x.heldBytes = std::move(*newBytes);
    *held = true;
  }
  return r;
}

int CS3DataIOFile::heldSlot() const {
  for (int i = 0; i < dataCount; ++i) {
    if (dataList[i] != nullptr && slotExtra[i].held) return i;
  }
  return -1;
}

int CS3DataIOFile::settleAhead(bool revoke) {
  const int slot = heldSlot();
  if (slot < 0) return kResOk;
  // Voided first: once the bytes are written, after-images still on the
  // disk would keep the unit as it stands at a crash.
  if (revoke && journal != nullptr && journal->Revoke() != 0) return kResIoWriteFailed;
  SlotExtra& x = slotExtra[slot];
  const int fd = dataList[slot]->fd;
  const std::string bytes = std::move(x.heldBytes);
  x.held = false;
  x.heldBytes.clear();
  const long long end = x.heldAt + static_cast<long long>(bytes.size());
  if (comIoPwriteAll(fd, bytes.data(), bytes.size(), x.heldAt) != 0) return kResIoWriteFailed;
  if (comIoTruncate(fd, end) != 0) return kResIoTruncateFailed;
  return lseek(fd, end, SEEK_SET) == -1 ? kResIoSeekFailed : kResOk;
}

int CS3DataIOFile::settleAheadOf(const char* path) {
  const int slot = heldSlot();
  if (slot < 0 || strcmp(dataList[slot]->path, path) != 0) return kResOk;
  return settleAhead(true);
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
  if (error == 0 && !commitRound()) error = kResIoWriteFailed;
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
    if (dataList[i] != nullptr) {
      slotExtra[i].settled = true;
      slotExtra[i].held = false;
      slotExtra[i].heldBytes.clear();
    }
  }
  delete journal;
  journal = nullptr;
}

bool CS3DataIOFile::afterImage(int slot, std::string* out) {
  const SlotExtra& x = slotExtra[slot];
  CS3Data* data = dataList[slot];
  struct stat st;
  if (fstat(data->fd, &st) != 0) return false;
  const long long size = static_cast<long long>(st.st_size);
  long long from = x.createdHere ? 0 : x.afterFrom;
  if (from > size) from = size;
  std::vector<S3AfterRegion> regions{{from, size, 0}};
  if (x.alsoFrom >= 0 && x.alsoFrom < from && x.alsoTo <= from) {
    regions.push_back({x.alsoFrom, x.alsoTo, 0});
  }
  char local[8192];
  char* buf = readBuffer != nullptr ? readBuffer : local;
  const long long bufSize = readBuffer != nullptr ? kIoReadChunk : sizeof(local);
  for (S3AfterRegion& r : regions) {
    for (long long at = r.start; at < r.end;) {
      const long long want = std::min(bufSize, r.end - at);
      const ssize_t n = pread(data->fd, buf, static_cast<size_t>(want), at);
      if (n <= 0) return false;
      r.sum = s3AfterSum(buf, static_cast<unsigned long>(n), r.sum);
      at += n;
    }
    if (r.start == r.end) r.sum = s3AfterSum(buf, 0);
  }
  *out += s3AfterImage(data->path, false, size, regions);
  return true;
}

bool CS3DataIOFile::commitRound() {
  if (settleAhead(false) != kResOk) return false;
  if (!Durable()) return true;
  std::string after;
  std::vector<ComIoFlush> round;
  std::set<std::string> dirs;
  for (int i = 0; i < dataCount; ++i) {
    const SlotExtra& x = slotExtra[i];
    CS3Data* data = dataList[i];
    if (data == nullptr || x.settled || !x.changed) continue;
    if (x.deleted) {
      // The deletion (of the file, or of its directory) must stay done once
      // the log that could undo it is gone.
      const std::string gone = x.whole ? ParentOf(data->path) : std::string(data->path);
      dirs.insert(ParentOf(gone));
      after += s3AfterImage(gone.c_str(), true, 0, {});
      continue;
    }
    if (data->fd != -1) {
      if (!afterImage(i, &after)) return false;
      round.push_back({data->fd, nullptr});
    }
    // A new file is found through its directory entry, and a new directory
    // through its parent's.
    if (x.createdHere) {
      for (std::string dir = ParentOf(data->path);; dir = ParentOf(dir)) {
        dirs.insert(dir);
        if (x.createdTop.empty() || dir.size() < x.createdTop.size() || dir == "/" || dir == ".") {
          break;
        }
      }
    }
  }
  for (const std::string& dir : dirs) round.push_back({-1, dir.c_str()});
  if (journal != nullptr) return journal->CommitRound(after, round) == 0;
  return comIoSyncRound(round.data(), static_cast<int>(round.size())) == 0;
}

bool CS3DataIOFile::restoreInPlace(int fd, const char* backup, long size) {
  ComFd from(comIoOpen(backup, O_RDONLY, 0));
  if (!from.ok() || lseek(fd, 0, SEEK_SET) != 0) return false;
  char local[8192];
  char* buf = readBuffer != nullptr ? readBuffer : local;
  const size_t bufSize = readBuffer != nullptr ? kIoReadChunk : sizeof(local);
  if (CopyRest(from.get(), fd, buf, bufSize) != kResOk) return false;
  return comIoTruncate(fd, static_cast<off_t>(size)) == 0;
}
