// What the two sources of the file layer share: the resolution of a path
// below the bound home (comfile_home.cpp) for the calls (comfile_io.cpp).
// Internal to the common library.
#ifndef COMMON_COMFILE_INTERNAL_H_
#define COMMON_COMFILE_INTERNAL_H_

#include <fcntl.h>

#include <cstddef>

#include "common/com.h"
#include "common/comguard.h"

namespace file_layer {

// Where a call's last name lies: the folder (the caller's working directory
// for a path that is not below the home) and the name in it.
struct Where {
  int dir = AT_FDCWD;
  const char* name = nullptr;
  bool below = false;
  ComFd owned;            // the folder, when the call opened it
  char rel[kComPathMax];  // below the home: the normalized path
};

// Finds where `path` lies. 0, or -1 with errno (ELOOP for a link among the
// folders below the home, EXDEV for a ".." there, or the failure of opening
// the home or a folder).
int Locate(const char* path, Where* w);

// The open of comIoOpen without the seam: below the home in one resolution
// of the whole path, no link followed. The descriptor, or -1 with errno.
int OpenPath(const char* path, int flags, int mode);

// Remembers the link at the first `length` characters of the normalized
// path `rel` (below the home) for comHomeRefusedLink and the failure note,
// and sets errno to ELOOP.
void Refuse(const char* rel, size_t length);

// Notes the failed call `call` on `path` with the current errno (unless it
// is an answer a caller expects) and returns -1; errno is kept.
int Failed(const char* call, const char* path);

// The same for a call on descriptor `fd`: the path is the one the system
// keeps for it, where it keeps one.
int FailedFd(const char* call, int fd);

}  // namespace file_layer

#endif  // COMMON_COMFILE_INTERNAL_H_
