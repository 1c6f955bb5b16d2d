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
#include <vector>

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

// What the journal files present (runs.log.1 and runs.log) hold about one
// module. Only those files count: what was rotated away is gone, so the
// counts fall back whenever a rotation replaces runs.log.1. Every figure but
// `byHand` is of the daemon's runs: a start by hand (`schedulerctl run`) and
// its end leave them as they are.
struct CtlModuleRuns {
  int module = 0;
  std::string lastRun;     // time of its last run line; "" when only exit lines remain
  std::string result;      // of that run: "status N", "signal N", "running", or
                           // "ended, result not recorded" (child gone, no exit line)
  long long runs = 0;      // run lines
  long long failures = 0;  // exit lines with "status N" (N not 0) or "signal N"
  bool hasExit = false;    // an exit line with "status N" or "signal N" was seen
  int lastExitStatus = 0;  // of the last such line: N, or 128+N for a signal
  long long byHand = 0;    // run lines of starts by hand
  long long skipped = 0;   // skipped lines: due while its last run still ran
  long long timeouts = 0;  // timeout lines
};

// Fills `modules` (by module ID, every module a run or exit line names) from
// the journal. Returns 1 when the journal is on, 0 when it is off, -1 when a
// journal file that exists could not be read (errno kept; `path`, when not
// null, gets its name in kComPathMax bytes); `modules` is empty unless 1. A
// rotation while it reads neither loses nor repeats lines.
int ctlLogModuleRuns(std::vector<CtlModuleRuns>* modules, char* path);

// For `status`: when the journal is on and names modules, prints a table of
// each module's last run (the time of its run line) and its result, as in
// CtlModuleRuns. Prints nothing when the journal is off.
void ctlLogStatus();

#endif  // TOOLS_CTL_RUNLOG_H_
