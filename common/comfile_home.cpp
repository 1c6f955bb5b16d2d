// The file layer's resolution of every path below the bound data home
// beneath the home's descriptor, and the notes of failed calls.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/com.h"
#include "common/comfile.h"
#include "common/comfile_internal.h"
#include "common/comfile_seam.h"
#include "common/comguard.h"

#if defined(__linux__)
#include <linux/openat2.h>
#include <sys/syscall.h>
#endif

// ---- Failure notes -----------------------------------------------------------------

namespace {

ComFailure lastFailure;
bool haveFailure = false;

// Failures that callers expect as answers, not as faults worth a reason.
bool IsAnswer(int err) {
  return err == ENOENT || err == EEXIST || err == ENOTEMPTY;
}

}  // namespace

namespace file_layer {

int Failed(const char* call, const char* path) {
  // A refused link was noted with the link's own path, which says more.
  const bool refused = errno == ELOOP && haveFailure && lastFailure.err == ELOOP;
  if (!IsAnswer(errno) && !refused) comNoteFailure(call, path, errno);
  return -1;
}

int FailedFd(const char* call, int fd) {
  const int err = errno;
  char path[kComPathMax] = "";
#if defined(__linux__)
  char link[64];
  snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, path, sizeof(path) - 1);
  path[n > 0 ? n : 0] = '\0';
#endif
  errno = err;
  return Failed(call, path);
}

}  // namespace file_layer

void comNoteFailure(const char* call, const char* path, int err, const char* why) {
  const int saved = errno;
  lastFailure.call = call != nullptr ? call : "";
  snprintf(lastFailure.path, sizeof(lastFailure.path), "%s", path != nullptr ? path : "");
  lastFailure.err = err;
  lastFailure.why = why;
  haveFailure = true;
  errno = saved;
}

const ComFailure* comLastFailure() {
  return haveFailure ? &lastFailure : nullptr;
}

void comClearFailure() {
  haveFailure = false;
}

const char* comFailureReason(const ComFailure& failure) {
  if (failure.why != nullptr) return failure.why;
  return strerror(failure.err);
}

// ---- The bound home -------------------------------------------------------------

namespace {

bool resolveByWalk = false;

struct BoundHome {
  char text[kComPathMax] = "";  // as bound, without trailing "/" (but "/" itself)
  size_t length = 0;
  int fd = -1;  // opened at the first call that needs it
  char refused[kComPathMax] = "";
};
BoundHome home;

#if defined(__linux__) && defined(SYS_openat2)
bool openat2Missing = false;  // the kernel (or a filter) said ENOSYS once
#endif

int HomeFd() {
  if (home.fd >= 0) return home.fd;
  // The home's own path may be a link: its owner or root chose it.
  int fd;
  do {
    fd = open(home.text, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  home.fd = fd;
  return fd;
}

// The part of `path` below the home, or null when the path does not lie
// below it (the home itself included).
const char* Below(const char* path) {
  if (home.length == 0 || path == nullptr) return nullptr;
  if (strncmp(path, home.text, home.length) != 0) return nullptr;
  const char* rest = path + home.length;
  if (home.text[home.length - 1] != '/') {
    if (*rest != '/') return nullptr;
  }
  while (*rest == '/') ++rest;
  return *rest == '\0' ? nullptr : rest;
}

// `rel` as names joined by single "/", with "." names dropped, into `out`
// (kComPathMax bytes). -1 with EXDEV for a ".." (it could only lead out, or
// back to where the path already was), ENAMETOOLONG when it does not fit.
int Normalize(const char* rel, char* out) {
  size_t used = 0;
  const char* p = rel;
  while (*p != '\0') {
    while (*p == '/') ++p;
    const char* end = p;
    while (*end != '\0' && *end != '/') ++end;
    const size_t n = static_cast<size_t>(end - p);
    if (n == 2 && p[0] == '.' && p[1] == '.') {
      errno = EXDEV;
      return -1;
    }
    if (n > 0 && !(n == 1 && p[0] == '.')) {
      if (used + (used > 0 ? 1 : 0) + n >= static_cast<size_t>(kComPathMax)) {
        errno = ENAMETOOLONG;
        return -1;
      }
      if (used > 0) out[used++] = '/';
      memcpy(out + used, p, n);
      used += n;
    }
    p = end;
  }
  out[used] = '\0';
  return 0;
}

}  // namespace

namespace file_layer {

void Refuse(const char* rel, size_t length) {
  // The home's text, "/" (unless the home is "/"), then the names; a path
  // too long for the buffer is cut, as it only names the link in a message.
  size_t used = home.length;
  memcpy(home.refused, home.text, used);
  const size_t last = sizeof(home.refused) - 1;
  if (strcmp(home.text, "/") != 0 && used < last) home.refused[used++] = '/';
  const size_t room = last - used;
  if (length > room) length = room;
  memcpy(home.refused + used, rel, length);
  home.refused[used + length] = '\0';
  comNoteFailure("open", home.refused, ELOOP);
  errno = ELOOP;
}

}  // namespace file_layer

namespace {

using file_layer::Refuse;

bool IsLinkAt(int dir, const char* name) {
  struct stat st;
  return fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// After a failed open of `name` in `dir` (a name of the normalized `rel`,
// which ends at `end`): a link there is refused, any other failure keeps its
// errno. -1 either way.
int FailedAt(int dir, const char* name, const char* rel, size_t end) {
  const int err = errno;
  if ((err == ELOOP || err == EMLINK || err == ENOTDIR) && IsLinkAt(dir, name)) {
    Refuse(rel, end);
    return -1;
  }
  errno = err;
  return -1;
}

// The link among the folders of the normalized `rel` that made a resolution
// fail with ELOOP, found name by name from the home.
void FindRefused(int homeFd, char* rel) {
  for (char* p = rel;; ++p) {
    if (*p != '/' && *p != '\0') continue;
    const char saved = *p;
    *p = '\0';
    const bool link = IsLinkAt(homeFd, rel);
    *p = saved;
    if (link || saved == '\0') {
      Refuse(rel, static_cast<size_t>(p - rel));
      return;
    }
  }
}

// Opens the normalized `rel` beneath the home with `flags` (and `mode` for
// a creation), no link followed, neither in its folders nor as its last
// name. The descriptor, or -1 with errno (ELOOP for a link, remembered for
// comHomeRefusedLink).
int OpenBeneath(int homeFd, char* rel, int flags, int mode) {
#if defined(__linux__) && defined(SYS_openat2)
  if (!resolveByWalk && !openat2Missing) {
    struct open_how how;
    memset(&how, 0, sizeof(how));
    how.flags = static_cast<__u64>(flags | O_CLOEXEC);
    if ((flags & O_CREAT) != 0) how.mode = static_cast<__u64>(mode);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    long fd;
    int tries = 0;
    do {
      fd = syscall(SYS_openat2, homeFd, rel, &how, sizeof(how));
      // EAGAIN: a rename elsewhere raced with the check that the walk stayed
      // beneath the home; the kernel asks for another try.
    } while (fd < 0 && (errno == EINTR || (errno == EAGAIN && ++tries < 8)));
    if (fd >= 0) return static_cast<int>(fd);
    if (errno != ENOSYS) {
      if (errno == ELOOP) FindRefused(homeFd, rel);
      return -1;
    }
    openat2Missing = true;
  }
#endif
  // Name by name: each folder is opened inside the one before, and a link
  // is never opened, as a folder or as the last name.
  ComFd owned;
  int dir = homeFd;
  for (char* name = rel;;) {
    char* slash = strchr(name, '/');
    if (slash != nullptr) *slash = '\0';
    const int how = slash != nullptr ? kComFolderRef : flags;
    int fd;
    do {
      fd = openat(dir, name, how | O_NOFOLLOW | O_CLOEXEC, static_cast<mode_t>(mode));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      FailedAt(dir, name, rel, strlen(rel));
      if (slash != nullptr) *slash = '/';
      return -1;
    }
    owned.Reset(fd);
    dir = fd;
    if (slash == nullptr) return owned.release();
    *slash = '/';
    name = slash + 1;
  }
}

}  // namespace

namespace file_layer {

int Locate(const char* path, Where* w) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  const char* below = Below(path);
  if (below != nullptr && Normalize(below, w->rel) != 0) return -1;
  if (below == nullptr || w->rel[0] == '\0') {  // elsewhere, or the home itself
    w->name = path;
    return 0;
  }
  w->below = true;
  const int homeFd = HomeFd();
  if (homeFd < 0) return -1;
  char* slash = strrchr(w->rel, '/');
  if (slash == nullptr) {
    w->dir = homeFd;
    w->name = w->rel;
    return 0;
  }
  *slash = '\0';
  const int fd = OpenBeneath(homeFd, w->rel, kComFolderRef, 0);
  *slash = '/';
  if (fd < 0) return -1;
  w->owned.Reset(fd);
  w->dir = fd;
  w->name = slash + 1;
  return 0;
}

int OpenPath(const char* path, int flags, int mode) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  const char* below = Below(path);
  char rel[kComPathMax];
  if (below != nullptr && Normalize(below, rel) != 0) return -1;
  if (below == nullptr || rel[0] == '\0') {  // elsewhere, or the home itself
    int fd;
    do {
      fd = open(path, flags | O_CLOEXEC, static_cast<mode_t>(mode));
    } while (fd < 0 && errno == EINTR);
    return fd;
  }
  const int homeFd = HomeFd();
  return homeFd < 0 ? -1 : OpenBeneath(homeFd, rel, flags, mode);
}

}  // namespace file_layer

void comHomeBind(const char* text) {
  if (home.fd >= 0) close(home.fd);
  home.fd = -1;
  home.refused[0] = '\0';
  snprintf(home.text, sizeof(home.text), "%s", text != nullptr ? text : "");
  home.length = strlen(home.text);
  while (home.length > 1 && home.text[home.length - 1] == '/') home.text[--home.length] = '\0';
}

const char* comHomeBound() {
  return home.text;
}

bool comHomeHolds(const char* path) {
  return Below(path) != nullptr;
}

const char* comHomeShown(const char* path) {
  const char* below = Below(path);
  return below != nullptr ? below : (path != nullptr ? path : "");
}

const char* comHomeRefusedLink() {
  return home.refused;
}

void comHomeClearRefused() {
  home.refused[0] = '\0';
}

void comIoResolveByWalk(bool on) {
  resolveByWalk = on;
}

