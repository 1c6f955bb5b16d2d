// Selection of records: ID filters, field conditions, dropping and sieving.
#include <string.h>

#include "common/com.h"
#include "s3/cs3data.h"
#include "s3/cs3data_internal.h"

namespace {

using s3data::ValueOf;

bool HasField(const _ST_Item* record, const char* name) {
  return s3data::FindField(record, name) != nullptr;
}

bool AboutSatisfied(const _ST_ItemField* entry, const char* value) {
  const char* pattern = ValueOf(entry);
  if (pattern[0] == '\0') return true;
  if (entry->kind == kS3KindPrefix) return strncmp(value, pattern, strlen(pattern)) == 0;
  return comStrStr(value, pattern) != nullptr;
}

bool Contains(const int* array, int count, int id) {
  for (int i = 0; i < count; ++i) {
    if (array[i] == id) return true;
  }
  return false;
}

}  // namespace

int s3killjudge(const _ST_ItemField* lower, const _ST_ItemField* upper, const _ST_ItemField* equal,
                const _ST_ItemField* notEqual, const _ST_ItemField* about, const _ST_Item* record) {
  if (record == nullptr) return kResJudgeNoRecord;
  for (const _ST_ItemField* f = record->fields; f != nullptr; f = f->next) {
    const char* v = ValueOf(f);
    for (const _ST_ItemField* e = notEqual; e != nullptr; e = e->next) {
      if (strcmp(e->name, f->name) == 0 && strcmp(v, ValueOf(e)) == 0) return kJudgeDrop;
    }
    bool named = false;
    bool matched = false;
    for (const _ST_ItemField* e = equal; e != nullptr && !matched; e = e->next) {
      if (strcmp(e->name, f->name) != 0) continue;
      named = true;
      matched = strcmp(v, ValueOf(e)) == 0;
    }
    if (named && !matched) return kJudgeDrop;
    named = matched = false;
    for (const _ST_ItemField* e = about; e != nullptr && !matched; e = e->next) {
      if (strcmp(e->name, f->name) != 0) continue;
      named = true;
      matched = AboutSatisfied(e, v);
    }
    if (named && !matched) return kJudgeDrop;
    for (const _ST_ItemField* e = lower; e != nullptr; e = e->next) {
      if (strcmp(e->name, f->name) != 0) continue;
      if (strcmp(v, ValueOf(e)) < 0) return kJudgeDrop;
      break;
    }
    for (const _ST_ItemField* e = upper; e != nullptr; e = e->next) {
      if (strcmp(e->name, f->name) != 0) continue;
      if (strcmp(ValueOf(e), v) < 0) return kJudgeDrop;
      break;
    }
  }
  // A field the record lacks counts as the empty value; upper bounds never
  // fail on it.
  for (const _ST_ItemField* list : {equal, about, lower}) {
    for (const _ST_ItemField* e = list; e != nullptr; e = e->next) {
      if (ValueOf(e)[0] != '\0' && !HasField(record, e->name)) return kJudgeDrop;
    }
  }
  for (const _ST_ItemField* e = notEqual; e != nullptr; e = e->next) {
    if (ValueOf(e)[0] == '\0' && !HasField(record, e->name)) return kJudgeDrop;
  }
  return kJudgeKeep;
}

int s3datasieve(_ST_Item** list, const _ST_ItemField* lower, const _ST_ItemField* upper,
                const _ST_ItemField* equal, const _ST_ItemField* notEqual,
                const _ST_ItemField* about) {
  if (list == nullptr || *list == nullptr) return kResJudgeNoRecord;
  for (_ST_Item** link = list; *link != nullptr;) {
    int r = s3killjudge(lower, upper, equal, notEqual, about, *link);
    if (r == kResJudgeNoRecord) return kResSieveBadRecord;
    if (r == kJudgeDrop) {
      *link = (*link)->next;
    } else {
      link = &(*link)->next;
    }
  }
  return kResOk;
}

bool CS3Data::IsDeleteID(int id) const {
  if (idConditionCount > 0 && !Contains(idConditions, idConditionCount, id)) return true;
  return hiddenIdCount > 0 && Contains(hiddenIds, hiddenIdCount, id);
}

int CS3Data::DeleteData() {
  if (current == nullptr) return kResOk;
  if (lowerBounds == nullptr && upperBounds == nullptr && equalConditions == nullptr &&
      notEqualConditions == nullptr && aboutConditions == nullptr) {
    return kResOk;
  }
  if (s3killjudge(lowerBounds, upperBounds, equalConditions, notEqualConditions, aboutConditions,
                  current) != kJudgeDrop) {
    return kResOk;
  }
  // The record just parsed is the last one and `previous` links it; walk only
  // when a caller moved things around in between.
  _ST_Item* before = previous;
  if (before == nullptr || before->next != current) {
    before = nullptr;
    for (_ST_Item* r = items; r != nullptr && r != current; r = r->next) before = r;
    if ((before != nullptr ? before->next : items) != current) return kResOk;  // not listed
  }
  if (before != nullptr) {
    before->next = current->next;
  } else {
    items = current->next;
  }
  if (tail_ == current) tail_ = before;
  previous = before;
  RestorCurrentElement(nullptr);
  --itemCount;
  return kResOk;
}

int CS3Data::SieveData() {
  int r = s3datasieve(&items, lowerBounds, upperBounds, equalConditions, notEqualConditions,
                      aboutConditions);
  ReleaseSortArray();
  itemCount = 0;
  previous = tail_ = nullptr;
  for (_ST_Item* i = items; i != nullptr; i = i->next) {
    ++itemCount;
    previous = tail_;
    tail_ = i;
  }
  firstElement();
  return r;
}
