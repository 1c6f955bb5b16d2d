// Starting programs as child processes, the process id, and signals that
// reach only a proven lock holder.
#include "common/comproc.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/com.h"
#include "common/comguard.h"

#if defined(__linux__)
#include <sys/syscall.h>
#if __has_include(<sys/pidfd.h>)
// glibc 2.36 declares these calls without C linkage for C++ callers; the
// headers it includes are in already, so only its own declarations are
// wrapped.
extern "C" {
#include <sys/pidfd.h>
}
#define COM_HAVE_PIDFD_H 1
#endif
#endif

// Not declared by every system's <unistd.h>.
extern char** environ;

namespace {

constexpr char kConsole[] = "/dev/console";
constexpr char kNullDevice[] = "/dev/null";

// The child's exit status when the program cannot be executed.
constexpr int kExecFailedStatus = 1;

// Points `target` at `output`, or at the null device when there is no output
// or the copy fails (and closes it when the null device is not open either).
// 0, or -1 when `target` did not get the output.
int Redirect(int output, int nullFd, int target) {
  if (output >= 0 && dup2(output, target) == target) return 0;
  if (nullFd >= 0) {
    dup2(nullFd, target);
  } else {
    close(target);
  }
  return -1;
}

// Moves a descriptor that landed on 0, 1 or 2 (the parent had that standard
// stream closed) above them, so that redirecting one standard stream never
// overwrites the source of another. -1 stays -1.
int AboveStdio(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  int moved = fcntl(fd, F_DUPFD, STDERR_FILENO + 1);
  close(fd);
  return moved;
}

// Every signal whose disposition the child must get back as default: the
// ones this process catches or ignores. Caught ones would be reset by exec
// anyway; ignored ones would otherwise stay ignored in the program.
void NonDefaultSignals(sigset_t* set) {
  sigemptyset(set);
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction current;
    if (sigaction(sig, nullptr, &current) != 0) continue;
    if (current.sa_handler != SIG_DFL) sigaddset(set, sig);
  }
}

// glibc's posix_spawn sets the signals it keeps for itself (those from
// __SIGRTMIN up to SIGRTMIN) to "ignored" in the child unless they are in the
// set to default, and that ignoring would outlive the exec; its sigaddset
// refuses those signals, so their bits are set in the set's words directly.
// Elsewhere the set is left as it is.
void AddLibraryInternalSignals(sigset_t* set) {
#if defined(__GLIBC__) && defined(__SIGRTMIN)
  constexpr size_t kBitsPerWord = 8 * sizeof(set->__val[0]);
  for (int sig = __SIGRTMIN; sig < SIGRTMIN; ++sig) {
    const size_t bit = static_cast<size_t>(sig - 1);
    set->__val[bit / kBitsPerWord] |= 1UL << (bit % kBitsPerWord);
  }
#else
  (void)set;
#endif
}

// The signal set-up every started program gets: default dispositions for
// the signals in `defaults`, nothing blocked (the daemon starts its modules
// with its wake-up signals blocked). Runs between fork and exec.
void ResetSignals(const sigset_t* defaults) {
  struct sigaction byDefault;
  memset(&byDefault, 0, sizeof(byDefault));
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(defaults, sig) == 1) sigaction(sig, &byDefault, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

// The descriptor of `path` opened with `flags`, moved above the standard
// streams and closed on exec (the child gets it only through a copy), or -1.
// Opened without blocking, so that an output nobody reads yet (a FIFO) fails
// here instead of stopping the caller; the descriptor then blocks as usual.
int OpenForChild(const char* path, int flags) {
  int fd = open(path, flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  if (fd >= 0 && fd <= STDERR_FILENO) {
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    fd = moved;
  }
  int status = fd >= 0 ? fcntl(fd, F_GETFL) : -1;
  if (fd >= 0 && (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0)) {
    close(fd);
    fd = -1;
  }
  return fd;
}

// Where a started program's standard output and error go.
struct ChildOutput {
  enum Kind { kPath, kKeep, kFd } kind;
  const char* path;  // kPath: a file, or the console when null or "/dev/console"
  int fd;            // kFd: a descriptor of the caller's to copy, or -1
  ComProcExtra extra{};
};

// Starts the program with posix_spawnp, with the descriptors and signals the
// fork path gives it. The null device and the output are opened here, in the
// caller, and an output that cannot be opened is replaced by the null device,
// as com_execchgio does. Two cases are left to the fork path, whose child
// opens the files itself: an output whose open would block (a FIFO nobody
// reads yet), which must stop only the child, and a null device that cannot
// be opened. With kKeep the output and error descriptors are left as they
// are; with kFd they get copies of a copy of the caller's descriptor taken
// above the standard streams (so that the copies never overwrite their own
// source). 0 with *pid, or an error number (then no child exists).
int SpawnStart(char* const* argv, const ChildOutput& out, const sigset_t* defaults, pid_t* pid) {
  const bool keepOutput = out.kind == ChildOutput::kKeep;
  const bool console = out.path == nullptr || strcmp(out.path, kConsole) == 0;
  int output = -1;
  if (out.kind == ChildOutput::kFd) {
    output = out.fd >= 0 ? fcntl(out.fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1) : -1;
  } else if (out.kind == ChildOutput::kPath) {
    output = console ? OpenForChild(kConsole, O_WRONLY)
                     : OpenForChild(out.path, O_WRONLY | O_CREAT | O_APPEND);
  }
  const bool wouldBlock = out.kind == ChildOutput::kPath && output < 0 &&
                          (errno == ENXIO || errno == EAGAIN || errno == EWOULDBLOCK);
  int nullFd = OpenForChild(kNullDevice, O_RDWR);
  int rc = !wouldBlock && nullFd >= 0 ? 0 : EAGAIN;
  if (output < 0 && !keepOutput) output = nullFd;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  bool haveActions = false;
  bool haveAttr = false;
  if (rc == 0) rc = posix_spawn_file_actions_init(&actions);
  if (rc == 0) {
    haveActions = true;
    rc = posix_spawnattr_init(&attr);
  }
  if (rc == 0) haveAttr = true;
  // Standard error, then output, then input, as in com_execchgio.
  if (rc == 0 && !keepOutput) {
    rc = posix_spawn_file_actions_adddup2(&actions, output, STDERR_FILENO);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
  }
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(&actions, nullFd, STDIN_FILENO);
  // Last, when the sources of the standard streams are no longer needed:
  // the copy on kComProcHeldFd is the one descriptor the program keeps
  // beyond them (dup2 clears close-on-exec on it).
  int held = -1;
  if (rc == 0 && out.extra.heldFd >= 0) {
    held = fcntl(out.extra.heldFd, F_DUPFD_CLOEXEC, kComProcHeldFd + 1);
    rc = held >= 0 ? posix_spawn_file_actions_adddup2(&actions, held, kComProcHeldFd) : errno;
  }
  sigset_t none;
  sigemptyset(&none);
  sigset_t spawnDefaults = *defaults;
  AddLibraryInternalSignals(&spawnDefaults);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(&attr, &spawnDefaults);
  if (rc == 0) rc = posix_spawnattr_setsigmask(&attr, &none);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (out.extra.ownGroup) {
    flags |= POSIX_SPAWN_SETPGROUP;
    if (rc == 0) rc = posix_spawnattr_setpgroup(&attr, 0);
  }
  if (rc == 0) rc = posix_spawnattr_setflags(&attr, flags);
  if (rc == 0) rc = posix_spawnp(pid, argv[0], &actions, &attr, argv, environ);
  if (haveAttr) posix_spawnattr_destroy(&attr);
  if (haveActions) posix_spawn_file_actions_destroy(&actions);
  if (output >= 0 && output != nullFd) close(output);
  if (nullFd >= 0) close(nullFd);
  if (held >= 0) close(held);
  return rc;
}

// The child's side of both ways to give it its output: points descriptors 2
// and 1 (in that order) at `output`, which lies above the standard streams,
// and 0 at the null device, then closes both sources. 0, or -1 when the
// output was missing or a copy failed (that stream is then on the null
// device). Only open, dup2 and close: nothing that allocates or touches
// stdio, as it runs between fork and exec.
int RedirectStandard(int output) {
  // The null device is opened for reading and writing: it is standard input,
  // and the fallback for output, where a read-only descriptor would turn
  // every write of the program into an error instead of discarding it.
  int nullFd = AboveStdio(open(kNullDevice, O_RDWR));
  int result = 0;
  // Standard error first, then standard output, then standard input.
  if (Redirect(output, nullFd, STDERR_FILENO) != 0) result = -1;
  if (Redirect(output, nullFd, STDOUT_FILENO) != 0) result = -1;
  if (nullFd >= 0) {
    dup2(nullFd, STDIN_FILENO);
  } else {
    close(STDIN_FILENO);
  }
  if (nullFd >= 0) close(nullFd);
  if (output >= 0) close(output);
  return result;
}

}  // namespace

int com_execchgio(const char* outpath) {
  int output;
  if (outpath == nullptr || strcmp(outpath, kConsole) == 0) {
    output = open(kConsole, O_WRONLY);
  } else {
    output = open(outpath, O_WRONLY | O_CREAT | O_APPEND, 0644);
  }
  return RedirectStandard(AboveStdio(output));
}

namespace {

// comProcStart, comProcStartKeepOutput and comProcStartOutput.
int Start(char* const* argv, const ChildOutput& out, int* pid) {
  if (argv == nullptr || argv[0] == nullptr) {
    // Nothing to run: refused before any child exists.
    errno = EINVAL;
    return -1;
  }
  sigset_t defaults;
  NonDefaultSignals(&defaults);
  pid_t child = 0;
  if (SpawnStart(argv, out, &defaults, &child) == 0) {
    *pid = static_cast<int>(child);
    return 0;
  }
  // posix_spawnp reports a program that cannot be executed (missing, not
  // executable, a script without an interpreter line) as an error with no
  // child left, where a started program must always have a child, which ends
  // with exit status 1 when the exec fails (and where execvp runs a script
  // without an interpreter line with the shell). Such a start, and any other
  // failed spawn, is redone with fork and execvp, which gives exactly that,
  // with the same descriptors and signals; fork's errno is the failure.
  child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    ResetSignals(&defaults);
    if (out.kind == ChildOutput::kKeep) {
      int nullFd = open(kNullDevice, O_RDWR);
      if (nullFd < 0) {
        close(STDIN_FILENO);
      } else if (nullFd != STDIN_FILENO) {
        dup2(nullFd, STDIN_FILENO);
        close(nullFd);
      }
    } else if (out.kind == ChildOutput::kFd) {
      RedirectStandard(out.fd >= 0 ? fcntl(out.fd, F_DUPFD, STDERR_FILENO + 1) : -1);
    } else {
      com_execchgio(out.path);
    }
    if (out.extra.ownGroup) setpgid(0, 0);
    // The caller's descriptor is closed on exec; its copy here is not.
    if (out.extra.heldFd == kComProcHeldFd) {
      fcntl(kComProcHeldFd, F_SETFD, 0);
    } else if (out.extra.heldFd >= 0 && dup2(out.extra.heldFd, kComProcHeldFd) < 0) {
      _exit(kExecFailedStatus);
    }
    execvp(argv[0], argv);
    // _exit, not exit: the parent's atexit handlers and stdio buffers belong
    // to the parent and must not run or flush a second time here.
    _exit(kExecFailedStatus);
  }
  // Also from here, so that the group exists before the caller may signal it.
  if (out.extra.ownGroup) setpgid(child, child);
  *pid = static_cast<int>(child);
  return 0;
}

}  // namespace

int comProcStart(char* const* argv, const char* outpath, int* pid) {
  return Start(argv, ChildOutput{ChildOutput::kPath, outpath, -1}, pid);
}

int comProcStart(char* const* argv, const char* outpath, const ComProcExtra& extra, int* pid) {
  return Start(argv, ChildOutput{ChildOutput::kPath, outpath, -1, extra}, pid);
}

int comProcStartKeepOutput(char* const* argv, const ComProcExtra& extra, int* pid) {
  return Start(argv, ChildOutput{ChildOutput::kKeep, nullptr, -1, extra}, pid);
}

int comProcStartOutput(char* const* argv, int outFd, const ComProcExtra& extra, int* pid) {
  return Start(argv, ChildOutput{ChildOutput::kFd, nullptr, outFd, extra}, pid);
}

int comProcStartKeepOutput(char* const* argv, int* pid) {
  return Start(argv, ChildOutput{ChildOutput::kKeep, nullptr, -1}, pid);
}

int comProcStartOutput(char* const* argv, int outFd, int* pid) {
  return Start(argv, ChildOutput{ChildOutput::kFd, nullptr, outFd}, pid);
}

int comProcExec(char* const* argv, const char* outpath, int wait, long* exitStatus, long* errNo) {
  long unusedStatus;
  long unusedErr;
  if (exitStatus == nullptr) exitStatus = &unusedStatus;
  if (errNo == nullptr) errNo = &unusedErr;
  *exitStatus = 0;
  *errNo = 0;
  int started = 0;
  if (comProcStart(argv, outpath, &started) != 0) {
    *errNo = errno;
    return -1;
  }
  const pid_t child = started;
  if (wait == 0) return 0;

  // Waits for this child only, so that other children stay for whoever
  // reaps them.
  int status = 0;
  const pid_t reaped = comProcWait(child, &status);
  if (reaped < 0) {
    // Someone else reaped the child first (a child-exit handler calling
    // wait): its exit status is lost. That is reported as a failure whose
    // status is unknown (-1, which no exit status can be) with the errno of
    // the failed wait (ECHILD), never as a success.
    *errNo = errno;
    *exitStatus = -1;
    return -2;
  }
  // A child ended by a signal has no exit status and counts as success.
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
  if (code == 0) return 0;
  *errNo = errno;
  *exitStatus = code;
  return -2;
}

int comProcGetID() {
  return static_cast<int>(getpid());
}

pid_t comProcWait(pid_t pid, int* status) {
  pid_t reaped;
  do {
    reaped = waitpid(pid, status, 0);
  } while (reaped < 0 && errno == EINTR);
  return reaped;
}

namespace {

// A descriptor that names one process for as long as it is open, whatever
// pid that process had; -1 with errno ENOSYS where the system has none.
int PidfdOpen(int pid) {
#if defined(COM_HAVE_PIDFD_H)
  return pidfd_open(static_cast<pid_t>(pid), 0);
#elif defined(__linux__) && defined(SYS_pidfd_open)
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

int PidfdSignal(int pidfd, int sig) {
#if defined(COM_HAVE_PIDFD_H)
  return pidfd_send_signal(pidfd, sig, nullptr, 0);
#elif defined(__linux__) && defined(SYS_pidfd_send_signal)
  return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
#else
  (void)pidfd;
  (void)sig;
  errno = ENOSYS;
  return -1;
#endif
}

}  // namespace

// The pidfd is taken before the lock is checked: if the process that had
// `pid` then ends and the pid goes to another process, the descriptor still
// names the first one, and the signal fails with ESRCH instead of reaching
// the second. pidfd_open itself never answers EPERM; a system call filter
// that refuses it does (systemd's SystemCallErrorNumber=EPERM), and is taken
// for a system without pidfds.
int comProcSignalHolder(int pid, const char* lockPath, int sig) {
  // kill would take 0 and negative pids for process groups; and this
  // process's own probe would drop its own locks.
  if (pid <= 0 || lockPath == nullptr || pid == comProcGetID()) {
    errno = EINVAL;
    return -1;
  }
  ComFd pidfd(PidfdOpen(pid));
  if (!pidfd.ok()) {
    // ESRCH: no such process; EINVAL: a thread that leads no process. No
    // daemon either way.
    if (errno == ESRCH || errno == EINVAL) return 0;
    if (errno != ENOSYS && errno != EPERM) return -1;
  }
  if (comLockHolder(lockPath) != pid) return 0;
  const int sent = pidfd.ok() ? PidfdSignal(pidfd.get(), sig) : kill(pid, sig);
  return sent == 0 ? 1 : -1;
}
