// A short flag text (capacity 8: seven characters) readable as an integer.
#ifndef S3_VALUES_CS3FLAG_H_
#define S3_VALUES_CS3FLAG_H_

#include "s3/values/cs3string.h"

class CS3FlgStr : public CS3String {
 public:
  CS3FlgStr();
  // atoi of the value; 0 when empty.
  int GetInt() const;
};

#endif  // S3_VALUES_CS3FLAG_H_
