// The daemon's two signals: SIGUSR1, by which another program says that it
// lowered the next-alarm record, and SIGCHLD, by which a module's end is
// known.
//
// Guarantees: the loop holds both blocked for its whole life, from start-up
// to shut-down (SchedulerWakeSignalsHeld), and lets them in only inside its
// sleep, under schedulerSleepMask. A handler therefore runs only while the
// loop sleeps and never races it, and a signal that arrives while the loop
// works (chooses and publishes a wake-up, reads the status record, starts a
// module, journals an end) stays pending and cuts the coming sleep short the
// moment it begins. The handlers are installed once, at start-up, with
// SA_RESTART, so that a record read or write interrupted by a signal
// restarts instead of failing, while the sleep (never restarted) still ends
// early; SIGCHLD with SA_NOCLDSTOP, so that a module stopped by job control
// is not taken for one that ended. The modules the daemon starts get an
// empty mask and default dispositions (comProcStart).
#ifndef SCHEDULER_SCHEDULERSIGNALS_H_
#define SCHEDULER_SCHEDULERSIGNALS_H_

#include <signal.h>

// Installs schedulerModuleExec_change for SIGUSR1 and
// schedulerModuleExec_childend for SIGCHLD. 0, or -4405 when the SIGCHLD
// handler could not be installed. A failure for SIGUSR1 is logged ("signal
// error[%d]\n" with errno, through comLogOut) and otherwise ignored.
int schedulerInstallHandlers();

// SIGUSR1 handler: does nothing; its only effect is that the signal cuts the
// sleep short instead of ending the process.
void schedulerModuleExec_change(int sig);

// The mask to sleep under: the current one without SIGUSR1 and SIGCHLD, so
// the two are let in however the daemon was started (a parent that blocked
// them would otherwise leave it unable to wake early or to reap).
void schedulerSleepMask(sigset_t* during);

// Holds SIGUSR1 and SIGCHLD blocked for the life of the object and then
// puts back the mask it found.
class SchedulerWakeSignalsHeld {
 public:
  SchedulerWakeSignalsHeld();
  ~SchedulerWakeSignalsHeld();
  SchedulerWakeSignalsHeld(const SchedulerWakeSignalsHeld&) = delete;
  SchedulerWakeSignalsHeld& operator=(const SchedulerWakeSignalsHeld&) = delete;

 private:
  sigset_t previous_;
  bool held_;
};

#endif  // SCHEDULER_SCHEDULERSIGNALS_H_
