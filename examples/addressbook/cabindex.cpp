#include "cabindex.h"

#include <cstdio>
#include <new>

#include "cabcontact.h"
#include "common/com.h"

CAbIndex::~CAbIndex() {
  Clean();
}

int CAbIndex::GetFileName(char* out) {
  snprintf(out, kComPathMax, "%s", "addressbook/index");
  return kResOk;
}

int CAbIndex::GetFieldCount(CS3Data* data) {
  return CS3Index::GetFieldCount(data) - 1;
}

CS3Object* CAbIndex::Alloc() {
  return new (std::nothrow) CAbContact();
}
