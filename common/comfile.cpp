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
#include "common/comproc.h"

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
  bool isDir;   // a directory (outside the home: following a symbolic link)
  bool isLink;  // the entry itself is a symbolic link
};

// Examines one entry for a deletion. Outside the home a link counts as what
// it points to (a link to a directory is a directory to the delete
// predicate); below the home a link is never followed and counts as a file.
// 0, or -1 with errno when the entry's status cannot be read (it vanished, a
// permission is missing, or it is a link to nothing outside the home).
int Examine(const char* path, EntryKind* kind) {
  struct stat st;
  if (comIoLstat(path, &st) != 0) return -1;
  kind->isLink = S_ISLNK(st.st_mode);
  if (kind->isLink && comHomeHolds(path)) {
    kind->isDir = false;
    return 0;
  }
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
  ComDir handle(comIoOpenDir(dir));
  if (!handle.ok()) return -1;
  char path[kComPathMax];
  const size_t nameOffset = strlen(dir) + 1;  // the bare name inside `path`
  while (struct dirent* entry = NextEntry(handle.get())) {
    if (IsDotEntry(entry->d_name)) continue;
    // Outside the home a link counts as what it points to; below it the
    // walk refuses it (ELOOP).
    struct stat st;
    if (!ChildPath(dir, entry->d_name, path) || comIoStat(path, &st) != 0) return -1;
    const bool isDir = S_ISDIR(st.st_mode);
    char* text = isDir ? path : path + nameOffset;
    int rc = 0;
    if (callback != nullptr) rc = callback(text, out, !isDir);
    if (textCallback != nullptr) rc = textCallback(text, out, !isDir);
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
  if (comIoLstat(path, &st) == 0 && S_ISLNK(st.st_mode)) return comIoUnlink(path);
  ComDir handle(comIoOpenDir(path));
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
  ComDir handle(comIoOpenDir(dir));
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

namespace {

// comFileGetSize through `examine` (comIoStat, or stat for a program).
int SizeBy(int (*examine)(const char*, struct stat*), const char* path) {
  struct stat st;
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (examine(path, &st) != 0) return -1;
  // The size is an int: a file of 2 GiB or more reads as INT_MAX, which
  // still says "exists" to the callers that test the sign.
  if (st.st_size > INT_MAX) return INT_MAX;
  return static_cast<int>(st.st_size);
}

}  // namespace

int comFileGetSize(const char* path) {
  return SizeBy(comIoStat, path);
}

int comFileGetSizeFollow(const char* path) {
  return SizeBy(stat, path);
}

int comPathRename(const char* from, const char* to) {
  if (comIoRename(from, to) == 0) return 0;
  if (errno != EEXIST) return -1;
  comIoUnlink(to);
  return comIoRename(from, to);
}

int comDirCreate(const char* path) {
  return comIoMkdir(path, 0755);
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

int comFileRead(int fd, char* buf, int len) {
  if (len < 0) {
    errno = EINVAL;
    return -1;
  }
  return static_cast<int>(read(fd, buf, static_cast<size_t>(len)));
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
  ComFd fd(comIoOpen(clogfile, O_WRONLY | O_CREAT | O_APPEND, 0666));
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

int comIoReplaceFile(const char* path, const void* text, unsigned long len, int mode) {
  char temp[kComPathMax];
  if (snprintf(temp, sizeof(temp), "%s.%d", path, comProcGetID()) >= static_cast<int>(sizeof(temp))) {
    errno = ENAMETOOLONG;
    return -1;
  }
  struct stat st;
  if (comIoStat(path, &st) != 0 && errno != ENOENT) return -1;
  comIoUnlink(temp);
  ComFd fd(comIoOpen(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY, mode));
  if (!fd.ok()) return -1;
  int rc = comIoWriteAll(fd.get(), text, len);
  if (rc == 0) rc = comIoSync(fd.get());
  if (fd.Close() != 0) rc = -1;
  if (rc == 0) rc = comIoRename(temp, path);
  if (rc != 0) {
    const int err = errno;
    comIoUnlink(temp);
    errno = err;
    return -1;
  }
  return comIoSyncParent(path);
}
