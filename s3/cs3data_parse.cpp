// The parse of a record file: cutting bytes into lines and the state machine
// that turns lines into records, fields and groups.
#include <stdlib.h>
#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "s3/cs3data.h"
#include "s3/cs3data_internal.h"

namespace {

enum GroupState { kGroupNone, kGroupCollect, kGroupSkip };
enum JoinState { kJoinNone, kJoinAppend, kJoinSkip };

constexpr char kObject[] = "object";
constexpr size_t kObjectLength = sizeof(kObject) - 1;

// The line ends at its first NUL byte.
size_t CutAtNul(const char* p, size_t n) {
  const void* nul = memchr(p, '\0', n);
  return nul == nullptr ? n : static_cast<size_t>(static_cast<const char*>(nul) - p);
}

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
    __m128i hit = _mm_and_si128(_mm_cmpeq_epi8(b0, lf),
                                _mm_or_si128(begins, _mm_cmpeq_epi8(b1, space)));
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
      chunkEnd_(nullptr),
      nextNul_(nullptr),
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
    chunkEnd_ = nullptr;  // the carried line is cut on its own
    r = Line(carry_, carryLength_, carryStart_, base + (lf - bytes) + 1);
    carryLength_ = 0;
    if (r != kGoOn) return state_ = r;
    p = lf + 1;
  }
  chunkEnd_ = end;
  nextNul_ = nullptr;
  while (p < end) {
    if (!recordOpen_) {
      // Outside a record, or in one that is not collected.
      p = NextLineThatMayBegin(p, end, inRecord_ ? "end" : kObject);
      if (p == end) break;
    }
    const char* lf = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
    if (lf == nullptr) {
      // The line goes on in the next chunk (or is never ended).
      carryStart_ = base + (p - bytes);
      int r = AppendCarry(p, static_cast<size_t>(end - p));
      if (r != kResOk) return state_ = r;
      break;
    }
    int r = Line(p, static_cast<size_t>(lf - p), base + (p - bytes), base + (lf - bytes) + 1);
    if (r != kGoOn) return state_ = r;
    p = lf + 1;
  }
  return state_;
}

size_t CS3DataParser::Cut(const char* p, size_t n) {
  if (chunkEnd_ == nullptr) return CutAtNul(p, n);
  // Lines are cut in order: a NUL found before this line was in an earlier
  // one, and none lies between the last scan's start and nextNul_.
  if (nextNul_ == nullptr || nextNul_ < p) {
    const void* nul = memchr(p, '\0', static_cast<size_t>(chunkEnd_ - p));
    nextNul_ = nul == nullptr ? chunkEnd_ : static_cast<const char*>(nul);
  }
  size_t clean = static_cast<size_t>(nextNul_ - p);
  return n < clean ? n : clean;
}

// One line without its LF: `start` is the offset of p[0], `end` the offset
// just past the LF.
int CS3DataParser::Line(const char* p, size_t n, long start, long end) {
  while (n > 0 && *p == ' ') {
    ++p;
    --n;
    ++start;
  }
  if (n > 0 && p[n - 1] == '\r') --n;
  if (!inRecord_) return LineOutside(p, n, start);
  return LineInside(p, n, end);
}

int CS3DataParser::LineOutside(const char* p, size_t n, long start) {
  if (!IsWordLine(p, n, kObject, kObjectLength)) return kGoOn;
  // A record line is short and may be the only line of the chunk that is
  // read: cut it on its own rather than scan the chunk for a NUL.
  n = CutAtNul(p, n);
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

int CS3DataParser::LineInside(const char* p, size_t n, long end) {
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
  n = Cut(p, n);
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
  const char* eq = static_cast<const char*>(memchr(p, '=', n));
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
