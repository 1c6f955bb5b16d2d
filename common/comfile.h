// File and directory helpers, descriptor reads and writes, and the
// switchable time-stamped log.
#ifndef COMMON_COMFILE_H_
#define COMMON_COMFILE_H_

// Walk callback of comDirSaveFileName: `entry` is the bare name for a file and
// the full path (dir + "/" + name) for a directory. Returning 1 stops the walk.
typedef int (*ComDirCallback)(const char* entry, char* out, bool isFile);
// Delete predicate of comDirDelete: `name` is the bare entry name; true
// deletes the entry, false keeps it.
typedef bool (*ComDeletePredicate)(const char* name, bool isFile);
// The same callbacks declared with `char*` texts are accepted too (see the
// overloads below). Their `entry` or `name` points into the walk's own work
// buffer: a callback may change it, up to its terminator, without effect on
// the walk.
typedef int (*ComDirCallbackText)(char* entry, char* out, bool isFile);
typedef bool (*ComDeletePredicateText)(char* name, bool isFile);

// The directory helpers below build child paths as dir + "/" + name in
// kComPathMax (1024) byte buffers. An entry whose path would not fit is not
// cut (a cut path names another file): the operation fails with -1 and errno
// ENAMETOOLONG. An entry is a directory when stat, following links, says so;
// an entry whose status cannot be read (a dangling symbolic link among them)
// fails the operation with -1 and stat's errno.

// Empties `out`, then calls `callback` for each entry of `dir` other than "."
// and ".." in the order the directory yields them. 0 after a complete or
// stopped walk; -1 when the directory cannot be opened or read or an entry
// cannot be examined (whatever the callback wrote to `out` stays).
int comDirSaveFileName(const char* dir, char* out, ComDirCallback callback);

// Deletes the tree at `path` (entries the predicate keeps stay, with the
// directory). A missing path is 0; a plain file is unlinked. Symbolic links
// are removed as links and never followed, so a tree that links elsewhere
// never loses what lies outside it. 0 or -1 (a failure half-way leaves what
// was not yet removed).
int comDirDelete(const char* path, ComDeletePredicate predicate);

namespace com_detail {
int DirSaveFileName(const char* dir, char* out, ComDirCallback callback,
                    ComDirCallbackText textCallback);
int DirDelete(const char* path, ComDeletePredicate predicate, ComDeletePredicateText textPredicate);
}  // namespace com_detail

// Overloads for callbacks declared with `char*` texts. They are templates only
// so that a null callback (NULL, nullptr) still picks the functions above.
template <typename = void>
int comDirSaveFileName(const char* dir, char* out, ComDirCallbackText callback) {
  return com_detail::DirSaveFileName(dir, out, nullptr, callback);
}
template <typename = void>
int comDirDelete(const char* path, ComDeletePredicateText predicate) {
  return com_detail::DirDelete(path, nullptr, predicate);
}

// Deletes the entries of `dir` whose names begin with `prefix` (directories
// with their contents), or with no prefix those ending in "." + `extension`
// (a leading "." in `extension` is accepted), or with neither every entry;
// `dir` itself stays. A missing `dir` is 0.
int comFileDelete(const char* dir, const char* prefix, const char* extension);

// The size of what `path` names, or -1 when it cannot be examined (errno set;
// ENOENT when it does not exist). Callers treat a negative size as absence.
// A size of 2 GiB or more reads as INT_MAX (the file still exists).
int comFileGetSize(const char* path);

// rename(from, to), replacing an existing `to`. 0 or -1.
int comPathRename(const char* from, const char* to);

// mkdir(path, 0755). 0, or -1 with errno from mkdir.
int comDirCreate(const char* path);

// Creates the missing directories that contain `path` (path itself, normally
// a file path, is not created). 0, or -1 (also when the directory already
// exists: callers call it after an operation failed for a missing directory).
// Directories that appear meanwhile (another process creating the same chain)
// do not make it fail.
int comDirCreateAll(const char* path);

// Creates `path` exclusively (write-only, mode 0644) and closes it at once.
// 0, or -1 with errno (EEXIST when it exists).
int comFileCreate(const char* path);

// One write(): 0 when exactly `len` bytes were written, else -1 (errno EIO
// for a short write, EINVAL for a negative len).
int comFileWrite(int fd, const char* buf, int len);
// One read(): what read() returned.
int comFileRead(int fd, char* buf, int len);

// ---- Changes that must reach the disk, and their seam ----------------------------
//
// The record store makes every write, truncation, creation, rename, removal
// and flush that a unit of work depends on through these calls, so that a
// test can see each one (and replay them as a power cut would leave them) or
// make any one fail (a full disk, an I/O error) and check that nothing is
// lost. Production code installs no hooks; the calls then cost one test of a
// pointer.

// What a call does, and the fields of ComIoCall it fills.
enum ComIoOp {
  kComIoWrite,     // fd, buf, len; at = the offset, -1 for the descriptor's own
  kComIoTruncate,  // fd; len = the new size
  kComIoSync,      // fd: the file's data and size flushed
  kComIoCreate,    // path: an open with O_CREAT (it may find the file there)
  kComIoMkdir,     // path
  kComIoRename,    // path -> to
  kComIoUnlink,    // path
  kComIoRmdir,     // path
  kComIoSyncDir,   // path: the directory's entries flushed
};
struct ComIoCall {
  ComIoOp op;
  int fd;
  const char* path;
  const char* to;
  const void* buf;
  unsigned long len;
  long long at;
};

// `before` sees every call before it runs: 0 lets it run, a positive errno
// makes it fail with that error before it touches anything. `after` sees
// every call that ran, with its result (the descriptor for a create, else 0;
// -1 when it failed). Either may be null.
struct ComIoHooks {
  int (*before)(const ComIoCall& call);
  void (*after)(const ComIoCall& call, int result);
};

// Installs `hooks` (null removes them); the struct must outlive its use.
// For tests only; one thread.
void comSetIoHooks(const ComIoHooks* hooks);
// True while hooks are installed (a shortcut that the hooks could not see,
// such as a copy inside the kernel, is then not taken).
bool comIoHooked();

// Writes all `len` bytes at the descriptor's offset, restarting after a
// signal or a short write. 0, or -1 with errno (EIO when write wrote nothing).
int comIoWriteAll(int fd, const void* buf, unsigned long len);

// The same at offset `at`, leaving the descriptor's offset alone.
int comIoPwriteAll(int fd, const void* buf, unsigned long len, long long at);

// ftruncate. 0 or -1 with errno. A file that already has that size is left
// alone: a truncate to the same size still marks the size as changed, so the
// next fdatasync commits the file system's journal too (~60 us on ext4 here).
int comIoTruncate(int fd, long long size);

// Flushes a file's data and size to the disk (fdatasync). 0 or -1 with errno.
int comIoSync(int fd);

// Flushes the directory `dir` (its entries: files created, renamed or
// removed in it) to the disk. 0 or -1 with errno.
int comIoSyncDir(const char* dir);

// Flushes the directory that contains `path`. 0 or -1 with errno.
int comIoSyncParent(const char* path);

// open(path, flags | O_CLOEXEC, mode), restarted after a signal; an open with
// O_CREAT is a guarded call. The descriptor, or -1 with errno.
int comIoOpen(const char* path, int flags, int mode);

// unlink, rename (replacing `to`) and rmdir. 0 or -1 with errno.
int comIoUnlink(const char* path);
int comIoRename(const char* from, const char* to);
int comIoRmdir(const char* path);

// Switches the log on with `path` (at most 1023 characters are kept), or off
// for a null or empty path. The log is off when the process starts.
void comLogInit(const char* path);

// When the log is on, appends "YYYY/MM/DD hh:mm:ss " and the formatted
// message to the log file (opened and closed on every call). Messages are cut
// to the 8191 characters of the line buffer. A log that cannot be opened is
// skipped silently. errno is left as it was.
void comLogOut(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif  // COMMON_COMFILE_H_
