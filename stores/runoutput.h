// Where the output of the modules the daemon starts goes, and the output it
// keeps: the data home's choice, one file per run, and what the operator's
// tool reads back.
//
// The choice is HOME/data/scheduler/output-mode, one word and a line end:
//   console  each module's standard output and error go to /dev/console (the
//            default: a home without the file, or whose file holds no such
//            word, behaves so);
//   journal  they are the daemon's own standard error, which a service
//            manager keeps (systemd's journal);
//   keep     they go into a file of the run, kept below the data home.
//
// Kept runs lie in HOME/data/scheduler/output/<ID>/, one file per run of
// module <ID>, opened for the child before it starts: the program's
// standard output and error are that one file (appended, so both streams
// interleave as written), and the daemon copies nothing and holds no pipe.
// The file is named after the run, so that the names sort by start:
//   YYYYMMDDThhmmssZ.due-hhmm                         while it runs
//   YYYYMMDDThhmmssZ.due-hhmm.end-YYYYMMDDThhmmssZ.status-N   (or .signal-N)
// that is its start (UTC), the minute it was due for (local, as scheduled)
// and, once it ended, its end (UTC) and how: its exit status, or the signal
// that ended it. A name whose run never got its end (the daemon was killed
// first) keeps the first form. Two runs due at the same minute that start in
// the same second (two daemons on one home) are told apart by a digit 2-9
// after the due minute (".due-hhmm.2").
//
// Bounded: before a run's file is made, the oldest kept runs of its module
// are removed so that with the new one at most kRunOutputKeptRuns stay; and
// once a run has ended, a file of more than kRunOutputKeptBytes is cut to
// its last kRunOutputKeptBytes at most, at the first line start within
// them, behind one line that says how many bytes were cut. While the run
// goes on, its file grows as the program writes.
//
// The files are created as the process's user (the daemon acts as the home's
// owner), readable by the group and not by others (0640 less the umask), the
// folders 0750; like every path below the home they are reached through the
// file layer, so no link below the home is followed.
#ifndef STORES_RUNOUTPUT_H_
#define STORES_RUNOUTPUT_H_

#include <string>
#include <vector>

enum class RunOutputMode { kConsole, kJournal, kKeep };

// The choice and the folder of kept runs, relative to the data directory.
constexpr char kRunOutputModeFile[] = "scheduler/output-mode";
constexpr char kRunOutputDir[] = "scheduler/output";
// Runs kept per module, and bytes kept per run.
constexpr int kRunOutputKeptRuns = 10;
constexpr long kRunOutputKeptBytes = 256L * 1024;
// Room for a run's file name relative to the data directory.
constexpr int kRunOutputNameSize = 128;

// The home's choice, read afresh: kConsole when the file is missing, cannot
// be read or holds no known word.
// REQUIRES (for this and every function below): the data home has been
// saved (S3ComPathHomeSave).
RunOutputMode runOutputMode();

// The word of `mode` ("console", "journal", "keep").
const char* runOutputModeName(RunOutputMode mode);

// `word` as a mode; false for any other word.
bool runOutputParseMode(const char* word, RunOutputMode* mode);

// Records `mode` as the home's choice: written to a temporary file beside
// it, flushed and renamed over it, so a reader sees the old choice or the
// new one. 0, or -1 with errno (ENOENT when HOME/data/scheduler is missing,
// ELOOP when the choice's file is a symbolic link, which is left as it is).
int runOutputSetMode(RunOutputMode mode);

// Makes the file of a run of module `id` due at `hh`:`mm` that starts now
// (the clock seam): first removes the module's oldest kept runs so that,
// with this one, at most kRunOutputKeptRuns stay; creates the missing
// folders; then creates the file exclusively, opened for appending and
// closed on exec. Returns its descriptor, for the child's output (the caller
// closes it), or -1 with errno. `name` (kRunOutputNameSize bytes) gets the
// file's name relative to the data directory, or on a failure the name of
// what could not be made.
int runOutputOpen(int id, const char* hh, const char* mm, char* name);

// The run whose file is `name` (as runOutputOpen gave it) ended with wait
// status `status`, now: cuts the file to its bound (see above) and renames
// it to its ended name. 0, or -1 with errno (the file is gone, or could not
// be cut or renamed; what could be done is done).
int runOutputEnd(const char* name, int status);

// One kept run, as its file's name tells it.
struct RunOutputRun {
  std::string path;    // the whole path of the file
  std::string start;   // local time "YYYY-MM-DD HH:MM:SS"
  std::string due;     // "HH:MM"
  std::string end;     // local time "YYYY-MM-DD HH:MM:SS"; "" when not recorded
  std::string result;  // "status N" or "signal N"; "" when not recorded
  // Ended otherwise than with exit status 0.
  bool Failed() const;
};

// The kept runs of module `id`, oldest first (files whose names are no run's
// are left out). 0 (no folder: none), or -1 with errno when the folder
// cannot be read (ELOOP: it is a link).
int runOutputRuns(int id, std::vector<RunOutputRun>* runs);

// The IDs of the modules that have a folder of kept runs, in order. 0 (no
// folder of kept runs: none), or -1 with errno.
int runOutputModules(std::vector<int>* ids);

#endif  // STORES_RUNOUTPUT_H_
