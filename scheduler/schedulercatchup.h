// The daemon's record of its passes and, on a home that asks for it, the
// catch-up of the runs missed while no daemon ran.
//
// Guarantees: the record (stores/schedulermissed.h, data/scheduler/lastpass)
// is written whole when the daemon starts and then, after every pass that
// ran its minute, its first line is rewritten in place with one write: no
// extra wake-up, no flush, nothing else touched. A home that has not
// switched catch-up on (data/scheduler/catchup) gets no run and no journal
// line from here. With it on, a start after a gap no longer than the home's
// limit runs, at once and before the first pass, each module that missed a
// schedule entry in the gap once, due at the last minute it missed (its
// arguments HH MM are that minute's), and each missed alarm once, in time
// order, each with a run line that ends in "catch-up"; a longer gap runs
// nothing and is one "catch-up-skipped" line (from, to, the limit in hours).
// Main loop only.
#ifndef SCHEDULER_SCHEDULERCATCHUP_H_
#define SCHEDULER_SCHEDULERCATCHUP_H_

#include "stores/schedulertiming.h"

// At start-up, before the first pass: reads the record the daemon before
// left, writes this start's, and catches up when the home asks for it.
// Returns 0, or the failure of a module start (as the dispatch's) that ends
// the run. A record that cannot be written only costs the next start its gap.
// REQUIRES: the data home has been saved (S3ComPathHomeSave).
int schedulerCatchUpAtStart(int interval, const char* home);

// After a pass that ran the minute `reached`: the record's pass line.
void schedulerNotePass(SchedulerMinute reached);

#endif  // SCHEDULER_SCHEDULERCATCHUP_H_
