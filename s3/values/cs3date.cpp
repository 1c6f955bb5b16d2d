#include "s3/values/cs3date.h"

#include <cstdio>
#include <cstring>

#include "common/com.h"
#include "common/comdate.h"
#include "s3/values/cs3valuetext.h"

namespace {

constexpr int kDateCapacity = 9;       // YYYYMMDD
constexpr int kDateTimeCapacity = 15;  // YYYYMMDDhhmmss
constexpr int kTimeCapacity = 5;       // hhmm
constexpr size_t kClockOffset = 8;     // where the clock part of a date-time starts
constexpr int kSecondMax = 59;
// The slash, dash and colon forms are taken only from texts this short.
constexpr size_t kFormMaxLength = 11;
// Longer than any rewrite: three ints of at most 11 characters each.
constexpr int kRewriteSize = 40;
constexpr size_t kYearPartMax = 4;
constexpr size_t kMonthDayPartMax = 2;

bool IsEmptyText(const char* text) {
  return text == nullptr || text[0] == '\0';
}

bool IsFormLength(const char* text) {
  return strnlen(text, kFormMaxLength + 1) <= kFormMaxLength;
}

// The fixed-width store accepts what its number test accepts: a leading minus
// sign, and a full-width text whose end was blanks (stored without them). A
// date or clock field is canonical only as exactly capacity - 1 digits.
bool IsCanonical(const char* value, int capacity) {
  size_t width = static_cast<size_t>(capacity) - 1;
  return strlen(value) == width && s3ValueAllDigits(value, width);
}

}  // namespace

// ---- CS3DateStr ----------------------------------------------------------------

CS3DateStr::CS3DateStr() {
  SetCapacity(kDateCapacity);
}

int CS3DateStr::Set(const char* text) {
  const char* in = text != nullptr ? text : "";
  char rewritten[kRewriteSize];
  if (IsFormLength(in)) {
    char sep = strchr(in, '/') != nullptr ? '/' : (strchr(in, '-') != nullptr ? '-' : '\0');
    if (sep != '\0') {
      // A number that cannot be read (2026/12, or everything after a first
      // number that fails) reads as 0. Month and day 0 are never a date, so
      // an incomplete text is refused as digits that are not a date.
      int part[3] = {0, 0, 0};
      s3ValueScanInts(in, sep, part, 3);
      snprintf(rewritten, sizeof rewritten, "%04d%02d%02d", part[0], part[1], part[2]);
      in = rewritten;
    }
  }

  if (in[0] != '\0' && comChk_date(in) != 0) {
    // Judged before Clean, since `in` may be this value's own text. The
    // number test strips the caller's writable text in place.
    CS3WritableText work(in);
    bool isNumber = work.Get() != nullptr && comIsNumber(work.Get());
    Clean();
    return isNumber ? kResDateInvalid : kResDateNotDate;
  }

  // Every refusal of the fixed-width store is reported as "not a date": too
  // long (value unchanged), wrong width or no number (emptied), no memory.
  if (CS3FixedInt::Set(in) != kResOk) return kResDateNotDate;
  if (!IsEmpty() && !IsCanonical(buffer_, capacity_)) {
    Clean();
    return kResDateNotDate;
  }
  return kResOk;
}

int CS3DateStr::Set(const char* year, const char* month, const char* day) {
  int empty = IsEmptyText(year) + IsEmptyText(month) + IsEmptyText(day);
  if (empty == 3) return kResOk;
  if (empty > 0) return kResDateInvalid;
  if (strnlen(year, kYearPartMax + 1) > kYearPartMax ||
      strnlen(month, kMonthDayPartMax + 1) > kMonthDayPartMax ||
      strnlen(day, kMonthDayPartMax + 1) > kMonthDayPartMax) {
    return kResTooLong;
  }
  CS3Int y, m, d;
  int result = y.Set(year);
  if (result == kResOk) result = m.Set(month);
  if (result == kResOk) result = d.Set(day);
  if (result != kResOk) return result;

  char text[kRewriteSize];
  snprintf(text, sizeof text, "%04d%02d%02d", y.GetInt(), m.GetInt(), d.GetInt());
  return Set(text);  // virtual: a date-time refuses the eight digits
}

int CS3DateStr::GetYear() const {
  return IsEmpty() ? -1 : comGetYear(Get());
}
int CS3DateStr::GetMonth() const {
  return IsEmpty() ? -1 : comGetMonth(Get());
}
int CS3DateStr::GetDay() const {
  return IsEmpty() ? -1 : comGetDay(Get());
}

int CS3DateStrH::Set(const char* text) {
  return IsEmptyText(text) ? kResRequiredEmpty : CS3DateStr::Set(text);
}

int CS3DateStrH::Set(const char* year, const char* month, const char* day) {
  if (IsEmptyText(year) && IsEmptyText(month) && IsEmptyText(day)) return kResRequiredEmpty;
  return CS3DateStr::Set(year, month, day);
}

// ---- CS3DateTimeStr --------------------------------------------------------------

CS3DateTimeStr::CS3DateTimeStr() {
  SetCapacity(kDateTimeCapacity);
}

int CS3DateTimeStr::Set(const char* text) {
  int result = CS3FixedInt::Set(text);
  if (result != kResOk) return result;
  if (IsEmpty()) return kResOk;
  char* clock = buffer_ + kClockOffset;
  if (IsCanonical(buffer_, capacity_) && comChk_date(buffer_) == 0 && comChk_time(clock) == 0 &&
      comGetSecond(clock) <= kSecondMax) {
    return kResOk;
  }
  Clean();
  return kResFixedBadWidth;
}

namespace {

// The clock part of a date-time value, or its end when the value is shorter
// (a text stored through the unchecked Set(text, length)).
const char* ClockPart(const char* value) {
  return value + strnlen(value, kClockOffset);
}

}  // namespace

int CS3DateTimeStr::GetHour() const {
  return IsEmpty() ? -1 : comGetHour(ClockPart(Get()));
}
int CS3DateTimeStr::GetMinute() const {
  return IsEmpty() ? -1 : comGetMinute(ClockPart(Get()));
}

// ---- CS3TimeStr --------------------------------------------------------------------

CS3TimeStr::CS3TimeStr() {
  SetCapacity(kTimeCapacity);
}

int CS3TimeStr::Set(const char* text) {
  const char* in = text != nullptr ? text : "";
  char rewritten[kRewriteSize];
  bool isRewritten = false;
  if (strchr(in, ':') != nullptr && IsFormLength(in)) {
    // Hour and minute 0 are valid, so a missing number cannot simply read as
    // 0 (9: would become 0900). A colon text with fewer than two numbers is
    // not rewritten; it is checked as typed and, holding a colon, refused as
    // not a clock time.
    int part[2] = {0, 0};
    if (s3ValueScanInts(in, ':', part, 2) == 2) {
      snprintf(rewritten, sizeof rewritten, "%02d%02d", part[0], part[1]);
      isRewritten = true;
    }
  } else if (strnlen(in, 4) == 3) {
    snprintf(rewritten, sizeof rewritten, "0%s", in);
    isRewritten = true;
  }

  // The clock check strips the text it is given: the caller's own text when
  // it was not rewritten, and the stripped text is what is stored.
  CS3WritableText caller(isRewritten ? nullptr : in);
  char* work = isRewritten ? rewritten : caller.Get();
  if (work == nullptr) return kResNoMemory;
  if (work[0] != '\0' && comChk_time(work) != 0) {
    bool isNumber = comIsNumber(work);  // before Clean: `work` may be our own text
    Clean();
    return isNumber ? kResTimeInvalid : kResTimeNotTime;
  }

  // The fixed-width store's codes are passed up as they are.
  int result = CS3FixedInt::Set(work);
  if (result != kResOk) return result;
  if (!IsEmpty() && !IsCanonical(buffer_, capacity_)) {
    Clean();
    return kResFixedBadWidth;
  }
  return kResOk;
}

int CS3TimeStr::GetHour() const {
  return IsEmpty() ? -1 : comGetHour(Get());
}
int CS3TimeStr::GetMinute() const {
  return IsEmpty() ? -1 : comGetMinute(Get());
}
