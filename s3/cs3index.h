// A collection of record objects: a record object bound to an index record
// (a record whose _item fields list element IDs in order and whose _lastid
// field holds the last ID handed out). Reading the collection builds one
// element object per listed ID through Alloc; the collection owns the
// elements and frees them through Free.
#ifndef S3_CS3INDEX_H_
#define S3_CS3INDEX_H_

#include "s3/cs3object.h"

class CS3Index : public CS3Object {
 public:
  // Empty; detail is false (elements receive only their IDs).
  CS3Index();
  // Clean(), then releases the ID cache.
  ~CS3Index() override;

  // Frees every element and the element array; count 0. The ID cache stays.
  void Clean() override;
  // Fills the collection from the current (index) record of `data`, or from
  // the ID cache when one is present. Honors startRow/maxRows, detail and
  // IsDelete; with countOnly only collects the IDs into the ID cache. 0, the
  // count when it is 0 or below (a subclass count below 0 is the result), -10,
  // or an element read's code other than -110.
  int GetFieldValue(CS3Data* data) override;
  // True exactly when an ID cache is present (a counting read was made): reads
  // then build the elements from the cache without opening the file.
  bool IsNoOpen() override;

  // ---- Collection operations (virtual, in slot order) ------------------------------

  // False when `other` is this collection or when the two share an element ID
  // (null slots ignored); true otherwise, also when both are empty.
  virtual bool operator!=(const CS3Index& other);
  // False when some element has ID `id`; true otherwise (also when empty).
  virtual bool operator!=(int id);
  // Moves every element of `other` to the end of this collection; `other` is
  // left empty. The flag is not used. 0, or -10 with both unchanged.
  virtual int AddObjsMove(CS3Index& other, bool unused);
  // Counting read: the number of entries of the index record, read through a
  // temporary accessor, kept as an ID cache. 0 when the file or its record is
  // missing; another accessor code unchanged. A collection that already holds
  // a cache drops it and reads the file again.
  virtual int GetCount();
  // Number of fields of the current record, _lastid included. Subclasses whose
  // index carries _lastid return this minus 1.
  virtual int GetFieldCount(CS3Data* data);
  // Number of values of the current group of `data`.
  virtual int GetFieldItemsCount(CS3Data* data);
  // Destroys `element`; null is ignored.
  virtual void Free(CS3Object* element);
  // A new element; null when memory runs out. Base: a plain CS3Object.
  virtual CS3Object* Alloc();
  // True for elements that must not appear in the collection. Base: false.
  virtual bool IsDelete(CS3Object* element);

  // ---- Non-virtual -------------------------------------------------------------------

  // Fills the collection from the values of group `group` of the current
  // record (each value read as an ID), without _lastid handling, startRow or
  // maxRows. A missing group is 0 with the collection unchanged.
  int GetFieldItemsValue(const char* group, CS3Data* data);
  // Replaces the values of group `group` of the current record by the IDs of
  // the elements (null slots skipped). 0 or the first failure.
  int SetFieldItemsValue(const char* group, CS3Data* data, bool allowDuplicate);
  // Leaves the first `start` entries as empty slots (-1: none) and builds at
  // most `max` elements per read (0: no limit).
  void SetMaxRow(int start, int max) {
    startRow = start;
    maxRows = max;
  }

  // Number of element slots (empty slots included).
  int GetElementCount() const { return count; }
  // Element in slot `index`; null for an empty slot or an index outside
  // 0..count-1. The collection keeps ownership.
  CS3Object* GetElement(int index) const;
  // The IDs kept by the last counting read.
  int GetIdCacheCount() const { return idCacheCount; }

 protected:
  // Builds slots i.. of the fill loop from `data`'s field cursor (or the cache)
  // or, with fromGroup, from the current group's values.
  int fill(CS3Data* data, bool fromGroup);
  void releaseIdCache();

  int idCacheCount = 0;
  int count = 0;
  CS3Object** elements = nullptr;
  int startRow = -1;
  int maxRows = 0;
  int* idCache = nullptr;
  bool countOnly = false;
};

#endif  // S3_CS3INDEX_H_
