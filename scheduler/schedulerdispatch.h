// Module dispatch: starting the modules that are due at a minute, and
// reaping them when they end.
//
// Guarantees: a module is started at most once per call, in table order,
// and never waited for; a cut program path is never run. Every child is
// reaped, however many end at once, and with the run journal on every
// journalled child gets exactly one exit line: the SIGCHLD handler reaps
// into a small fixed buffer and simply stops when it is full (the children
// left stay waitable, so nothing is lost), and after every sleep and every
// dispatch the loop hands what the handler kept to the journal and reaps
// whatever is left itself. No end is ever guessed.
#ifndef SCHEDULER_SCHEDULERDISPATCH_H_
#define SCHEDULER_SCHEDULERDISPATCH_H_

// The ends the SIGCHLD handler keeps between two calls of
// schedulerReapChildren.
constexpr int kSchedulerKeptEnds = 32;

// Starts every module of the module table that is due at hour:minute, in
// table order, each at most once: due when its schedule entry
// scheduler/HH/MM/<id> exists, or else when a non-empty alarm file of today
// exists for it at that minute. An hour of 24 is taken as 0. Each program is
// started with the argument list {program, home, "HH", "MM"} (two digits
// each), an empty signal mask and default dispositions, and is not waited
// for; a program that cannot be executed ends its child with exit status 1.
// Its standard output and error go where the home's choice, read once per
// call, sends them (scheduleroutput.h): /dev/console unless the home keeps
// them or hands them to the daemon's standard error.
// With the journal on, each start is a "run" line.
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
// failure, after which no further module is started in this call: -4404
// (fork failed), or a store's code other than -110. A missing module table
// is an empty one (0).
// REQUIRES: the data home has been saved (S3ComPathHomeSave). The children
// are the caller's to reap (the loop: the handler and schedulerReapChildren).
int schedulerModuleExec(int hour, int minute, const char* home);

// The same for the minute hour:minute of the day `date` (YYYYMMDD; null is
// today): the alarms looked for are those of that day. The loop passes the
// date of the minute it woke for, so a wake-up that comes late past
// midnight still runs the alarms of the day it was due on.
int schedulerModuleExecOn(const char* date, int hour, int minute, const char* home);

// Starts module `id` as due at hour:minute whether or not it is due then,
// as the dispatch starts a due one, its run line ending in the word `mark`
// (null: none). 0 when started or skipped; otherwise -4404 or a store's code.
int schedulerModuleStartFor(int id, int hour, int minute, const char* home, const char* mark);

// SIGCHLD handler: reaps ended children without blocking (deliveries merge,
// so one may stand for several) while the buffer has room, keeping each
// one's pid, wait status and end time for schedulerReapChildren; stops
// reaping when the buffer is full. Only async-signal-safe calls; leaves
// errno as it found it. Other signal numbers are ignored.
void schedulerModuleExec_childend(int sig);

// Hands every end the handler kept since the last call to the run journal
// and to the kept output (schedulerOutputEnded), then reaps every other
// child that has ended, without blocking, and hands its end over too; then
// ends the runs past their time limit (schedulerLimitsEnforce). A SIGCHLD left pending by the ends reaped here is taken
// first, so that it does not cut the coming sleep short for nothing.
// REQUIRES: SIGCHLD is blocked (the loop holds it so), so the handler cannot
// run meanwhile. Not in a signal handler.
void schedulerReapChildren();

#endif  // SCHEDULER_SCHEDULERDISPATCH_H_
