// File and directory helpers, descriptor reads and writes, and the log.
#include "common/comfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/com.h"
#include "common/comdate.h"
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

namespace {

bool IsDotEntry(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Builds parent + "/" + name into a kComPathMax buffer. A child path that
// would not fit is refused with ENAMETOOLONG rather than cut: a cut path
// names some other file, and these paths are stat'ed and deleted.
bool ChildPath(const char* parent, const char* name, char* out) {
  int n = snprintf(out, kComPathMax, "%s/%s", parent, name);
  if (n < 0 || n >= kComPathMax) {
    errno = ENAMETOOLONG;
    return false;
  }
  return true;
}

struct EntryKind {
  bool isDir;   // a directory, following a symbolic link
  bool isLink;  // the entry itself is a symbolic link
};

// Examines one entry. A link counts as what it points to (a link to a
// directory is a directory to the walk callback and to the delete
// predicate). 0, or -1 with errno when the entry's status cannot be read (it
// vanished, a permission is missing, or it is a link to nothing).
int Examine(const char* path, EntryKind* kind) {
  struct stat st;
  if (lstat(path, &st) != 0) return -1;
  kind->isLink = S_ISLNK(st.st_mode);
  if (kind->isLink && stat(path, &st) != 0) return -1;
  kind->isDir = S_ISDIR(st.st_mode);
  return 0;
}

// Removes one selected entry. A symbolic link is removed as a link, never
// followed: deleting a tree must not reach into the tree a link points to.
int DeleteEntry(const char* path, const EntryKind& kind) {
  if (kind.isDir && !kind.isLink) return comDirDelete(path, nullptr);
  return comIoUnlink(path);
}

// Reads the next entry; null at the end (errno 0) or on a failure (errno
// set).
struct dirent* NextEntry(DIR* dir) {
  errno = 0;
  return readdir(dir);
}

}  // namespace

namespace com_detail {

// Both walk callback forms: exactly one of `callback` and `textCallback` is
// used (neither: the entries are only examined).
int DirSaveFileName(const char* dir, char* out, ComDirCallback callback,
                    ComDirCallbackText textCallback) {
  if (out != nullptr) out[0] = '\0';
  if (dir == nullptr) {
    errno = EINVAL;
    return -1;
  }
  ComDir handle(opendir(dir));
  if (!handle.ok()) return -1;
  char path[kComPathMax];
  const size_t nameOffset = strlen(dir) + 1;  // the bare name inside `path`
  while (struct dirent* entry = NextEntry(handle.get())) {
    if (IsDotEntry(entry->d_name)) continue;
    EntryKind kind;
    if (!ChildPath(dir, entry->d_name, path) || Examine(path, &kind) != 0) return -1;
    char* text = kind.isDir ? path : path + nameOffset;
    int rc = 0;
    if (callback != nullptr) rc = callback(text, out, !kind.isDir);
    if (textCallback != nullptr) rc = textCallback(text, out, !kind.isDir);
    if (rc == 1) return 0;
  }
  return errno == 0 ? 0 : -1;
}

int DirDelete(const char* path, ComDeletePredicate predicate,
              ComDeletePredicateText textPredicate) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  // A symbolic link is removed as a link, never followed into its target.
  struct stat st;
  if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) return comIoUnlink(path);
  ComDir handle(opendir(path));
  if (!handle.ok()) {
    if (errno == ENOENT) return 0;
    if (errno == ENOTDIR) return comIoUnlink(path);
    return -1;
  }
  const bool selective = predicate != nullptr || textPredicate != nullptr;
  char child[kComPathMax];
  const size_t nameOffset = strlen(path) + 1;  // the bare name inside `child`
  while (struct dirent* entry = NextEntry(handle.get())) {
    if (IsDotEntry(entry->d_name)) continue;
    EntryKind kind;
    if (!ChildPath(path, entry->d_name, child) || Examine(child, &kind) != 0) return -1;
    // The predicate may write into the name it is given: the path is built
    // again from the entry before it is deleted.
    if (predicate != nullptr && !predicate(child + nameOffset, !kind.isDir)) continue;
    if (textPredicate != nullptr && !textPredicate(child + nameOffset, !kind.isDir)) continue;
    if (!ChildPath(path, entry->d_name, child) || DeleteEntry(child, kind) != 0) return -1;
  }
  if (errno != 0) return -1;
  handle.Close();
  if (comIoRmdir(path) == 0 || errno == ENOENT) return 0;
  // Entries a predicate kept may leave the directory in place; that is the
  // intended outcome, not a failure.
  if (errno == ENOTEMPTY || errno == EACCES || errno == EEXIST) return selective ? 0 : -1;
  return -1;
}

}  // namespace com_detail

int comDirSaveFileName(const char* dir, char* out, ComDirCallback callback) {
  return com_detail::DirSaveFileName(dir, out, callback, nullptr);
}

int comDirDelete(const char* path, ComDeletePredicate predicate) {
  return com_detail::DirDelete(path, predicate, nullptr);
}

int comFileDelete(const char* dir, const char* prefix, const char* extension) {
  if (dir == nullptr) {
    errno = EINVAL;
    return -1;
  }
  ComDir handle(opendir(dir));
  if (!handle.ok()) return (errno == ENOENT || errno == ENOTDIR) ? 0 : -1;
  // The extension filter selects names that end in "." + extension (a
  // leading "." of the argument is accepted too): it never selects a name
  // that does not carry the extension.
  char suffix[kComPathMax] = "";
  if (prefix == nullptr && extension != nullptr) {
    int n = snprintf(suffix, sizeof(suffix), "%s%s", extension[0] == '.' ? "" : ".", extension);
    if (n < 0 || n >= static_cast<int>(sizeof(suffix))) {
      errno = ENAMETOOLONG;
      return -1;
    }
  }
  size_t prefixLength = prefix != nullptr ? strlen(prefix) : 0;
  size_t suffixLength = strlen(suffix);
  char child[kComPathMax];
  while (struct dirent* entry = NextEntry(handle.get())) {
    const char* name = entry->d_name;
    if (IsDotEntry(name)) continue;
    EntryKind kind;
    if (!ChildPath(dir, name, child) || Examine(child, &kind) != 0) return -1;
    if (prefix != nullptr) {
      if (strncmp(name, prefix, prefixLength) != 0) continue;
    } else if (extension != nullptr) {
      size_t length = strlen(name);
      if (length < suffixLength || strcmp(name + length - suffixLength, suffix) != 0) continue;
    }
    if (DeleteEntry(child, kind) != 0) return -1;
  }
  return errno == 0 ? 0 : -1;
}

int comFileGetSize(const char* path) {
  struct stat st;
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (stat(path, &st) != 0) return -1;
  // The size is an int: a file of 2 GiB or more reads as INT_MAX, which
  // still says "exists" to the callers that test the sign.
  if (st.st_size > INT_MAX) return INT_MAX;
  return static_cast<int>(st.st_size);
}

int comPathRename(const char* from, const char* to) {
  if (comIoRename(from, to) == 0) return 0;
  if (errno != EEXIST) return -1;
  comIoUnlink(to);
  return comIoRename(from, to);
}

int comDirCreate(const char* path) {
  const ComIoCall call = Call(kComIoMkdir, -1, path);
  if (Before(call) != 0) return -1;
  return After(call, mkdir(path, 0755) == 0 ? 0 : -1);
}

namespace {

// Creates the directory that contains `path`. `mustBeNew` gives the
// caller-facing rule (a directory that already exists is -1); the inner
// levels only need the directory to exist, so that two processes creating
// the same chain at once both succeed.
int CreateParents(const char* path, bool mustBeNew) {
  char dir[kComPathMax];
  comGetDirName(path, dir, sizeof(dir));
  if (dir[0] == '\0') {
    errno = ENOENT;
    return -1;
  }
  if (comDirCreate(dir) == 0) return 0;
  if (errno == EEXIST) return mustBeNew ? -1 : 0;
  if (errno != ENOENT) return -1;
  if (CreateParents(dir, false) != 0) return -1;
  // The parents exist now; if `dir` itself appeared meanwhile (another
  // process, or a path spelt with "//"), the goal is reached all the same.
  if (comDirCreate(dir) == 0 || errno == EEXIST) return 0;
  return -1;
}

}  // namespace

int comDirCreateAll(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  return CreateParents(path, true);
}

int comFileCreate(const char* path) {
  ComFd fd(comIoOpen(path, O_WRONLY | O_CREAT | O_EXCL, 0644));
  if (!fd.ok()) return -1;
  return fd.Close() == 0 ? 0 : -1;
}

int comFileWrite(int fd, const char* buf, int len) {
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

int comFileRead(int fd, char* buf, int len) {
  if (len < 0) {
    errno = EINVAL;
    return -1;
  }
  return static_cast<int>(read(fd, buf, static_cast<size_t>(len)));
}

// ---- Changes that must reach the disk ------------------------------------------

int comIoWriteAll(int fd, const void* buf, unsigned long len) {
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

int comIoPwriteAll(int fd, const void* buf, unsigned long len, long long at) {
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

int comIoTruncate(int fd, long long size) {
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

int comIoSync(int fd) {
  const ComIoCall call = Call(kComIoSync, fd, nullptr);
  if (Before(call) != 0) return -1;
  int rc;
  do {
    rc = fdatasync(fd);
  } while (rc != 0 && errno == EINTR);
  return After(call, rc == 0 ? 0 : -1);
}

int comIoSyncDir(const char* dir) {
  const char* path = dir != nullptr && dir[0] != '\0' ? dir : ".";
  const ComIoCall call = Call(kComIoSyncDir, -1, path);
  if (Before(call) != 0) return -1;
  ComFd fd(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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

int comIoOpen(const char* path, int flags, int mode) {
  const bool creates = (flags & O_CREAT) != 0;
  const ComIoCall call = Call(kComIoCreate, -1, path);
  if (creates && Before(call) != 0) return -1;
  int fd;
  do {
    fd = open(path, flags | O_CLOEXEC, static_cast<mode_t>(mode));
  } while (fd < 0 && errno == EINTR);
  return creates ? After(call, fd) : fd;
}

int comIoUnlink(const char* path) {
  const ComIoCall call = Call(kComIoUnlink, -1, path);
  if (Before(call) != 0) return -1;
  return After(call, unlink(path) == 0 ? 0 : -1);
}

int comIoRename(const char* from, const char* to) {
  ComIoCall call = Call(kComIoRename, -1, from);
  call.to = to;
  if (Before(call) != 0) return -1;
  return After(call, rename(from, to) == 0 ? 0 : -1);
}

int comIoRmdir(const char* path) {
  const ComIoCall call = Call(kComIoRmdir, -1, path);
  if (Before(call) != 0) return -1;
  return After(call, rmdir(path) == 0 ? 0 : -1);
}

int comIoSyncParent(const char* path) {
  char dir[kComPathMax];
  comGetDirName(path, dir, sizeof(dir));
  return comIoSyncDir(dir[0] != '\0' ? dir : (path != nullptr && path[0] == '/' ? "/" : "."));
}

// ---- Log -----------------------------------------------------------------------

namespace {

constexpr int kLogLineSize = 8192;

bool bologinit = false;
char clogfile[kComPathMax] = "";

}  // namespace

void comLogInit(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    bologinit = false;
    clogfile[0] = '\0';
    return;
  }
  // A longer path is cut to the 1023 characters the buffer holds.
  snprintf(clogfile, sizeof(clogfile), "%s", path);
  bologinit = true;
}

void comLogOut(const char* format, ...) {
  if (!bologinit) return;
  // Logging is a side channel: it leaves the caller's errno as it found it
  // (the daemon logs the errno of a failed call and may look at it again).
  int saved = errno;
  ComFd fd(open(clogfile, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
  if (fd.ok()) {
    char line[kLogLineSize];
    struct tm now;
    memset(&now, 0, sizeof(now));
    comLocalTime(comTime(), &now);
    int n = snprintf(line, sizeof(line), "%02d/%02d/%02d %02d:%02d:%02d ", now.tm_year + 1900,
                     now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
    if (n > 0) comFileWrite(fd.get(), line, static_cast<int>(strlen(line)));
    va_list args;
    va_start(args, format);
    // A message longer than the buffer is cut to its first 8191 characters.
    n = vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (n > 0) comFileWrite(fd.get(), line, static_cast<int>(strlen(line)));
  }
  fd.Close();
  errno = saved;
}
