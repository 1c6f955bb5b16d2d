// Module dispatch: starting the modules that are due at a minute, and
// reaping them when they end.
//
// Guarantees: a module is started at most once per call, in table order,
// and never waited for; a cut program path is never run; every module child
// is reaped (none stays a zombie), and with the run journal on every
// journalled child gets its exit line.
#ifndef SCHEDULER_SCHEDULERDISPATCH_H_
#define SCHEDULER_SCHEDULERDISPATCH_H_

// Starts every module of the module table that is due at hour:minute, in
// table order, each at most once: due when its schedule entry
// scheduler/HH/MM/<id> exists, or else when a non-empty alarm file of today
// exists for it at that minute. An hour of 24 is taken as 0. Each program is
// started with the argument list {program, home, "HH", "MM"} (two digits
// each) and is not waited for; a program that cannot be executed ends its
// child with exit status 1. With the journal on, each start is a "run"
// line.
//
// The program comes from the module record's `execute` through
// schedulerResolveProgram (stores/schedulerprogram.h): a value holding '/'
// or '\\' is used as it is; a bare name is "./<name>" when that file exists
// in the working directory, else <home>/<name> when that exists, else the
// module is skipped silently. A module with an empty `execute`, or whose
// path would not fit the program path buffer (or the data home's path
// buffer), is skipped too: a cut path is never run.
// A module whose record is gone is removed from the table (index entry and
// directory) and the walk goes on.
//
// Returns 0 when every due module was started or skipped; otherwise the first
// failure, after which no further module is started in this call: -4405 (the
// SIGCHLD handler could not be installed), -4404 (fork failed), or a store's
// code other than -110. A missing module table is an empty one (0).
// REQUIRES: the data home has been saved (S3ComPathHomeSave).
int schedulerModuleExec(int hour, int minute, const char* home);

// SIGCHLD handler: reaps every ended child without blocking (deliveries
// merge, so one may stand for several children) and leaves errno as it found
// it. Other signal numbers are ignored. It keeps each child's pid, wait
// status and end time in a fixed array (only async-signal-safe calls), from
// which schedulerReapChildren writes the journal's exit lines; it reaps a
// child also when the array is full.
void schedulerModuleExec_childend(int sig);

// Main loop: hands every end the handler has kept since the last call to the
// run journal. Ends the handler could not keep are written with the result
// "unknown" for the journalled children that no longer exist.
void schedulerReapChildren();

#endif  // SCHEDULER_SCHEDULERDISPATCH_H_
