// One contact of the address book: a record of the file
// addressbook/contacts, under the contact's ID.
//
//   object 2
//   name=Grace Hopper
//   city=New York
//   phone=+1 212 555 0199
//   born=19061209
//   end
//
// All contacts share that one file; addressbook/index (CAbIndex) lists their
// IDs in the order they were added and hands out new ones. Each change below
// is one unit of work: it commits as a whole, or leaves both files as they
// were.
#ifndef ADDRESSBOOK_CABCONTACT_H_
#define ADDRESSBOOK_CABCONTACT_H_

#include "s3/cs3object.h"
#include "s3/values/cs3date.h"
#include "s3/values/cs3string.h"

class CAbContact : public CS3Object {
 public:
  CAbContact() = default;
  ~CAbContact() override;

  // The fields. 0; -10006 for an empty name, -62 for a text over the
  // field's capacity (126 characters, the phone 63); born takes YYYYMMDD or
  // Y-M-D (-13002, -13004 for anything else). A refused text leaves the old
  // value in place.
  int SetName(const char* text) { return name.Set(text); }
  int SetCity(const char* text) { return city.Set(text); }
  int SetPhone(const char* text) { return phone.Set(text); }
  int SetBorn(const char* text) { return born.Set(text); }
  const char* GetName() override { return name.Get(); }
  const char* GetCity() const { return city.Get(); }
  const char* GetPhone() const { return phone.Get(); }
  const char* GetBorn() const { return born.Get(); }

  // ---- What the record file accessor calls ----

  // Empties every field (the start of every read).
  void Clean() override;
  // "addressbook/contacts" (relative to the data directory). 0.
  int GetFileName(char* out) override;
  // Writes the fields into the current record (an empty one is left out).
  // -10006 without a name.
  int SetFieldValue(CS3Data* data) override;
  // Reads the fields from the current record; a missing field stays empty.
  int GetFieldValue(CS3Data* data) override;

  // Get(id), inherited, reads the contact with that ID: 0, -110 when there is
  // no such contact, -114 when the file stayed locked.

  // ---- Units of work ----

  // Adds the contact: a new ID from the index, listed there, and the record
  // appended under it. The object's ID becomes the new ID. 0 or the failure.
  int Add();
  // Rewrites the contact's record in place, under its own ID. 0; -110 when
  // it is gone.
  int Mod();
  // Removes the contact's record and its index entry. 0 (also when it was
  // already gone) or the failure.
  int Del();

 private:
  CS3MiddleStrH name;
  CS3MiddleStr city;
  CS3ShortStr phone;
  CS3DateStr born;
};

#endif  // ADDRESSBOOK_CABCONTACT_H_
