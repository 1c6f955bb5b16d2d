// Integer field values. The stored text is always the canonical decimal text
// that was validated, so records are written back exactly as stored.
//
// Set(const char*) strips trailing blanks, carriage returns and line feeds
// from the caller's text in place, as the number check does; text in the
// program's read-only image (a literal) is validated on a copy instead.
#ifndef S3_VALUES_CS3NUMBER_H_
#define S3_VALUES_CS3NUMBER_H_

#include "s3/values/cs3string.h"

// Result codes of the integer values.
constexpr int kResIntNotNumber = -13006;   // not a decimal number
constexpr int kResIntHasPoint = -13009;    // has a decimal point
constexpr int kResIntTooManyDigits = -63;  // too many digits for the capacity
constexpr int kResFixedBadWidth = -10007;  // wrong width, not a number, bad date-time

// Optional minus sign and up to 9 digits (capacity 11).
class CS3Int : public CS3String {
 public:
  CS3Int();
  using CS3String::Set;
  // 0, -13006, -13009, -63 (unchanged) or -10. Null or empty stores empty.
  // The checks see, and the value stores, the text with its end stripped.
  // -10 also when a read-only text could not be copied (value unchanged).
  int Set(const char* text) override;
  // Set of `value` printed with "%d".
  int SetInt(int value);
  // atoi of the value; 0 when empty. A value beyond int (possible only
  // through the unchecked Set(text, length)) reads as INT_MIN or INT_MAX.
  int GetInt() const;
};

class CS3IntH : public CS3Int {
 public:
  using CS3Int::Set;
  // -10006 for a null or empty text (unchanged), else CS3Int::Set.
  int Set(const char* text) override;
};

// A record identifier.
class CS3Id : public CS3Int {};
class CS3IdH : public CS3IntH {};

// Exactly capacity - 1 characters forming a number (digits, an optional
// leading minus); the capacity is given by the subclass. The width is measured
// before the number test strips the stored text, so a full-width text ending
// in blanks is kept without them.
class CS3FixedInt : public CS3Int {
 public:
  using CS3Int::Set;
  // 0, -62 (unchanged), -10, or -10007 (value emptied).
  int Set(const char* text) override;
};

#endif  // S3_VALUES_CS3NUMBER_H_
