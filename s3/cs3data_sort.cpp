// CS3Data: the sort array and the sorted cursor.
#include <stdlib.h>

#include <algorithm>

#include "s3/cs3data.h"

void CS3Data::ReleaseSortArray() {
  free(sortArray);
  sortArray = nullptr;
  sortCount_ = 0;
  sortCursor = 0;
}

int CS3Data::SortData() {
  ReleaseSortArray();
  if (items == nullptr || sortConditions == nullptr) return kResOk;
  size_t n = 0;
  for (_ST_Item* r = items; r != nullptr; r = r->next) ++n;
  _ST_Item** array = static_cast<_ST_Item**>(malloc(n * sizeof(_ST_Item*)));
  if (array == nullptr) return kResNoMemory;
  size_t i = 0;
  for (_ST_Item* r = items; r != nullptr; r = r->next) array[i++] = r;
  StpData = sortConditions;
  // A merge sort instead of qsort: the comparison is not a strict weak order
  // when a weight is 0 or IDs repeat, and a merge sort stays within the array
  // whatever the comparison answers.
  std::stable_sort(array, array + n,
                   [](_ST_Item* const& a, _ST_Item* const& b) { return s3datacomp(&a, &b) < 0; });
  sortArray = array;
  sortCount_ = static_cast<int>(n);
  return kResOk;
}

int CS3Data::firstSortElement() {
  if (sortArray == nullptr) return firstElement();
  sortCursor = 0;
  RestorCurrentElement(sortCount_ > 0 ? sortArray[0] : nullptr);
  return kResOk;
}

int CS3Data::nextSortElement() {
  if (sortArray == nullptr) return nextElement();
  if (sortCursor + 1 < sortCount_) {
    ++sortCursor;
    RestorCurrentElement(sortArray[sortCursor]);
    return kResOk;
  }
  sortCursor = sortCount_;
  RestorCurrentElement(nullptr);
  return kResNoEntry;
}
