// The data home and the layout of paths inside it:
//   home/data        record files
//   home/data/tmp    backup copies and temporary files (temp<pid>.<n>)
//   home/            module executables
//   home/page, home/file  used by the suite's other programs
#ifndef COMMON_S3COMPATH_H_
#define COMMON_S3COMPATH_H_

#include "common/com.h"  // kComPathMax

// Size of each derived path. A home may have at most kS3HomeMax characters so
// that home/data/tmp still fits. A longer home is a caller's error to refuse
// before saving it: nothing overflows, but each derived path is cut at 255
// characters and then names some other directory.
constexpr int kS3PathSize = 256;
constexpr int kS3HomeMax = 246;

// Process-wide paths, empty until S3ComPathHomeSave.
extern char cPathData[kS3PathSize];
extern char cPathPage[kS3PathSize];
extern char cPathFile[kS3PathSize];
extern char cPathTemp[kS3PathSize];
// The counter of temporary names: 1 when the process starts, raised by every
// S3ComPathTemp and never reset (after INT_MAX it wraps to 1).
extern int iTemp;

// Derives the four paths from `home` (used as given: a "/" is always
// inserted) and binds the file layer to it (comHomeBind, comfile.h): from
// then on no symbolic link below the home is followed. Returns the length of
// the temporary directory path.
int S3ComPathHomeSave(const char* home);

// All `out` buffers below are caller-owned with room for kComPathMax (1024)
// bytes; longer results are cut to fit.

// dir + "/" + name; returns its length.
int pathEdit(const char* dir, const char* name, char* out);
// home/data/name; returns its length.
int S3ComPathEditData(const char* name, char* out);
// A fresh path home/data/tmp/temp<pid>.<n>, unique within this process (the
// counter starts at 1 and is never reset; the pid is read at every call, so a
// forked child makes names of its own); returns its length.
int S3ComPathTemp(char* out);
// home/name (the home as given); returns `out`.
char* S3ComPathEditModule(const char* name, char* out);

#endif  // COMMON_S3COMPATH_H_
