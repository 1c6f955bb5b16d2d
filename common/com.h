// Text checks, path splitting and the file lock and backup guard shared by
// every part of the system.
#ifndef COMMON_COM_H_
#define COMMON_COM_H_

#include <cstddef>

// Result codes that recur across the system. 0 is success; every failure is
// negative and is passed up unchanged by callers.
constexpr int kResOk = 0;
constexpr int kResNoMemory = -10;          // an allocation failed
constexpr int kResTooLong = -62;           // text too long for a value's capacity
constexpr int kResUnknownField = -70;      // a field name the class does not know
constexpr int kResNoEntry = -110;          // no such file or record (often a normal case)
constexpr int kResLocked = -114;           // file stayed locked by another process
// A unit of work whose writer died changed the file, and its log cannot be
// played back on its own (it is damaged, or a file of it cannot be put back):
// the file is neither read nor written until doctor settles it.
constexpr int kResDeadUnit = -115;
constexpr int kResRequiredEmpty = -10006;  // a required value is empty

// Fixed work buffers that hold paths and names.
constexpr int kComPathMax = 1024;

// ---- Text checks -----------------------------------------------------------
//
// The checks strip the end of the caller's text in place, as their callers
// expect. Each also takes a constant character array (a literal): that text
// is judged as if it had been stripped and is never written.

// Strips trailing blanks, carriage returns and line feeds in place (each one
// becomes a NUL). A null or empty text, or a literal (see comIsWritableText),
// is left alone.
void comRTrimMultiLine(char* text);

// True when `text` is an integer: digits with one optional leading minus sign
// that is followed by at least one digit. Strips the text's end in place first
// (comRTrimMultiLine). Null gives false.
bool comIsNumber(char* text);

// True when `text` is a decimal number ("12", "-0.25", ".5"). Null gives
// false. Strips the text's end in place as comIsNumber does.
bool comIsDouble(char* text);

namespace com_detail {
// The checks on a text that is never written.
bool IsNumberConst(const char* text);
bool IsDoubleConst(const char* text);
}  // namespace com_detail

template <size_t N>
void comRTrimMultiLine(const char (&)[N]) {}
template <size_t N>
bool comIsNumber(const char (&text)[N]) {
  return com_detail::IsNumberConst(text);
}
template <size_t N>
bool comIsDouble(const char (&text)[N]) {
  return com_detail::IsDoubleConst(text);
}

// 0 when `a` and `b` are equal ignoring case (tolower in the current locale),
// -1 otherwise. An equality test, not an ordering. Null reads as "".
int _stricmp(const char* a, const char* b);

// The first place in `text` where `pattern` occurs, stepping over two-byte
// characters (a byte with its high bit set and the byte after it) so that a
// match never starts on a second byte. Null for a null argument or an empty
// text; an empty pattern matches at index 0. As with strstr, the result
// points into `text` and is writable exactly when `text` is.
char* comStrStr(const char* text, const char* pattern);

// Writes the directory part of `path` into `out` (at most outSize - 1 bytes
// and a terminator): the text before the last "/", or up to and including the
// last ":". Two-byte characters are stepped over whole. "/srv/g/x" gives
// "/srv/g", "x" and "/x" give "". REQUIRES: outSize >= 1.
void comGetDirName(const char* path, char* out, int outSize);

// False when `p` lies in the executable's read-only image (string literals,
// const tables, code) or is null; true otherwise (stack, heap, static arrays).
// Operations whose contract strips the caller's text in place use this to
// leave literals untouched: comRTrimMultiLine does not write into one, and the
// number checks then judge the text as if it had been stripped. Linked
// statically into a program, only the executable's literals are recognised;
// in the shared library, those of every object loaded when it is first
// asked (not of one loaded later with dlopen).
bool comIsWritableText(const char* p);

// ---- File locks and backup copies -------------------------------------------
//
// Locks are advisory whole-file fcntl record locks taken with F_SETLK, never
// blocking. Up to `attempts` tries are made, `wait` seconds apart (no wait
// after the last); when every try found the lock held the descriptor is closed
// and -1 is returned with errno EACCES (at once, without a try, when attempts
// <= 0). Any other failure returns -1 with the errno of the call that failed.
// The waits go through comSleep; a signal that ends one early brings the next
// try forward without changing the number of tries.
//
// Every descriptor returned is close-on-exec: a program started by the
// process must not inherit a record file (and keep it open after the
// process died).

// Opens `path` read-only and takes a read lock (none when noLock is set).
// Returns the descriptor or -1 (ENOENT for a missing file).
int comLockFileRead(const char* path, int attempts, int wait, bool noLock);

// Opens `path` read-write (created with mode 0644 together with its missing
// parent directories) and takes a write lock. Returns the descriptor or -1.
int comLockFileWrite(const char* path, int attempts, int wait);

// comLockFileWrite with the caller's open flags in place of O_RDWR|O_CREAT.
int comLockFileWriteShare(const char* path, int attempts, int wait, long flags);

// Write-locks `source` (through comLockFileWriteShare with `flags` when
// `share` is set), copies its bytes to a fresh file at `backup` and returns the
// still locked descriptor of `source` positioned at offset 0, or -1. A read
// error on `source` fails the backup rather than leave a short copy. On
// failure no partial backup copy is left behind and the source is closed
// (its lock released). A `backup` equal to `source` is refused (EINVAL).
int comFileBackUp(const char* source, const char* backup, int attempts, int wait, bool share,
                  long flags);

// The pid of a process that holds a write lock on `path` (on any part of it;
// when several do, one of them), 0 when no process does, or -1 with errno: the file cannot be opened (ENOENT:
// it does not exist) or asked, or the write lock belongs to an open file
// description (F_OFD_SETLK) and so to no process (EAGAIN). A read lock is
// never reported: the per-process status lock that proves a daemon alive is
// a write lock, and only a write lock shuts every other process out. Opens
// the file read-only through the file layer (no link below the data home
// followed) and takes no lock itself.
// REQUIRES: not called by a process that holds a lock on the file itself:
// its own locks never conflict (F_GETLK reports none), and closing the
// descriptor it opened here would end them.
int comLockHolder(const char* path);

// Copies `source` to `target` (created with mode 0666, truncated, and
// exclusive when `exclusive` is non-zero). 1 on success, 0 on failure with
// errno telling why. Takes no lock. A failed read or write deletes the partly
// written target; a target that could not be opened is left as it was.
int comCopyFile(const char* source, const char* target, int exclusive);

#endif  // COMMON_COM_H_
