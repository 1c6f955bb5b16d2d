#include "s3/values/cs3string.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "common/com.h"

namespace {

constexpr int kShortCapacity = 64;
constexpr int kMiddleCapacity = 127;
constexpr int kLongCapacity = 256;

char* Allocate(size_t size) {
  return new (std::nothrow) char[size];
}

bool IsEmptyText(const char* text) {
  return text == nullptr || text[0] == '\0';
}

}  // namespace

CS3String::CS3String() : buffer_(nullptr), capacity_(0), empty_{0, 0, 0, 0} {}

CS3String::~CS3String() {
  delete[] buffer_;
}

const char* CS3String::Get() const {
  return buffer_ != nullptr ? buffer_ : empty_;
}

int CS3String::Set(const char* text) {
  size_t length = text != nullptr ? strlen(text) : 0;
  return Set(text, length > INT_MAX ? INT_MAX : static_cast<int>(length));
}

int CS3String::Set(const char* text, int length) {
  const char* s = text != nullptr ? text : "";

  if (capacity_ > 0) {
    const size_t k = static_cast<size_t>(capacity_);
    // Only whether the text reaches K matters, so its length is not measured
    // past K.
    size_t l = strnlen(s, k);
    if (l >= k && length >= capacity_) return kResTooLong;
    if (buffer_ == nullptr) {
      buffer_ = Allocate(k);
      if (buffer_ == nullptr) return kResNoMemory;
    }
    size_t n = std::min(l, k - 1);
    memmove(buffer_, s, n);  // `s` may lie inside the buffer
    memset(buffer_ + n, 0, k - n);
    return kResOk;
  }

  // Unbounded. A `length` below the text's length would break the buffer's
  // size, so the buffer is sized for whichever is larger.
  size_t l = strlen(s);
  size_t want = std::max(l, length > 0 ? static_cast<size_t>(length) : 0);
  if (buffer_ != nullptr && want <= strlen(buffer_)) {
    memmove(buffer_, s, l + 1);
    return kResOk;
  }
  // The new buffer is taken before the old one is freed, so a text that lies
  // inside the old buffer stays readable; a failure still leaves no buffer.
  char* fresh = Allocate(want + 1);
  if (fresh != nullptr) memcpy(fresh, s, l + 1);
  delete[] buffer_;
  buffer_ = fresh;
  return fresh != nullptr ? kResOk : kResNoMemory;
}

void CS3String::Clean() {
  if (capacity_ > 0) {
    if (buffer_ != nullptr) memset(buffer_, 0, static_cast<size_t>(capacity_));
    return;
  }
  delete[] buffer_;
  buffer_ = nullptr;
}

int CS3String::Comp(const char* text) const {
  return strcmp(Get(), text != nullptr ? text : "");
}

int CS3String::Comp(const char* text, int n) const {
  if (n <= 0) return 0;
  return strncmp(Get(), text != nullptr ? text : "", static_cast<size_t>(n));
}

bool CS3String::IsEmpty() const {
  return buffer_ == nullptr || buffer_[0] == '\0';
}

int CS3String::Get(char* out, int size) const {
  if (out == nullptr || size < 1) return kResOk;
  const unsigned char* v = reinterpret_cast<const unsigned char*>(Get());
  const size_t limit = static_cast<size_t>(size) - 1;
  size_t cut = 0;
  while (v[cut] != '\0') {
    // A lead byte and the byte after it are one character; a lead byte that
    // ends the text stands alone.
    size_t step = (v[cut] & 0x80) != 0 && v[cut + 1] != '\0' ? 2 : 1;
    if (cut + step > limit) break;
    cut += step;
  }
  memcpy(out, v, cut);
  out[cut] = '\0';
  return kResOk;
}

void CS3String::EraseSpace() {
  comRTrimMultiLine(buffer_);
}

int CS3String::StrCat(const char* text) {
  if (text == nullptr || text[0] == '\0') return kResOk;
  const char* current = Get();
  size_t have = strlen(current);
  size_t add = strlen(text);
  // A fixed-capacity buffer never shrinks below K bytes, so Set and Clean,
  // which work on the first K bytes, stay inside it.
  size_t size = std::max(have + add + 1, capacity_ > 0 ? static_cast<size_t>(capacity_) : 0);
  char* fresh = new (std::nothrow) char[size]();
  if (fresh == nullptr) return kResNoMemory;
  // `text` may lie inside the old buffer, which is freed only after copying.
  memcpy(fresh, current, have);
  memcpy(fresh + have, text, add);
  delete[] buffer_;
  buffer_ = fresh;
  return kResOk;
}

CS3ShortStr::CS3ShortStr() {
  SetCapacity(kShortCapacity);
}
CS3MiddleStr::CS3MiddleStr() {
  SetCapacity(kMiddleCapacity);
}
CS3LongStr::CS3LongStr() {
  SetCapacity(kLongCapacity);
}

int CS3StringH::Set(const char* text) {
  return IsEmptyText(text) ? kResRequiredEmpty : CS3String::Set(text);
}

int CS3ShortStrH::Set(const char* text) {
  return IsEmptyText(text) ? kResRequiredEmpty : CS3ShortStr::Set(text);
}

int CS3MiddleStrH::Set(const char* text) {
  return IsEmptyText(text) ? kResRequiredEmpty : CS3MiddleStr::Set(text);
}

int CS3LongStrH::Set(const char* text) {
  return IsEmptyText(text) ? kResRequiredEmpty : CS3LongStr::Set(text);
}
