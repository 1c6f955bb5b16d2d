// CS3DataIO::ModIndex: replaces a file's content by one object's record.
#include "common/com.h"
#include "s3/cs3data.h"
#include "s3/cs3dataiofile.h"

int CS3DataIO::ModIndex(CS3Object& obj) {
  // A missing file is not a failure here: it is created instead. The -110 of
  // the first open is therefore taken back out of the error state, so that it
  // cannot roll back the rest of the unit of work at the release.
  const int before = error;
  int r = OpenMod(obj, nullptr, false);
  if (r == kResNoEntry) {
    error = before;
    r = OpenAdd(obj);
  }
  if (r != kResOk) return r;
  // Nothing was read (or the file is new): the parsed record starts empty and
  // the object's values make its only record.
  CS3Data* data = slotData(obj);
  r = obj.PreSetFieldValue(data);
  if (r == kResOk) r = obj.SetFieldValue(data);
  if (r != kResOk) {
    if (obj.GetFd() != 0) record(r);
    return r;
  }
  return record(writeData(data, nullptr, false, nullptr));
}
