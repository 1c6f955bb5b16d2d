// File and directory helpers, descriptor reads and writes, and the
// switchable time-stamped log.
#ifndef COMMON_COMFILE_H_
#define COMMON_COMFILE_H_

#include <dirent.h>
#include <sys/stat.h>

#include "common/com.h"  // kComPathMax

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
// ENAMETOOLONG. Outside the data home an entry is a directory when stat,
// following links, says so, and an entry whose status cannot be read (a
// dangling symbolic link among them) fails the operation with -1 and stat's
// errno. Below the data home (see "Paths beneath the data home") no link is
// followed: a walk that meets one fails with -1 and ELOOP, a deletion
// removes it as a link.

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
// ENOENT when it does not exist, ELOOP for a link below the home). Callers
// treat a negative size as absence. A size of 2 GiB or more reads as INT_MAX
// (the file still exists).
int comFileGetSize(const char* path);
// The same with links followed wherever the path lies: for a module's
// program, which may be a link (to an interpreter, say) also in the home.
int comFileGetSizeFollow(const char* path);

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

// ---- Paths beneath the data home -------------------------------------------------
//
// The data home belongs to the service's user, and so does every program it
// runs: whatever lies below the home may have been put there by someone the
// caller has no reason to trust (root's tools among the callers). Once a home
// is bound, every path given to the calls of this file and to the file
// helpers of com.h that lies below the home (its text is the home's text as
// bound, then "/") is resolved beneath one descriptor of the home, and no
// symbolic link below the home is followed, neither in a folder of the path
// nor as its last name:
//  - a link met there fails the call with errno ELOOP, and comHomeRefusedLink
//    names it; a ".." among the names fails it with EXDEV;
//  - each call resolves afresh from the home's descriptor and then acts on
//    the folder it found (openat, mkdirat, renameat, unlinkat, fstatat with
//    AT_SYMLINK_NOFOLLOW), so a folder swapped for a link between two calls
//    is refused by the second, and nothing outside the home is reached.
// On Linux the resolution is one openat2 (RESOLVE_BENEATH, RESOLVE_NO_SYMLINKS,
// RESOLVE_NO_MAGICLINKS); where that call is missing (ENOSYS), and elsewhere,
// a walk name by name with O_NOFOLLOW and O_DIRECTORY. The home's own path is
// opened once, at the first call that needs it, and may itself be a link: its
// owner or root chose it. Paths that do not lie below the home (a module's
// program, a file of the operator's) are used as given, links followed.

// Binds the layer to `home` (its text as given; trailing "/" ignored), or
// unbinds it for a null or empty home. S3ComPathHomeSave calls it. A later
// call with another home closes the descriptor of the earlier one.
void comHomeBind(const char* home);

// The bound home's text ("" when none).
const char* comHomeBound();

// True when `path` lies below the bound home (and is resolved beneath it).
bool comHomeHolds(const char* path);

// `path` as a message shows it: relative to the home when it lies below it
// ("data/scheduler/module/index"), else as it is. Points into `path`.
const char* comHomeShown(const char* path);

// The link below the home that a call refused last, spelt as the home's text,
// "/" and the names up to the link ("" when none since the last
// comHomeClearRefused, or since the binding).
const char* comHomeRefusedLink();
void comHomeClearRefused();

// ---- Why a call failed ----------------------------------------------------------
//
// A result code says what failed; the note says why. The calls of this file
// note the last call that failed for a reason a caller does not expect as an
// answer (a missing file, one that exists already, a folder that is not
// empty are answers and are not noted): its name, the path (for a call on a
// descriptor, the file's path where the system can tell it), and errno. The
// record store notes what it refuses without a failing call (a folder where
// a record file should be) the same way. A program that reports a failed
// operation names the path and the reason from the note.
struct ComFailure {
  const char* call;        // "open", "stat", "rename", "write", ...
  char path[kComPathMax];  // as the caller gave it; "" when not known
  int err;                 // errno; 0 when `why` gives the reason
  const char* why;         // a reason of the caller's own, or null
};

// Notes a failure (over an earlier one); errno is left as it was.
void comNoteFailure(const char* call, const char* path, int err, const char* why = nullptr);
// The last failure noted since comClearFailure, or null.
const ComFailure* comLastFailure();
void comClearFailure();
// The note's reason as a text: `why`, or strerror of its errno. (A link
// below the home that was refused is noted with ELOOP and the link's path;
// comHomeRefusedLink names it too.)
const char* comFailureReason(const ComFailure& failure);

// ---- Changes that must reach the disk, and their seam ----------------------------
//
// The record store makes every write, truncation, creation, rename, removal
// and flush that a unit of work depends on through these calls, so that a
// test can see each one (and replay them as a power cut would leave them) or
// make any one fail (a full disk, an I/O error) and check that nothing is
// lost (the seam itself is common/comfile_seam.h, which is not installed).
// Production code installs no hooks; the calls then cost one test of a
// pointer. Every call that takes a path resolves it by the rules above; the
// hooks see the path as the caller gave it, before it is resolved.

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

// Replaces the file at `path` with one of mode `mode` holding the `len`
// bytes at `text`, durably and at once: they are written to "<path>.<pid>"
// beside it, flushed, renamed over it and its folder flushed, so a reader
// sees the old file or the new one whole, and a crash leaves one of them. A
// link at `path` is refused (ELOOP), never replaced: it is the operator's to
// judge. A temporary file of this pid, left by a process that died while it
// wrote, is removed first. 0, or -1 with errno, the old file as it was and
// no temporary file left.
int comIoReplaceFile(const char* path, const void* text, unsigned long len, int mode);

// open(path, flags | O_CLOEXEC, mode), restarted after a signal; an open with
// O_CREAT is a guarded call. Below the home a link, as the last name too, is
// refused (O_NOFOLLOW). The descriptor, or -1 with errno.
int comIoOpen(const char* path, int flags, int mode);

// mkdir(path, mode), a guarded call. 0 or -1 with errno.
int comIoMkdir(const char* path, int mode);

// unlink, rename (replacing `to`) and rmdir. 0 or -1 with errno. Below the
// home the last name is what is removed or renamed, a link included (a link
// is never followed by these calls); the folders leading to it are resolved
// as above.
int comIoUnlink(const char* path);
int comIoRename(const char* from, const char* to);
int comIoRmdir(const char* path);

// The status of what `path` names. Below the home a link is refused (-1,
// ELOOP); elsewhere a link is followed, as stat does. 0 or -1 with errno.
int comIoStat(const char* path, struct stat* st);
// The status of `path` itself, a link included (lstat); below the home the
// folders leading to it are resolved as above. 0 or -1 with errno.
int comIoLstat(const char* path, struct stat* st);

// opendir(path); below the home a link is refused (null, ELOOP). Close the
// handle with closedir (ComDir). Null with errno on failure.
DIR* comIoOpenDir(const char* path);

// Switches the log on with `path` (at most 1023 characters are kept), or off
// for a null or empty path. The log is off when the process starts.
void comLogInit(const char* path);

// When the log is on, appends "YYYY/MM/DD hh:mm:ss " and the formatted
// message to the log file (opened and closed on every call). Messages are cut
// to the 8191 characters of the line buffer. A log that cannot be opened is
// skipped silently. errno is left as it was.
void comLogOut(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif  // COMMON_COMFILE_H_
