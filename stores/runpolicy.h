// A module's run policy, and the lock that each run of such a module holds.
//
// The policy is HOME/data/scheduler/module/<ID>/policy, two lines:
//   overlap skip|allow
//   time-limit MINUTES|none
// A module without the file (or a line missing or not understood) has the
// defaults, allow and none: it is started as every module always was, with
// no lock, no process group of its own and no file beside its record. The
// file is written to a temporary file beside it, flushed and renamed over
// it; set back to both defaults, it is removed.
//
// The run lock is HOME/data/scheduler/module/<ID>/run.lock. Whoever starts a
// run of a module with a policy (the daemon, or `schedulerctl run`) takes
// flock(LOCK_EX|LOCK_NB) on an open description of it and hands that
// description to the program as its descriptor kRunLockChildFd; the starter
// closes its own copy once the program has started. The lock therefore lasts
// exactly as long as the program, or a process it started that kept the
// descriptor, lives; a killed daemon takes nothing of it away. The starter
// writes "<pid> <start> <daemon|by-hand>" into the file (start: Unix time)
// so that a reader can say who runs since when. flock exists on Linux and
// FreeBSD alike, and unlike fcntl's record locks it belongs to the open
// description, which a child inherits.
#ifndef STORES_RUNPOLICY_H_
#define STORES_RUNPOLICY_H_

#include <ctime>

enum class RunOverlap { kAllow, kSkip };

struct RunPolicy {
  RunOverlap overlap = RunOverlap::kAllow;
  int limitMinutes = 0;  // 0: no time limit

  // Both defaults: the module is started as if it had no policy.
  bool IsDefault() const { return overlap == RunOverlap::kAllow && limitMinutes == 0; }
};

// Names of the two files in the module's folder.
constexpr char kRunPolicyFileName[] = "policy";
constexpr char kRunLockFileName[] = "run.lock";
// The descriptor the program of a locked run holds its lock on.
constexpr int kRunLockChildFd = 3;
// A run past its limit gets SIGTERM, and SIGKILL this much later.
constexpr int kRunPolicyKillGraceSeconds = 30;
// The longest time limit accepted: a week.
constexpr int kRunPolicyMaxLimitMinutes = 7 * 24 * 60;

// The policy of module `id`: the defaults when its file is missing or
// cannot be read (a run must never be refused for an unreadable policy).
// REQUIRES (here and below): the data home has been saved (S3ComPathHomeSave).
RunPolicy runPolicyGet(int id);

// Records `policy` for module `id` (removes the file for the defaults).
// 0, or -1 with errno (ENOENT when the module's folder is missing).
int runPolicySet(int id, const RunPolicy& policy);

// "skip"/"allow", and the parse of such a word (false for any other).
const char* runOverlapName(RunOverlap overlap);
bool runOverlapParse(const char* word, RunOverlap* overlap);

// Who holds a run lock, as its starter recorded it (pid 0 while the starter
// has not written it yet).
struct RunLockHolder {
  int pid = 0;
  time_t since = 0;
  bool byHand = false;
};

// Takes the run lock of module `id` (creating its file, 0640): the
// descriptor, closed on exec, to hand to the program; -1 with errno
// EWOULDBLOCK while a run holds it, another errno when it cannot be taken.
int runLockTake(int id);

// Writes the holder into the file of a lock taken with runLockTake.
// 0, or -1 with errno.
int runLockRecord(int fd, const RunLockHolder& holder);

// Whether a run of module `id` holds its lock: 1 (with *holder read from
// the file), 0 when none does (no file, or the lock free), -1 with errno
// when the file cannot be opened or asked. The probe takes a shared lock
// for an instant, so a start that tries at that very instant finds it held;
// the daemon tries once more a second later when the holder it reads has
// gone (see runLockTakeOrWait).
int runLockProbe(int id, RunLockHolder* holder);

// runLockTake, and when the lock is held and its recorded holder is no
// longer alive (a probe's instant, or a process the run left behind) once
// more a second later (through the clock seam's sleep). On EWOULDBLOCK
// *holder is what the file names.
int runLockTakeOrWait(int id, RunLockHolder* holder);

#endif  // STORES_RUNPOLICY_H_
