// Reading, writing and deleting the file of an accessor's slot: the parse
// of the locked file (whole, or up to the end of its first record with the
// rest owed), the rewrite of one record or of the whole file through the
// locked descriptor, and the deletion of a file or of its directory after its
// backup copy is taken (and, in a crash-safe unit, logged).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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
#include "s3/cs3data_parse.h"
#include "s3/cs3dataiofile.h"
#include "s3/cs3dataiofile_internal.h"
#include "s3/cs3journal.h"

namespace {

using s3io::CopyRest;
using s3io::Durable;
using s3io::ReadSome;

// Appends the bytes [from, to) of `fd` to `out`. 0, or kResIoOpenFailed (a
// short read never passes for a complete one).
int ReadRange(int fd, long long from, long long to, std::string* out) {
  const size_t have = out->size();
  out->resize(have + static_cast<size_t>(to - from));
  for (size_t done = 0; done < static_cast<size_t>(to - from);) {
    const ssize_t n = pread(fd, &(*out)[have + done], static_cast<size_t>(to - from) - done,
                            static_cast<off_t>(from + static_cast<long long>(done)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return kResIoOpenFailed;
    done += static_cast<size_t>(n);
  }
  return kResOk;
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

}  // namespace

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
  ComFd from(comIoOpen(data->tempPath, O_RDONLY, 0));
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
  ComFd from(comIoOpen(data->tempPath, O_RDONLY, 0));
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
  const int settled = settleAheadOf(data->path);
  if (settled != kResOk) return settled;
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
  ComFd tail(inPlace ? comIoOpen(data->tempPath, O_RDONLY, 0) : -1);
  if (inPlace) {
    if (!tail.ok()) {
      if (errno != ENOENT && errno != ENOTDIR) return kResIoOpenFailed;
      struct stat st;
      if (fstat(data->fd, &st) != 0) return kResIoOpenFailed;
      if (oldNext + data->sizeDelta < static_cast<long>(st.st_size)) return kResIoOpenFailed;
    }
  }
  int r = kResOk;
  if (inPlace) {
    // One record: its text, and a small rest of the file (as it was
    // opened), are known before anything is written, so the unit's
    // after-images can go with its entry.
    std::string bytes;
    if (!data->IsEndOfData()) {
      if (data->IsDelete() || (filter != nullptr && filter->IsDeleteData(data))) {
        data->EditItemDel();
      } else {
        r = data->EditRecord(&bytes, id);
      }
    }
    struct stat st;
    const bool small =
        r == kResOk && tail.ok() && fstat(tail.get(), &st) == 0 && st.st_size >= oldNext &&
        static_cast<long long>(bytes.size()) + st.st_size - oldNext <= s3io::kAheadMax;
    if (small) {
      r = ReadRange(tail.get(), oldNext, st.st_size, &bytes);
      tail.Close();
    }
    bool held = false;
    if (r == kResOk) {
      r = small || !tail.ok() ? prepareRewrite(data, at, &bytes, &held) : prepareChange(data, at);
    }
    if (r == kResOk && held) return kResOk;  // the commit writes them
    if (r == kResOk && comIoWriteAll(data->fd, bytes.data(), bytes.size()) != 0) {
      r = kResIoWriteFailed;
    }
    if (r != kResOk) return r;
  } else {
    r = prepareChange(data, at);
    if (r == kResOk) r = writeDataCurrent(data, id, filter);
    if (r != kResOk) return r;
  }
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
        if (comIoWriteAll(data->fd, text.data(), text.size()) != 0) return kResIoWriteFailed;
        text.clear();
      }
    }
    if (one) break;
    data->nextSortElement();
    if (data->IsEndOfData()) break;
  }
  if (!text.empty() && comIoWriteAll(data->fd, text.data(), text.size()) != 0) {
    return kResIoWriteFailed;
  }
  return kResOk;
}

// ---- Deletion ------------------------------------------------------------------------

int CS3DataIOFile::backupData(CS3Object* obj, CS3Data* data, int mode) {
  const int r = s3io::FilePaths(obj, data, true);
  if (r != kResOk) return r;
  struct stat st;
  const bool exists = comIoStat(data->path, &st) == 0;
  // A directory where the record file should be is no record file: copying
  // it would give an empty "backup" and deleting it would take a whole tree
  // that no rollback could bring back. A FIFO would block the copy, and a
  // link below the data home is never followed.
  if (exists ? s3io::RefuseUnlessRegular(data->path, st) : errno == ELOOP) {
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
      if (comIoStat(dir, &dirStat) == 0) {
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
  bool inLog = comIoStat(data->tempPath, &st) == 0 && st.st_size <= kIoInlinePreImage;
  if (inLog) {
    ComFd copy(comIoOpen(data->tempPath, O_RDONLY, 0));
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
  const int settled = settleAheadOf(data->path);
  if (settled != kResOk) return settled;
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
