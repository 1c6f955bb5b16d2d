// Collection operations on the elements themselves: comparisons, moving the
// elements of one collection into another, and the group forms that read and
// write a collection as the values of a named group.
#include <new>

#include "common/com.h"
#include "s3/cs3data.h"
#include "s3/cs3index.h"

bool CS3Index::operator!=(const CS3Index& other) {
  if (&other == this) return false;
  if (elements == nullptr || other.elements == nullptr) return true;
  for (int i = 0; i < count; ++i) {
    if (elements[i] == nullptr) continue;
    const int mine = elements[i]->GetID();
    for (int j = 0; j < other.count; ++j) {
      if (other.elements[j] != nullptr && other.elements[j]->GetID() == mine) return false;
    }
  }
  return true;
}

bool CS3Index::operator!=(int wanted) {
  if (elements == nullptr) return true;
  for (int i = 0; i < count; ++i) {
    if (elements[i] != nullptr && elements[i]->GetID() == wanted) return false;
  }
  return true;
}

int CS3Index::AddObjsMove(CS3Index& other, bool) {
  // Moving a collection into itself would hand every element to two slots.
  if (&other == this) return kResOk;
  const int moved = other.count > 0 && other.elements != nullptr ? other.count : 0;
  if (moved == 0) {
    delete[] other.elements;
  } else if (count <= 0 || elements == nullptr) {
    delete[] elements;
    elements = other.elements;
    count = moved;
  } else {
    CS3Object** grown = new (std::nothrow) CS3Object*[count + moved];
    if (grown == nullptr) return kResNoMemory;
    for (int i = 0; i < count; ++i) grown[i] = elements[i];
    for (int j = 0; j < moved; ++j) grown[count + j] = other.elements[j];
    delete[] elements;
    delete[] other.elements;
    elements = grown;
    count += moved;
  }
  other.elements = nullptr;
  other.count = 0;
  return kResOk;
}

int CS3Index::GetFieldItemsValue(const char* group, CS3Data* data) {
  if (data->GetFieldItems(group) != kResOk) return kResOk;
  const int n = GetFieldItemsCount(data);
  if (n <= 0) return n;
  CS3Index::Clean();
  elements = new (std::nothrow) CS3Object*[n]();
  if (elements == nullptr) return kResNoMemory;
  count = n;
  data->firstElementFieldItemsValue();
  return fill(data, true);
}

int CS3Index::SetFieldItemsValue(const char* group, CS3Data* data, bool allowDuplicate) {
  int r = data->DelFieldItems(group);
  if (r != kResOk) return r;
  for (int i = 0; elements != nullptr && i < count; ++i) {
    if (elements[i] == nullptr) continue;
    r = data->SetFieldItemsValue(group, elements[i]->GetID(), allowDuplicate, nullptr, nullptr);
    if (r != kResOk) return r;
  }
  return kResOk;
}
