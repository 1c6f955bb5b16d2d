// Text helpers shared by the value units. Internal to s3/values: nothing
// outside this folder includes it.
#ifndef S3_VALUES_CS3VALUETEXT_H_
#define S3_VALUES_CS3VALUETEXT_H_

#include <cstddef>
#include <memory>

// A writable view of a caller's text for the checks that strip it in place.
// When the caller's text is writable the view is that text itself, so the
// stripping reaches the caller as the values' contracts promise; text in the
// program's read-only image (a literal) is copied first. A check therefore
// sees, and a value stores, the same text either way.
class CS3WritableText {
 public:
  // `text` may be null (reads as "").
  explicit CS3WritableText(const char* text);
  CS3WritableText(const CS3WritableText&) = delete;
  CS3WritableText& operator=(const CS3WritableText&) = delete;

  // The writable text; null only when a copy was needed and its allocation
  // failed.
  char* Get() const { return text_; }

 private:
  std::unique_ptr<char[]> copy_;
  char* text_;
  char empty_[1];
};

// atoi without undefined behaviour: leading white space, an optional sign and
// the digits up to the first other character; no digits give 0, and a value
// beyond the range of int is clamped to INT_MIN or INT_MAX.
int s3ValueToInt(const char* text);

// Reads up to `count` decimal integers separated by the character `sep`, as
// sscanf with "%d<sep>%d<sep>%d" does: each number may have leading white
// space and a sign; reading stops at the first number or separator that does
// not match, and text after the last number is ignored. Numbers beyond the
// range of int are clamped. Returns how many numbers were read; the entries of
// `out` past that count are not written.
int s3ValueScanInts(const char* text, char sep, int* out, int count);

// True when the first `n` characters of `text` are all digits 0-9 (and the
// text has at least `n` characters).
bool s3ValueAllDigits(const char* text, size_t n);

#endif  // S3_VALUES_CS3VALUETEXT_H_
