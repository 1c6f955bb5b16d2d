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

// What the status record, the per-process status files and the next-alarm
// record say about the daemon, read once.
struct CtlDaemonState {
  enum Kind {
    kNeverRan,    // no status record: no daemon has run on this home
    kRunning,     // the daemon the status record names is alive
    kHandedOver,  // the record names no process; a daemon it was taken from
                  // may still run until its next wake-up (`running`)
    kStopped,     // not running; the record holds its final result
    kKilled,      // not running; the named daemon ended without its shut-down
  };
  Kind kind;
  // The daemon's pid: the live one when `running`, else the one the record
  // names; 0 when there is none.
  int pid;
  bool running;
  bool hasResult;  // the record holds the last daemon's final result
  int result;
  // The planned wake-up as YYYYMMDDhhmm00; empty when no daemon runs or none
  // is recorded (a stopped daemon's last plan means nothing).
  char nextWakeup[15];
};

// The word for `kind` in machine-readable output: "never-ran", "running",
// "handed-over", "stopped", "killed".
const char* ctlDaemonStateName(CtlDaemonState::Kind kind);

// Fills `state`. kCtlExitOk, or kCtlExitFailed after printing which record
// could not be read, in the name of command `what`.
int ctlReadDaemonState(const char* what, CtlDaemonState* state);

// Prints the daemon's pid and whether it is alive, its last result code with
// its meaning, the next wake-up from the next-alarm record, where modules'
// output goes and the end of each failed last run's kept output
// (ctlOutputStatus), and with the run journal on each module's last run and
// result (ctlLogStatus); with `json` one JSON document instead:
//   {"home":..., "daemon":{"pid":N|null,"running":bool,"state":...},
//    "last_result":{"code":N,"meaning":...}|null,
//    "next_wakeup":"YYYY-MM-DD HH:MM"|null,
//    "output":{"mode":...,"failed":[...]},
//    "modules":[{"id":N,"last_run":...,"result":...}, ...]}
// where "modules" is present only while the run journal is on.
int ctlStatus(const char* home, bool json);

// Stops the daemon through its own shut-down: hands the status record to no
// process (pid 0), then, about once a second, lowers the next-alarm record to
// the current minute and sends SIGUSR1, until the daemon's per-process lock
// is free. Without `wait` it returns after at most kCtlStopGraceSeconds (the
// daemon then ends at its next wake-up at the latest); with `wait` it returns
// once the daemon's final status is in the status record, or fails after
// `timeoutSeconds`. No daemon running is success and changes nothing.
int ctlStop(const char* home, bool wait, int timeoutSeconds);

#endif  // TOOLS_CTL_DAEMON_H_
