// Comparison of records by the sort conditions of the CS3Data being sorted.
#include <limits.h>
#include <string.h>

#include "s3/cs3data.h"
#include "s3/cs3data_internal.h"

_ST_ItemField* StpData = nullptr;

namespace {

int Negate(int v) {
  return v == INT_MIN ? INT_MAX : -v;
}

const char* SortValue(const _ST_Item* record, const char* name) {
  if (record == nullptr) return "";
  return s3data::ValueOf(s3data::FindField(record, name));
}

}  // namespace

int s3datacomp(const void* a, const void* b) {
  const _ST_Item* ra = *static_cast<const _ST_Item* const*>(a);
  const _ST_Item* rb = *static_cast<const _ST_Item* const*>(b);
  for (const _ST_ItemField* key = StpData; key != nullptr; key = key->next) {
    int weight = s3ReadInt(key->value);
    const char* va = SortValue(ra, key->name);
    const char* vb = SortValue(rb, key->name);
    int c;
    if (va[0] != '\0' && vb[0] != '\0') {
      c = strcmp(va, vb);
    } else {
      c = (va[0] != '\0') - (vb[0] != '\0');  // only one side has a value
    }
    if (c > 0) return weight;
    if (c < 0) return Negate(weight);
  }
  int ia = ra == nullptr ? 0 : s3ReadInt(ra->id);
  int ib = rb == nullptr ? 0 : s3ReadInt(rb->id);
  return ia > ib ? 1 : (ia < ib ? -1 : 0);
}

int s3datacomp_d(const void* a, const void* b) {
  return Negate(s3datacomp(a, b));
}
