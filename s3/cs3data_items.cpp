// CS3Data: groups of values inside the current record.
#include <string.h>

#include "s3/cs3data.h"
#include "s3/cs3data_internal.h"

namespace {

_ST_ItemFieldItems* FindGroup(_ST_Item* record, const char* name) {
  for (_ST_ItemFieldItems* g = record->groups; g != nullptr; g = g->next) {
    if (strcmp(g->name, name) == 0) return g;
  }
  return nullptr;
}

// The last value of a group; repairs the cached pointer when the list grew
// behind it.
_ST_ItemField* LastValue(_ST_ItemFieldItems* g) {
  _ST_ItemField* v = g->lastValue != nullptr ? g->lastValue : g->values;
  if (v == nullptr) return nullptr;
  while (v->next != nullptr) v = v->next;
  g->lastValue = v;
  return v;
}

}  // namespace

int CS3Data::CreateFieldItems() {
  if (current == nullptr) {
    int r = CreateItem("1");
    if (r != kResOk) return r;
  }
  void* p = arena_.Allocate(sizeof(_ST_ItemFieldItems), alignof(_ST_ItemFieldItems));
  if (p == nullptr) return kResNoMemory;
  _ST_ItemFieldItems* g = static_cast<_ST_ItemFieldItems*>(p);
  g->name[0] = '\0';
  g->values = nullptr;
  g->next = nullptr;
  g->lastValue = nullptr;
  // The cached last group makes a record of many groups linear to build; it
  // is only a starting point, so a list grown behind it is still walked.
  _ST_ItemFieldItems* last = current->lastGroup != nullptr ? current->lastGroup : current->groups;
  while (last != nullptr && last->next != nullptr) last = last->next;
  if (last != nullptr) {
    last->next = g;
  } else {
    current->groups = g;
  }
  current->lastGroup = g;
  currentGroup = g;
  currentGroupValue = nullptr;
  return kResOk;
}

int CS3Data::DelFieldItems(const char* name) {
  if (current == nullptr) return kResOk;
  _ST_ItemFieldItems* g = FindGroup(current, name == nullptr ? "" : name);
  if (g == nullptr) return kResOk;
  g->values = nullptr;  // the nodes go with the arena
  g->lastValue = nullptr;
  currentGroup = g;
  currentGroupValue = nullptr;
  return kResOk;
}

int CS3Data::SetFieldItemsName(const char* name) {
  if (current == nullptr || currentGroup == nullptr) return kResDataNoGroup;
  if (name == nullptr) return kResDataNullArg;
  return SetFieldItemsNameN(name, strlen(name));
}

int CS3Data::SetFieldItemsNameN(const char* name, size_t n) {
  if (current == nullptr || currentGroup == nullptr) return kResDataNoGroup;
  s3data::CopyName(currentGroup->name, name, n);
  return kResOk;
}

// The value cursor lies in the group cursor's group (or is null): it is
// cleared when the group cursor moves to another group.
void CS3Data::MoveToGroup(_ST_ItemFieldItems* group) {
  if (group != currentGroup) currentGroupValue = nullptr;
  currentGroup = group;
}

int CS3Data::GetFieldItems(const char* name) {
  if (current == nullptr || current->groups == nullptr) return kResDataNoSuchGroup;
  if (name == nullptr) name = "";
  _ST_ItemFieldItems* g = current->groups;
  while (strcmp(g->name, name) != 0 && g->next != nullptr) g = g->next;
  MoveToGroup(g);
  return strcmp(g->name, name) == 0 ? kResOk : kResDataNoSuchGroup;
}

int CS3Data::FindOrMakeGroup(const char* group, int noCursorCode, _ST_ItemFieldItems** out) {
  if (group == nullptr) {
    if (currentGroup == nullptr) return noCursorCode;
    *out = currentGroup;
    return kResOk;
  }
  if (GetFieldItems(group) != kResOk) {
    int r = CreateFieldItems();
    if (r == kResOk) r = SetFieldItemsName(group);
    if (r != kResOk) return r;
  }
  *out = currentGroup;
  return kResOk;
}

int CS3Data::AppendGroupValueN(_ST_ItemFieldItems* group, const char* text, size_t n,
                               _ST_ItemField** made) {
  _ST_ItemField* v = NewField(&arena_, kS3ItemName, sizeof(kS3ItemName) - 1);
  if (v == nullptr) return kResNoMemory;
  int r = SetValueN(v, text, n);
  if (r != kResOk) return r;
  _ST_ItemField* last = LastValue(group);
  if (last != nullptr) {
    last->next = v;
  } else {
    group->values = v;
  }
  group->lastValue = v;
  *made = v;
  return kResOk;
}

int CS3Data::SetFieldItemsValue(const char* group, const char* value, bool allowDuplicate,
                                int* existed) {
  if (current == nullptr) return kResDataNoCurrent;
  if (value == nullptr) value = "";
  size_t n = strlen(value);
  // A value holding an LF is kept here like any other; the writer refuses it
  // (EditFieldItems), so it never reaches a file.
  _ST_ItemFieldItems* g = nullptr;
  int r = FindOrMakeGroup(group, kResDataNoCurrent, &g);
  if (r != kResOk) return r;
  if (!allowDuplicate) {
    for (_ST_ItemField* v = g->values; v != nullptr; v = v->next) {
      if (strcmp(s3data::ValueOf(v), value) == 0) {
        v->deleted = 0;
        currentGroupValue = v;
        if (existed != nullptr) *existed = 1;
        return kResOk;
      }
    }
  }
  _ST_ItemField* made = nullptr;
  r = AppendGroupValueN(g, value, n, &made);
  if (r != kResOk) return r;
  currentGroupValue = made;
  if (existed != nullptr) *existed = 0;
  return kResOk;
}

int CS3Data::SetFieldItemsValue(const char* group, int id, bool allowDuplicate, int* existed,
                                const char* anchor) {
  if (current == nullptr) return kResDataNoCurrent;
  _ST_ItemFieldItems* g = nullptr;
  int r = FindOrMakeGroup(group, kResDataNoGroup, &g);
  if (r != kResOk) return r;
  _ST_ItemField* made = nullptr;
  r = AddNumericEntry(&g->values, &g->lastValue, id, allowDuplicate, existed, anchor, &made);
  if (r == kResOk) currentGroupValue = made;
  return r;
}

int CS3Data::GetFieldItemsCount() {
  if (current == nullptr || currentGroup == nullptr) return 0;
  return getIndexCount(currentGroup->values);
}

int CS3Data::firstElementFieldItems() {
  MoveToGroup(current == nullptr ? nullptr : current->groups);
  return kResOk;
}

int CS3Data::nextElementFieldItems() {
  if (currentGroup == nullptr) return kResNoEntry;
  MoveToGroup(currentGroup->next);
  return kResOk;
}

int CS3Data::firstElementFieldItemsValue() {
  if (currentGroup == nullptr) {
    currentGroupValue = nullptr;
    return kResDataNoGroup;
  }
  currentGroupValue = currentGroup->values;
  return kResOk;
}

int CS3Data::nextElementFieldItemsValue() {
  if (currentGroupValue == nullptr) return kResDataNoGroup;
  currentGroupValue = currentGroupValue->next;
  return kResOk;
}

int CS3Data::GetFieldItemsID(int* out) {
  if (currentGroupValue == nullptr) return kResDataNoGroup;
  *out = s3ReadInt(currentGroupValue->value);
  return kResOk;
}

int CS3Data::GetFieldItemsValue(CS3String& out) {
  if (currentGroupValue == nullptr) return kResDataNoGroup;
  return s3data::SetValueFromText(out, s3data::ValueOf(currentGroupValue));
}
