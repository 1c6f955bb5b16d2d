// A record object that carries one string value, read from the current field
// of a parsed record. The alarm index record extends it.
#ifndef S3_CS3OBJSTRING_H_
#define S3_CS3OBJSTRING_H_

#include "s3/cs3object.h"
#include "s3/values/cs3string.h"

class CS3ObjString : public CS3Object {
 public:
  CS3ObjString() = default;
  ~CS3ObjString() override;

  // Reads the field under `data`'s field cursor into the value (its name goes
  // to a scratch buffer and is dropped). -110 without a field cursor, else the
  // value's Set result.
  virtual int GetField(CS3Data* data);

  // The value's text; never null.
  const char* GetValue() const { return value.Get(); }

 protected:
  CS3String value;
};

#endif  // S3_CS3OBJSTRING_H_
