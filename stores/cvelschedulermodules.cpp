#include "stores/cvelschedulermodules.h"

#include <cstdio>
#include <new>

#include "common/com.h"
#include "stores/cvelschedulermodule.h"

CvelSchedulerModules::~CvelSchedulerModules() {
  Clean();
}

int CvelSchedulerModules::GetFileName(char* out) {
  snprintf(out, kComPathMax, "%s/%s/%s", "scheduler", "module", "index");
  return kResOk;
}

int CvelSchedulerModules::GetFieldCount(CS3Data* data) {
  return CS3Index::GetFieldCount(data) - 1;
}

CS3Object* CvelSchedulerModules::Alloc() {
  return new (std::nothrow) CvelSchedulerModule();
}
