// CS3Data: element entries of index records ("_item" fields) and the
// "_lastid" counter.
#include <stdio.h>
#include <string.h>

#include "s3/cs3data.h"
#include "s3/cs3data_internal.h"

namespace {

// The entry (never "_lastid") at position `key` counted from 1, or the first
// whose value reads as `key`; `link` receives the pointer that links it.
_ST_ItemField* FindEntry(_ST_ItemField** head, int key, bool byPosition, _ST_ItemField*** link) {
  int position = 0;
  for (_ST_ItemField** l = head; *l != nullptr; l = &(*l)->next) {
    _ST_ItemField* f = *l;
    if (s3data::IsLastIdName(f->name)) continue;
    ++position;
    if (byPosition ? position == key : s3ReadInt(f->value) == key) {
      if (link != nullptr) *link = l;
      return f;
    }
  }
  return nullptr;
}

_ST_ItemField* FindEntryText(_ST_ItemField* head, const char* value, bool byPosition) {
  if (byPosition) {
    _ST_ItemField* h = head;
    return FindEntry(&h, s3ReadInt(value), true, nullptr);
  }
  for (_ST_ItemField* f = head; f != nullptr; f = f->next) {
    if (!s3data::IsLastIdName(f->name) && strcmp(s3data::ValueOf(f), value) == 0) return f;
  }
  return nullptr;
}

_ST_ItemField* LastOf(_ST_ItemField* head) {
  if (head == nullptr) return nullptr;
  while (head->next != nullptr) head = head->next;
  return head;
}

// Links `f` after the last field of `*head` (as the first when there is none).
void AppendField(_ST_ItemField** head, _ST_ItemField* f) {
  _ST_ItemField* last = LastOf(*head);
  if (last != nullptr) {
    last->next = f;
  } else {
    *head = f;
  }
}

}  // namespace

int CS3Data::AddNumericEntry(_ST_ItemField** head, _ST_ItemField** tail, int id,
                             bool allowDuplicate, int* existed, const char* anchor,
                             _ST_ItemField** made) {
  bool hasAnchor = anchor != nullptr && anchor[0] != '\0';
  int anchorNumber = hasAnchor ? s3ReadInt(anchor) : 0;
  _ST_ItemField* after = nullptr;  // null: link first
  if (hasAnchor && anchorNumber == 0) {
    if (*head != nullptr && s3data::IsLastIdName((*head)->name)) after = *head;
  } else {
    bool anchorFound = false;
    _ST_ItemField* last = nullptr;
    for (_ST_ItemField* f = *head; f != nullptr; last = f, f = f->next) {
      if (s3data::IsLastIdName(f->name)) continue;
      int n = s3ReadInt(f->value);
      if (hasAnchor && !anchorFound && n == anchorNumber) {
        anchorFound = true;
        after = f;
      }
      if (!allowDuplicate && n == id) {
        f->deleted = 0;
        if (existed != nullptr) *existed = 1;
        *made = f;
        return kResOk;
      }
    }
    if (!anchorFound) after = last;
  }
  char text[16];
  int len = snprintf(text, sizeof(text), "%d", id);
  _ST_ItemField* f = NewField(&arena_, kS3ItemName, sizeof(kS3ItemName) - 1);
  if (f == nullptr) return kResNoMemory;
  int r = SetValueN(f, text, static_cast<size_t>(len));
  if (r != kResOk) return r;
  if (after != nullptr) {
    f->next = after->next;
    after->next = f;
  } else {
    f->next = *head;
    *head = f;
  }
  if (tail != nullptr && f->next == nullptr) *tail = f;
  if (existed != nullptr) *existed = 0;
  *made = f;
  return kResOk;
}

int CS3Data::SetFieldValue(const char* value, bool allowDuplicate, int* existed) {
  if (current == nullptr) {
    int r = CreateItem("1");
    if (r != kResOk) return r;
  }
  if (value == nullptr) value = "";
  if (!allowDuplicate) {
    _ST_ItemField* f = FindEntryText(current->fields, value, false);
    if (f != nullptr) {
      f->deleted = 0;
      currentField = f;
      if (existed != nullptr) *existed = 1;
      return kResOk;
    }
  }
  _ST_ItemField* f = NewField(&arena_, kS3ItemName, sizeof(kS3ItemName) - 1);
  if (f == nullptr) return kResNoMemory;
  int r = SetValueN(f, value, strlen(value));
  if (r != kResOk) return r;
  AppendField(&current->fields, f);
  currentField = f;
  if (existed != nullptr) *existed = 0;
  return kResOk;
}

int CS3Data::SetFieldValue(int id, bool allowDuplicate, int* existed, const char* anchor) {
  if (current == nullptr) {
    int r = CreateItem("1");
    if (r != kResOk) return r;
  }
  _ST_ItemField* made = nullptr;
  int r = AddNumericEntry(&current->fields, nullptr, id, allowDuplicate, existed, anchor, &made);
  if (r == kResOk) currentField = made;
  return r;
}

int CS3Data::DelFieldValue(int key, bool byPosition, bool remove) {
  if (current == nullptr) return kResOk;
  _ST_ItemField** link = nullptr;
  _ST_ItemField* f = FindEntry(&current->fields, key, byPosition, &link);
  if (f == nullptr) return kResOk;
  if (!remove) {
    f->deleted = 1;
    return kResOk;
  }
  *link = f->next;  // the node's memory goes with the arena
  if (currentField == f) currentField = nullptr;
  return kResOk;
}

int CS3Data::DelFieldValue(const char* value, bool byPosition) {
  if (value == nullptr) return kResDataNullArg;
  if (current == nullptr) return kResOk;
  _ST_ItemField* f = FindEntryText(current->fields, value, byPosition);
  if (f != nullptr) f->deleted = 1;
  return kResOk;
}

int CS3Data::DelFieldItemsValue(const char* group, int key, bool byPosition) {
  if (current == nullptr) return kResOk;
  _ST_ItemFieldItems* g = currentGroup;
  if (group != nullptr) {
    for (g = current->groups; g != nullptr && strcmp(g->name, group) != 0;) g = g->next;
  }
  if (g == nullptr) return kResOk;
  _ST_ItemField* v = FindEntry(&g->values, key, byPosition, nullptr);
  if (v != nullptr) v->deleted = 1;
  return kResOk;
}

int CS3Data::GetFieldLastID() {
  if (current == nullptr) return 0;
  const _ST_ItemField* f = s3data::FindField(current, kS3LastIdName);
  return f == nullptr ? 0 : s3ReadInt(f->value);
}

int CS3Data::SetFieldLastID(int n) {
  if (current == nullptr) {
    int r = CreateItem("1");
    if (r != kResOk) return r;
  }
  char text[16];
  int len = snprintf(text, sizeof(text), "%d", n);
  _ST_ItemField* f = const_cast<_ST_ItemField*>(s3data::FindField(current, kS3LastIdName));
  if (f == nullptr) {
    f = NewField(&arena_, kS3LastIdName, sizeof(kS3LastIdName) - 1);
    if (f == nullptr) return kResNoMemory;
    int r = SetValueN(f, text, static_cast<size_t>(len));
    if (r != kResOk) return r;
    AppendField(&current->fields, f);
  } else {
    int r = SetValueN(f, text, static_cast<size_t>(len));
    if (r != kResOk) return r;
    f->deleted = 0;
  }
  currentField = f;
  return kResOk;
}
