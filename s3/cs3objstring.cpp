#include "s3/cs3objstring.h"

#include "common/com.h"
#include "s3/cs3data.h"

CS3ObjString::~CS3ObjString() = default;

int CS3ObjString::GetField(CS3Data* data) {
  char name[kComPathMax] = {};
  return data->GetField(name, value);
}
