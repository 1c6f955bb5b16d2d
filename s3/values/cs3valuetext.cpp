#include "s3/values/cs3valuetext.h"

#include <cctype>
#include <climits>
#include <cstring>
#include <new>

#include "common/com.h"

CS3WritableText::CS3WritableText(const char* text) : text_(empty_), empty_{'\0'} {
  if (text == nullptr || text[0] == '\0') return;
  if (comIsWritableText(text)) {
    // The contract of the values that use this view is to strip the caller's
    // text in place; a writable text is therefore modified on purpose.
    text_ = const_cast<char*>(text);
    return;
  }
  size_t size = strlen(text) + 1;
  copy_.reset(new (std::nothrow) char[size]);
  text_ = copy_.get();
  if (text_ != nullptr) memcpy(text_, text, size);
}

namespace {

// One "%d" conversion starting at *p. On success stores the (clamped) value,
// advances *p past the digits and returns true; with no digit it returns false
// and leaves *p alone.
bool ReadInt(const char** p, int* out) {
  const char* s = *p;
  while (isspace(static_cast<unsigned char>(*s))) ++s;
  bool negative = false;
  if (*s == '+' || *s == '-') negative = (*s++ == '-');
  if (!isdigit(static_cast<unsigned char>(*s))) return false;
  // Accumulate towards the sign's limit; once past it, keep reading digits
  // but stay at the limit.
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  long long value = 0;
  for (; isdigit(static_cast<unsigned char>(*s)); ++s) {
    if (value <= limit) value = value * 10 + (*s - '0');
  }
  if (value > limit) value = limit;
  *out = static_cast<int>(negative ? -value : value);
  *p = s;
  return true;
}

}  // namespace

int s3ValueToInt(const char* text) {
  if (text == nullptr) return 0;
  int value = 0;
  return ReadInt(&text, &value) ? value : 0;
}

int s3ValueScanInts(const char* text, char sep, int* out, int count) {
  const char* p = text;
  int read = 0;
  while (read < count) {
    if (read > 0) {
      if (*p != sep) break;
      ++p;
    }
    if (!ReadInt(&p, &out[read])) break;
    ++read;
  }
  return read;
}

bool s3ValueAllDigits(const char* text, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (!isdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}
