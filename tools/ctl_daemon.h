// The schedulerctl commands that reach the running daemon: filing an alarm
// (and telling the daemon about it), reporting the daemon's state, and
// stopping it. They talk to the daemon only through the status record, the
// next-alarm record and the alarm-change signal (SIGUSR1), and they signal a
// process only while it holds its per-process status lock, so a stale pid
// that the system has since given to another program is never signalled.
//
// Every function returns the process exit status. REQUIRES: the data home
// has been saved (S3ComPathHomeSave); arguments are checked by the caller.
#ifndef TOOLS_CTL_DAEMON_H_
#define TOOLS_CTL_DAEMON_H_

// Seconds that `stop` without --wait keeps nudging the daemon before it
// returns: enough for a daemon that was between two sleeps when the first
// signal came to reach its next sleep and take the second one.
constexpr int kCtlStopGraceSeconds = 3;
// Default bound of `stop --wait`.
constexpr int kCtlStopWaitSeconds = 30;

// Files an alarm for module `id` at `dateTime` (YYYYMMDDhhmm00) with `text`
// (may be empty): appends a record to the alarm file
// scheduler/alarm/YYYY/MMDD/HH/MM/<id> and lowers the next-alarm record when
// the alarm is earlier, as one unit of work; then, when the record was
// lowered, sends SIGUSR1 to the daemon that the status record names. An
// alarm before the current minute is refused (kCtlExitUsage): the daemon
// never looks back.
int ctlAlarmAdd(int id, const char* dateTime, const char* text);

// Prints the daemon's pid and whether it is alive, its last result code with
// its meaning, and the next wake-up from the next-alarm record; with the run
// journal on, also each module's last run and result (ctlLogStatus).
int ctlStatus(const char* home);

// Stops the daemon through its own shut-down: hands the status record to no
// process (pid 0), then, about once a second, lowers the next-alarm record to
// the current minute and sends SIGUSR1, until the daemon's per-process lock
// is free. Without `wait` it returns after at most kCtlStopGraceSeconds (the
// daemon then ends at its next wake-up at the latest); with `wait` it returns
// once the daemon's final status is in the status record, or fails after
// `timeoutSeconds`. No daemon running is success and changes nothing.
int ctlStop(const char* home, bool wait, int timeoutSeconds);

#endif  // TOOLS_CTL_DAEMON_H_
