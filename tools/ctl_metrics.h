// schedulerctl HOME metrics: the data home's state as gauges and counters in the plain-text
// exposition format that a node exporter's textfile collector reads, so that
// a cron job or timer can keep a .prom file up to date:
//
//   schedulerctl HOME metrics > F.$$ && mv F.$$ F    (F: DIR/scheduler.prom)
//
// Every family carries its # HELP and # TYPE lines; every sample line is
// "NAME VALUE" or "NAME{LABELS} VALUE" with an integer value. The families are:
//   scheduler_daemon_up                        1 while a daemon runs on HOME, else 0
//   scheduler_next_wakeup_timestamp_seconds    the running daemon's planned wake-up
//                                              (Unix time); absent when unknown
//   scheduler_modules                          modules in the module table
//   scheduler_schedule_entries                 schedule entries of those modules
// and, while the run journal is on, per module (labels module="ID", for every
// module the journal names):
//   scheduler_module_runs_total                counter: its run lines
//   scheduler_module_failures_total            counter: its exit lines with a
//                                              status other than 0 or a signal
//   scheduler_module_last_run_timestamp_seconds  Unix time of its last run line
//   scheduler_module_last_exit_status          its last exit: the status, or
//                                              128+N for signal N (as shells
//                                              report it); absent before one
// The counters cover only the journal files present (runs.log and the one
// rotated runs.log.1), so they fall back whenever a rotation drops the oldest
// file, which a rate() over them reads as a counter reset.
// Nothing is written to any file. A record or journal file that cannot be
// read (or a missing module table) prints nothing on standard output and
// fails, so the redirect above never replaces a good file with a partial one.
//
// Returns the process exit status. REQUIRES: the data home has been saved
// (S3ComPathHomeSave) and exists.
#ifndef TOOLS_CTL_METRICS_H_
#define TOOLS_CTL_METRICS_H_

int ctlMetrics();

#endif  // TOOLS_CTL_METRICS_H_
