// CS3Data: condition lists and their setters, the ID arrays, saveFieldNames.
//
// Condition entries live in their own arena so that SetConditionClean can
// release them without touching the records.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "s3/cs3data.h"
#include "s3/cs3data_internal.h"

int CS3Data::AddField(const char* name, const char* value, _ST_ItemField** list, int kind) {
  if (name == nullptr) name = "";
  _ST_ItemField* f = NewField(&condArena_, name, strlen(name));
  if (f == nullptr) return kResNoMemory;
  f->kind = kind;
  _ST_ItemField** link = list;
  while (*link != nullptr) link = &(*link)->next;
  *link = f;
  if (value == nullptr || value[0] == '\0') return kResOk;
  return SetValueIn(&condArena_, f, value, strlen(value));
}

int CS3Data::ModField(const char* name, const char* value, _ST_ItemField** list, int kind) {
  if (name == nullptr) name = "";
  for (_ST_ItemField* f = *list; f != nullptr; f = f->next) {
    if (strcmp(f->name, name) != 0) continue;
    f->kind = kind;
    if (value == nullptr || value[0] == '\0') {
      f->value = nullptr;
      f->valueLength = 0;
      f->valueCapacity = 0;
      return kResOk;
    }
    return SetValueIn(&condArena_, f, value, strlen(value));
  }
  return AddField(name, value, list, kind);
}

int CS3Data::DelField(const char* name, _ST_ItemField** list) {
  if (name == nullptr) name = "";
  for (_ST_ItemField** link = list; *link != nullptr; link = &(*link)->next) {
    if (strcmp((*link)->name, name) == 0) {
      *link = (*link)->next;  // the node's memory goes with the condition arena
      return kResOk;
    }
  }
  return kResOk;
}

int CS3Data::SetSortCondition(const char* name, const char* weight) {
  return AddField(name, weight, &sortConditions, kS3KindText);
}

namespace {

void Decimal(char (&out)[16], int value) {
  snprintf(out, sizeof(out), "%d", value);
}

}  // namespace

int CS3Data::SetLTCondition(const char* name, const char* value) {
  return AddField(name, value, &lowerBounds, kS3KindText);
}

int CS3Data::SetLTCondition(const char* name, int value) {
  char text[16];
  Decimal(text, value);
  return AddField(name, text, &lowerBounds, kS3KindNumber);
}

int CS3Data::SetLTCondition(const char* name, CS3DateStr& value) {
  return AddField(name, value.Get(), &lowerBounds, kS3KindDate);
}

int CS3Data::SetHTCondition(const char* name, const char* value) {
  return AddField(name, value, &upperBounds, kS3KindText);
}

int CS3Data::SetHTCondition(const char* name, int value) {
  char text[16];
  Decimal(text, value);
  return AddField(name, text, &upperBounds, kS3KindNumber);
}

int CS3Data::SetHTCondition(const char* name, CS3DateStr& value) {
  return AddField(name, value.Get(), &upperBounds, kS3KindDate);
}

int CS3Data::SetEQCondition(const char* name, const char* value, int kind) {
  return AddField(name, value, &equalConditions, kind);
}

int CS3Data::SetNEQCondition(const char* name, const char* value, int kind) {
  return AddField(name, value, &notEqualConditions, kind);
}

int CS3Data::SetEQAboutCondition(const char* name, const char* value, int kind) {
  return AddField(name, value, &aboutConditions, kind);
}

int CS3Data::AddIdTo(int** array, int* count, int* capacity, int id) {
  if (*count == *capacity) {
    int grown = *capacity == 0 ? 8 : *capacity * 2;
    if (*capacity > (1 << 28)) return kResNoMemory;
    int* p = static_cast<int*>(realloc(*array, sizeof(int) * static_cast<size_t>(grown)));
    if (p == nullptr) return kResNoMemory;
    *array = p;
    *capacity = grown;
  }
  (*array)[(*count)++] = id;
  return kResOk;
}

int CS3Data::SetIDCondition(int id) {
  return AddIdTo(&idConditions, &idConditionCount, &idConditionCapacity_, id);
}

int CS3Data::SetHiddenIDCondition(int id) {
  return AddIdTo(&hiddenIds, &hiddenIdCount, &hiddenIdCapacity_, id);
}

int CS3Data::SetSaveFieldName(const char* name) {
  if (name == nullptr) return kResDataNullArg;
  return AddField(name, nullptr, &saveFieldNames, kS3KindText);
}

bool CS3Data::IsSaveFieldName(const char* name) const {
  if (saveFieldNames == nullptr) return true;
  if (name == nullptr) return false;
  for (const _ST_ItemField* f = saveFieldNames; f != nullptr; f = f->next) {
    if (strcmp(f->name, name) == 0) return true;
  }
  return false;
}

// The parser asks with the name as it would be stored (kS3NameMax characters).
bool CS3Data::IsSaveFieldNameN(const char* name, size_t n) const {
  if (saveFieldNames == nullptr) return true;
  if (n > static_cast<size_t>(kS3NameMax)) n = kS3NameMax;
  for (const _ST_ItemField* f = saveFieldNames; f != nullptr; f = f->next) {
    if (strncmp(f->name, name, n) == 0 && f->name[n] == '\0') {
      return true;
    }
  }
  return false;
}

void CS3Data::SetConditionClean() {
  if (StpData == sortConditions) StpData = nullptr;  // it would dangle
  condArena_.Release();
  lowerBounds = upperBounds = equalConditions = notEqualConditions = aboutConditions = nullptr;
  sortConditions = nullptr;
  saveFieldNames = nullptr;
  free(idConditions);
  free(hiddenIds);
  idConditions = hiddenIds = nullptr;
  idConditionCount = hiddenIdCount = 0;
  idConditionCapacity_ = hiddenIdCapacity_ = 0;
}
