// Date (YYYYMMDD), date-time (YYYYMMDDhhmmss) and clock time (hhmm) values.
#ifndef S3_VALUES_CS3DATE_H_
#define S3_VALUES_CS3DATE_H_

#include "s3/values/cs3number.h"

constexpr int kResDateInvalid = -13002;  // all digits but no valid date; date parts missing
constexpr int kResDateNotDate = -13004;  // neither a valid date nor a number
constexpr int kResTimeNotTime = -13005;  // neither a valid clock time nor a number
constexpr int kResTimeInvalid = -13007;  // all digits but no valid clock time

// YYYYMMDD (capacity 9). Also takes "Y/M/D" and "Y-M-D" of at most 11
// characters, rewritten as YYYYMMDD; a number missing from such a text reads
// as 0, which no date accepts. Only eight digits are ever stored: a text that
// reaches the width only through trailing blanks is refused.
class CS3DateStr : public CS3FixedInt {
 public:
  CS3DateStr();
  using CS3FixedInt::Set;
  // 0, -13002 (digits, no date: emptied), -13004 (not a date: emptied; or
  // refused by the fixed-width store, emptied, or unchanged when too long).
  // On a refusal the number test strips the caller's writable text in place.
  int Set(const char* text) override;
  // From three decimal parts: 0 (all empty: unchanged), -13002 (some parts
  // missing), -62 (a part too long), an integer code, or Set(text)'s result.
  // Goes through the virtual Set(text), so a date-time refuses the eight
  // digits (-10007).
  virtual int Set(const char* year, const char* month, const char* day);
  // -1 when empty, else the field read by position.
  int GetYear() const;
  int GetMonth() const;
  int GetDay() const;
};

class CS3DateStrH : public CS3DateStr {
 public:
  using CS3DateStr::Set;
  int Set(const char* text) override;
  int Set(const char* year, const char* month, const char* day) override;
};

// YYYYMMDDhhmmss (capacity 15); 14 digits only (no sign, no trailing blanks),
// a valid date, hour 0-24, minute and second 0-59. No slash or dash form.
class CS3DateTimeStr : public CS3DateStr {
 public:
  CS3DateTimeStr();
  using CS3DateStr::Set;
  // 0, -62 (unchanged), -10, -10007 (value emptied).
  int Set(const char* text) override;
  // -1 when empty, else read from the clock part (index 8, or the end of a
  // shorter text stored unchecked).
  int GetHour() const;
  int GetMinute() const;
};

// hhmm (capacity 5). Also takes "h:m" of at most 11 characters and any text
// of three characters ("905" becomes "0905"), rewritten as hhmm. A colon text
// with fewer than two numbers is not rewritten and is refused (-13005). Only
// four digits are ever stored.
class CS3TimeStr : public CS3FixedInt {
 public:
  CS3TimeStr();
  using CS3FixedInt::Set;
  // 0, -13005, -13007 (both: emptied), or -62 (unchanged), -10 or -10007
  // (emptied) from the fixed-width store, passed up as they are; -10 also
  // when a read-only text could not be copied (unchanged). Strips the
  // caller's writable text in place when it is not rewritten.
  int Set(const char* text) override;
  // -1 when empty, else the field read by position.
  int GetHour() const;
  int GetMinute() const;
};

#endif  // S3_VALUES_CS3DATE_H_
