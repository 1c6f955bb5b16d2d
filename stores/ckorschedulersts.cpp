#include "stores/ckorschedulersts.h"

#include <cstdio>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comfile.h"
#include "common/comproc.h"

CKorSchedulerSts::~CKorSchedulerSts() = default;

int CKorSchedulerSts::GetFileName(char* out) {
  if (pid.IsEmpty()) {
    const int rc = pid.SetInt(comProcGetID());
    if (rc != kResOk) return rc;
  }
  snprintf(out, kComPathMax, "%s/%s.%d", "scheduler", "status", pid.GetInt());
  return kResOk;
}

int CKorSchedulerSts::DelAll() {
  char dir[kComPathMax];
  S3ComPathEditData("scheduler", dir);
  return comFileDelete(dir, "status", nullptr) == 0 ? kResOk : -1;
}
