#include "cabcontactlist.h"

#include <cstdio>
#include <new>
#include <utility>

#include "common/com.h"
#include "s3/cs3data.h"

CAbContactList::CAbContactList(const char* cityText) {
  city.Set(cityText);
}

CAbContactList::~CAbContactList() = default;

void CAbContactList::Clean() {
  contacts.clear();
}

int CAbContactList::GetFileName(char* out) {
  snprintf(out, kComPathMax, "%s", "addressbook/contacts");
  return kResOk;
}

int CAbContactList::GetFieldValue(CS3Data* data) {
  int rc = kResOk;
  if (!city.IsEmpty()) {
    // The selection drops every record whose city differs.
    rc = data->SetEQCondition("city", city.Get());
    if (rc == kResOk) rc = data->SieveData();
    if (rc != kResOk) return rc;
  }
  // Ascending by name; records of equal names follow their IDs.
  rc = data->SetSortCondition("name", "1");
  if (rc == kResOk) rc = data->SortData();
  if (rc != kResOk) return rc;
  for (data->firstSortElement(); !data->IsEndOfData(); data->nextSortElement()) {
    std::unique_ptr<CAbContact> contact(new (std::nothrow) CAbContact());
    if (contact == nullptr) return kResNoMemory;
    contact->SetID(data->GetID());
    rc = contact->GetFieldValue(data);
    if (rc != kResOk) return rc;
    contacts.push_back(std::move(contact));
  }
  return kResOk;
}
