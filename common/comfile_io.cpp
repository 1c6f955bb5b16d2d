// The file layer's calls on paths and descriptors, their seam, and the
// resolution of every path below the data home beneath the home's descriptor.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/com.h"
#include "common/comfile.h"
#include "common/comfile_seam.h"
#include "common/comguard.h"

#if defined(__linux__)
#include <linux/openat2.h>
#include <sys/syscall.h>
#endif

// ---- The seam -----------------------------------------------------------------

namespace {

const ComIoHooks* ioHooks = nullptr;
bool resolveByWalk = false;

// 0 when the call may run, else -1 with the hook's errno.
int Before(const ComIoCall& call) {
  if (ioHooks == nullptr || ioHooks->before == nullptr) return 0;
  const int err = ioHooks->before(call);
  if (err == 0) return 0;
  errno = err;
  return -1;
}

// Reports the result to the hook and returns it, errno unchanged.
int After(const ComIoCall& call, int result) {
  if (ioHooks == nullptr || ioHooks->after == nullptr) return result;
  const int saved = errno;
  ioHooks->after(call, result);
  errno = saved;
  return result;
}

ComIoCall Call(ComIoOp op, int fd, const char* path) {
  return ComIoCall{op, fd, path, nullptr, nullptr, 0, -1};
}

}  // namespace

void comSetIoHooks(const ComIoHooks* hooks) {
  ioHooks = hooks;
}

bool comIoHooked() {
  return ioHooks != nullptr;
}

void comIoResolveByWalk(bool on) {
  resolveByWalk = on;
}

// ---- Failure notes -----------------------------------------------------------------

namespace {

ComFailure lastFailure;
bool haveFailure = false;

// Failures that callers expect as answers, not as faults worth a reason.
bool IsAnswer(int err) {
  return err == ENOENT || err == EEXIST || err == ENOTEMPTY;
}

// Notes the failed call `call` on `path` with the current errno (unless it
// is an answer) and returns -1; errno is kept.
int Failed(const char* call, const char* path) {
  // A refused link was noted with the link's own path, which says more.
  const bool refused = errno == ELOOP && haveFailure && lastFailure.err == ELOOP;
  if (!IsAnswer(errno) && !refused) comNoteFailure(call, path, errno);
  return -1;
}

// The same for a call on descriptor `fd`: the path is the one the system
// keeps for it, where it keeps one.
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

}  // namespace

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

// Remembers the link at the first `length` characters of the normalized
// path `rel` for comHomeRefusedLink, and sets errno to ELOOP.
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

// Where a call's last name lies: the folder (the caller's working directory
// for a path that is not below the home) and the name in it.
struct Where {
  int dir = AT_FDCWD;
  const char* name = nullptr;
  bool below = false;
  ComFd owned;  // the folder, when the call opened it
  char rel[kComPathMax];  // below the home: the normalized path
};

// Finds where `path` lies. 0, or -1 with errno (ELOOP for a link among the
// folders below the home, EXDEV for a ".." there, or the failure of opening
// the home or a folder).
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

// The open of comIoOpen without the seam: below the home in one resolution
// of the whole path.
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

}  // namespace

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

// ---- Calls on descriptors -----------------------------------------------------

static int FileWrite(int fd, const char* buf, int len) {
  if (len < 0) {
    errno = EINVAL;
    return -1;
  }
  const ComIoCall call{kComIoWrite, fd, nullptr, nullptr, buf, static_cast<unsigned long>(len), -1};
  if (Before(call) != 0) return -1;
  ssize_t written = write(fd, buf, static_cast<size_t>(len));
  if (written < 0) return After(call, -1);
  if (written != len) {
    // A short write leaves errno untouched by the system; say what happened.
    errno = EIO;
    return After(call, -1);
  }
  return After(call, 0);
}

static int IoWriteAll(int fd, const void* buf, unsigned long len) {
  ComIoCall call{kComIoWrite, fd, nullptr, nullptr, buf, len, -1};
  if (Before(call) != 0) return -1;
  const char* p = static_cast<const char*>(buf);
  while (len > 0) {
    ssize_t n = write(fd, p, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return After(call, -1);
    }
    if (n == 0) {
      errno = EIO;
      return After(call, -1);
    }
    p += n;
    len -= static_cast<unsigned long>(n);
  }
  return After(call, 0);
}

static int IoPwriteAll(int fd, const void* buf, unsigned long len, long long at) {
  const ComIoCall call{kComIoWrite, fd, nullptr, nullptr, buf, len, at};
  if (Before(call) != 0) return -1;
  const char* p = static_cast<const char*>(buf);
  while (len > 0) {
    ssize_t n = pwrite(fd, p, len, static_cast<off_t>(at));
    if (n < 0) {
      if (errno == EINTR) continue;
      return After(call, -1);
    }
    if (n == 0) {
      errno = EIO;
      return After(call, -1);
    }
    p += n;
    at += n;
    len -= static_cast<unsigned long>(n);
  }
  return After(call, 0);
}

static int IoTruncate(int fd, long long size) {
  ComIoCall call = Call(kComIoTruncate, fd, nullptr);
  call.len = static_cast<unsigned long>(size);
  if (Before(call) != 0) return -1;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == static_cast<off_t>(size)) {
    return After(call, 0);
  }
  int rc;
  do {
    rc = ftruncate(fd, static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  return After(call, rc == 0 ? 0 : -1);
}

static int IoSync(int fd) {
  const ComIoCall call = Call(kComIoSync, fd, nullptr);
  if (Before(call) != 0) return -1;
  int rc;
  do {
    rc = fdatasync(fd);
  } while (rc != 0 && errno == EINTR);
  return After(call, rc == 0 ? 0 : -1);
}

// ---- Calls on paths -------------------------------------------------------------

static int IoSyncDir(const char* dir) {
  const char* path = dir != nullptr && dir[0] != '\0' ? dir : ".";
  const ComIoCall call = Call(kComIoSyncDir, -1, path);
  if (Before(call) != 0) return -1;
  ComFd fd(OpenPath(path, O_RDONLY | O_DIRECTORY, 0));
  if (!fd.ok()) return After(call, -1);
  int rc;
  do {
    rc = fsync(fd.get());
  } while (rc != 0 && errno == EINTR);
  // Some file systems cannot flush a directory on its own; their entries
  // reach the disk with the files' own flushes.
  if (rc != 0 && (errno == EINVAL || errno == EROFS)) rc = 0;
  return After(call, rc == 0 ? 0 : -1);
}

int comIoSyncParent(const char* path) {
  char dir[kComPathMax];
  comGetDirName(path, dir, sizeof(dir));
  return comIoSyncDir(dir[0] != '\0' ? dir : (path != nullptr && path[0] == '/' ? "/" : "."));
}

static int IoOpen(const char* path, int flags, int mode) {
  const bool creates = (flags & O_CREAT) != 0;
  const ComIoCall call = Call(kComIoCreate, -1, path);
  if (creates && Before(call) != 0) return -1;
  const int fd = OpenPath(path, flags, mode);
  return creates ? After(call, fd) : fd;
}

static int IoMkdir(const char* path, int mode) {
  const ComIoCall call = Call(kComIoMkdir, -1, path);
  if (Before(call) != 0) return -1;
  Where w;
  if (Locate(path, &w) != 0) return After(call, -1);
  return After(call, mkdirat(w.dir, w.name, static_cast<mode_t>(mode)) == 0 ? 0 : -1);
}

static int IoUnlink(const char* path) {
  const ComIoCall call = Call(kComIoUnlink, -1, path);
  if (Before(call) != 0) return -1;
  Where w;
  if (Locate(path, &w) != 0) return After(call, -1);
  return After(call, unlinkat(w.dir, w.name, 0) == 0 ? 0 : -1);
}

static int IoRename(const char* from, const char* to) {
  ComIoCall call = Call(kComIoRename, -1, from);
  call.to = to;
  if (Before(call) != 0) return -1;
  Where a;
  Where b;
  if (Locate(from, &a) != 0 || Locate(to, &b) != 0) return After(call, -1);
  return After(call, renameat(a.dir, a.name, b.dir, b.name) == 0 ? 0 : -1);
}

static int IoRmdir(const char* path) {
  const ComIoCall call = Call(kComIoRmdir, -1, path);
  if (Before(call) != 0) return -1;
  Where w;
  if (Locate(path, &w) != 0) return After(call, -1);
  return After(call, unlinkat(w.dir, w.name, AT_REMOVEDIR) == 0 ? 0 : -1);
}

static int IoStat(const char* path, struct stat* st) {
  Where w;
  if (Locate(path, &w) != 0) return -1;
  if (!w.below) return stat(path, st);
  if (fstatat(w.dir, w.name, st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
  if (S_ISLNK(st->st_mode)) {
    Refuse(w.rel, strlen(w.rel));
    return -1;
  }
  return 0;
}

static int IoLstat(const char* path, struct stat* st) {
  Where w;
  if (Locate(path, &w) != 0) return -1;
  if (!w.below) return lstat(path, st);
  return fstatat(w.dir, w.name, st, AT_SYMLINK_NOFOLLOW);
}

DIR* comIoOpenDir(const char* path) {
  ComFd fd(OpenPath(path, O_RDONLY | O_DIRECTORY, 0));
  if (!fd.ok()) {
    Failed("list", path);
    return nullptr;
  }
  DIR* dir = fdopendir(fd.get());
  if (dir != nullptr) fd.release();
  return dir;
}

// ---- The calls, each noting its failure ------------------------------------------

int comFileWrite(int fd, const char* buf, int len) {
  const int rc = FileWrite(fd, buf, len);
  if (rc != 0) FailedFd("write", fd);
  return rc;
}

int comIoWriteAll(int fd, const void* buf, unsigned long len) {
  const int rc = IoWriteAll(fd, buf, len);
  if (rc != 0) FailedFd("write", fd);
  return rc;
}

int comIoPwriteAll(int fd, const void* buf, unsigned long len, long long at) {
  const int rc = IoPwriteAll(fd, buf, len, at);
  if (rc != 0) FailedFd("write", fd);
  return rc;
}

int comIoTruncate(int fd, long long size) {
  const int rc = IoTruncate(fd, size);
  if (rc != 0) FailedFd("truncate", fd);
  return rc;
}

int comIoSync(int fd) {
  const int rc = IoSync(fd);
  if (rc != 0) FailedFd("flush", fd);
  return rc;
}

int comIoSyncDir(const char* dir) {
  const int rc = IoSyncDir(dir);
  if (rc != 0) Failed("flush", dir);
  return rc;
}

int comIoOpen(const char* path, int flags, int mode) {
  const int rc = IoOpen(path, flags, mode);
  if (rc < 0) Failed("open", path);
  return rc;
}

int comIoMkdir(const char* path, int mode) {
  const int rc = IoMkdir(path, mode);
  if (rc != 0) Failed("mkdir", path);
  return rc;
}

int comIoUnlink(const char* path) {
  const int rc = IoUnlink(path);
  if (rc != 0) Failed("unlink", path);
  return rc;
}

int comIoRename(const char* from, const char* to) {
  const int rc = IoRename(from, to);
  if (rc != 0) Failed("rename", from);
  return rc;
}

int comIoRmdir(const char* path) {
  const int rc = IoRmdir(path);
  if (rc != 0) Failed("rmdir", path);
  return rc;
}

int comIoStat(const char* path, struct stat* st) {
  const int rc = IoStat(path, st);
  if (rc != 0) Failed("stat", path);
  return rc;
}

int comIoLstat(const char* path, struct stat* st) {
  const int rc = IoLstat(path, st);
  if (rc != 0) Failed("stat", path);
  return rc;
}
