// Adding records and maintaining index files: ID assignment, element entries
// and groups, one-record modification and deletion in files of many records,
// moves, and the split steps that change a slot's parsed record now and write
// it later.
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
#include "s3/cs3data_internal.h"
#include "s3/cs3dataiofile.h"
#include "s3/cs3dataiofile_internal.h"

namespace {

using s3io::IdText;
using s3io::kIdTextSize;

// The largest ID a record object can hold: its ID value keeps 9 digits. A
// counter that would pass it is refused rather than handing out an ID that
// the object silently fails to take.
constexpr int kMaxRecordId = 999999999;

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

// ---- An index add on the file's bytes -------------------------------------------
//
// Handing out an ID changes an index file in at most two places: the value of
// the first record's first _lastid field (or a new _lastid line before that
// record's "end" line), and one _item line before the same "end" line unless
// an entry already reads as the new ID. The whole rewrite from a parse writes
// every other byte back as it was read, provided the file is in the form the
// writer itself gives: then the add is made on the bytes, without a parse.
// A file in any other form (CRs, NUL bytes, leading spaces, blank or stray
// lines, "end" or "object" lines with more on them, groups, continuation
// lines, lines without "=", names or IDs the parse would cut at 63
// characters, a last line without its LF, a record without "end", no record
// at all) is parsed as before, and so is a counter that is negative or at
// the largest ID: what the rewrite would change or refuse there stays the
// parse's to decide.

// Where the add changes an index file in the writer's form.
struct IndexAddPlan {
  int newId = 0;
  bool hasLastId = false;  // the first record has a _lastid field
  size_t valueStart = 0;   // the value of its first one: [valueStart, valueEnd)
  size_t valueEnd = 0;
  size_t endLine = 0;   // offset of the first record's "end" line
  bool listed = false;  // an entry of the first record already reads as newId
};

constexpr char kHeaderPrefix[] = "object ";
constexpr size_t kHeaderPrefixLength = sizeof(kHeaderPrefix) - 1;
constexpr size_t kLastIdNameLength = sizeof(kS3LastIdName) - 1;

// The first LF in [p, end), or null. Index lines are a dozen bytes long, too
// short for memchr's set-up to pay: eight bytes at a time, each word tested
// for an LF byte at once.
inline const char* FindLineFeed(const char* p, const char* end) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHighs = 0x8080808080808080ULL;
  constexpr uint64_t kLineFeeds = kOnes * '\n';
  for (; end - p >= 8; p += 8) {
    uint64_t word;
    memcpy(&word, p, sizeof word);
    const uint64_t x = word ^ kLineFeeds;  // a zero byte where an LF is
    const uint64_t hits = (x - kOnes) & ~x & kHighs;
    if (hits == 0) continue;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // The lowest flagged byte is always a true LF (a false flag can only
    // sit above one), and the lowest byte is the first in memory.
    return p + (__builtin_ctzll(hits) >> 3);
#else
    break;
#endif
  }
  for (; p < end; ++p) {
    if (*p == '\n') return p;
  }
  return nullptr;
}

// An "object" line that the writer writes back unchanged: "object", one
// space, an ID of 1 to 63 bytes without a space. REQUIRES: no NUL or CR.
bool IsPlainHeader(const char* p, size_t n) {
  if (n <= kHeaderPrefixLength || memcmp(p, kHeaderPrefix, kHeaderPrefixLength) != 0) return false;
  const size_t idLength = n - kHeaderPrefixLength;
  return idLength <= static_cast<size_t>(kS3NameMax) &&
         memchr(p + kHeaderPrefixLength, ' ', idLength) == nullptr;
}

// A field line inside a record that the writer writes back unchanged: a name
// of 1 to 63 bytes, "=", the value. Not a group ("object..."), not a
// continuation (tab), not an "end" line, no leading space. *eq is its "=".
// REQUIRES: no NUL or CR; the line is not "end".
bool IsPlainField(const char* p, size_t n, const char** eq) {
  if (n == 0) return false;
  switch (p[0]) {
    case ' ':
    case '\t':
    case '=':  // an empty name
      return false;
    case 'o':
      if (n >= 6 && memcmp(p, "object", 6) == 0) return false;
      break;
    case 'e':
      if (n >= 4 && memcmp(p, "end ", 4) == 0) return false;
      break;
    default:
      break;
  }
  const size_t scan = n < static_cast<size_t>(kS3NameMax) + 1 ? n : kS3NameMax + 1;
  for (size_t i = 1; i < scan; ++i) {
    if (p[i] == '=') {
      *eq = p + i;
      return true;
    }
  }
  return false;
}

bool IsLastIdField(const char* p, const char* eq) {
  return static_cast<size_t>(eq - p) == kLastIdNameLength &&
         memcmp(p, kS3LastIdName, kLastIdNameLength) == 0;
}

// The ID an add hands out, as number and text.
struct NewId {
  int number;
  char text[kIdTextSize];
  size_t length;
};

// True when the value [v, v + n) reads as the number `id` does (as the parsed
// record's entry lookup reads it). A value that starts with a digit other
// than 0 reads as its leading digits, so it is compared as text; any other
// is read.
inline bool ReadsAs(const char* v, size_t n, const NewId& id) {
  if (n > 0 && v[0] >= '1' && v[0] <= '9') {
    return n >= id.length && memcmp(v, id.text, id.length) == 0 &&
           (n == id.length || v[id.length] < '0' || v[id.length] > '9');
  }
  return s3data::ReadIntN(v, n) == id.number;
}

void SetNewId(int number, NewId* id) {
  id->number = number;
  IdText(number, id->text);
  id->length = strlen(id->text);
}

// True when a field line in [from, to) other than a _lastid one has a value
// that reads as `id` (the entry an add revives instead of adding another).
// REQUIRES: the lines passed IsPlainField.
bool ListsId(const char* from, const char* to, const NewId& id) {
  for (const char* p = from; p < to;) {
    const char* lf = FindLineFeed(p, to);
    const char* eq = static_cast<const char*>(memchr(p, '=', static_cast<size_t>(lf - p)));
    if (!IsLastIdField(p, eq) && ReadsAs(eq + 1, static_cast<size_t>(lf - eq - 1), id)) {
      return true;
    }
    p = lf + 1;
  }
  return false;
}

// Plans the add on `text`, the whole index file. False when the file is not
// in the writer's form or its counter cannot be raised (then the parse
// decides).
bool PlanIndexAdd(const char* text, size_t size, IndexAddPlan* plan) {
  if (size == 0 || text[size - 1] != '\n') return false;
  if (memchr(text, '\0', size) != nullptr || memchr(text, '\r', size) != nullptr) return false;
  const char* end = text + size;
  int records = 0;
  bool inRecord = false;
  const char* fieldsStart = nullptr;  // the first record's first field line
  NewId id{};
  constexpr size_t kItemLength = sizeof(kS3ItemName) - 1;
  for (const char* p = text; p < end;) {
    const char* lf = FindLineFeed(p, end);
    const size_t n = static_cast<size_t>(lf - p);
    if (!inRecord) {
      if (!IsPlainHeader(p, n)) return false;
      inRecord = true;
      if (++records == 1) fieldsStart = lf + 1;
    } else if (n == 3 && memcmp(p, "end", 3) == 0) {
      inRecord = false;
      if (records == 1) {
        plan->endLine = static_cast<size_t>(p - text);
        if (!plan->hasLastId) {
          // No counter: it starts at 0, and every field is an entry.
          SetNewId(1, &id);
          plan->newId = 1;
          plan->listed = ListsId(fieldsStart, p, id);
        }
      }
    } else {
      // The common line, "_item=...", needs none of the other tests.
      const char* eq = p + kItemLength;
      const bool item = n > kItemLength && *eq == '=' && memcmp(p, kS3ItemName, kItemLength) == 0;
      if (!item && !IsPlainField(p, n, &eq)) return false;
      if (records != 1) {
        // Another record's field: written back as it is.
      } else if (!item && IsLastIdField(p, eq)) {
        if (!plan->hasLastId) {
          const int last = s3data::ReadIntN(eq + 1, static_cast<size_t>(lf - eq - 1));
          if (last < 0 || last >= kMaxRecordId) return false;
          plan->hasLastId = true;
          plan->valueStart = static_cast<size_t>(eq + 1 - text);
          plan->valueEnd = static_cast<size_t>(lf - text);
          SetNewId(last + 1, &id);
          plan->newId = id.number;
          plan->listed = ListsId(fieldsStart, p, id);
        }
      } else if (plan->hasLastId && !plan->listed &&
                 ReadsAs(eq + 1, static_cast<size_t>(lf - eq - 1), id)) {
        plan->listed = true;
      }
    }
    p = lf + 1;
  }
  return !inRecord && records > 0;
}

// The whole file behind `fd` from its start into *text (null when no buffer
// could be had: the caller then reads through readData). 0, -103 when the
// start cannot be reached, -101 when reading fails.
int ReadWhole(int fd, std::unique_ptr<char[]>* text, size_t* size) {
  text->reset();
  *size = 0;
  struct stat st;
  if (fstat(fd, &st) != 0) return kResOk;
  if (lseek(fd, 0, SEEK_SET) == -1) return kResIoSeekFailed;
  // One byte more than the size, so that a read of 0 ends the loop at once.
  size_t capacity = static_cast<size_t>(st.st_size) + 1;
  std::unique_ptr<char[]> buf(new (std::nothrow) char[capacity]);
  if (buf == nullptr) return kResOk;
  size_t used = 0;
  for (;;) {
    if (used == capacity) {
      // The file grew since the stat (another writer without a lock).
      std::unique_ptr<char[]> grown(new (std::nothrow) char[capacity * 2]);
      if (grown == nullptr) return kResOk;
      memcpy(grown.get(), buf.get(), used);
      buf = std::move(grown);
      capacity *= 2;
    }
    const ssize_t n = read(fd, buf.get() + used, capacity - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return kResIoOpenFailed;
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  *text = std::move(buf);
  *size = used;
  return kResOk;
}

struct Piece {
  const char* p;
  size_t n;
};

// Writes the pieces one after the other from offset `at`; *end is the offset
// after the last. 0 or -104.
int WritePieces(int fd, size_t at, const Piece* pieces, int count, size_t* end) {
  for (int i = 0; i < count; ++i) {
    if (pieces[i].n == 0) continue;
    if (comIoPwriteAll(fd, pieces[i].p, pieces[i].n, static_cast<long long>(at)) != 0) {
      return kResIoWriteFailed;
    }
    at += pieces[i].n;
  }
  *end = at;
  return kResOk;
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
  int r = prepareChange(data, FileSize(data->fd));
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

int CS3DataIOFile::addToIndex(CS3Object& index, CS3Object* rec) {
  int s = 0;
  int r = openStart(index, &s, nullptr);
  if (r != kResOk) return r;
  CS3Data* data = dataList[s];
  r = openWrite(&index, data, kIoModeCreate);
  if (r != kResOk) return openFail(index, s, r);
  std::unique_ptr<char[]> text;
  size_t size = 0;
  r = ReadWhole(data->fd, &text, &size);
  if (r != kResOk) return openFail(index, s, r);
  IndexAddPlan plan;
  if (text == nullptr || !PlanIndexAdd(text.get(), size, &plan)) {
    // The bytes just read are what readData would read.
    r = text != nullptr ? s3DataParse(data, text.get(), size, nullptr, nullptr)
                        : readData(data, nullptr, nullptr);
    if (r != kResOk && r != kResNoEntry) return openFail(index, s, r);
    return 0;
  }
  // From here on the slot owes the parse that AddIndex would have made,
  // edited as AddIndex edits it (see replayIndexAdd), whatever the write
  // below gives.
  slotExtra[s].bytesAddId = plan.newId;
  char id[kIdTextSize];
  IdText(plan.newId, id);
  const size_t idLength = strlen(id);
  char added[2 * (sizeof(kS3LastIdName) + kIdTextSize)];
  int addedLength = 0;
  if (!plan.hasLastId) {
    addedLength = snprintf(added, sizeof added, "%s=%s\n", kS3LastIdName, id);
  }
  if (!plan.listed) {
    addedLength += snprintf(added + addedLength, sizeof added - static_cast<size_t>(addedLength),
                            "%s=%s\n", kS3ItemName, id);
  }
  const char* t = text.get();
  const Piece tail[] = {{added, static_cast<size_t>(addedLength)},
                        {t + plan.endLine, size - plan.endLine}};
  // The record's creation is logged with the index's bytes, in one flush.
  if (rec != nullptr) {
    r = logCreationAhead(*rec, plan.newId);
    if (r != kResOk) return record(r);
  }
  // What the add overwrites: the counter and what follows the first record's
  // last field, or, when the counter changes its width, all from the counter.
  const bool inPlace = plan.hasLastId && idLength == plan.valueEnd - plan.valueStart;
  r = inPlace ? prepareChange(data, static_cast<long long>(plan.endLine),
                              static_cast<long long>(plan.valueStart),
                              static_cast<long long>(plan.valueEnd))
              : prepareChange(
                    data, static_cast<long long>(plan.hasLastId ? plan.valueStart : plan.endLine));
  if (r != kResOk) return record(r);
  size_t end = 0;
  if (inPlace) {
    // The counter keeps its width: it is overwritten where it stands, and
    // only what follows the first record's last field moves.
    const Piece counter[] = {{id, idLength}};
    r = WritePieces(data->fd, plan.valueStart, counter, 1, &end);
    end = size;
    if (r == kResOk && addedLength > 0) r = WritePieces(data->fd, plan.endLine, tail, 2, &end);
  } else if (plan.hasLastId) {
    const Piece from[] = {
        {id, idLength}, {t + plan.valueEnd, plan.endLine - plan.valueEnd}, tail[0], tail[1]};
    r = WritePieces(data->fd, plan.valueStart, from, 4, &end);
  } else {
    r = WritePieces(data->fd, plan.endLine, tail, 2, &end);
  }
  if (r != kResOk) return record(r);
  // As after the rewrite: nothing stays past the new end (a counter that
  // lost leading zeros or a sign shortens the file).
  if (comIoTruncate(data->fd, static_cast<long long>(end)) != 0) {
    return record(kResIoTruncateFailed);
  }
  return plan.newId;
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
