// The seam of the file layer (common/comfile.h): tests see every change a
// unit of work makes through it, replay them as a power cut would leave
// them, make any call fail, or make the layer resolve paths by its walk.
// Internal to the libraries and their tests: neither installed nor exported
// (hidden visibility keeps the calls out of the shared library's interface
// whatever its version script says).
#ifndef COMMON_COMFILE_SEAM_H_
#define COMMON_COMFILE_SEAM_H_

#include "common/comfile.h"

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
  kComIoRound,     // the flushes up to the next kComIoRoundEnd are issued together
  kComIoRoundEnd,  // ... and have all returned
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
__attribute__((visibility("hidden"))) void comSetIoHooks(const ComIoHooks* hooks);
// True while hooks are installed (a shortcut that the hooks could not see,
// such as a copy inside the kernel, is then not taken).
__attribute__((visibility("hidden"))) bool comIoHooked();
// For tests only: true resolves paths below the home by the walk name by
// name even where openat2 exists, so that both ways are tried.
__attribute__((visibility("hidden"))) void comIoResolveByWalk(bool on);

// One flush of a round: the data of the file open at `fd` (when >= 0), or
// the entries of the directory `dir`.
struct ComIoFlush {
  int fd;
  const char* dir;
};
// Issues the `n` flushes at once and waits for all of them, so that the file
// system may cover them with one commit of its own; which of them reach the
// disk first is not known, and a power cut inside the round may keep any of
// them. Helper threads live only inside the call (a fork never meets one).
// A round of two is issued in a row: measured on a virtual disk that serves
// concurrent flushes one by one, a helper's start cost more than the overlap
// gave back (about 215 us together against 195 us in a row), while a round
// of four gained (about 480 against 550 us). Either way the round may end
// with any subset of its flushes on the disk, as a cut inside it can.
// With hooks installed the flushes run one after the other, between a
// kComIoRound and a kComIoRoundEnd. 0 when all reached the disk (a
// directory that is not there is passed), else -1 with errno of the first
// that failed (all are waited for).
__attribute__((visibility("hidden"))) int comIoSyncRound(const ComIoFlush* flushes, int n);

#endif  // COMMON_COMFILE_SEAM_H_
