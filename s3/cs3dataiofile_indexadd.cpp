// Handing out an ID in an index file by changing its bytes in place, without
// a parse, when the file is in the form the writer itself gives (and by the
// parse and whole rewrite otherwise): the bytes that reach the file are those
// the rewrite would write.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <new>
#include <string>

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

int CS3DataIOFile::addToIndex(CS3Object& index, CS3Object* rec) {
  int s = 0;
  int r = openStart(index, &s, nullptr);
  if (r != kResOk) return r;
  CS3Data* data = dataList[s];
  r = openWrite(&index, data, kIoModeCreate);
  if (r != kResOk) return openFail(index, s, r);
  std::unique_ptr<char[]> text;
  size_t size = 0;
  r = settleAheadOf(data->path);
  if (r == kResOk) r = ReadWhole(data->fd, &text, &size);
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
