// The daemon's hooks into the run journal (stores/runjournal.h): the lines
// it writes when it starts, stops or is taken over, when it starts a module
// and when such a module ends, and the bookkeeping that ties an end to the
// module whose run line was written.
//
// Guarantees: with the journal off (no runs.log) nothing is written and no
// child is remembered. Only a child whose run line was written gets an exit
// line, once. Main loop only: none of these may run in a signal handler.
#ifndef SCHEDULER_SCHEDULERJOURNAL_H_
#define SCHEDULER_SCHEDULERJOURNAL_H_

#include <sys/types.h>

#include <ctime>

// The line "<event> <first> <second>" (started, stopped, taken-over).
void schedulerJournalEvent(const char* event, long long first, long long second);

// The line "run HH:MM <id> <child> <program>" for a module child just
// started, with the word `mark` at the end when not null (a catch-up run);
// when it was written, the child is remembered (with the time of its start)
// until schedulerJournalExit sees it end.
void schedulerJournalRun(const char* hh, const char* mm, int id, pid_t child, const char* program,
                         const char* mark = nullptr);

// The end of child `pid` with wait status `status` at `ended`
// (CLOCK_MONOTONIC): "exit <pid> <id> status N|signal N <seconds>" when the
// child is a remembered module, which is then forgotten; nothing otherwise.
void schedulerJournalExit(pid_t pid, int status, const struct timespec& ended);

#endif  // SCHEDULER_SCHEDULERJOURNAL_H_
