#include "stores/cvelschedulermodule.h"

#include <cstdio>

#include "common/com.h"
#include "s3/cs3data.h"
#include "s3/cs3dataiofile.h"
#include "stores/cvelschedulermodules.h"

CvelSchedulerModule::~CvelSchedulerModule() {
  Clean();
}

int CvelSchedulerModule::Set(const char* field, const char* value) {
  if (_stricmp(field, "Name") == 0) return name.Set(value);
  if (_stricmp(field, "execute") == 0) return execute.Set(value);
  return kResUnknownField;
}

int CvelSchedulerModule::Get(int moduleId) {
  SetID(moduleId);
  return CS3Object::Get();
}

void CvelSchedulerModule::Clean() {
  name.Clean();
  execute.Clean();
}

int CvelSchedulerModule::GetFileName(char* out) {
  snprintf(out, kComPathMax, "%s/%s/%d/%s", "scheduler", "module", GetID(), "info");
  return kResOk;
}

int CvelSchedulerModule::SetFieldValue(CS3Data* data) {
  if (execute.IsEmpty()) return kResRequiredEmpty;
  int rc = data->SetFieldValue("Name", name.Get(), true, nullptr, false);
  if (rc != kResOk) return rc;
  return data->SetFieldValue("execute", execute.Get(), true, nullptr, false);
}

int CvelSchedulerModule::GetFieldValue(CS3Data* data) {
  int rc = data->GetFieldValue("Name", name);
  if (rc != kResOk) return rc;
  return data->GetFieldValue("execute", execute);
}

int CvelSchedulerModule::Add() {
  // Index and record in one unit of work: a failure at the record rolls the
  // index back too when the accessor is released, so no ID is listed without
  // its record.
  CS3DataIO io;
  CvelSchedulerModules index;
  const int rc = io.Add(index, *this);
  if (rc < 0) return rc;
  const int committed = io.Commit();
  return committed != kResOk ? committed : rc;
}

int CvelSchedulerModule::Mod(int) {
  // The module's record lives under the module's own ID, so it is rewritten
  // under that ID; a rewrite of record 1 would fail for every other module.
  CS3DataIO io;
  const int rc = io.Mod(*this, GetID());
  return rc != kResOk ? rc : io.Commit();
}

int CvelSchedulerModule::Del(int moduleId) {
  CS3DataIO io;
  CvelSchedulerModules index;
  const int rc = io.Del(index, *this, moduleId, true);
  return rc != kResOk ? rc : io.Commit();
}
