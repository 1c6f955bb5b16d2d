// schedulerctl's side of the run journal (stores/runjournal.h): turning it
// on and off, printing it filtered or following it, and the last run of
// every module for `status`.
//
// REQUIRES for every function: the data home has been saved
// (S3ComPathHomeSave); arguments are checked by the caller. Each returns the
// process exit status.
#ifndef TOOLS_CTL_RUNLOG_H_
#define TOOLS_CTL_RUNLOG_H_

#include <string>

// Turns the journal on: creates an empty runs.log (one already there is kept
// as it is). Fails when HOME/data/scheduler does not exist (run init).
int ctlLogEnable();

// Turns the journal off: removes runs.log and runs.log.1. Off already is
// success.
int ctlLogDisable();

// Which lines `log` prints.
struct CtlLogFilter {
  int module = 0;     // only run and exit lines of this module; 0: every line
  std::string since;  // "YYYY-MM-DD HH:MM": only lines of that minute or later; "": all
};

// Prints the journal's lines that pass `filter`, runs.log.1 first, each as it
// stands or (json) as one JSON object per line with the event's fields named
// ({"time":..., "event":"exit", "pid":..., "module":..., "result":"status
// 0", "seconds":...}; numbers as numbers). Lines that are no journal lines
// are left out. With `follow`, then prints new lines as they come (looking
// once a second, and going on in the fresh file after a rotation) until the
// journal is turned off. A journal that is off is an error (exit 1).
int ctlLog(const CtlLogFilter& filter, bool follow, bool json);

// For `status`: when the journal is on and names modules, prints a table of
// each module's last run (the time of its run line) and its result ("status
// N", "signal N", "running", or "ended, result not recorded" when the child
// is gone without an exit line). Prints nothing when the journal is off.
void ctlLogStatus();

#endif  // TOOLS_CTL_RUNLOG_H_
