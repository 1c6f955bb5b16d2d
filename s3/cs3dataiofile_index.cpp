// Adding records and maintaining index files: ID assignment, element entries
// and groups, one-record modification and deletion in files of many records,
// moves, and the split steps that change a slot's parsed record now and write
// it later. The add of an ID made on an index file's bytes (addToIndex) is in
// cs3dataiofile_indexadd.cpp.
//
// Error recording follows three rules, named at each operation:
//  - recorded: every failure is stored in `error`, so the release rolls the
//    unit of work back;
//  - slot rule: a failure is stored only when the object's slot number is not
//    0, that is when the object is not the first file of the unit;
//  - returned: the failure is passed up without being stored (an operation
//    called on the way may have stored it).
// A failure of writeData is always recorded: the file may be half written.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <new>
#include <string>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comfile.h"
#include "s3/cs3data.h"
#include "s3/cs3data_parse.h"
#include "s3/cs3data_internal.h"
#include "s3/cs3dataiofile.h"
#include "s3/cs3dataiofile_internal.h"

namespace {

using s3io::IdText;
using s3io::kIdTextSize;
using s3io::kMaxRecordId;

// Moves the record cursor of `data` to the record whose ID text is exactly
// `idText`. 0, or -110 when there is none.
int SeekRecord(CS3Data* data, const char* idText) {
  for (data->firstElement(); !data->IsEndOfData(); data->nextElement()) {
    if (data->CompID(idText) == 0) return kResOk;
  }
  return kResNoEntry;
}

// An append must start on a line of its own. A file whose last line lost its
// line feed (a write cut short) would glue the new "object" line to that line,
// and the new record would vanish into the one before; such a file first gets
// its line feed. 0, -103 when the end cannot be read, -104.
int EndLastLine(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return kResIoSeekFailed;
  if (st.st_size == 0) return kResOk;
  char last = '\n';
  if (pread(fd, &last, 1, st.st_size - 1) != 1) return kResIoSeekFailed;
  if (last == '\n') return kResOk;
  return comIoPwriteAll(fd, "\n", 1, st.st_size) == 0 ? kResOk : kResIoWriteFailed;
}

// The size of the file behind `fd` (0 when it cannot be read: the change is
// then logged from the start).
long long FileSize(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

// One one-place move on a parsed record (the DataSet moves repeat it).
enum class Move { kUpEntry, kDownEntry, kUpText, kDownText, kUpGroup, kDownGroup };

int MoveOnce(CS3Data* data, Move move, int key, bool flag, const char* text) {
  switch (move) {
    case Move::kUpEntry:
      return data->UpFieldValue(key, flag);
    case Move::kDownEntry:
      return data->DownFieldValue(key, flag);
    case Move::kUpText:
      return data->UpFieldValue(text);
    case Move::kDownText:
      return data->DownFieldValue(text);
    case Move::kUpGroup:
      return data->UpFieldItemsValue(key);
    case Move::kDownGroup:
      return data->DownFieldItemsValue(key);
  }
  return kResNoEntry;
}

// Up to n moves; -110 (no further place) ends them and the number made is the
// result; any other failure is the result.
int MoveTimes(CS3Data* data, Move move, int key, bool flag, const char* text, int n) {
  int moved = 0;
  for (; moved < n; ++moved) {
    int r = MoveOnce(data, move, key, flag, text);
    if (r == kResNoEntry) break;
    if (r != kResOk) return r;
  }
  return moved;
}

}  // namespace

// ---- Adding ------------------------------------------------------------------------

int CS3DataIOFile::Add(CS3Object& obj) {
  int r = OpenAdd(obj);
  if (r != kResOk) return r;
  return record(AddData(obj, nullptr));
}

int CS3DataIOFile::Add(CS3Object& index, CS3Object& rec) {
  int newId = addToIndex(index, &rec);
  if (newId == 0) newId = AddIndex(index, nullptr);
  if (newId < 0) return newId;
  // The ID comes first: the record's file name may be built from it.
  rec.SetID(newId);
  int r = OpenAdd(rec);
  if (r != kResOk) return r;
  return record(AddData(rec, newId));
}

int CS3DataIOFile::Add(CS3Object& obj, int id) {
  int r = OpenAdd(obj);
  if (r != kResOk) return r;
  return AddIndex(obj, id, nullptr);
}

// The whole file is read and written back, not only record `id`: a rewrite
// from a parse of one record would drop every other record of the file.
int CS3DataIOFile::Add(CS3Object& obj, int id, char* groupName, int value, bool,
                       const char* anchor) {
  int r = openRecord(obj, id);
  if (r != kResOk) return r;
  r = AddIndex(obj, groupName, value, false, nullptr, anchor);
  if (r != kResOk) return r;
  return record(writeData(slotData(obj), nullptr, false, nullptr));
}

int CS3DataIOFile::AddOnly(CS3Object& obj) {
  int slot = 0;
  int r = openStart(obj, &slot, nullptr);
  if (r != kResOk) return r;
  char name[kComPathMax] = "";
  r = obj.GetFileName(name);
  if (r != kResOk) {
    Close(obj);
    return r;
  }
  name[kComPathMax - 1] = '\0';
  char path[kComPathMax];
  S3ComPathEditData(name, path);

  // The unit's log names the file before it exists: a crash right after the
  // creation leaves an empty file that only this entry tells apart from one
  // another process made.
  CS3Data* data = slotData(obj);
  snprintf(data->path, sizeof data->path, "%s", path);
  r = logCreated(data);
  if (r != kResOk) {
    Close(obj);
    return record(r);
  }
  // The exclusive creation is the test for existence; an existing file is
  // neither locked nor touched.
  bool created = comFileCreate(path) == 0;
  if (!created) {
    int err = errno;
    int failed = kResOk;
    if (err == EEXIST) {
      failed = kResIoExists;
    } else if (err == ENOENT || err == ENOTDIR) {
      // The create is tried again even when comDirCreateAll fails: another
      // process may have made the directories (or the file) meanwhile.
      const bool dirs = comDirCreateAll(path) == 0;
      if (comFileCreate(path) == 0) {
        created = true;
      } else if (errno == EEXIST) {
        failed = kResIoExists;
      } else {
        failed = dirs ? kResIoOpenFailed : kResIoNoDir;
      }
    } else {
      // Full disk, I/O error, no permission: a creation without the
      // exclusive test could append to a file another process just made.
      failed = kResIoOpenFailed;
    }
    // A failure here has opened nothing; the slot is given back so the object
    // is not left bound.
    if (failed != kResOk) {
      if (failed != kResIoExists) removeCreatedDirs(data);
      Close(obj);
      return record(failed);
    }
  }
  r = openWrite(&obj, data, kIoModeCreate);
  if (r != kResOk) {
    // The slot stays reserved until the release. The empty file made above is
    // removed unless another process holds it (then it is that process's).
    if (created && r != kResLocked) {
      comIoUnlink(path);
      removeCreatedDirs(data);
    }
    return record(r);
  }
  // The file is this unit's own: a rollback removes it rather than leaving
  // an empty file that would refuse the next AddOnly.
  if (created) setExisted(data, false);
  return record(AddData(obj, 1));
}

int CS3DataIOFile::AddData(CS3Object& obj, int id) {
  CS3Data* data = slotData(obj);
  if (data == nullptr) return record(getFd(obj));
  char idText[kIdTextSize];
  IdText(id, idText);
  data->lastElement();
  int r = data->CreateItem(idText);
  if (r != kResOk) return record(r);
  obj.SetID(id);
  r = obj.PreSetFieldValue(data);
  if (r != kResOk) return record(r);
  r = obj.SetFieldValue(data);
  if (r == kResOk) r = settleAheadOf(data->path);
  if (r == kResOk) r = prepareChange(data, FileSize(data->fd));
  if (r == kResOk) r = EndLastLine(data->fd);
  if (r != kResOk) return record(r);
  return record(writeData(data, idText, true, nullptr));
}

int CS3DataIOFile::AddData(CS3Object& obj, CS3Object* source) {
  int r = AddDataSet(obj, source, nullptr);
  if (r != kResOk) return r;
  return AddDataWrite(obj, obj.GetID());
}

int CS3DataIOFile::AddDataSet(CS3Object& obj, CS3Object* source, const char* idText) {
  CS3Data* data = slotData(obj);
  if (data == nullptr) return record(getFd(obj));
  char made[kIdTextSize];
  int id;
  if (idText != nullptr && idText[0] != '\0') {
    id = s3ReadInt(idText);
  } else {
    int last = data->GetLastID();
    if (last >= kMaxRecordId) return record(kResIntTooManyDigits);
    id = last < 0 ? 1 : last + 1;
    IdText(id, made);
    idText = made;
  }
  obj.SetID(id);
  data->lastElement();
  int r = data->CreateItem(idText);
  if (r != kResOk) return record(r);
  if (source != nullptr) {
    source->SetID(obj.GetID());
    r = source->SetFieldValue(data);
  } else {
    r = obj.PreSetFieldValue(data);
    if (r == kResOk) r = obj.SetFieldValue(data);
  }
  return record(r);
}

int CS3DataIOFile::AddDataWrite(CS3Object& obj, int id) {
  CS3Data* data = slotData(obj);
  if (data == nullptr) return getFd(obj);
  char idText[kIdTextSize];
  IdText(id, idText);
  int r = settleAheadOf(data->path);
  if (r == kResOk) r = prepareChange(data, FileSize(data->fd));
  if (r == kResOk) r = EndLastLine(data->fd);
  if (r != kResOk) return record(r);
  return record(writeData(data, idText, true, nullptr));
}

int CS3DataIOFile::AddIndex(CS3Object& obj, int id, const char* anchor) {
  CS3Data* data = slotData(obj);
  if (data == nullptr) return record(getFd(obj));
  data->firstElement();
  int r = data->SetFieldValue(id, false, nullptr, anchor);
  if (r != kResOk) return record(r);
  return record(writeData(data, nullptr, false, nullptr));
}

int CS3DataIOFile::AddIndex(CS3Object& obj, const char* anchor) {
  CS3Data* data = slotData(obj);
  if (data == nullptr) return record(getFd(obj));
  data->firstElement();
  int last = data->GetFieldLastID();
  if (last < 0) return record(last);
  if (last >= kMaxRecordId) return record(kResIntTooManyDigits);
  int newId = last + 1;
  int r = data->SetFieldLastID(newId);
  if (r != kResOk) return record(r);
  r = AddIndex(obj, newId, anchor);
  if (r != kResOk) return r;
  return newId;
}

int CS3DataIOFile::AddIndex(CS3Object& obj, const char* groupName, int value, bool allowDuplicate,
                            int* existed, const char* anchor) {
  CS3Data* data = slotData(obj);
  if (data == nullptr) return record(getFd(obj));
  return record(data->SetFieldItemsValue(groupName, value, allowDuplicate, existed, anchor));
}

int CS3DataIOFile::AddIndex(CS3Object& obj, const char* name, bool flag) {
  int r = OpenAdd(obj);
  if (r != kResOk) return r;
  CS3Data* data = slotData(obj);
  r = data->SetFieldValue(name, flag, nullptr);
  if (r != kResOk) return r;
  return record(writeData(data, nullptr, false, nullptr));
}

// ---- Modifying ---------------------------------------------------------------------

int CS3DataIOFile::Mod(CS3Object& obj, int id) {
  int r = OpenMod(obj, id);
  if (r != kResOk) return r;
  return ModData(obj, id, nullptr);
}

int CS3DataIOFile::ModDataSet(CS3Object& obj, CS3Object* source) {
  CS3Data* data = slotData(obj);
  if (data == nullptr) return record(getFd(obj));
  if (source != nullptr) return record(source->SetFieldValue(data));
  int r = obj.PreSetFieldValue(data);
  if (r == kResOk) r = obj.SetFieldValue(data);
  return record(r);
}

int CS3DataIOFile::ModDataWrite(CS3Object& obj) {
  CS3Data* data = slotData(obj);
  if (data == nullptr) return getFd(obj);
  return record(writeData(data, nullptr, false, &obj));
}

int CS3DataIOFile::ModIndexData(CS3Object& obj) {
  CS3Data* data = slotData(obj);
  int r = data == nullptr ? getFd(obj) : obj.PreSetFieldValue(data);
  if (r == kResOk) r = obj.SetFieldValue(data);
  if (r != kResOk) return recordUnlessFirst(obj, r);
  return record(writeData(data, nullptr, false, nullptr));
}

int CS3DataIOFile::ModIndexWrite(CS3Object& obj) {
  CS3Data* data = slotData(obj);
  if (data == nullptr) return getFd(obj);
  return record(writeData(data, nullptr, false, nullptr));
}

// ---- Deleting ----------------------------------------------------------------------

int CS3DataIOFile::Del(CS3Object& obj, int id) {
  int r = OpenMod(obj, id);
  if (r == kResNoEntry) {
    // Nothing to delete is not a failure of the unit of work.
    error = kResOk;
    return kResOk;
  }
  if (r != kResOk) return r;
  return DelData(obj, id);
}

int CS3DataIOFile::DelData(CS3Object& obj, int id) {
  int r = DelDataSet(obj, id);
  if (r != kResOk) return r;
  char idText[kIdTextSize];
  IdText(id, idText);
  // In place: the deleted record writes nothing and the tail of the file,
  // copied from the backup copy, moves up over it.
  return record(writeData(slotData(obj), idText, false, nullptr));
}

int CS3DataIOFile::DelDataSet(CS3Object& obj, int id) {
  CS3Data* data = slotData(obj);
  if (data == nullptr) return record(getFd(obj));
  return record(data->DelItem(id));
}

// As with the group add, the whole file is read so that the rewrite keeps the
// file's other records.
int CS3DataIOFile::Del(CS3Object& obj, int id, char** groupNames, int count, int key,
                       bool byPosition) {
  int r = openRecord(obj, id);
  if (r != kResOk) return r;
  r = DelIndex(obj, groupNames, count, key, byPosition);
  if (r != kResOk) return r;
  return record(writeData(slotData(obj), nullptr, false, nullptr));
}

int CS3DataIOFile::DelIndex(CS3Object& obj, char** groupNames, int count, int key,
                            bool byPosition) {
  CS3Data* data = slotData(obj);
  if (data == nullptr) return recordUnlessFirst(obj, getFd(obj));
  if (groupNames == nullptr) return kResOk;
  for (int i = 0; i < count; ++i) {
    if (groupNames[i] == nullptr) continue;
    int r = data->DelFieldItemsValue(groupNames[i], key, byPosition);
    if (r != kResOk) return recordUnlessFirst(obj, r);
  }
  return kResOk;
}

int CS3DataIOFile::DelIndex(CS3Object& obj, const char* name, bool flag) {
  int r = OpenMod(obj, nullptr, true);
  if (r == kResNoEntry) {
    // No index, or one without records: nothing to delete from.
    error = kResOk;
    return kResOk;
  }
  if (r != kResOk) return r;
  r = DelIndexData(obj, name, flag);
  if (r != kResOk) return r;
  return record(writeData(slotData(obj), nullptr, false, nullptr));
}

int CS3DataIOFile::DelIndexData(CS3Object& obj, const char* name, bool flag) {
  CS3Data* data = slotData(obj);
  int r = data == nullptr ? getFd(obj) : data->DelFieldValue(name, flag);
  return r == kResOk ? r : recordUnlessFirst(obj, r);
}

// ---- Moving entries ----------------------------------------------------------------
// Failures before the rewrite are returned without being stored: nothing has
// been written, and the file stays open unchanged.

int CS3DataIOFile::Up(CS3Object& obj, int id, bool flag) {
  int r = OpenMod(obj, nullptr, true);
  if (r == kResOk) r = slotData(obj)->UpFieldValue(id, flag);
  if (r != kResOk) return r;
  return record(writeData(slotData(obj), nullptr, false, nullptr));
}

int CS3DataIOFile::Down(CS3Object& obj, int id, bool flag) {
  int r = OpenMod(obj, nullptr, true);
  if (r == kResOk) r = slotData(obj)->DownFieldValue(id, flag);
  if (r != kResOk) return r;
  return record(writeData(slotData(obj), nullptr, false, nullptr));
}

int CS3DataIOFile::Up(CS3Object& obj, const char* name) {
  int r = OpenMod(obj, nullptr, true);
  if (r == kResOk) r = slotData(obj)->UpFieldValue(name);
  if (r != kResOk) return r;
  return record(writeData(slotData(obj), nullptr, false, nullptr));
}

int CS3DataIOFile::Down(CS3Object& obj, const char* name) {
  int r = OpenMod(obj, nullptr, true);
  if (r == kResOk) r = slotData(obj)->DownFieldValue(name);
  if (r != kResOk) return r;
  return record(writeData(slotData(obj), nullptr, false, nullptr));
}

// Record `id` is found in a read of the whole file, as for the group add.
int CS3DataIOFile::Up(CS3Object& obj, int id, char* groupName, int value) {
  int r = openRecord(obj, id);
  if (r == kResOk) r = slotData(obj)->GetFieldItems(groupName);
  if (r == kResOk) r = slotData(obj)->UpFieldItemsValue(value);
  if (r != kResOk) return r;
  return record(writeData(slotData(obj), nullptr, false, nullptr));
}

int CS3DataIOFile::Down(CS3Object& obj, int id, char* groupName, int value) {
  int r = openRecord(obj, id);
  if (r == kResOk) r = slotData(obj)->GetFieldItems(groupName);
  if (r == kResOk) r = slotData(obj)->DownFieldItemsValue(value);
  if (r != kResOk) return r;
  return record(writeData(slotData(obj), nullptr, false, nullptr));
}

int CS3DataIOFile::UpItem(CS3Object& obj, const char* idText) {
  int r = OpenMod(obj, nullptr, true);
  if (r == kResOk) r = slotData(obj)->upItem(idText);
  if (r != kResOk) return r;
  return record(writeData(slotData(obj), nullptr, false, nullptr));
}

int CS3DataIOFile::DownItem(CS3Object& obj, const char* idText) {
  int r = OpenMod(obj, nullptr, true);
  if (r == kResOk) r = slotData(obj)->downItem(idText);
  if (r != kResOk) return r;
  return record(writeData(slotData(obj), nullptr, false, nullptr));
}

// The DataSet moves change the open slot only and store nothing.
int CS3DataIOFile::UpDataSet(CS3Object& obj, int id, bool flag, int n) {
  CS3Data* data = slotData(obj);
  if (data == nullptr) return getFd(obj);
  return MoveTimes(data, Move::kUpEntry, id, flag, nullptr, n);
}

int CS3DataIOFile::DownDataSet(CS3Object& obj, int id, bool flag, int n) {
  CS3Data* data = slotData(obj);
  if (data == nullptr) return getFd(obj);
  return MoveTimes(data, Move::kDownEntry, id, flag, nullptr, n);
}

int CS3DataIOFile::UpDataSetStr(CS3Object& obj, const char* name, int n) {
  CS3Data* data = slotData(obj);
  if (data == nullptr) return getFd(obj);
  return MoveTimes(data, Move::kUpText, 0, false, name, n);
}

int CS3DataIOFile::DownDataSetStr(CS3Object& obj, const char* name, int n) {
  CS3Data* data = slotData(obj);
  if (data == nullptr) return getFd(obj);
  return MoveTimes(data, Move::kDownText, 0, false, name, n);
}

int CS3DataIOFile::UpDataSet(CS3Object& obj, const char* groupName, int value, int n) {
  CS3Data* data = slotData(obj);
  if (data == nullptr) return getFd(obj);
  int r = data->GetFieldItems(groupName);
  if (r != kResOk) return r;
  return MoveTimes(data, Move::kUpGroup, value, false, nullptr, n);
}

int CS3DataIOFile::DownDataSet(CS3Object& obj, const char* groupName, int value, int n) {
  CS3Data* data = slotData(obj);
  if (data == nullptr) return getFd(obj);
  int r = data->GetFieldItems(groupName);
  if (r != kResOk) return r;
  return MoveTimes(data, Move::kDownGroup, value, false, nullptr, n);
}

// ---- Reading -----------------------------------------------------------------------

int CS3DataIOFile::GetCount(CS3Object& obj) {
  int r = OpenGet(obj);
  if (r != kResOk) return r;
  return GetDataCount(obj);
}

int CS3DataIOFile::GetDataCount(CS3Object& obj) {
  CS3Data* data = slotData(obj);
  if (data == nullptr) return getFd(obj);
  return data->GetCount();
}

// Both give -110 when the cursor is past the last record afterwards, so that
// `for (r = firstElement(o); r == 0; r = nextElement(o))` visits every record
// and no other.
int CS3DataIOFile::firstElement(CS3Object& obj) {
  CS3Data* data = slotData(obj);
  if (data == nullptr) return getFd(obj);
  int r = data->firstElement();
  if (r != kResOk) return r;
  return data->IsEndOfData() ? kResNoEntry : kResOk;
}

int CS3DataIOFile::nextElement(CS3Object& obj) {
  CS3Data* data = slotData(obj);
  if (data == nullptr) return getFd(obj);
  int r = data->nextElement();
  if (r != kResOk) return r;
  return data->IsEndOfData() ? kResNoEntry : kResOk;
}

int CS3DataIOFile::closeData(CS3Object& obj) {
  const int slot = boundSlot(obj);  // a broken slot too can be released
  if (slot < 0) return slot;
  init(slot, true);
  if (slot == dataCount - 1) dataCount = slot;
  return kResOk;
}

// ---- Private steps -------------------------------------------------------------------

int CS3DataIOFile::openRecord(CS3Object& obj, int id) {
  char idText[kIdTextSize];
  IdText(id, idText);
  obj.SetID(id);
  int r = OpenMod(obj, idText, true);
  if (r != kResOk) return r;
  return SeekRecord(slotData(obj), idText);
}

int CS3DataIOFile::recordUnlessFirst(CS3Object& obj, int code) {
  if (obj.GetFd() != 0) record(code);
  return code;
}
