// The file layer's calls on paths and descriptors, and their seam. Paths
// below the data home are resolved by common/comfile_home.cpp.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "common/com.h"
#include "common/comfile.h"
#include "common/comfile_internal.h"
#include "common/comfile_seam.h"
#include "common/comguard.h"


// ---- The seam -----------------------------------------------------------------

namespace {

const ComIoHooks* ioHooks = nullptr;

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

using file_layer::Failed;
using file_layer::FailedFd;
using file_layer::Locate;
using file_layer::OpenPath;
using file_layer::Refuse;
using file_layer::Where;

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

int comIoSyncRound(const ComIoFlush* flushes, int n) {
  const auto one = [](const ComIoFlush& f) { return f.fd >= 0 ? IoSync(f.fd) : IoSyncDir(f.dir); };
  std::vector<int> errs(static_cast<size_t>(n > 0 ? n : 0), 0);
  if (ioHooks != nullptr || n <= 2) {
    const ComIoCall round = Call(kComIoRound, -1, nullptr);
    if (n > 1) After(round, 0);
    for (int i = 0; i < n; ++i) errs[i] = one(flushes[i]) == 0 ? 0 : errno;
    if (n > 1) After(Call(kComIoRoundEnd, -1, nullptr), 0);
  } else {
    // Each helper only flushes and records its errno; the failure notes are
    // made here, in the caller's thread.
    std::vector<std::thread> helpers;
    for (int i = 1; i < n; ++i) {
      try {
        helpers.emplace_back([&, i] { errs[i] = one(flushes[i]) == 0 ? 0 : errno; });
      } catch (const std::exception&) {
        errs[i] = one(flushes[i]) == 0 ? 0 : errno;  // no thread: inline
      }
    }
    errs[0] = one(flushes[0]) == 0 ? 0 : errno;
    for (std::thread& t : helpers) t.join();
  }
  for (int i = 0; i < n; ++i) {
    // A directory that is gone (a rollback removed it) has nothing to flush.
    if (errs[i] == 0 || (flushes[i].fd < 0 && errs[i] == ENOENT)) continue;
    errno = errs[i];
    if (flushes[i].fd >= 0) {
      FailedFd("flush", flushes[i].fd);
    } else {
      Failed("flush", flushes[i].dir);
    }
    errno = errs[i];
    return -1;
  }
  return 0;
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
