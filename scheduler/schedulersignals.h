// The daemon's two signals: SIGUSR1, by which another program says that it
// lowered the next-alarm record, and SIGCHLD, by which a module's end is
// known; their handlers and the mask that holds them while a sleep is
// prepared.
//
// Guarantees: a handler is installed with SA_RESTART, so a record read or
// write that a signal interrupts restarts instead of failing, while the
// sleep (never restarted) ends early; SIGCHLD with SA_NOCLDSTOP, so a module
// stopped by job control is not taken for one that ended. Neither signal
// ever ends the process once its handler is installed.
#ifndef SCHEDULER_SCHEDULERSIGNALS_H_
#define SCHEDULER_SCHEDULERSIGNALS_H_

#include <signal.h>

// Installs `handler` for `sig` as described above. 0, or -1 with errno.
int schedulerInstallHandler(int sig, void (*handler)(int));

// Installs schedulerModuleExec_change for SIGUSR1; a failure is logged
// ("signal error[%d]\n" with errno, through comLogOut) and otherwise ignored.
void schedulerInstallAlarmChangeHandler();

// SIGUSR1 handler: does nothing; its only effect is that the signal cuts the
// sleep short instead of ending the process.
void schedulerModuleExec_change(int sig);

// The mask to sleep under: the current one without SIGUSR1 and SIGCHLD.
void schedulerSleepMask(sigset_t* during);

// Holds SIGUSR1 and SIGCHLD blocked for the life of the object and then
// restores the mask it found. The sleep lets them in, so one that arrives
// while a wake-up is chosen and published stays pending and cuts the coming
// sleep short at once; unblocked, it would be spent before the sleep began
// and leave the daemon asleep past a time lowered just then.
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
