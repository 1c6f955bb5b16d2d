// `schedulerctl HOME doctor [--repair] [--json]`: the check of a data home
// after a crash, an out-of-memory kill or a hand edit.
//
// Each finding is one line: a kind word that scripts may match, the file
// (relative to the data directory; the home, data itself and the home's own
// entries by their whole path) and what is wrong with it. The kinds:
//   interrupted-unit      the log of a unit of work whose writer died
//   orphaned-backup       a backup copy in data/tmp that no unit names
//   stale-status          a per-process status file of a daemon that is gone
//   index-without-record  a module index entry whose module record is missing
//   record-without-index  a module record that the module index does not list
//   dangling-schedule     a schedule entry of a module that does not exist
//   dangling-alarm        an alarm of a module that does not exist
//   unparsable            a record file that does not read as records
//   past-next-alarm       a next-alarm record in the past while no daemon runs
//   writable-by-others    a module record, a module's program or a folder on
//                         the way to it, or a folder of the home (the home,
//                         data, data/tmp, every folder under data/scheduler),
//                         that a user other than the data home's owner (or
//                         root), its group or everyone can write
//                         (tools/ctl_writers.h), and a kept run's output
//                         file that others can write; never changed by
//                         repair
//   damaged-log           the log of a unit whose writer died that holds what
//                         no crash leaves behind (s3/cs3journal.h), with the
//                         files its entries that verify name; never played
//                         back or removed by repair (see ctlDoctorDiscard)
//   link                  a symbolic link among the home's own entries or
//                         anywhere under data/ (a module's program named by a
//                         bare file name excepted), with its target; never
//                         followed, never removed by repair
//
// A kept run's output (scheduler/output) is never a finding of its own.
//
// Read-only by default: nothing under the data home is written, renamed or
// removed, data/tmp included (finished logs stay, no dead unit is settled).
// With `repair` it first rolls back every interrupted unit (the pre-images
// put back byte for byte, the files the unit created removed) and removes
// the finished logs of dead writers, then fixes what has one right answer:
// dangling index entries are dropped, orphaned backups and stale status files
// removed, a past next-alarm time cleared (the daemon takes such a time for
// none anyway). It then checks again and repairs what its own repairs made
// (the schedule entries and alarms of a module it dropped from the index go,
// as with `module remove`), until a round repairs nothing more. A record file
// that parses is never deleted (but for those), a file that a live process
// holds locked is never touched; what it cannot decide is listed as left.
// Each change is one line "repaired KIND FILE: what was done".
//
// Returns the exit status: 0 when the home is clean (or, with `repair`,
// every finding was repaired: a check right after finds nothing), 1 when
// something was found and left.
// REQUIRES: the data home has been saved (S3ComPathHomeSave).
#ifndef TOOLS_CTL_DOCTOR_H_
#define TOOLS_CTL_DOCTOR_H_

int ctlDoctor(const char* home, bool repair, bool json);

// `schedulerctl HOME doctor --discard LOG`: the operator's decision on a
// damaged-log finding, once the files it names were read and what must come
// back was put back by hand. Removes the log LOG (named as the finding names
// it, tmp/journal<pid>.<n>) and plays nothing of it back; the backup copies
// of its process stay, for doctor --repair to remove as orphaned. Refuses
// (exit 1, nothing changed) a log that is not there, is held by its live
// writer or a recovery, or is not damaged (doctor --repair settles those).
// REQUIRES: the data home has been saved; LOG is "tmp/" and a log's name.
int ctlDoctorDiscard(const char* home, const char* log);

// True when `text` names a log as doctor does: "tmp/journal<pid>.<n>".
bool ctlIsLogName(const char* text);

#endif  // TOOLS_CTL_DOCTOR_H_
