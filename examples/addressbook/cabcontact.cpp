#include "cabcontact.h"

#include <cstdio>

#include "cabindex.h"
#include "common/com.h"
#include "s3/cs3data.h"
#include "s3/cs3dataiofile.h"

CAbContact::~CAbContact() {
  Clean();
}

void CAbContact::Clean() {
  name.Clean();
  city.Clean();
  phone.Clean();
  born.Clean();
}

int CAbContact::GetFileName(char* out) {
  snprintf(out, kComPathMax, "%s", "addressbook/contacts");
  return kResOk;
}

int CAbContact::SetFieldValue(CS3Data* data) {
  if (name.IsEmpty()) return kResRequiredEmpty;
  // An empty value marks its field deleted, so the writer leaves it out.
  int rc = data->SetFieldValue("name", name.Get());
  if (rc == kResOk) rc = data->SetFieldValue("city", city.Get());
  if (rc == kResOk) rc = data->SetFieldValue("phone", phone.Get());
  if (rc == kResOk) rc = data->SetFieldValue("born", born);
  return rc;
}

int CAbContact::GetFieldValue(CS3Data* data) {
  int rc = data->GetFieldValue("name", name);
  if (rc == kResOk) rc = data->GetFieldValue("city", city);
  if (rc == kResOk) rc = data->GetFieldValue("phone", phone);
  if (rc == kResOk) rc = data->GetFieldValue("born", born);
  return rc;
}

int CAbContact::Add() {
  // The index and the contacts file in one accessor: when the record cannot
  // be written, the release puts the index back as well, so no ID is ever
  // listed without its contact.
  CS3DataIO io;
  CAbIndex index;
  int rc = io.Add(index, *this);
  if (rc != kResOk) return rc;
  return io.Commit();
}

int CAbContact::Mod() {
  CS3DataIO io;
  int rc = io.Mod(*this, GetID());
  if (rc != kResOk) return rc;
  return io.Commit();
}

int CAbContact::Del() {
  char idText[16];
  snprintf(idText, sizeof(idText), "%d", GetID());
  CS3DataIO io;
  CAbIndex index;
  int rc = io.DelIndex(index, idText, false);
  if (rc == kResOk) rc = io.Del(*this, GetID());
  if (rc != kResOk) {
    // Not every failure is recorded by the accessor (an open that fails is
    // not); SetError makes sure the release rolls back what was changed.
    io.SetError();
    return rc;
  }
  return io.Commit();
}
