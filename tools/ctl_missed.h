// schedulerctl: the runs missed while no daemon ran on the home (log
// --missed, and a line of status), and the home's catch-up choice
// (catchup). The gap is the one the record of passes tells
// (stores/schedulermissed.h): with a daemon running, from the last pass of
// the daemon before it to its start; with none, from the last pass to now.
// Its runs are worked out by the play the forecast uses, for the interval of
// the daemon that last passed, against the schedule and alarms as they are
// now.
//
// REQUIRES: the data home has been saved (S3ComPathHomeSave).
#ifndef TOOLS_CTL_MISSED_H_
#define TOOLS_CTL_MISSED_H_

class CtlJson;

// Prints the missed runs due at `since` ("YYYYMMDDhhmm", "" for all) or
// later: text, one line each (minute, module ID, name, schedule or alarm)
// after a line naming the gap; or with `json`
// {"from","to","ongoing","interval","runs":[{"time","module","name","why"}],
// "late":[{"from","to","runs":[...]}]}. With the run journal on, the entries
// that each late wake-up skipped (a clock-jump line, played for the interval
// of the started line before it) follow.
// A home whose record tells no gap prints so (from and to null). Returns the
// process exit status.
int ctlLogMissed(const char* since, bool json);

// The status line "missed: ..." (text) or the member "missed" (JSON):
// {"runs","from","to","late","catch_up","limit_hours"}, runs null when no
// gap is known, late the runs skipped by late wake-ups since the start.
void ctlMissedStatus();
void ctlMissedStatusJson(CtlJson* json);

// catchup [on|off] [--limit HOURS]: shows the choice, or sets it. Returns the
// process exit status.
int ctlCatchUp(int argc, char** argv);

#endif  // TOOLS_CTL_MISSED_H_
