// The checks and repairs of `schedulerctl HOME doctor` (tools/ctl_doctor.h),
// shared by the sources that hold them: the logs, backups and status files
// and the report (ctl_doctor.cpp), the tables and records
// (ctl_doctor_tables.cpp), and the walk of the home's tree
// (ctl_doctor_tree.cpp). Not installed.
#ifndef TOOLS_CTL_DOCTOR_INTERNAL_H_
#define TOOLS_CTL_DOCTOR_INTERNAL_H_

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

#include "tools/ctl_alarms.h"
#include "tools/ctl_home.h"

namespace ctl_doctor {

struct Finding {
  std::string kind;
  std::string file;  // relative to the data directory
  std::string what;
  std::vector<std::string> done;  // the changes made, one per line
  bool repaired = false;
  std::string left;  // with --repair: why it was not repaired
};

// The absolute path of `relative`, a path below the data directory.
std::string DataPath(const std::string& relative);
// A positive decimal number of at most nine digits without a leading zero.
bool Number(const char* text, int* value);
// "<prefix><pid>.<n>" with both numbers decimal: the pid.
bool PidName(const char* name, const char* prefix, int* pid);
// A process that may still be alive: only "no such process" counts as gone,
// so a pid that cannot be probed (another user's) is left alone. Signal 0
// is a probe only: nothing is delivered.
bool MayBeAlive(int pid);
// The names in `dir` other than "." and "..", sorted; none when it cannot be
// listed (below the home, a link at its place or on its way is not followed).
std::vector<std::string> Entries(const std::string& dir);
// What lies at `path` below the home, links not followed.
enum class Found { kNothing, kFile, kFolder, kOther, kLinked };
Found What(const std::string& path, off_t* size = nullptr);
// The items joined by ", ".
std::string Join(const std::vector<std::string>& items);

// A walk deeper than this below the home is not followed: the store's
// deepest files (the alarms) lie 8 levels down, and the bound keeps a planted
// deep tree from using up the descriptors, one per level.
constexpr int kMaxDepth = 32;

constexpr char kLeftWritable[] =
    "permissions are never changed by --repair: give it to the data home's owner and take "
    "the write permission from its group and others (chown, chmod go-w)";

// Rounds of repairs and checks before a repair that keeps coming back is
// given up: each round repairs only what the one before made.
constexpr int kMaxRounds = 5;

class Doctor {
 public:
  explicit Doctor(bool repair) : repair_(repair) {}

  // The checks, and with `repair` the repairs, again and again until a round
  // repairs nothing more: a repair may make findings of its own (a module
  // dropped from the index leaves its schedule entries and alarms dangling,
  // which the next round removes), and only a round that repairs nothing
  // shows what the next check finds. What a round left is looked at anew in
  // the next.
  void Run();

  const std::vector<Finding>& findings() const { return findings_; }

 private:
  Finding& Add(const std::string& kind, const std::string& file, const std::string& what);
  void Left(Finding& f, const std::string& why);
  void Repaired(Finding& f, const std::string& done);
  // Logs of dead writers. Recovery comes first: everything after it looks
  // at the home as the interrupted units left it before they began. A log
  // that no crash leaves behind is the only copy of what its unit overwrote:
  // it is reported and kept, and only its operator decides (--discard).
  void Units();
  void Damaged(const std::string& name, const std::string& pid, const std::string& why,
               const std::vector<std::string>& files);
  // Backup copies temp<pid>.<n> of a writer that is gone, named by no log.
  void Backups();
  // scheduler/status.<pid> whose daemon holds no lock on it and is gone.
  void StatusFiles();
  // Reads `file` as records, one line at a time so that a failure names its
  // line. An empty file is accepted only when `emptyOk`. True when it parses.
  bool Parse(const std::string& file, bool emptyOk);
  // A record read through its store's own class: the field checks of the
  // class apply as well as the parse.
  void Typed(const std::string& file, int rc);
  void Tables();
  // A module record, the program it resolves to, or a folder on the way to
  // that program, that others than the data home's owner can write: they
  // choose what the daemon runs. The record's own folders are Tree's.
  void Writable(int id, const char* execute);
  // The folders that others can write and the links below the data home,
  // after the tables (a module's program named by a bare file name may be a
  // link among the home's own entries: that is how a program installed
  // elsewhere is named, and it is allowed).
  //
  // How far the walk goes: the home's own entries, and data/ whole. That is
  // where the scheduler and the record store look: record files lie under
  // data/, and a bare program name is looked for among the home's entries.
  // The suite's other programs keep trees of their own in the home (page/,
  // file/) that may be large and that nothing of the scheduler opens; they
  // are not walked.
  //
  // The folders checked for writers: the home, data/, data/tmp and every
  // folder under data/scheduler. Whoever can change an entry in one of them
  // can swap a record that names a program or an entry the daemon acts on.
  // data/tmp belongs to them: a unit's log there tells the next reader of a
  // record file what to put back into it, so a log planted there rewrites
  // the module table. For that reason the sticky bit does not excuse
  // data/tmp: planting a new file needs nobody else's entry. The folders
  // of the other programs' records under data/ are theirs to judge.
  //
  // The walk never follows a link: each folder is opened beneath the one
  // before with O_NOFOLLOW, each entry examined with AT_SYMLINK_NOFOLLOW.
  void Tree();
  // How a folder or entry below the home is named in a finding: relative to
  // data/ when it lies in it, else its whole path.
  std::string Shown(const std::string& rel) const;
  // Walks the folder open at `fd` (taken over); `rel` is its path below the
  // home, "" for the home itself.
  void Walk(int fd, const std::string& rel, int depth);
  // The link `name` in the folder open at `dir`, `rel` below the home.
  void Link(int dir, const std::string& name, const std::string& rel);
  // The modules' kept output (stores/runoutput.h): a run's file is never a
  // finding, whatever it holds, but one that others can write is (a link
  // there is one of Tree's findings). After Tree, which learns the owner.
  void OutputFiles();
  // The non-empty alarm files (an empty one is no alarm to the daemon).
  void Alarms(const std::set<int>* table);
  // What goes with a module this repair dropped from the index, as it goes
  // with a module that `module remove` removes: its schedule entries and
  // alarms, each in a unit of its own.
  void DropEntry(Finding& f, const CtlEntry& e);
  void DropAlarm(Finding& f, const CtlAlarm& alarm);
  void CannotRemove(Finding& f, int rc);
  void DropIndexEntry(Finding& f, int id);
  void NextAlarm();

  bool repair_;
  std::vector<Finding> findings_;
  std::set<int> logged_;            // pids whose logs stay in data/tmp
  std::set<int> dropped_;           // modules this repair dropped from the index
  std::set<std::string> linked_;    // data-relative files with a link at their place
  std::set<std::string> programs_;  // the modules' programs named by a bare file name
  std::string home_;                // the home's text, as bound
  uid_t owner_ = 0;                 // the home's owner
};

}  // namespace ctl_doctor

#endif  // TOOLS_CTL_DOCTOR_INTERNAL_H_
