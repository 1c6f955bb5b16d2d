// schedulerctl HOME metrics: the data home's state as gauges in the plain-text
// exposition format that a node exporter's textfile collector reads, so that
// a cron job or timer can keep a .prom file up to date:
//
//   schedulerctl HOME metrics > F.$$ && mv F.$$ F    (F: DIR/scheduler.prom)
//
// Every family carries its # HELP and # TYPE lines; every sample line is
// "NAME VALUE" with an integer value. The families are:
//   scheduler_daemon_up                        1 while a daemon runs on HOME, else 0
//   scheduler_next_wakeup_timestamp_seconds    the running daemon's planned wake-up
//                                              (Unix time); absent when unknown
//   scheduler_modules                          modules in the module table
//   scheduler_schedule_entries                 schedule entries of those modules
// Nothing is written to any file. A record that cannot be read (or a missing
// module table) prints nothing on standard output and fails, so the redirect
// above never replaces a good file with a partial one.
//
// Returns the process exit status. REQUIRES: the data home has been saved
// (S3ComPathHomeSave) and exists.
#ifndef TOOLS_CTL_METRICS_H_
#define TOOLS_CTL_METRICS_H_

int ctlMetrics();

#endif  // TOOLS_CTL_METRICS_H_
