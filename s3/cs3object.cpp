#include "s3/cs3object.h"

#include "common/com.h"
#include "s3/cs3data.h"
#include "s3/cs3dataiofile.h"

CS3Object::CS3Object() = default;

CS3Object::~CS3Object() = default;

int CS3Object::Set(const char*, const char*) {
  return kResObjCannotStore;
}

int CS3Object::Get() {
  CS3DataIO io;
  return io.Get(*this);
}

int CS3Object::Get(int wanted) {
  CS3DataIO io;
  return io.Get(*this, wanted);
}

const char* CS3Object::GetName() {
  return nullptr;
}

void CS3Object::Clean() {}

int CS3Object::GetFileName(char*) {
  return kResObjNoFileName;
}

int CS3Object::PreSetFieldValue(CS3Data*) {
  return kResOk;
}

int CS3Object::SetFieldValue(CS3Data*) {
  return kResObjCannotStore;
}

int CS3Object::GetFieldValue(CS3Data*) {
  return kResOk;
}

bool CS3Object::IsDeleteData(CS3Data*) {
  return false;
}

int CS3Object::SetSaveFieldName(CS3Data*) {
  return kResOk;
}

bool CS3Object::IsNoOpen() {
  return false;
}

void CS3Object::SetID(int value) {
  id.SetInt(value);
}

int CS3Object::GetID() const {
  return id.GetInt();
}

const char* CS3Object::GetIDStr() const {
  return id.Get();
}

int CS3Object::SetFd(int slot, int slotKey) {
  if (fd >= 0 && fdKey == slotKey) return kResObjAlreadyOpen;
  fd = slot;
  fdKey = slotKey;
  return kResOk;
}

int CS3Object::getCurrent(CS3DataIOFile& io, CS3Object& bound, CS3Object& target, int wanted) {
  CS3Data* data = io.slotData(bound);
  if (data == nullptr) {
    target.SetID(0);
    return io.getFd(bound);
  }
  const bool keep = target.getData;
  target.getData = false;
  int r = data->firstElement();
  while (r == kResOk && !data->IsEndOfData()) {
    r = io.GetData(bound, &target);
    if (r != kResOk) break;
    if (target.GetID() == wanted) {
      // Found: read the whole record, whatever the caller's read option.
      target.getData = true;
      r = io.GetData(bound, &target);
      target.getData = keep;
      if (r != kResOk) target.SetID(0);
      return r;
    }
    r = data->nextElement();
  }
  target.getData = keep;
  target.SetID(0);
  return r != kResOk ? r : kResNoEntry;
}
