// String field values: unbounded or fixed-capacity text owned by the value,
// and the required (H) variants that refuse an empty text.
//
// A null text and an empty text are the same value everywhere. A refused text
// (-62, -10006) leaves the previous value in place.
#ifndef S3_VALUES_CS3STRING_H_
#define S3_VALUES_CS3STRING_H_

class CS3String {
 public:
  CS3String();
  virtual ~CS3String();
  // Values own their buffer; copying would share or duplicate it silently.
  CS3String(const CS3String&) = delete;
  CS3String& operator=(const CS3String&) = delete;

  // The value; never null (an empty text while there is no buffer).
  virtual const char* Get() const;
  // Set(text, strlen(text)). 0, -62 (too long: unchanged) or -10.
  virtual int Set(const char* text);
  // Capacity K > 0: refuses with -62 (value unchanged) when both the text
  // and `length` reach K; otherwise stores at most K - 1 characters and
  // zero-fills the rest of the K-byte buffer, which is allocated on first use
  // and kept. Unbounded: stores the whole text, reusing the buffer unless
  // `length` exceeds the current value's length, else taking a new buffer of
  // length + 1 bytes. -10 when an allocation fails (the value is then empty).
  // REQUIRES (unbounded): length >= strlen(text); a smaller `length` is read
  // as strlen(text), so the buffer always holds the whole text. `text` may
  // point into this value's own buffer.
  virtual int Set(const char* text, int length);
  // Empties the value; a fixed-capacity buffer stays allocated (zeroed), an
  // unbounded one is freed.
  virtual void Clean();

  // strcmp of the value against `text` (null reads as "").
  int Comp(const char* text) const;
  // strncmp over at most `n` characters (null reads as ""); 0 when n <= 0.
  int Comp(const char* text, int n) const;
  // True when there is no buffer or it holds the empty text.
  bool IsEmpty() const;
  // Copies the value into `out`, at most size - 1 bytes, never splitting a
  // two-byte character (a byte with its high bit set and the byte after it);
  // returns 0. Nothing is written when out is null or size < 1.
  int Get(char* out, int size) const;
  // Strips trailing blanks, carriage returns and line feeds in place.
  void EraseSpace();
  // Appends `text` (nothing for null or empty) into a new buffer of the joined
  // length plus one; the capacity is not consulted, so a fixed-capacity value
  // may afterwards hold K or more characters. Its buffer never becomes smaller
  // than K bytes, so a later Set or Clean, which work on the first K bytes,
  // behave as usual. 0, or -10 with the value unchanged. `text` may point
  // into this value's own buffer.
  int StrCat(const char* text);

  int GetCapacity() const { return capacity_; }

 protected:
  // For subclasses: the capacity in bytes including the terminator; 0 is
  // unbounded.
  void SetCapacity(int capacity) { capacity_ = capacity; }

  char* buffer_;
  int capacity_;
  char empty_[4];
};

class CS3ShortStr : public CS3String {
 public:
  CS3ShortStr();
};

// Capacity 127 bytes: 126 characters.
class CS3MiddleStr : public CS3String {
 public:
  CS3MiddleStr();
};

class CS3LongStr : public CS3String {
 public:
  CS3LongStr();
};

class CS3StringH : public CS3String {
 public:
  using CS3String::Set;
  // -10006 for a null or empty text (unchanged), else CS3String::Set.
  int Set(const char* text) override;
};

class CS3ShortStrH : public CS3ShortStr {
 public:
  using CS3ShortStr::Set;
  int Set(const char* text) override;
};

class CS3MiddleStrH : public CS3MiddleStr {
 public:
  using CS3MiddleStr::Set;
  int Set(const char* text) override;
};

class CS3LongStrH : public CS3LongStr {
 public:
  using CS3LongStr::Set;
  int Set(const char* text) override;
};

// The flag text completes the string family; its own header is cs3flag.h.
#include "s3/values/cs3flag.h"  // IWYU pragma: export

#endif  // S3_VALUES_CS3STRING_H_
