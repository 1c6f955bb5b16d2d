// The data home and the layout of paths inside it.
#include "common/S3ComPath.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "common/com.h"
#include "common/comfile.h"

char cPathData[kS3PathSize] = "";
char cPathPage[kS3PathSize] = "";
char cPathFile[kS3PathSize] = "";
char cPathTemp[kS3PathSize] = "";

int iTemp = 1;

namespace {

// Characters that snprintf left in a buffer of `size` bytes.
int Written(int printed, int size) {
  if (printed < 0) return 0;
  return printed < size ? printed : size - 1;
}

}  // namespace

// Each path is written with its own bound: a home longer than kS3HomeMax
// cuts the derived paths at 255 characters (and the temporary directory
// first), so nothing overflows, but the cut paths name other directories.
// Callers must refuse such a home before saving it.
int S3ComPathHomeSave(const char* home) {
  if (home == nullptr) home = "";
  comHomeBind(home);
  snprintf(cPathPage, kS3PathSize, "%s/page", home);
  snprintf(cPathData, kS3PathSize, "%s/data", home);
  snprintf(cPathFile, kS3PathSize, "%s/file", home);
  return Written(snprintf(cPathTemp, kS3PathSize, "%s/%s", cPathData, "tmp"), kS3PathSize);
}

int pathEdit(const char* dir, const char* name, char* out) {
  return Written(snprintf(out, kComPathMax, "%s%s%s", dir != nullptr ? dir : "", "/",
                          name != nullptr ? name : ""),
                 kComPathMax);
}

int S3ComPathEditData(const char* name, char* out) {
  return pathEdit(cPathData, name, out);
}

int S3ComPathTemp(char* out) {
  // getpid at every call: a forked child makes names of its own.
  int n = snprintf(out, kComPathMax, "%s%s%s%d.%d", cPathTemp, "/", "temp",
                   static_cast<int>(getpid()), iTemp);
  iTemp = (iTemp == INT_MAX) ? 1 : iTemp + 1;
  return Written(n, kComPathMax);
}

char* S3ComPathEditModule(const char* name, char* out) {
  comGetDirName(cPathData, out, kComPathMax);
  size_t used = strlen(out);
  snprintf(out + used, kComPathMax - used, "/%s", name != nullptr ? name : "");
  return out;
}
