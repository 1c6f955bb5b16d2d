#include "stores/schedulerprogram.h"

#include <cstdio>
#include <cstring>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comfile.h"
#include "stores/schedulerdefs.h"

namespace {

// Writes `text` into `out` (kSchedProgramPathSize bytes); false when it does
// not fit.
bool copyPath(const char* text, char* out) {
  int n = snprintf(out, kSchedProgramPathSize, "%s", text);
  return n >= 0 && n < kSchedProgramPathSize;
}

SchedulerProgramFrom resolve(const char* value, char* out) {
  // An empty value names no program; "./" would be the working directory.
  if (value == nullptr || value[0] == '\0') return SchedulerProgramFrom::kNone;
  if (strpbrk(value, "/\\") != nullptr)
    return copyPath(value, out) ? SchedulerProgramFrom::kAsIs : SchedulerProgramFrom::kNone;

  int n = snprintf(out, kSchedProgramPathSize, "./%s", value);
  if (n < 0 || n >= kSchedProgramPathSize) return SchedulerProgramFrom::kNone;
  if (comFileGetSizeFollow(out) >= 0) return SchedulerProgramFrom::kWorkDir;

  // The data home's own copy. Its path buffer is smaller than the program
  // buffer and cuts what does not fit, so a value that would be cut is
  // refused here rather than run under a wrong name.
  char home[kComPathMax];
  comGetDirName(cPathData, home, kComPathMax);
  if (strlen(home) + 1 + strlen(value) >= static_cast<size_t>(kComPathMax))
    return SchedulerProgramFrom::kNone;
  char inHome[kComPathMax];
  S3ComPathEditModule(value, inHome);
  if (comFileGetSizeFollow(inHome) < 0) return SchedulerProgramFrom::kNone;
  return copyPath(inHome, out) ? SchedulerProgramFrom::kHome : SchedulerProgramFrom::kNone;
}

}  // namespace

SchedulerProgramFrom schedulerResolveProgram(const char* execute, char* out) {
  SchedulerProgramFrom from = resolve(execute, out);
  if (from == SchedulerProgramFrom::kNone) out[0] = '\0';
  return from;
}
