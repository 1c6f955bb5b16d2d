// CS3Data: storage, the record list and the fields of the current record
// (the arena their nodes and texts live in is in cs3data_arena.cpp).
#include "s3/cs3data.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "s3/cs3data_internal.h"

namespace {

bool IsSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace

// ---- Numbers ------------------------------------------------------------------

namespace s3data {

int ReadIntN(const char* text, size_t n) {
  if (text == nullptr) return 0;
  size_t i = 0;
  while (i < n && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Accumulate as a negative number so that INT_MIN is reachable.
  long long v = 0;
  for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (v > -static_cast<long long>(INT_MAX) - 1) v = v * 10 - (text[i] - '0');
  }
  if (negative) return v < INT_MIN ? INT_MIN : static_cast<int>(v);
  return -v > INT_MAX ? INT_MAX : static_cast<int>(-v);
}

int SetValueFromText(CS3String& out, const char* text) {
  size_t n = strlen(text);
  char small[256];
  char* copy = n < sizeof(small) ? small : static_cast<char*>(malloc(n + 1));
  if (copy == nullptr) return kResNoMemory;
  memcpy(copy, text, n + 1);
  int r = out.Set(copy);
  if (copy != small) free(copy);
  return r;
}

const _ST_ItemField* FindField(const _ST_Item* record, const char* name) {
  for (const _ST_ItemField* f = record->fields; f != nullptr; f = f->next) {
    if (strcmp(f->name, name) == 0) return f;
  }
  return nullptr;
}

}  // namespace s3data

int s3ReadInt(const char* text) {
  return text == nullptr ? 0 : s3data::ReadIntN(text, strlen(text));
}

// ---- Construction -------------------------------------------------------------

CS3Data::CS3Data()
    : fd(-1),
      itemCount(0),
      lastId(0),
      items(nullptr),
      current(nullptr),
      previous(nullptr),
      currentField(nullptr),
      currentGroup(nullptr),
      currentGroupValue(nullptr),
      sortCursor(0),
      sortArray(nullptr),
      lowerBounds(nullptr),
      upperBounds(nullptr),
      equalConditions(nullptr),
      notEqualConditions(nullptr),
      aboutConditions(nullptr),
      sortConditions(nullptr),
      idConditions(nullptr),
      idConditionCount(0),
      hiddenIds(nullptr),
      hiddenIdCount(0),
      saveFieldNames(nullptr),
      sizeDelta(0),
      editLength(0),
      tail_(nullptr),
      sortCount_(0),
      idConditionCapacity_(0),
      hiddenIdCapacity_(0) {
  tempPath[0] = '\0';
  path[0] = '\0';
}

CS3Data::~CS3Data() {
  init();
}

void CS3Data::init() {
  ReleaseSortArray();
  SetConditionClean();
  arena_.Release();
  items = current = previous = tail_ = nullptr;
  currentField = currentGroupValue = nullptr;
  currentGroup = nullptr;
  fd = -1;
  tempPath[0] = '\0';
  path[0] = '\0';
  itemCount = 0;
  lastId = 0;
  sizeDelta = 0;
  editLength = 0;
}

_ST_ItemField* CS3Data::NewField(CS3DataArena* arena, const char* name, size_t n, size_t extra) {
  if (extra > SIZE_MAX / 2) return nullptr;
  void* p = arena->Allocate(sizeof(_ST_ItemField) + extra, alignof(_ST_ItemField));
  if (p == nullptr) return nullptr;
  _ST_ItemField* f = static_cast<_ST_ItemField*>(p);
  s3data::CopyName(f->name, name, n);
  f->value = nullptr;
  f->deleted = 0;
  f->kind = kS3KindText;
  f->next = nullptr;
  f->valueLength = 0;
  f->valueCapacity = 0;
  return f;
}

char* CS3Data::NewText(CS3DataArena* arena, size_t capacity) {
  return static_cast<char*>(arena->Allocate(capacity, 1));
}

int CS3Data::SetValueIn(CS3DataArena* arena, _ST_ItemField* field, const char* text, size_t n) {
  if (field->value != nullptr && n < field->valueCapacity) {
    memmove(field->value, text, n);
  } else {
    if (n >= SIZE_MAX / 2) return kResNoMemory;
    // A new value gets its exact length; a value outgrowing its buffer at
    // least doubles it, so a value replaced by ever longer texts stays linear.
    size_t capacity = n + 1;
    if (field->value != nullptr && field->valueCapacity * 2 > capacity) {
      capacity = field->valueCapacity * 2;
    }
    char* v = NewText(arena, capacity);
    if (v == nullptr) return kResNoMemory;
    memcpy(v, text, n);
    field->value = v;
    field->valueCapacity = capacity;
  }
  field->value[n] = '\0';
  field->valueLength = n;
  return kResOk;
}

int CS3Data::SetValueN(_ST_ItemField* field, const char* text, size_t n) {
  return SetValueIn(&arena_, field, text, n);
}

// ---- Record list --------------------------------------------------------------

_ST_Item* CS3Data::LastItem() {
  if (items == nullptr) {
    tail_ = nullptr;
    return nullptr;
  }
  _ST_Item* r = tail_ != nullptr ? tail_ : items;
  while (r->next != nullptr) r = r->next;
  tail_ = r;
  return r;
}

int CS3Data::CreateItem(const char* id) {
  if (id == nullptr) return kResDataNullArg;
  return CreateItemN(id, strlen(id));
}

int CS3Data::CreateItemN(const char* id, size_t n) {
  void* p = arena_.Allocate(sizeof(_ST_Item), alignof(_ST_Item));
  if (p == nullptr) return kResNoMemory;
  _ST_Item* r = static_cast<_ST_Item*>(p);
  s3data::CopyName(r->id, id, n);
  r->fields = nullptr;
  r->groups = nullptr;
  r->lastGroup = nullptr;
  r->deleted = 0;
  r->filePointer = 0;
  r->nextFilePointer = 0;
  r->next = nullptr;
  _ST_Item* last = LastItem();
  if (last != nullptr) {
    last->next = r;
  } else {
    items = r;
  }
  previous = last;
  tail_ = r;
  current = r;
  currentField = nullptr;
  currentGroup = nullptr;
  currentGroupValue = nullptr;
  ++itemCount;
  SetLastID(s3ReadInt(r->id));
  return kResOk;
}

int CS3Data::SaveFilePointer(long offset) {
  if (current == nullptr) return kResDataNoCurrent;
  current->filePointer = offset;
  return kResOk;
}

int CS3Data::SaveNextFilePointer(long offset) {
  if (current == nullptr) return kResDataNoCurrent;
  current->nextFilePointer = offset;
  return kResOk;
}

// The field, group and value cursors always lie in the current record (or
// are null): a move of the record cursor to another record clears them, a
// move onto the record it is already on keeps them.
void CS3Data::MoveTo(_ST_Item* record) {
  if (record != current) {
    currentField = nullptr;
    currentGroup = nullptr;
    currentGroupValue = nullptr;
  }
  current = record;
}

int CS3Data::firstElement() {
  MoveTo(items);
  return kResOk;
}

int CS3Data::nextElement() {
  if (current == nullptr) return kResNoEntry;
  MoveTo(current->next);
  return kResOk;
}

int CS3Data::lastElement() {
  MoveTo(LastItem());
  return kResOk;
}

void CS3Data::RestorCurrentElement(void* element) {
  MoveTo(static_cast<_ST_Item*>(element));
}

int CS3Data::GetCount() {
  return itemCount;
}

void CS3Data::SetLastID(int n) {
  if (n > lastId) lastId = n;
}

int CS3Data::GetID() {
  return current == nullptr ? -1 : s3ReadInt(current->id);
}

int CS3Data::CompID(const char* id) {
  if (current == nullptr) return -1;
  return strcmp(current->id, id == nullptr ? "" : id);
}

bool CS3Data::IsDelete() const {
  return current == nullptr || current->deleted != 0;
}

int CS3Data::DelItem(int id) {
  if (items == nullptr) return kResDataNoCurrent;
  for (_ST_Item* r = items; r != nullptr; r = r->next) {
    if (s3ReadInt(r->id) == id) {
      r->deleted = 1;
      RestorCurrentElement(r);
      return kResOk;
    }
  }
  return kResNoEntry;
}

long CS3Data::GetStartPoint() const {
  return current == nullptr ? 0 : current->filePointer;
}

long CS3Data::GetNextPoint() const {
  return current == nullptr ? 0 : current->nextFilePointer;
}

long CS3Data::GetStartPointNew() const {
  return current == nullptr ? 0 : current->filePointer + sizeDelta;
}

// ---- Fields of the current record ---------------------------------------------

int CS3Data::CreateField(const char* name) {
  if (current == nullptr) return kResDataNoCurrent;
  if (name == nullptr) return kResDataNullArg;
  return CreateFieldN(name, strlen(name));
}

int CS3Data::CreateFieldN(const char* name, size_t n) {
  if (current == nullptr) return kResDataNoCurrent;
  _ST_ItemField* f = NewField(&arena_, name, n);
  if (f == nullptr) return kResNoMemory;
  LinkField(f);
  return kResOk;
}

int CS3Data::CreateFieldValueN(const char* name, size_t n, const char* value, size_t valueLength) {
  if (current == nullptr) return kResDataNoCurrent;
  if (valueLength >= SIZE_MAX / 4) return kResNoMemory;
  _ST_ItemField* f = NewField(&arena_, name, n, valueLength + 1);
  if (f == nullptr) return kResNoMemory;
  // The text sits right behind the node; a later longer value gets a buffer
  // of its own, as for any value that outgrows its capacity.
  f->value = reinterpret_cast<char*>(f + 1);
  memcpy(f->value, value, valueLength);
  f->value[valueLength] = '\0';
  f->valueLength = valueLength;
  f->valueCapacity = valueLength + 1;
  LinkField(f);
  return kResOk;
}

void CS3Data::LinkField(_ST_ItemField* f) {
  if (currentField != nullptr) {
    f->next = currentField->next;
    currentField->next = f;
  } else {
    f->next = current->fields;
    current->fields = f;
  }
  currentField = f;
}

int CS3Data::CreateFieldValue(const char* text) {
  if (current == nullptr || currentField == nullptr) return kResDataNoCurrent;
  if (text == nullptr) text = "";
  return SetValueN(currentField, text, strlen(text));
}

int CS3Data::JointFieldValue(const char* text) {
  if (current == nullptr || currentField == nullptr) return kResDataNoCurrent;
  if (text == nullptr) return kResDataNullArg;
  return JointFieldValueN(text, strlen(text));
}

int CS3Data::JointFieldValueN(const char* text, size_t n) {
  if (current == nullptr || currentField == nullptr) return kResDataNoCurrent;
  _ST_ItemField* f = currentField;
  size_t old = f->value == nullptr ? 0 : f->valueLength;
  if (n > SIZE_MAX / 4 || old > SIZE_MAX / 4) return kResDataNullArg;
  size_t need = old + n + 2;  // LF and terminator
  if (f->value != nullptr && need > f->valueCapacity &&
      arena_.TryExtend(f->value, f->valueCapacity, need)) {
    // The value was the arena's last allocation: it grows where it stands,
    // to its exact size, leaving no outgrown buffer behind.
    f->valueCapacity = need;
  }
  if (f->value == nullptr || need > f->valueCapacity) {
    // Doubling keeps a value built from many continuation lines linear.
    size_t capacity = f->valueCapacity * 2;
    if (capacity < need) capacity = need;
    char* v = NewText(&arena_, capacity);
    if (v == nullptr) return kResDataNullArg;
    if (old != 0) memcpy(v, f->value, old);
    // `text` may lie in the old value, which stays valid in the arena.
    memcpy(v + old + 1, text, n);
    f->value = v;
    f->valueCapacity = capacity;
  } else {
    memmove(f->value + old + 1, text, n);
  }
  f->value[old] = '\n';
  f->value[old + 1 + n] = '\0';
  f->valueLength = old + 1 + n;
  return kResOk;
}

int CS3Data::SetFieldValue(const char* name, const char* value, bool deleteIfEmpty,
                           const char* anchor, bool anchorByName) {
  if (name == nullptr) return kResDataNullArg;
  bool empty = value == nullptr || value[0] == '\0';
  bool hasAnchor = anchor != nullptr && anchor[0] != '\0';
  int anchorNumber = hasAnchor ? s3ReadInt(anchor) : 0;
  if (current == nullptr) {
    int r = CreateItem("1");
    if (r != kResOk) return r;
  }
  _ST_ItemField* before = nullptr;
  for (_ST_ItemField* f = current->fields; f != nullptr; before = f, f = f->next) {
    if (hasAnchor) {
      int n = s3ReadInt(anchorByName ? f->name : f->value);
      if (n == anchorNumber) {
        before = f;
        break;
      }
    }
    if (strcmp(f->name, name) == 0) {
      currentField = f;
      if (empty && deleteIfEmpty) {
        f->deleted = 1;
        return CreateFieldValue("");
      }
      f->deleted = 0;
      return CreateFieldValue(value);
    }
  }
  currentField = before;
  if (empty && deleteIfEmpty) return kResOk;
  int r = CreateFieldN(name, strlen(name));
  if (r != kResOk) return r;
  return CreateFieldValue(value);
}

int CS3Data::SetFieldValueNum(const char* name, int n) {
  char text[16];
  snprintf(text, sizeof(text), "%d", n);
  int r = SetFieldValue(name, text, true, nullptr, false);
  if (currentField != nullptr) currentField->kind = kS3KindNumber;
  return r;
}

// The kind goes to the field that was set; an empty date on a missing field
// creates nothing, and the cursor then rests on another field.
int CS3Data::SetFieldValue(const char* name, CS3DateStr& value) {
  int r = SetFieldValue(name, value.Get(), true, nullptr, false);
  if (currentField != nullptr && name != nullptr && strcmp(currentField->name, name) == 0) {
    currentField->kind = kS3KindDate;
  }
  return r;
}

int CS3Data::SetFieldValue(const char* name, CS3DateTimeStr& value) {
  int r = SetFieldValue(name, value.Get(), true, nullptr, false);
  if (currentField != nullptr && name != nullptr && strcmp(currentField->name, name) == 0) {
    currentField->kind = kS3KindDateTime;
  }
  return r;
}

namespace {

int GetInto(CS3Data* data, const char* name, CS3String& out) {
  if (data->current == nullptr) return kResNoEntry;
  const _ST_ItemField* f = name == nullptr ? nullptr : s3data::FindField(data->current, name);
  data->currentField = const_cast<_ST_ItemField*>(f);
  if (f == nullptr) return kResOk;
  return s3data::SetValueFromText(out, s3data::ValueOf(f));
}

}  // namespace

int CS3Data::GetFieldValue(const char* name, CS3String& out) {
  return GetInto(this, name, out);
}
int CS3Data::GetFieldValue(const char* name, CS3DateStr& out) {
  return GetInto(this, name, out);
}
int CS3Data::GetFieldValue(const char* name, CS3TimeStr& out) {
  return GetInto(this, name, out);
}
int CS3Data::GetFieldValue(const char* name, CS3Int& out) {
  return GetInto(this, name, out);
}
int CS3Data::GetFieldValue(const char* name, CS3DateTimeStr& out) {
  return GetInto(this, name, out);
}

int CS3Data::GetFieldName(CS3String& out, const char* value) {
  if (current == nullptr) return kResNoEntry;
  if (value == nullptr) value = "";
  for (_ST_ItemField* f = current->fields; f != nullptr; f = f->next) {
    if (strcmp(s3data::ValueOf(f), value) == 0) {
      currentField = f;
      return s3data::SetValueFromText(out, f->name);
    }
  }
  currentField = nullptr;
  return kResOk;
}

int CS3Data::GetField(char* name, CS3String& value) {
  if (currentField == nullptr) return kResNoEntry;
  snprintf(name, kS3NameSize, "%s", currentField->name);
  return s3data::SetValueFromText(value, s3data::ValueOf(currentField));
}

int CS3Data::GetFieldID(int* out) {
  if (currentField == nullptr) return kResNoEntry;
  *out = s3ReadInt(currentField->value);
  return kResOk;
}

int CS3Data::GetFieldCount() {
  if (current == nullptr) return 0;
  return getIndexCount(current->fields);
}

bool CS3Data::IsFieldLastID() {
  return currentField != nullptr && s3data::IsLastIdName(currentField->name);
}

bool CS3Data::IsDeleteField() const {
  return currentField == nullptr || currentField->deleted;
}

int CS3Data::firstElementField() {
  currentField = current == nullptr ? nullptr : current->fields;
  return kResOk;
}

int CS3Data::nextElementField() {
  if (currentField == nullptr) return kResNoEntry;
  currentField = currentField->next;
  return kResOk;
}

int CS3Data::getIndexCount(const _ST_ItemField* list) {
  int n = 0;
  for (; list != nullptr; list = list->next) ++n;
  return n;
}
