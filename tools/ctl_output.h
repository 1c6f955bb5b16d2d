// schedulerctl's side of the modules' output (stores/runoutput.h): the data
// home's choice of where it goes, the kept runs of a module, and what
// `status` shows of them.
//
// REQUIRES for every function: the data home has been saved
// (S3ComPathHomeSave); arguments are checked by the caller. The commands
// return the process exit status.
#ifndef TOOLS_CTL_OUTPUT_H_
#define TOOLS_CTL_OUTPUT_H_

#include "stores/runoutput.h"
#include "tools/ctl_json.h"

// `output` alone (`mode` null): prints the home's choice, its word first.
// `output WORD`: records the choice; it holds from the daemon's next
// dispatch on. Kept runs stay, whatever is chosen.
int ctlOutput(const RunOutputMode* mode);

// `log --output ID [--run N]`: prints a header line of module `id`'s N-th
// last kept run (1: the last), "module ID, due HH:MM, started TIME, ended
// TIME: status N" (or that its end was not recorded), then its output as
// kept. With `json` one document instead, naming every kept run, oldest
// first (only the N-th last when `run` > 0):
//   {"module":ID,"runs":[{"path","due","start","end","result"}]}
// with null end and result while they are not recorded. A module without
// kept runs, or without an N-th last, is a failure (exit 1).
int ctlLogOutput(int id, int run, bool json);

// For `status`: the line "output:       WORD", then, for each module whose
// last kept run failed, its header and the last three lines of its output.
void ctlOutputStatus();

// For `status --json`: the member "output":{"mode":WORD,"failed":[{"module",
// "path","due","start","end","result","tail":[LINE,...]}]}.
void ctlOutputStatusJson(CtlJson* json);

#endif  // TOOLS_CTL_OUTPUT_H_
