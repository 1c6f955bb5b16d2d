// The address book's index, addressbook/index: one index record with the
// last ID handed out and one entry per contact, in the order they were added.
//
//   object 1
//   _lastid=3
//   _item=2
//   _item=3
//   end
#ifndef ADDRESSBOOK_CABINDEX_H_
#define ADDRESSBOOK_CABINDEX_H_

#include "s3/cs3index.h"

class CAbIndex : public CS3Index {
 public:
  CAbIndex() = default;
  ~CAbIndex() override;

  // "addressbook/index". 0.
  int GetFileName(char* out) override;
  // The record's fields less the _lastid entry.
  int GetFieldCount(CS3Data* data) override;
  // A new CAbContact: with SetDetail(true) a read gives each one whole (one
  // read of the contacts file each), otherwise only its ID.
  CS3Object* Alloc() override;
};

#endif  // ADDRESSBOOK_CABINDEX_H_
