// The daemon's two signals, their handlers and the masks that confine them
// to the sleep.
#include "scheduler/schedulersignals.h"

#include <cerrno>
#include <cstring>

#include "common/comfile.h"
#include "scheduler/schedulerdispatch.h"
#include "stores/schedulerdefs.h"

namespace {

int installHandler(int sig, void (*handler)(int)) {
  struct sigaction action;
  memset(&action, 0, sizeof(action));
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // ppoll and pselect are never restarted, so the sleep still ends early.
  action.sa_flags = SA_RESTART;
  if (sig == SIGCHLD) action.sa_flags |= SA_NOCLDSTOP;
  return sigaction(sig, &action, nullptr);
}

}  // namespace

int schedulerInstallHandlers() {
  if (installHandler(SIGUSR1, schedulerModuleExec_change) != 0) {
    comLogOut("signal error[%d]\n", errno);
  }
  if (installHandler(SIGCHLD, schedulerModuleExec_childend) != 0) return kResSchedHandlerFailed;
  return 0;
}

void schedulerModuleExec_change(int) {}

void schedulerSleepMask(sigset_t* during) {
  if (sigprocmask(SIG_BLOCK, nullptr, during) != 0) sigemptyset(during);
  sigdelset(during, SIGUSR1);
  sigdelset(during, SIGCHLD);
}

SchedulerWakeSignalsHeld::SchedulerWakeSignalsHeld() {
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, SIGUSR1);
  sigaddset(&wake, SIGCHLD);
  held_ = sigprocmask(SIG_BLOCK, &wake, &previous_) == 0;
}

SchedulerWakeSignalsHeld::~SchedulerWakeSignalsHeld() {
  if (held_) sigprocmask(SIG_SETMASK, &previous_, nullptr);
}
