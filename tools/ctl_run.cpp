#include "tools/ctl_run.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <string>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comdate.h"
#include "common/comguard.h"
#include "common/comproc.h"
#include "stores/cvelschedulermodule.h"
#include "stores/runjournal.h"
#include "stores/schedulerdefs.h"
#include "stores/schedulerprogram.h"
#include "tools/ctl_home.h"
#include "tools/ctl_policy.h"
#include "tools/ctl_report.h"

namespace {

// Ignores SIGINT and SIGQUIT for its lifetime, as a shell does while it
// waits for a foreground job: the terminal's signals are for the module.
class TerminalSignalsIgnored {
 public:
  TerminalSignalsIgnored() {
    struct sigaction ignore;
    memset(&ignore, 0, sizeof(ignore));
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    savedInt_ = sigaction(SIGINT, &ignore, &int_) == 0;
    savedQuit_ = sigaction(SIGQUIT, &ignore, &quit_) == 0;
  }
  ~TerminalSignalsIgnored() {
    if (savedInt_) sigaction(SIGINT, &int_, nullptr);
    if (savedQuit_) sigaction(SIGQUIT, &quit_, nullptr);
  }
  TerminalSignalsIgnored(const TerminalSignalsIgnored&) = delete;
  TerminalSignalsIgnored& operator=(const TerminalSignalsIgnored&) = delete;

 private:
  struct sigaction int_;
  struct sigaction quit_;
  bool savedInt_;
  bool savedQuit_;
};

struct timespec MonotonicNow() {
  struct timespec now = {0, 0};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

// Appends a journal line whose last field is the by-hand marker. 1 written,
// 0 journal off, -1 failed (with a warning on standard error).
int Journal(std::initializer_list<const char*> fields) {
  const char* line[8];
  int count = 0;
  for (const char* field : fields) {
    if (count < 7) line[count++] = field;
  }
  line[count++] = kRunJournalByHand;
  int rc = runJournalAppend(line, count);
  if (rc < 0) {
    char path[kComPathMax];
    S3ComPathEditData(kRunJournalFile, path);
    fprintf(stderr, "schedulerctl: run: warning: %s: %s; the run is not journalled\n", path,
            ctlReason(errno));
  }
  return rc;
}

}  // namespace

int ctlRun(const char* home, int id) {
  int status = ctlRequireModule("run", id);
  if (status != kCtlExitOk) return status;
  CvelSchedulerModule module;
  int rc = module.Get(id);
  char file[kComPathMax];
  module.GetFileName(file);
  if (rc == kResNoEntry) {
    char path[kComPathMax];
    S3ComPathEditData(file, path);
    return ctlError(
        "run: %s: the record of module %d is missing (the daemon removes the module "
        "when it is due)",
        path, id);
  }
  if (rc != 0) return ctlFail("run", file, rc);

  const char* execute = module.GetExecute();
  char program[kSchedProgramPathSize];
  SchedulerProgramFrom from = schedulerResolveProgram(execute, program);
  if (from == SchedulerProgramFrom::kNone) {
    char inHome[kComPathMax];
    S3ComPathEditModule(execute, inHome);
    return ctlError(
        "run: module %d: its program '%s' is found neither as ./%s in the current directory "
        "nor as %s (the daemon skips the module)",
        id, execute, execute, inHome);
  }
  struct stat st;
  if (stat(program, &st) != 0) {
    return ctlError("run: module %d: its program %s: %s", id, program, ctlReason(errno));
  }
  if (!S_ISREG(st.st_mode) || access(program, X_OK) != 0) {
    return ctlError("run: module %d: its program %s is not an executable file", id, program);
  }

  // The hour and minute as the daemon passes them at a wake-up, "%02d".
  char now[16];
  comGetNowAll(now);
  char hour[3];
  char minute[3];
  snprintf(hour, sizeof(hour), "%.2s", now + 8);
  snprintf(minute, sizeof(minute), "%.2s", now + 10);
  char* argv[] = {program, const_cast<char*>(home), hour, minute, nullptr};

  // What this process buffered must come out before the module's output.
  fflush(stdout);
  fflush(stderr);
  // A module with a run policy holds its lock while it runs by hand too, so
  // the daemon skips it meanwhile when its overlap is skip; a module whose
  // run goes on and whose overlap is skip is not started here either.
  ComProcExtra extra;
  if (ctlPolicyByHand(id, &extra.heldFd) == 0) return kCtlExitFailed;
  ComFd lock(extra.heldFd);
  TerminalSignalsIgnored ignored;
  int child = 0;
  if (comProcStartKeepOutput(argv, extra, &child) != 0) {
    return ctlError("run: module %d: cannot start %s: %s", id, program, ctlReason(errno));
  }
  if (lock.ok()) {
    RunLockHolder holder;
    holder.pid = child;
    holder.since = comTime();
    holder.byHand = true;
    (void)runLockRecord(lock.get(), holder);
    lock.Close();  // the module holds its own copy
  }
  struct timespec started = MonotonicNow();
  char due[8];
  snprintf(due, sizeof(due), "%s:%s", hour, minute);
  std::string moduleId = std::to_string(id);
  std::string childPid = std::to_string(child);
  bool journalled = Journal({"run", due, moduleId.c_str(), childPid.c_str(), program}) == 1;

  int wstatus = 0;
  const pid_t reaped = comProcWait(child, &wstatus);
  if (reaped < 0) {
    return ctlError("run: module %d: cannot wait for process %d: %s", id, child, ctlReason(errno));
  }
  struct timespec ended = MonotonicNow();
  long long seconds = static_cast<long long>(ended.tv_sec - started.tv_sec);
  if (ended.tv_nsec < started.tv_nsec) --seconds;
  if (seconds < 0) seconds = 0;

  char result[32];
  int exitStatus;
  if (WIFSIGNALED(wstatus)) {
    snprintf(result, sizeof(result), "signal %d", WTERMSIG(wstatus));
    exitStatus = 128 + WTERMSIG(wstatus);
  } else {
    exitStatus = WEXITSTATUS(wstatus);
    snprintf(result, sizeof(result), "status %d", exitStatus);
  }
  if (journalled) {
    std::string runTime = std::to_string(seconds);
    Journal({"exit", childPid.c_str(), moduleId.c_str(), result, runTime.c_str()});
  }
  if (exitStatus != 0) fprintf(stderr, "schedulerctl: run: module %d ended with %s\n", id, result);
  return exitStatus;
}
