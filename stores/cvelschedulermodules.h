// The module index, scheduler/module/index: one index record (ID 1) with the
// last module ID handed out and one entry per module, in the table's order,
// which is the order in which the daemon visits the modules.
//
//   object 1
//   _lastid=3
//   _item=1
//   _item=3
//   end
#ifndef STORES_CVELSCHEDULERMODULES_H_
#define STORES_CVELSCHEDULERMODULES_H_

#include "s3/cs3index.h"

class CvelSchedulerModules : public CS3Index {
 public:
  // Empty; elements receive only their IDs unless SetDetail(true).
  CvelSchedulerModules() = default;
  // Frees the elements, then the base releases the ID cache.
  ~CvelSchedulerModules() override;

  // Writes "scheduler/module/index" into `out` (kComPathMax bytes). 0.
  int GetFileName(char* out) override;
  // The base count minus 1: the _lastid entry is not an element. An index
  // record without any field therefore gives -1, which the read returns.
  int GetFieldCount(CS3Data* data) override;
  // A new CvelSchedulerModule (null when memory runs out). With the default
  // detail off it carries only its ID (GetID); with SetDetail(true) each
  // element is read whole from scheduler/module/<ID>/info, and a module whose
  // file is missing stays an element with its ID only.
  CS3Object* Alloc() override;
};

#endif  // STORES_CVELSCHEDULERMODULES_H_
