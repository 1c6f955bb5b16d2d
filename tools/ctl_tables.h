// The schedulerctl commands that maintain the module table and the schedule
// table. Each command that changes files does so as one unit of work on one
// record file accessor: when any step fails the accessor's release puts every
// file back, the directories the command created are removed again, and the
// command prints which file failed and what the result code means.
//
// Every function returns the process exit status (kCtlExitOk,
// kCtlExitFailed). Arguments have been checked by the caller (tools/ctl_args.h).
// REQUIRES: the data home has been saved (S3ComPathHomeSave).
#ifndef TOOLS_CTL_TABLES_H_
#define TOOLS_CTL_TABLES_H_

#include <map>
#include <vector>

// A time of day of the schedule table.
struct CtlClock {
  int hour;
  int minute;
};

// Creates the data home's directories (home, data, data/tmp,
// data/scheduler/module) and, when there is none, an empty module table: an
// index record holding only _lastid=0, which the daemon reads as a table
// without modules; with it, unless the home already made its choice, the
// choice to keep the modules' output (stores/runoutput.h). An existing table
// is left as it is, and so is the choice of a home that has one.
int ctlInit(const char* home);

// Adds a module with display name `name` and program `program` at the end of
// the table and prints its new ID. Warns on standard error, and still adds,
// when others than the data home's owner can write the record or the program
// (tools/ctl_writers.h).
int ctlModuleAdd(const char* name, const char* program);

// Prints the table: ID, name, program and what the daemon would run for it
// right now (resolved as the daemon does: a value with '/' or '\\' as is;
// otherwise "./PROGRAM" in the current directory, then HOME/PROGRAM; neither
// means the daemon skips the module). With `json` one JSON document instead:
//   {"modules":[{"id":N,"name":...,"program":...,"runs":PATH|null,
//                "note":TEXT|null}]}
// where a module whose record is missing has null name, program and runs.
int ctlModuleList(bool json);

// Removes module `id`: its index entry, its directory scheduler/module/<id>,
// all its schedule entry files and all its alarm files (past ones too), as
// one unit of work; then the schedule and alarm directories left empty.
// Prints how many schedule entries and alarms went.
int ctlModuleRemove(int id);

// Schedules module `id` every day at each of `times` (duplicates ignored).
// Times already scheduled stay as they are.
int ctlScheduleAdd(int id, const std::vector<CtlClock>& times);

// Reads the schedule table as the daemon sees it: per module (only module
// `id` when > 0), the times whose entry file holds a record, in order.
// kCtlExitOk, or kCtlExitFailed after printing the failure in the name of
// command `what`.
int ctlReadSchedule(const char* what, int id, std::map<int, std::vector<CtlClock>>* byModule);

// Prints, per module of the table (only module `id` when > 0), its times of
// the day in order. Entry files of modules not in the table are listed too,
// marked as such: the daemon never runs them. With `json` one JSON document
// instead:
//   {"schedule":[{"id":N,"name":TEXT|null,"times":["HH:MM",...],
//                 "in_table":bool}]}
int ctlScheduleList(int id, bool json);

// Removes the schedule entry files of module `id` at `times`, so that the
// module is no longer due then. Every time must be scheduled.
int ctlScheduleRemove(int id, const std::vector<CtlClock>& times);

#endif  // TOOLS_CTL_TABLES_H_
