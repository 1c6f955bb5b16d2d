// The run journal: an optional line-per-event log of what the daemon did
// (its start and end, every module it started and how each one ended, and
// every wake-up that came late), kept beside the record files as
// HOME/data/scheduler/runs.log, and the parser that the operator's tool
// reads it back with.
//
// The journal is on exactly while runs.log exists: the operator creates it
// empty to turn it on and removes it to turn it off. A writer never creates
// it, except as the fresh file of a rotation, so a daemon on a home without
// the file writes nothing at all.
//
// Line format (one event per line, fields separated by one tab, no tab or
// line end inside a field):
//   YYYY-MM-DD HH:MM:SS <tab> EVENT <tab> FIELD ...
// with the fields of each event:
//   started     pid interval
//   stopped     pid result          (the daemon's final result code)
//   taken-over  pid by              (the status record named process `by`)
//   run         due module pid program   (due minute HH:MM, child pid)
//   exit        pid module result seconds ("status N" or "signal N", and the
//                                   run time in whole seconds)
//   clock-jump  from to            (a wake-up more than a minute late: the
//                                   minute it was due for and the minute the
//                                   clock showed, "YYYY-MM-DD HH:MM" each;
//                                   the entries in between were not run)
//   output-lost pid module why     (a home that keeps its modules' output:
//                                   the run of child `pid` could have no
//                                   file, so its output went to /dev/null;
//                                   why: "<path>: <reason>")
//   catch-up-skipped from to limit  (a daemon started after a gap longer
//                                   than the home's catch-up limit: the gap's
//                                   last pass and the start, "YYYY-MM-DD
//                                   HH:MM" each, and the limit in hours;
//                                   nothing of the gap was run)
// A run that a daemon made at its start for a gap it caught up (see
// stores/schedulermissed.h) is a run line with one more field at the end,
// the word "catch-up"; its exit line is an ordinary one.
//   skipped     due module pid why (a module whose policy is overlap skip was
//                                   due while run `pid` still held its lock:
//                                   not started; why: "still running [by
//                                   hand] since YYYY-MM-DD HH:MM:SS")
//   timeout     pid module signal limit (run `pid` passed its time limit of
//                                   `limit` minutes and was sent "signal N":
//                                   15, then 9 when it was still there after
//                                   the grace; its exit line follows)
// A module that an operator started by hand (`schedulerctl HOME run ID`)
// gets the same run and exit lines with one more field at the end, the word
// kRunJournalByHand; the daemon's lines never carry it, so a reader tells
// the two apart without linking an exit to its run.
//
// Bounded: before a line is written to a runs.log of kRunJournalRotateBytes
// or more, it is renamed to runs.log.1 (replacing an older one) and a fresh
// runs.log is started, so the journal never holds much more than twice that.
#ifndef STORES_RUNJOURNAL_H_
#define STORES_RUNJOURNAL_H_

#include <ctime>
#include <string>
#include <vector>

// The journal and its rotated predecessor, relative to the data directory.
constexpr char kRunJournalFile[] = "scheduler/runs.log";
constexpr char kRunJournalOldFile[] = "scheduler/runs.log.1";
// The last field of the run and exit lines of a module started by hand.
constexpr char kRunJournalByHand[] = "by-hand";
// Size from which the journal is rotated before the next line: 1 MiB.
constexpr long kRunJournalRotateBytes = 1L << 20;
// Longest line written, line end included; a longer line has its end cut
// (only a program path near its 2047-character limit comes close).
constexpr int kRunJournalLineMax = 4096;
// "YYYY-MM-DD HH:MM:SS" and its terminator.
constexpr int kRunJournalTimeSize = 20;

// Appends the line "<local time>\t<fields[0]>\t...\t<fields[count-1]>\n" to
// the journal when it is on, with one write, so that lines of concurrent
// writers never interleave. The time is read through the clock seam. A
// control byte inside a field (a tab or line end in a program path) is
// written as '?'. The journal is opened for each line (O_WRONLY|O_APPEND,
// never O_CREAT) and rotated first when it is full.
// Returns 1 when the line was written, 0 when the journal is off, -1 when
// it could not be opened, rotated or written (errno kept).
// REQUIRES: the data home has been saved (S3ComPathHomeSave); fields[0] is
// the event word.
int runJournalAppend(const char* const* fields, int count);

// Writes "YYYY-MM-DD HH:MM:SS" of the local time `t` (from the clock seam's
// time zone rules) into `out` (kRunJournalTimeSize bytes).
void runJournalFormatTime(time_t t, char* out);

// One journal line, split.
struct RunJournalLine {
  std::string time;                 // "YYYY-MM-DD HH:MM:SS"
  std::string event;                // "run", "exit", ...
  std::vector<std::string> fields;  // the fields after the event word

  // The module ID of a run, exit, skipped or timeout line, else 0.
  int ModuleId() const;
  // A run or exit line of a module started by hand.
  bool ByHand() const;
};

// Splits `text` (without its line end) into `out`. False when it is no
// journal line: fewer than two fields, or a first field that is not a time
// "YYYY-MM-DD HH:MM:SS".
bool runJournalParse(const std::string& text, RunJournalLine* out);

// The names of an event's fields in order (as in the format above; run and
// exit end with "started", the name of the by-hand marker), ending with a
// null entry; null for an event word this version does not know.
const char* const* runJournalFieldNames(const std::string& event);

#endif  // STORES_RUNJOURNAL_H_
