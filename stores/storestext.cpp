#include "stores/storestext.h"

#include <cstring>
#include <memory>
#include <new>

#include "common/com.h"
#include "s3/values/cs3string.h"

int storesSetText(CS3String& value, const char* text) {
  if (text == nullptr) return value.Set(text);
  const size_t length = strlen(text);
  // Keys and times are short; only an unusual text needs the heap.
  char small[64];
  std::unique_ptr<char[]> large;
  char* copy = small;
  if (length >= sizeof small) {
    large.reset(new (std::nothrow) char[length + 1]);
    if (!large) return kResNoMemory;
    copy = large.get();
  }
  memcpy(copy, text, length + 1);
  return value.Set(copy);
}
