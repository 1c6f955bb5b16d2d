#include "s3/values/cs3flag.h"

#include "s3/values/cs3valuetext.h"

namespace {
constexpr int kFlagCapacity = 8;
}  // namespace

CS3FlgStr::CS3FlgStr() {
  SetCapacity(kFlagCapacity);
}

int CS3FlgStr::GetInt() const {
  return s3ValueToInt(Get());
}
