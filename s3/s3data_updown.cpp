// Moves of whole records and of entries and group values one place up or
// down. Nodes are relinked, never copied, so cursors stay on their node.
#include <string.h>

#include "s3/cs3data.h"
#include "s3/cs3data_internal.h"

namespace {

// The link (pointer to the pointer) that leads to `node` in the list at
// `head`, or null.
_ST_ItemField** LinkOf(_ST_ItemField** head, const _ST_ItemField* node) {
  for (_ST_ItemField** l = head; *l != nullptr; l = &(*l)->next) {
    if (*l == node) return l;
  }
  return nullptr;
}

// Swaps `a` and `b` of one list, `a` before `b`; they need not be adjacent.
void SwapNodes(_ST_ItemField** head, _ST_ItemField* a, _ST_ItemField* b) {
  _ST_ItemField** la = LinkOf(head, a);
  if (a->next == b) {
    *la = b;
    a->next = b->next;
    b->next = a;
    return;
  }
  _ST_ItemField** lb = LinkOf(&a->next, b);
  _ST_ItemField* afterA = a->next;
  a->next = b->next;
  b->next = afterA;
  *la = b;
  *lb = a;
}

using Match = bool (*)(const _ST_ItemField* f, const void* key);

bool ByValueNumber(const _ST_ItemField* f, const void* key) {
  return s3ReadInt(f->value) == *static_cast<const int*>(key);
}
bool ByNameNumber(const _ST_ItemField* f, const void* key) {
  return s3ReadInt(f->name) == *static_cast<const int*>(key);
}
bool ByText(const _ST_ItemField* f, const void* key) {
  return strcmp(s3data::ValueOf(f), static_cast<const char*>(key)) == 0;
}

// Moves the first entry (never "_lastid") that matches one entry up or down.
int MoveEntry(_ST_ItemField** head, _ST_ItemField** tail, Match match, const void* key, bool up) {
  _ST_ItemField* before = nullptr;  // the entry before the one examined
  for (_ST_ItemField* f = *head; f != nullptr; f = f->next) {
    if (s3data::IsLastIdName(f->name)) continue;
    if (match(f, key)) {
      _ST_ItemField* other = before;
      if (!up) {
        other = f->next;
        while (other != nullptr && s3data::IsLastIdName(other->name)) other = other->next;
      }
      if (other == nullptr) return kResNoEntry;
      _ST_ItemField* a = up ? other : f;
      _ST_ItemField* b = up ? f : other;
      SwapNodes(head, a, b);
      if (tail != nullptr && *tail == b) *tail = a;
      return kResOk;
    }
    before = f;
  }
  return kResNoEntry;
}

}  // namespace

int CS3Data::upItem(const char* id) {
  if (items == nullptr) return kResNoEntry;
  if (id == nullptr) return kResDataNullArg;
  _ST_Item** beforeLink = nullptr;
  _ST_Item** link = &items;
  while (*link != nullptr && strcmp((*link)->id, id) != 0) {
    beforeLink = link;
    link = &(*link)->next;
  }
  if (*link == nullptr || beforeLink == nullptr) return kResOk;
  _ST_Item* p = *beforeLink;
  _ST_Item* n = *link;
  p->next = n->next;
  n->next = p;
  *beforeLink = n;
  if (tail_ == n) tail_ = p;
  return kResOk;
}

int CS3Data::downItem(const char* id) {
  if (items == nullptr) return kResNoEntry;
  if (id == nullptr) return kResDataNullArg;
  _ST_Item** link = &items;
  while (*link != nullptr && strcmp((*link)->id, id) != 0) link = &(*link)->next;
  if (*link == nullptr || (*link)->next == nullptr) return kResOk;
  _ST_Item* n = *link;
  _ST_Item* m = n->next;
  n->next = m->next;
  m->next = n;
  *link = m;
  if (tail_ == m) tail_ = n;
  return kResOk;
}

int CS3Data::UpFieldValue(int key, bool byName) {
  if (current == nullptr) return kResNoEntry;
  return MoveEntry(&current->fields, nullptr, byName ? ByNameNumber : ByValueNumber, &key, true);
}

int CS3Data::DownFieldValue(int key, bool byName) {
  if (current == nullptr) return kResNoEntry;
  return MoveEntry(&current->fields, nullptr, byName ? ByNameNumber : ByValueNumber, &key, false);
}

int CS3Data::UpFieldValue(const char* value) {
  if (value == nullptr) return kResDataNullArg;
  if (current == nullptr) return kResNoEntry;
  return MoveEntry(&current->fields, nullptr, ByText, value, true);
}

int CS3Data::DownFieldValue(const char* value) {
  if (value == nullptr) return kResDataNullArg;
  if (current == nullptr) return kResNoEntry;
  return MoveEntry(&current->fields, nullptr, ByText, value, false);
}

int CS3Data::UpFieldItemsValue(int key) {
  if (current == nullptr || currentGroup == nullptr) return kResDataNoGroup;
  return MoveEntry(&currentGroup->values, &currentGroup->lastValue, ByValueNumber, &key, true);
}

int CS3Data::DownFieldItemsValue(int key) {
  if (current == nullptr || currentGroup == nullptr) return kResDataNoGroup;
  return MoveEntry(&currentGroup->values, &currentGroup->lastValue, ByValueNumber, &key, false);
}
