// The contacts of one city, or all of them, ordered by name: one read of
// addressbook/contacts. The whole file is parsed, then narrowed to the
// city's records and put in order on the parsed records, and one CAbContact
// is made per record that is left.
#ifndef ADDRESSBOOK_CABCONTACTLIST_H_
#define ADDRESSBOOK_CABCONTACTLIST_H_

#include <memory>
#include <vector>

#include "cabcontact.h"
#include "s3/cs3object.h"
#include "s3/values/cs3string.h"

class CAbContactList : public CS3Object {
 public:
  // `city` empty or null: every contact.
  explicit CAbContactList(const char* city);
  ~CAbContactList() override;

  // Get(), inherited, reads the list: 0; -110 when the address book has no
  // contact at all (no file, or no record in it); -114 when the file stayed
  // locked; -10 out of memory.

  // Frees the contacts read before.
  void Clean() override;
  // "addressbook/contacts". 0.
  int GetFileName(char* out) override;
  // Called once with the parsed file: the city's records (SetEQCondition,
  // SieveData) by name, byte order (SetSortCondition, SortData).
  int GetFieldValue(CS3Data* data) override;

  int GetCount() const { return static_cast<int>(contacts.size()); }
  // REQUIRES: 0 <= i < GetCount().
  CAbContact& GetContact(int i) const { return *contacts[i]; }

 private:
  CS3MiddleStr city;
  std::vector<std::unique_ptr<CAbContact>> contacts;
};

#endif  // ADDRESSBOOK_CABCONTACTLIST_H_
