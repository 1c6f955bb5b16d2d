// The parse of a record file: cutting bytes into lines and the state machine
// that turns lines into records, fields and groups.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "s3/cs3data.h"
#include "s3/cs3data_parse.h"
#include "s3/cs3data_internal.h"

namespace {

enum GroupState { kGroupNone, kGroupCollect, kGroupSkip };
enum JoinState { kJoinNone, kJoinAppend, kJoinSkip };

constexpr char kObject[] = "object";
constexpr size_t kObjectLength = sizeof(kObject) - 1;

// `word` alone or followed by a space. The check stops at a NUL byte, which
// ends the line, without cutting the line first (skipped lines stay cheap).
bool IsWordLine(const char* p, size_t n, const char* word, size_t w) {
  if (n < w || memcmp(p, word, w) != 0) return false;
  return n == w || p[w] == ' ' || p[w] == '\0';
}

// The token after the first one of a line split at spaces; empty when none.
// REQUIRES: the line is cut at its NUL and its first token has `first` bytes.
void SecondToken(const char* p, size_t n, size_t first, const char** token, size_t* length) {
  size_t i = first;
  while (i < n && p[i] != ' ') ++i;  // the rest of the first token
  while (i < n && p[i] == ' ') ++i;
  size_t start = i;
  while (i < n && p[i] != ' ') ++i;
  *token = p + start;
  *length = i - start;
}

// Lines that are passed over unread: outside a record every line but an
// "object" line, in a record that is not collected every line but an "end"
// line. Such a line changes no state, and after its leading spaces it must
// begin with the word's first two bytes, so only the lines that begin with
// those or with a space need to be cut and looked at.
//
// A line start that may begin `word` (its first two bytes, or a space, or the
// chunk ends after the first byte). REQUIRES: q < end.
bool MayBegin(const char* q, const char* end, const char* word) {
  return *q == ' ' || (*q == word[0] && (q + 1 == end || q[1] == word[1]));
}

// The first line start in [p, end) that may begin `word`: p itself, or a byte
// right after an LF. When there is none, the start of the last line if the
// LF that ends it is not in [p, end) (it is carried into the next chunk),
// else end.
// REQUIRES: p < end, p is the start of a line, `word` has two bytes or more.
const char* NextLineThatMayBegin(const char* p, const char* end, const char* word) {
  if (MayBegin(p, end, word)) return p;
  const char* q = p;  // the bytes after q are the line starts to test
#if defined(__SSE2__)
  // 16 line starts at a time: an LF and the two bytes after it.
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i first = _mm_set1_epi8(word[0]);
  const __m128i second = _mm_set1_epi8(word[1]);
  for (; end - q > 17; q += 16) {
    __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 1));
    __m128i b2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 2));
    __m128i begins = _mm_and_si128(_mm_cmpeq_epi8(b1, first), _mm_cmpeq_epi8(b2, second));
    __m128i hit =
        _mm_and_si128(_mm_cmpeq_epi8(b0, lf), _mm_or_si128(begins, _mm_cmpeq_epi8(b1, space)));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (mask != 0) return q + 1 + __builtin_ctz(mask);
  }
#endif
  while (const char* lf = static_cast<const char*>(memchr(q, '\n', static_cast<size_t>(end - q)))) {
    q = lf + 1;
    if (q == end) return end;
    if (MayBegin(q, end, word)) return q;
  }
  const void* last = memrchr(p, '\n', static_cast<size_t>(end - p));
  return last == nullptr ? p : static_cast<const char*>(last) + 1;
}

// The LF, "=" and NUL bytes of a chunk, 64 bytes at a time, one bit a byte:
// one pass over the text finds each line's end, its first "=" and its first
// NUL together, where a search per line and per byte would start three times
// on every line.
class LineMasks {
 public:
  explicit LineMasks(const char* end) : end_(end) {}

  // The LF that ends the line starting at p, or null when the chunk ends
  // first. With an LF, `eq` and `nul` are the line's first "=" and first NUL
  // (null when it has none). REQUIRES: p < the chunk's end; the lines of a
  // chunk are scanned in their order (a skip forward is fine).
  const char* Scan(const char* p, const char** eq, const char** nul) {
    const char* e = nullptr;
    const char* z = nullptr;
    for (;;) {
      if (p < base_ || p >= base_ + length_) Load(p);
      unsigned at = static_cast<unsigned>(p - base_);
      uint64_t from = ~uint64_t{0} << at;
      uint64_t lf = lf_ & from;
      uint64_t before = lf == 0 ? ~uint64_t{0} : (lf & (~lf + 1)) - 1;  // below the LF
      uint64_t eqs = eq_ & from & before;
      uint64_t nuls = nul_ & from & before;
      if (e == nullptr && eqs != 0) e = base_ + __builtin_ctzll(eqs);
      if (z == nullptr && nuls != 0) z = base_ + __builtin_ctzll(nuls);
      if (lf != 0) {
        *eq = e;
        *nul = z;
        return base_ + __builtin_ctzll(lf);
      }
      p = base_ + length_;
      if (p == end_) return nullptr;
    }
  }

 private:
  // The masks of the (up to) 64 bytes from `at`.
  void Load(const char* at) {
    base_ = at;
    length_ = end_ - at < 64 ? static_cast<size_t>(end_ - at) : 64;
    const char* src = at;
    char tail[64];
    if (length_ < 64) {
      // Bytes past the chunk read as 'x', which is none of the three.
      memset(tail, 'x', sizeof(tail));
      memcpy(tail, at, length_);
      src = tail;
    }
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i eq = _mm_set1_epi8('=');
    const __m128i zero = _mm_setzero_si128();
    uint64_t l = 0, e = 0, z = 0;
    for (int i = 0; i < 4; ++i) {
      __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16 * i));
      l |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, lf))))
           << (16 * i);
      e |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, eq))))
           << (16 * i);
      z |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, zero))))
           << (16 * i);
    }
    lf_ = l;
    eq_ = e;
    nul_ = z;
#else
    lf_ = eq_ = nul_ = 0;
    for (unsigned i = 0; i < 64; ++i) {
      uint64_t bit = uint64_t{1} << i;
      if (src[i] == '\n') lf_ |= bit;
      if (src[i] == '=') eq_ |= bit;
      if (src[i] == '\0') nul_ |= bit;
    }
#endif
  }

  const char* const end_;
  const char* base_ = nullptr;  // the bytes the masks describe: [base_, base_ + length_)
  size_t length_ = 0;
  uint64_t lf_ = 0;
  uint64_t eq_ = 0;
  uint64_t nul_ = 0;
};

#if defined(__SSE2__)
// Copies the bytes from `src` up to the first LF or NUL to `dst`, 32 at a
// time, writing up to 31 bytes more behind the copy. The stop byte, or null
// when `end` (of the input) or `limit` (of the room at dst) comes within 32
// bytes first. (Steps of 32 bytes end most values of a record file within
// one or two steps, so the loop's exit is mispredicted less often than with
// 16; steps of 64 measured no faster.)
inline const char* CopyToLineStop(const char* src, const char* end, char* dst, uintptr_t limit) {
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i nul = _mm_setzero_si128();
  for (;;) {
    if (end - src < 32 || limit - reinterpret_cast<uintptr_t>(dst) < 32) return nullptr;
    __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), c);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), d);
    unsigned stop =
        static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(c, lf), _mm_cmpeq_epi8(c, nul)))) |
        (static_cast<unsigned>(
             _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(d, lf), _mm_cmpeq_epi8(d, nul))))
         << 16);
    if (stop != 0) return src + __builtin_ctz(stop);
    src += 32;
    dst += 32;
  }
}
#endif

bool Copy(const char* text, char** out, size_t* length) {
  *length = strlen(text);
  *out = static_cast<char*>(malloc(*length + 1));
  if (*out == nullptr) return false;
  memcpy(*out, text, *length + 1);
  return true;
}

}  // namespace

CS3DataParser::CS3DataParser(CS3Data* data, const char* wantedId, const char* requiredId)
    : data_(data),
      wantedId_(nullptr),
      wantedLength_(0),
      requiredId_(nullptr),
      requiredLength_(0),
      hasWanted_(wantedId != nullptr && wantedId[0] != '\0'),
      hasRequired_(requiredId != nullptr),
      state_(kGoOn),
      carry_(nullptr),
      carryLength_(0),
      carryCapacity_(0),
      carryStart_(0),
      offset_(0),
      inRecord_(false),
      skipRecord_(false),
      recordOpen_(false),
      groupState_(kGroupNone),
      joinState_(kJoinNone),
      requiredFound_(requiredId == nullptr),
      recordMark_(data->arena_.GetMark()) {
  if (hasWanted_ && !Copy(wantedId, &wantedId_, &wantedLength_)) state_ = kResNoMemory;
  if (hasRequired_ && !Copy(requiredId, &requiredId_, &requiredLength_)) state_ = kResNoMemory;
}

CS3DataParser::~CS3DataParser() {
  free(carry_);
  free(wantedId_);
  free(requiredId_);
}

int CS3DataParser::AppendCarry(const char* p, size_t n) {
  if (n > carryCapacity_ - carryLength_) {
    size_t capacity = carryCapacity_ == 0 ? 256 : carryCapacity_;
    while (capacity - carryLength_ < n) {
      if (capacity > SIZE_MAX / 2) return kResNoMemory;
      capacity *= 2;
    }
    char* grown = static_cast<char*>(realloc(carry_, capacity));
    if (grown == nullptr) return kResNoMemory;
    carry_ = grown;
    carryCapacity_ = capacity;
  }
  memcpy(carry_ + carryLength_, p, n);
  carryLength_ += n;
  return kResOk;
}

int CS3DataParser::Feed(const char* bytes, size_t n) {
  if (state_ != kGoOn) return state_;
  const char* p = bytes;
  const char* end = bytes + n;
  long base = offset_;  // offset of bytes[0]
  offset_ += static_cast<long>(n);
  if (carryLength_ > 0) {
    const char* lf = static_cast<const char*>(memchr(p, '\n', n));
    int r = AppendCarry(p, lf == nullptr ? n : static_cast<size_t>(lf - p));
    if (r != kResOk) return state_ = r;
    if (lf == nullptr) return state_;
    const char* eq = static_cast<const char*>(memchr(carry_, '=', carryLength_));
    const char* nul = static_cast<const char*>(memchr(carry_, '\0', carryLength_));
    r = Line(carry_, carryLength_, carryStart_, base + (lf - bytes) + 1, eq, nul);
    carryLength_ = 0;
    if (r != kGoOn) return state_ = r;
    p = lf + 1;
  }
  LineMasks masks(end);
  while (p < end) {
    if (!recordOpen_) {
      // Outside a record, or in one that is not collected.
      p = NextLineThatMayBegin(p, end, inRecord_ ? "end" : kObject);
      if (p == end) break;
    }
#if defined(__SSE2__)
    const char* stored = nullptr;
    if (*p == '\t') {
      if (joinState_ == kJoinAppend && recordOpen_ && !skipRecord_) stored = JoinValueLine(p, end);
    } else if (*p != ' ' && ValueLinesFast()) {
      stored = StoreValueLine(p, end);
    }
    if (stored != nullptr) {
      p = stored + 1;
      continue;
    }
#endif
    const char* eq;
    const char* nul;
    const char* lf = masks.Scan(p, &eq, &nul);
    if (lf == nullptr) {
      // The line goes on in the next chunk (or is never ended).
      carryStart_ = base + (p - bytes);
      int r = AppendCarry(p, static_cast<size_t>(end - p));
      if (r != kResOk) return state_ = r;
      break;
    }
    int r =
        Line(p, static_cast<size_t>(lf - p), base + (p - bytes), base + (lf - bytes) + 1, eq, nul);
    if (r != kGoOn) return state_ = r;
    p = lf + 1;
  }
  return state_;
}

// Most lines of a record file are "name=value" lines of a collected record:
// fields kept (no field-name list set) or values of a collected group. Such
// a line is stored in one pass over its bytes: the value is copied 32 bytes
// at a time into the arena's free space, right behind its node, while the
// copy looks for the line's end. The line is stored exactly as LineInside
// stores it; whatever this path does not handle (a name of 16 bytes or more,
// no "=" among its first 16 bytes, a NUL, a CR before the LF, a line near the
// end of the chunk or of the arena block) is left untouched for Line, and the
// scratch bytes written past the arena's allocations are simply overwritten
// later. Without SSE2 every line takes Line.
#if defined(__SSE2__)
inline bool CS3DataParser::ValueLinesFast() const {
  if (!recordOpen_ || skipRecord_ || data_->current == nullptr) return false;
  if (groupState_ == kGroupNone) return data_->saveFieldNames == nullptr;
  return groupState_ == kGroupCollect && data_->currentGroup != nullptr;
}

// The LF of the line at p once it is stored, or null when nothing was done.
// REQUIRES: ValueLinesFast(); p < end; *p is neither a space nor a tab.
// Inlined into Feed: a call per line measured ~10% slower.
__attribute__((always_inline)) inline const char* CS3DataParser::StoreValueLine(const char* p,
                                                                                const char* end) {
  if (end - p < 16) return nullptr;
  const __m128i lfs = _mm_set1_epi8('\n');
  const __m128i nuls = _mm_setzero_si128();
  __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  unsigned eqs = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(head, _mm_set1_epi8('='))));
  unsigned stops = static_cast<unsigned>(
      _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(head, lfs), _mm_cmpeq_epi8(head, nuls))));
  if (eqs == 0) return nullptr;
  unsigned nameLength = static_cast<unsigned>(__builtin_ctz(eqs));
  if ((stops & ((1u << nameLength) - 1)) != 0) return nullptr;  // the line ends before "="
  // "end" then a space, or "object": lines of their own. An "=" at p + 3 or
  // p + 5 or earlier makes the compare fail, so the bytes that match are in
  // the line. Both are tested without a branch on each byte, as names
  // starting with "e" or "o" are common.
  bool isEnd = memcmp(p, "end ", 4) == 0;
  bool isObject = memcmp(p, kObject, kObjectLength) == 0;
  if (isEnd | isObject) return nullptr;

  CS3DataArena& arena = data_->arena_;
  uintptr_t top = reinterpret_cast<uintptr_t>(arena.Top());
  uintptr_t limit = reinterpret_cast<uintptr_t>(arena.Limit());
  uintptr_t at = (top + alignof(_ST_ItemField) - 1) & ~uintptr_t{alignof(_ST_ItemField) - 1};
  if (top == 0 || at > limit || limit - at < sizeof(_ST_ItemField) + 16) return nullptr;
  char* const text = reinterpret_cast<char*>(at + sizeof(_ST_ItemField));
  const char* value = p + nameLength + 1;
  const char* lf = CopyToLineStop(value, end, text, limit);
  if (lf == nullptr || *lf != '\n' || lf[-1] == '\r') return nullptr;
  size_t valueLength = static_cast<size_t>(lf - value);
  text[valueLength] = '\0';
  arena.Claim(text + valueLength + 1);

  _ST_ItemField* f = reinterpret_cast<_ST_ItemField*>(at);
  f->value = text;
  f->deleted = 0;
  f->kind = kS3KindText;
  f->valueLength = valueLength;
  f->valueCapacity = valueLength + 1;
  if (groupState_ == kGroupNone) {
    // One fixed 16-byte copy; the bytes after the terminator are unused.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(f->name), head);
    f->name[nameLength] = '\0';
    _ST_ItemField* cursor = data_->currentField;
    if (cursor != nullptr) {
      f->next = cursor->next;
      cursor->next = f;
    } else {
      f->next = data_->current->fields;
      data_->current->fields = f;
    }
    data_->currentField = f;
    joinState_ = kJoinAppend;
  } else {
    memcpy(f->name, kS3ItemName, sizeof(kS3ItemName));
    f->next = nullptr;
    _ST_ItemFieldItems* group = data_->currentGroup;
    _ST_ItemField* last = group->lastValue != nullptr ? group->lastValue : group->values;
    if (last != nullptr) {
      while (last->next != nullptr) last = last->next;
      last->next = f;
    } else {
      group->values = f;
    }
    group->lastValue = f;
    data_->currentGroupValue = f;
  }
  return lf;
}

// A continuation line of the field being read, joined onto its value in the
// same single pass while that value is the arena's last allocation (it grows
// where it stands, as JointFieldValueN grows it). The LF of the line once it
// is joined, or null when nothing was done (LineInside joins it then).
// REQUIRES: *p is a tab; the record is collected and joinState_ is kJoinAppend.
__attribute__((always_inline)) inline const char* CS3DataParser::JoinValueLine(const char* p,
                                                                               const char* end) {
  _ST_ItemField* f = data_->currentField;
  if (data_->current == nullptr || f == nullptr || f->value == nullptr) return nullptr;
  CS3DataArena& arena = data_->arena_;
  if (f->value + f->valueCapacity != arena.Top()) return nullptr;
  size_t old = f->valueLength;
  // The copy starts behind the terminator, so a line left to LineInside
  // finds the value as it was.
  char* dst = f->value + old + 1;
  const char* lf = CopyToLineStop(p + 1, end, dst, reinterpret_cast<uintptr_t>(arena.Limit()));
  if (lf == nullptr || *lf != '\n' || lf[-1] == '\r') return nullptr;
  size_t n = static_cast<size_t>(lf - (p + 1));
  size_t need = old + n + 2;  // LF and terminator
  if (need > f->valueCapacity) {
    f->valueCapacity = need;
    arena.Claim(f->value + need);
  }
  f->value[old] = '\n';
  f->value[old + 1 + n] = '\0';
  f->valueLength = old + 1 + n;
  return lf;
}
#endif  // __SSE2__

// One line without its LF: `start` is the offset of p[0], `end` the offset
// just past the LF.
int CS3DataParser::Line(const char* p, size_t n, long start, long end, const char* eq,
                        const char* nul) {
  while (n > 0 && *p == ' ') {
    ++p;
    --n;
    ++start;
  }
  if (n > 0 && p[n - 1] == '\r') --n;
  if (!inRecord_) return LineOutside(p, n, start, nul);
  return LineInside(p, n, end, eq, nul);
}

int CS3DataParser::LineOutside(const char* p, size_t n, long start, const char* nul) {
  if (!IsWordLine(p, n, kObject, kObjectLength)) return kGoOn;
  if (nul != nullptr && static_cast<size_t>(nul - p) < n) n = static_cast<size_t>(nul - p);
  inRecord_ = true;
  const char* id;
  size_t idLength;
  SecondToken(p, n, kObjectLength, &id, &idLength);
  if (hasWanted_ && (idLength != wantedLength_ || memcmp(id, wantedId_, idLength) != 0)) {
    return kGoOn;  // a foreign record: its lines are passed over
  }
  CS3DataArena::Mark mark = data_->arena_.GetMark();
  int r;
  if (idLength == 0) {
    r = data_->CreateItemN("1", 1);
  } else {
    int number = s3data::ReadIntN(id, idLength);
    data_->SetLastID(number);
    if (data_->IsDeleteID(number)) {
      skipRecord_ = true;
      return kGoOn;
    }
    if (hasRequired_ && idLength == requiredLength_ && memcmp(id, requiredId_, idLength) == 0) {
      requiredFound_ = true;
    }
    r = data_->CreateItemN(id, idLength);
  }
  if (r != kResOk) return r;
  recordMark_ = mark;
  recordOpen_ = true;
  return data_->SaveFilePointer(start);
}

int CS3DataParser::LineInside(const char* p, size_t n, long end, const char* eq, const char* nul) {
  if (IsWordLine(p, n, "end", 3)) {
    if (groupState_ != kGroupNone) {
      groupState_ = kGroupNone;
      return kGoOn;
    }
    bool finished = false;
    if (recordOpen_ && !skipRecord_) {
      int r = data_->SaveNextFilePointer(end);
      if (r != kResOk) return r;
      if (hasWanted_) {
        finished = true;
      } else {
        int count = data_->itemCount;
        r = data_->DeleteData();
        if (r != kResOk) return r;
        // The dropped record was the last thing allocated: give its memory
        // back, so a selective parse holds only the records it keeps.
        if (data_->itemCount < count) data_->arena_.Rewind(recordMark_);
      }
    }
    inRecord_ = skipRecord_ = recordOpen_ = false;
    joinState_ = kJoinNone;
    return finished ? kDone : kGoOn;
  }
  if (!recordOpen_ || skipRecord_) return kGoOn;
  if (nul != nullptr && static_cast<size_t>(nul - p) < n) n = static_cast<size_t>(nul - p);
  if (n >= kObjectLength && memcmp(p, kObject, kObjectLength) == 0) {
    groupState_ = kGroupCollect;
    const char* name;
    size_t nameLength;
    SecondToken(p, n, kObjectLength, &name, &nameLength);
    if (nameLength == 0) return data_->CreateFieldItems();
    if (!data_->IsSaveFieldNameN(name, nameLength)) {
      groupState_ = kGroupSkip;
      return kGoOn;
    }
    int r = data_->CreateFieldItems();
    if (r != kResOk) return r;
    return data_->SetFieldItemsNameN(name, nameLength);
  }
  if (n > 0 && p[0] == '\t') {
    if (joinState_ == kJoinAppend) return data_->JointFieldValueN(p + 1, n - 1);
    if (joinState_ == kJoinSkip) return kGoOn;
  }
  if (n == 0) return kGoOn;
  if (eq != nullptr && eq >= p + n) eq = nullptr;  // past the NUL or the CR
  size_t nameLength = eq == nullptr ? n : static_cast<size_t>(eq - p);
  const char* value = eq == nullptr ? p + n : eq + 1;
  size_t valueLength = static_cast<size_t>(p + n - value);
  switch (groupState_) {
    case kGroupNone: {
      if (!data_->IsSaveFieldNameN(p, nameLength)) {
        joinState_ = kJoinSkip;
        return kGoOn;
      }
      int r = data_->CreateFieldValueN(p, nameLength, value, valueLength);
      if (r == kResOk) joinState_ = kJoinAppend;
      return r;
    }
    case kGroupCollect: {
      if (data_->currentGroup == nullptr) return kResDataNoCurrent;
      _ST_ItemField* made = nullptr;
      int r = data_->AppendGroupValueN(data_->currentGroup, value, valueLength, &made);
      if (r == kResOk) data_->currentGroupValue = made;
      return r;
    }
    default:
      return kGoOn;
  }
}

int CS3DataParser::Finish() {
  if (state_ == kDone) {
    data_->firstElement();
    return state_ = kResOk;
  }
  if (state_ != kGoOn) return state_;
  // An unterminated last line is never parsed; its bytes still count.
  carryLength_ = 0;
  const bool open = recordOpen_ && !skipRecord_;
  inRecord_ = skipRecord_ = recordOpen_ = false;
  if (!requiredFound_ || data_->IsEmpty()) return state_ = kResNoEntry;
  // A record whose "end" line is missing ends at the end of the input. The
  // field conditions are applied at "end" lines only, so it stays as read.
  if (open) {
    int r = data_->SaveNextFilePointer(offset_);
    if (r != kResOk) return state_ = r;
  }
  data_->firstElement();
  state_ = kDone;  // a second Finish gives 0 again
  return kResOk;
}

int s3DataParse(CS3Data* data, const char* bytes, size_t n, const char* wantedId,
                const char* requiredId) {
  CS3DataParser parser(data, wantedId, requiredId);
  int r = parser.Feed(bytes, n);
  if (r < 0) return r;
  return parser.Finish();
}
