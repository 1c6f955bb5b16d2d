// Starting programs as child processes, the process id, signals that reach
// only a proven lock holder, and root taking on the data home's owner.
#ifndef COMMON_COMPROC_H_
#define COMMON_COMPROC_H_

#include <sys/types.h>

// Starts argv[0] (searched along PATH when it has no slash) with `argv` as a
// child process whose standard input is /dev/null and whose output and error
// go to `outpath` (appended, created 0644) or to /dev/console when `outpath` is
// null or "/dev/console". Every signal is at its default disposition and none
// is blocked in the program, whatever the caller ignores or blocks. A program
// that cannot be executed ends its child with exit status 1.
//
// wait == 0: returns 0 as soon as the child exists (the caller reaps it), or
//   -1 when no child could be created (*errNo = errno).
// wait != 0: waits for this child only (other children stay unreaped); 0 when
//   it exited with status 0 (or ended by a signal), else -2 with *exitStatus =
//   its exit status and *errNo = errno. When someone else reaped the child
//   first (a child-exit handler calling wait), its status is unknown: -2 with
//   *exitStatus = -1 and *errNo = ECHILD.
// Both out-parameters are set to 0 on entry (null out-parameters are allowed).
// A null argv or argv[0] starts nothing: -1 with *errNo = EINVAL.
// The child leaves with _exit, so the parent's atexit handlers and stdio
// buffers never run twice.
int comProcExec(char* const* argv, const char* outpath, int wait, long* exitStatus, long* errNo);

// comProcExec without waiting, for a caller that reaps its children itself
// and wants to know which is which: 0 with the child's pid in *pid, or -1
// with errno (EINVAL for a null argv or argv[0]; else that of the failed
// process creation).
int comProcStart(char* const* argv, const char* outpath, int* pid);
// comProcStart for a program an operator starts by hand: standard input from
// /dev/null as for every started program, signals as above, but standard
// output and error stay those of the caller (its terminal, or wherever the
// caller's own output goes).
int comProcStartKeepOutput(char* const* argv, int* pid);
// comProcStart with the child's standard output and error both copies of
// `outFd` (one stream: their writes interleave as they are made), or of
// /dev/null when `outFd` is negative or cannot be copied. The descriptor is
// the caller's: it stays open here, and the child gets only its copies, so
// nothing is left open in the program beyond its three standard streams.
// `outFd` may be one of the caller's own standard streams (STDERR_FILENO).
int comProcStartOutput(char* const* argv, int outFd, int* pid);
// What a start may give the program beyond its standard streams: a
// descriptor of the caller's (`heldFd`, closed on exec in the caller) that
// the program gets a copy of as its descriptor kComProcHeldFd, for a lock it
// must hold for its whole life (an flock belongs to the open description,
// which the copy shares); and a process group of its own (`ownGroup`: its
// pid is the group's id), so that a signal to the group reaches whatever it
// started too. The defaults give neither, as the starts above.
struct ComProcExtra {
  int heldFd = -1;
  bool ownGroup = false;
};
constexpr int kComProcHeldFd = 3;
// The three starts above with `extra`.
int comProcStart(char* const* argv, const char* outpath, const ComProcExtra& extra, int* pid);
int comProcStartKeepOutput(char* const* argv, const ComProcExtra& extra, int* pid);
int comProcStartOutput(char* const* argv, int outFd, const ComProcExtra& extra, int* pid);
// The same for an argument vector of constant texts (literals). execvp never
// writes the texts. A template only so that a null argv still picks the
// function above.
template <typename = void>
int comProcExec(const char* const* argv, const char* outpath, int wait, long* exitStatus,
                long* errNo) {
  return comProcExec(const_cast<char* const*>(argv), outpath, wait, exitStatus, errNo);
}

// The child's side of comProcExec: points descriptors 2 and 1 (in that order)
// at the output and 0 at /dev/null. An output that cannot be opened, or a copy
// that fails, leaves that descriptor on /dev/null (closed when /dev/null
// cannot be opened either). 0, or -1 when the output or a copy failed (the
// child goes on to exec all the same). Works also when the parent had some
// standard descriptors closed.
int com_execchgio(const char* outpath);

// Waits for the child `pid` alone (other children stay for whoever reaps
// them), again after a signal: its pid, or -1 with errno (ECHILD when someone
// else reaped it first).
pid_t comProcWait(pid_t pid, int* status);

// The calling process's id.
int comProcGetID();

// Sends `sig` to process `pid` only when that very process holds a write
// lock on `lockPath` (comLockHolder reports `pid`): a pid read from a file
// that others can write is never trusted on its own. On Linux the process is
// first pinned with pidfd_open, then the lock is checked, then the signal
// goes through pidfd_send_signal, so a pid reused between the check and the
// signal is never hit; where pidfds are missing (ENOSYS, or EPERM from a
// system call filter), and elsewhere, kill follows the check. 1 sent; 0 when
// `pid` holds no such lock (nothing sent: no such process, another process
// holds the lock, none does, or the file cannot be opened or asked); -1 with
// errno when the pin or the signal failed (ESRCH: it ended after the check).
// A pid <= 0 (a process group to kill), a null path, or the caller's own pid
// (whose probe would end its own locks) sends nothing: -1 with EINVAL.
int comProcSignalHolder(int pid, const char* lockPath, int sig);

// When the effective uid is 0 and `home` (its own path may be a link)
// belongs to another user, takes on that user's identity for the rest of the
// process, before anything below the home is touched: its supplementary
// groups (initgroups with its name; none when the uid has no user entry),
// then its primary gid (the user entry's; the home's group when there is no
// entry), then its uid, each checked, and then checks that uid 0 cannot be
// regained (real, effective and saved ids all the owner's; setuid(0) and
// seteuid(0) refused). Files created from then on belong to that user. A
// home that root owns, or a caller that is not root, changes nothing. 1 when
// the identity was changed, 0 when nothing was to change, -1 when the home
// cannot be examined (stat's errno; ENOENT for a missing home), the owner's
// user entry cannot be looked up, or a step failed, with errno and a
// sentence in `why` (`whySize` bytes) naming the step without the system's
// reason: the caller must then stop (a step that failed may have changed
// the groups already).
int comProcActAsOwner(const char* home, char* why, int whySize);

#endif  // COMMON_COMPROC_H_
