// Starting programs as child processes, and the process id.
#include "common/comproc.h"

#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

}  // namespace

int com_execchgio(const char* outpath) {
  // Runs between fork and exec: only open, dup2 and close, nothing that
  // allocates or touches stdio.
  // The null device is opened for reading and writing: it is standard input,
  // and the fallback for output, where a read-only descriptor would turn
  // every write of the program into an error instead of discarding it.
  int nullFd = AboveStdio(open(kNullDevice, O_RDWR));
  int output;
  if (outpath == nullptr || strcmp(outpath, kConsole) == 0) {
    output = open(kConsole, O_WRONLY);
  } else {
    output = open(outpath, O_WRONLY | O_CREAT | O_APPEND, 0644);
  }
  output = AboveStdio(output);
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

int comProcStart(char* const* argv, const char* outpath, int* pid) {
  if (argv == nullptr || argv[0] == nullptr) {
    // Nothing to run: refused before any child exists.
    errno = EINVAL;
    return -1;
  }
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    com_execchgio(outpath);
    execvp(argv[0], argv);
    // _exit, not exit: the parent's atexit handlers and stdio buffers belong
    // to the parent and must not run or flush a second time here.
    _exit(kExecFailedStatus);
  }
  *pid = static_cast<int>(child);
  return 0;
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
  pid_t reaped;
  do {
    reaped = waitpid(child, &status, 0);
  } while (reaped < 0 && errno == EINTR);
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
