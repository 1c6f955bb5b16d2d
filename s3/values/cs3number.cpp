#include "s3/values/cs3number.h"

#include <cstdio>
#include <cstring>

#include "common/com.h"
#include "s3/values/cs3valuetext.h"

namespace {
constexpr int kIntCapacity = 11;
// Room for any int printed with "%d" and its terminator.
constexpr int kIntTextSize = 16;
}  // namespace

CS3Int::CS3Int() {
  SetCapacity(kIntCapacity);
}

int CS3Int::Set(const char* text) {
  if (text == nullptr || text[0] == '\0') {
    Clean();
    return kResOk;
  }
  CS3WritableText work(text);
  char* s = work.Get();
  if (s == nullptr) return kResNoMemory;
  if (!comIsDouble(s)) return kResIntNotNumber;  // strips `s` in place
  if (strchr(s, '.') != nullptr) return kResIntHasPoint;
  // A minus sign takes one place of the capacity: "-123456789" and
  // "123456789" both fit capacity 11.
  size_t most = static_cast<size_t>(capacity_) - (s[0] == '-' ? 1 : 2);
  if (strnlen(s, most + 1) > most) return kResIntTooManyDigits;
  return CS3String::Set(s);
}

int CS3Int::SetInt(int value) {
  char text[kIntTextSize];
  snprintf(text, sizeof text, "%d", value);
  return Set(text);
}

int CS3Int::GetInt() const {
  return s3ValueToInt(Get());
}

int CS3IntH::Set(const char* text) {
  if (text == nullptr || text[0] == '\0') return kResRequiredEmpty;
  return CS3Int::Set(text);
}

int CS3FixedInt::Set(const char* text) {
  int result = CS3String::Set(text);
  if (result != kResOk) return result;
  if (IsEmpty()) return kResOk;
  // The width is measured before the number test strips the stored text, so
  // a full-width text ending in blanks is kept without them.
  if (strlen(buffer_) == static_cast<size_t>(capacity_) - 1 && comIsNumber(buffer_)) {
    return kResOk;
  }
  Clean();
  return kResFixedBadWidth;
}
