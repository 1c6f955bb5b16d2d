// Helpers shared by the sources of CS3Data; not part of its interface.
#ifndef S3_CS3DATA_INTERNAL_H_
#define S3_CS3DATA_INTERNAL_H_

#include <string.h>

#include "s3/cs3data.h"

namespace s3data {

// The value of a field as text: "" for a missing node or a null value.
inline const char* ValueOf(const _ST_ItemField* f) {
  return (f == nullptr || f->value == nullptr) ? "" : f->value;
}

inline bool IsLastIdName(const char* name) {
  return strcmp(name, kS3LastIdName) == 0;
}

// s3ReadInt over `n` bytes that need not be terminated.
int ReadIntN(const char* text, size_t n);

// Copies `text` (at most kS3NameMax bytes of `n`) into a node's name array.
inline void CopyName(char* dst, const char* text, size_t n) {
  if (n > static_cast<size_t>(kS3NameMax)) n = kS3NameMax;
  memcpy(dst, text, n);
  dst[n] = '\0';
}

// Hands `text` to a value object through a private copy: integer values trim
// the text they are given in place, which must never change a parsed record.
int SetValueFromText(CS3String& out, const char* text);

// The first field of `record` named `name`, or null.
const _ST_ItemField* FindField(const _ST_Item* record, const char* name);

}  // namespace s3data

#endif  // S3_CS3DATA_INTERNAL_H_
