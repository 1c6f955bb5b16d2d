#include "s3/cs3index.h"

#include <new>

#include "common/com.h"
#include "s3/cs3data.h"
#include "s3/cs3dataiofile.h"

CS3Index::CS3Index() {
  detail = false;
}

CS3Index::~CS3Index() {
  // Clean is virtual, but a subclass part is gone by now; the base's own Clean
  // is the one that must run here.
  CS3Index::Clean();
  releaseIdCache();
}

void CS3Index::releaseIdCache() {
  delete[] idCache;
  idCache = nullptr;
  idCacheCount = 0;
}

void CS3Index::Clean() {
  if (elements != nullptr) {
    for (int i = 0; i < count; ++i) Free(elements[i]);
    delete[] elements;
    elements = nullptr;
  }
  count = 0;
}

bool CS3Index::IsNoOpen() {
  return idCache != nullptr;
}

CS3Object* CS3Index::GetElement(int index) const {
  if (elements == nullptr || index < 0 || index >= count) return nullptr;
  return elements[index];
}

int CS3Index::GetFieldCount(CS3Data* data) {
  return data->GetFieldCount();
}

int CS3Index::GetFieldItemsCount(CS3Data* data) {
  return data->GetFieldItemsCount();
}

void CS3Index::Free(CS3Object* element) {
  delete element;
}

CS3Object* CS3Index::Alloc() {
  return new (std::nothrow) CS3Object();
}

bool CS3Index::IsDelete(CS3Object*) {
  return false;
}

int CS3Index::GetFieldValue(CS3Data* data) {
  // The accessor cleans the object before every read; a direct call must not
  // leak what an earlier fill built either.
  CS3Index::Clean();
  const int n = idCache != nullptr ? idCacheCount : GetFieldCount(data);
  count = n;
  if (n <= 0) return n;
  if (countOnly) {
    releaseIdCache();
    idCache = new (std::nothrow) int[n]();
    if (idCache == nullptr) {
      count = 0;
      return kResNoMemory;
    }
    idCacheCount = n;
  } else {
    elements = new (std::nothrow) CS3Object*[n]();
    if (elements == nullptr) {
      count = 0;
      return kResNoMemory;
    }
  }
  data->firstElementField();
  return fill(data, false);
}

int CS3Index::fill(CS3Data* data, bool fromGroup) {
  // Entries come from the record's fields (the field cursor), from a group's
  // values (the value cursor) or from the ID cache (position `cached`). A slot
  // whose element IsDelete rejects is reused by the next entry, so the entry
  // position is kept apart from the slot index `i`.
  const bool fromCache = !fromGroup && idCache != nullptr && !countOnly;
  const bool fromFields = !fromGroup && !fromCache;
  int cached = 0;
  int i = 0;
  int taken = 0;
  auto step = [&]() {
    if (fromGroup) {
      data->nextElementFieldItemsValue();
    } else if (fromFields) {
      data->nextElementField();
    } else {
      ++cached;
    }
  };
  while (i < count) {
    if (fromFields) {
      while (!data->IsEndOfField() && data->IsFieldLastID()) data->nextElementField();
      if (countOnly) {
        int value = 0;
        const int r = data->GetFieldID(&value);
        if (r != kResOk) {
          count = i + 1;
          return r;
        }
        idCache[i] = value;
        data->nextElementField();
        ++i;
        continue;
      }
    }
    if (!fromGroup && startRow >= 0 && i < startRow) {
      step();
      ++i;
      continue;
    }
    if (!fromGroup && maxRows != 0 && taken == maxRows) break;
    CS3Object* element = Alloc();
    if (element == nullptr) {
      count = i;
      return kResNoMemory;
    }
    elements[i] = element;
    int elementId = 0;
    if (fromCache) {
      elementId = idCache[cached];
    } else {
      const int r = fromGroup ? data->GetFieldItemsID(&elementId) : data->GetFieldID(&elementId);
      if (r != kResOk) {
        count = i + 1;
        return r;
      }
    }
    if (detail) {
      const int r = element->Get(elementId);
      if (r != kResOk && r != kResNoEntry) {
        count = i + 1;
        return r;
      }
      // A missing element file is no error: the element keeps its ID only.
      if (r == kResNoEntry) element->SetID(elementId);
    } else {
      element->SetID(elementId);
    }
    if (IsDelete(element)) {
      Free(element);
      elements[i] = nullptr;
      --count;
      step();
      continue;
    }
    ++taken;
    step();
    ++i;
  }
  if (count == 0) {
    delete[] elements;
    elements = nullptr;
  }
  count = i;
  return kResOk;
}

int CS3Index::GetCount() {
  // A collection that already holds a cache would find no parsed record to
  // count from (IsNoOpen skips the file); drop the cache so that the count
  // always reflects the file as it is now.
  releaseIdCache();
  countOnly = true;
  int r;
  {
    CS3DataIO io;
    r = io.Get(*this);
  }
  countOnly = false;
  // A counting read builds no element, whatever its result: a failure half
  // way must not leave element slots counted with no array behind them.
  count = 0;
  if (r == kResOk) return idCacheCount;
  // A failed count must not leave a partial cache behind: later reads would
  // build elements from it instead of reading the file.
  releaseIdCache();
  if (r == kResNoEntry) return 0;
  return r;
}
