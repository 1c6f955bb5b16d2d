#include "tools/ctl_doctor.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comdate.h"
#include "common/comfile.h"
#include "common/comguard.h"
#include "s3/cs3data.h"
#include "s3/cs3data_parse.h"
#include "s3/cs3dataiofile.h"
#include "s3/cs3journal.h"
#include "stores/ckoralarmtime.h"
#include "stores/ckorschedulersts.h"
#include "stores/cvelscheduler.h"
#include "stores/cvelschedulermodule.h"
#include "stores/cvelschedulermodules.h"
#include "stores/cvelschedulersts.h"
#include "stores/runoutput.h"
#include "tools/ctl_alarms.h"
#include "tools/ctl_home.h"
#include "tools/ctl_json.h"
#include "tools/ctl_report.h"
#include "tools/ctl_writers.h"

namespace {

struct Finding {
  std::string kind;
  std::string file;  // relative to the data directory
  std::string what;
  std::vector<std::string> done;  // the changes made, one per line
  bool repaired = false;
  std::string left;  // with --repair: why it was not repaired
};

std::string DataPath(const std::string& relative) {
  char path[kComPathMax];
  S3ComPathEditData(relative.c_str(), path);
  return path;
}

// A positive decimal number of at most nine digits without a leading zero.
bool Number(const char* text, int* value) {
  size_t n = strlen(text);
  if (n == 0 || n > 9 || text[0] == '0') return false;
  int v = 0;
  for (size_t i = 0; i < n; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  *value = v;
  return true;
}

// "<prefix><pid>.<n>" with both numbers decimal: the pid.
bool PidName(const char* name, const char* prefix, int* pid) {
  size_t p = strlen(prefix);
  if (strncmp(name, prefix, p) != 0) return false;
  std::string rest = name + p;
  size_t dot = rest.find('.');
  if (dot == std::string::npos) return false;
  int n = 0;
  std::string tail = rest.substr(dot + 1);
  return Number(rest.substr(0, dot).c_str(), pid) && (tail == "0" || Number(tail.c_str(), &n));
}

// A process that may still be alive: only "no such process" counts as gone,
// so a pid that cannot be probed (another user's) is left alone. Signal 0
// is a probe only: nothing is delivered.
bool MayBeAlive(int pid) {
  return pid > 0 && (kill(pid, 0) == 0 || errno != ESRCH);
}

// The names in `dir` other than "." and "..", sorted; none when it cannot be
// listed (below the home, a link at its place or on its way is not followed).
std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  ComDir handle(comIoOpenDir(dir.c_str()));
  if (!handle.ok()) return names;
  while (struct dirent* e = readdir(handle.get())) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// What lies at `path` below the home, links not followed.
enum class Found { kNothing, kFile, kFolder, kOther, kLinked };
Found What(const std::string& path, off_t* size = nullptr) {
  struct stat st;
  if (comIoStat(path.c_str(), &st) != 0) return errno == ELOOP ? Found::kLinked : Found::kNothing;
  if (size != nullptr) *size = st.st_size;
  return S_ISREG(st.st_mode) ? Found::kFile : S_ISDIR(st.st_mode) ? Found::kFolder : Found::kOther;
}

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

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : ", ") + item;
  return out;
}

class Doctor {
 public:
  explicit Doctor(bool repair) : repair_(repair) {}

  // The checks, and with `repair` the repairs, again and again until a round
  // repairs nothing more: a repair may make findings of its own (a module
  // dropped from the index leaves its schedule entries and alarms dangling,
  // which the next round removes), and only a round that repairs nothing
  // shows what the next check finds. What a round left is looked at anew in
  // the next.
  void Run() {
    const bool repair = repair_;
    for (int round = 1;; ++round) {
      findings_.erase(std::remove_if(findings_.begin(), findings_.end(),
                                     [](const Finding& f) { return !f.repaired; }),
                      findings_.end());
      const size_t from = findings_.size();
      logged_.clear();
      linked_.clear();
      programs_.clear();
      Units();
      Backups();
      StatusFiles();
      Tables();
      NextAlarm();
      Tree();
      OutputFiles();
      if (!repair_) {
        for (size_t i = from; repair && i < findings_.size(); ++i) {
          findings_[i].left = "found again after " + std::to_string(kMaxRounds) +
                              " rounds of repairs: a repair does not hold; look at it by hand";
        }
        return;
      }
      if (std::none_of(findings_.begin() + static_cast<long>(from), findings_.end(),
                       [](const Finding& f) { return f.repaired; })) {
        return;
      }
      // Repairs that keep coming back are given up: the last round only checks.
      if (round == kMaxRounds) repair_ = false;
    }
  }

  const std::vector<Finding>& findings() const { return findings_; }

 private:
  Finding& Add(const std::string& kind, const std::string& file, const std::string& what) {
    findings_.push_back(Finding{kind, file, what, {}, false, ""});
    // What no repair can decide: a record file is never deleted or rewritten
    // on a guess. The repairs below replace this where they can.
    Left(findings_.back(), "left as it is: fix or remove it by hand");
    return findings_.back();
  }
  void Left(Finding& f, const std::string& why) {
    if (repair_) f.left = why;
  }
  void Repaired(Finding& f, const std::string& done) {
    f.repaired = true;
    f.left.clear();
    f.done.push_back(done);
  }

  // Logs of dead writers. Recovery comes first: everything after it looks
  // at the home as the interrupted units left it before they began. A log
  // that no crash leaves behind is the only copy of what its unit overwrote:
  // it is reported and kept, and only its operator decides (--discard).
  void Units() {
    std::vector<S3JournalInfo> logs;
    const std::string tmp = DataPath("tmp");
    if (s3JournalList(tmp.c_str(), &logs) != 0) {
      Add("unparsable", "tmp",
          std::string("the temporary directory cannot be read: ") + ctlReason(errno));
      return;
    }
    for (const S3JournalInfo& log : logs) {
      if (log.live || log.state == kS3JournalIdle) continue;  // at work, or finished
      const std::string name = "tmp/" + log.path.substr(log.path.find_last_of('/') + 1);
      const std::string pid = std::to_string(log.pid);
      if (log.state == kS3JournalDamaged) {
        Damaged(name, pid, log.why, log.files);
        continue;
      }
      Finding& f =
          Add("interrupted-unit", name,
              "unit of work of process " + pid + ", which is gone; touched: " +
                  (log.state == kS3JournalEmpty ? std::string("nothing yet (its log is empty)")
                   : log.files.empty()          ? std::string("nothing yet")
                                                : Join(log.files)));
      if (!repair_) continue;
      std::vector<std::string> actions;
      std::string why;
      const int rc = s3JournalRecover(log.path.c_str(), &actions, &why);
      f.done = actions;
      if (rc == 0) {
        f.repaired = true;
        f.left.clear();
        if (f.done.empty()) f.done.push_back("rolled back");
      } else if (rc == kResDeadUnit) {
        findings_.pop_back();  // it turned out damaged as the recovery read it
        Damaged(name, pid, why, log.files);
      } else if (rc == kResLocked) {
        Left(f, why.empty() ? "another process is recovering it"
                            : why + " (try again); the log and its copies stay");
      } else {
        Left(f, "a file could not be put back: " + why + "; the log and its copies stay");
      }
    }
    // Finished logs of dead writers go, as any writer sweeps them; an
    // inspection leaves them as they are (they are no finding).
    if (repair_) s3JournalRelease();
    // What the logs still name is theirs, not orphaned.
    for (const S3JournalInfo& log : logs) {
      struct stat st;
      if (log.state == kS3JournalIdle ||
          (repair_ && !log.live && comIoLstat(log.path.c_str(), &st) != 0)) {
        continue;
      }
      logged_.insert(log.pid);
    }
  }

  void Damaged(const std::string& name, const std::string& pid, const std::string& why,
               const std::vector<std::string>& files) {
    Finding& f = Add("damaged-log", name,
                     "log of a unit of work of process " + pid +
                         ", which is gone, holds what no crash leaves behind: " + why + "; " +
                         (files.empty() ? std::string("no entry of it verifies")
                                        : "its entries that verify name " + Join(files)));
    std::string left =
        "nothing of it is played back, and the files it names are neither read nor written "
        "(result -115) until it goes: read them and the backup copies tmp/temp";
    left += pid + ".* (their bytes before the unit), put back by hand what must come back, then ";
    left += "run schedulerctl HOME doctor --discard " + name;
    Left(f, left);
  }

  // Backup copies temp<pid>.<n> of a writer that is gone, named by no log.
  void Backups() {
    const std::string tmp = DataPath("tmp");
    for (const std::string& name : Entries(tmp)) {
      int pid = 0;
      if (!PidName(name.c_str(), "temp", &pid)) continue;
      if (logged_.count(pid) != 0 || MayBeAlive(pid)) continue;
      off_t size = 0;
      if (What(tmp + "/" + name, &size) != Found::kFile) continue;
      Finding& f = Add("orphaned-backup", "tmp/" + name,
                       "backup copy (" + std::to_string(size) + " bytes) of process " +
                           std::to_string(pid) + ", which is gone, named by no unit of work");
      if (!repair_) continue;
      if (comIoUnlink((tmp + "/" + name).c_str()) == 0) {
        Repaired(f, "removed");
      } else {
        Left(f, std::string("cannot remove it: ") + ctlReason(errno));
      }
    }
  }

  // scheduler/status.<pid> whose daemon holds no lock on it and is gone.
  void StatusFiles() {
    for (const std::string& name : Entries(DataPath("scheduler"))) {
      int pid = 0;
      if (name.compare(0, 7, "status.") != 0 || !Number(name.c_str() + 7, &pid)) continue;
      const std::string file = "scheduler/" + name;
      if (What(DataPath(file)) != Found::kFile) continue;  // a link is reported as one
      if (ctlDaemonAlive(pid) || MayBeAlive(pid)) continue;
      Finding& f = Add("stale-status", file,
                       "status file of daemon " + std::to_string(pid) + ", which is gone");
      if (!repair_) continue;
      if (comIoUnlink(DataPath(file).c_str()) == 0) {
        Repaired(f, "removed");
      } else {
        Left(f, std::string("cannot remove it: ") + ctlReason(errno));
      }
    }
  }

  // Reads `file` as records, one line at a time so that a failure names its
  // line. An empty file is accepted only when `emptyOk`. True when it parses.
  bool Parse(const std::string& file, bool emptyOk) {
    const std::string path = DataPath(file);
    ComFd fd(comIoOpen(path.c_str(), O_RDONLY, 0));
    if (!fd.ok()) {
      const int err = errno;
      // A link at its place is reported by the walk (Tree), and its record
      // is not judged: it is not read.
      if (err == ELOOP) linked_.insert(file);
      return err == ENOENT;
    }
    std::string bytes;
    char chunk[65536];
    for (;;) {
      ssize_t n = read(fd.get(), chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        Add("unparsable", file, std::string("cannot be read: ") + ctlReason(errno));
        return false;
      }
      if (n == 0) break;
      bytes.append(chunk, static_cast<size_t>(n));
    }
    if (bytes.empty()) {
      if (emptyOk) return true;
      Add("unparsable", file, "is empty: it holds no record (result -110)");
      return false;
    }
    CS3Data data;
    CS3DataParser parser(&data, nullptr, nullptr);
    size_t at = 0;
    int line = 1;
    while (at < bytes.size()) {
      size_t end = bytes.find('\n', at);
      end = end == std::string::npos ? bytes.size() : end + 1;
      const int rc = parser.Feed(bytes.data() + at, end - at);
      if (rc != CS3DataParser::kGoOn && rc != CS3DataParser::kDone) {
        Add("unparsable", file,
            "line " + std::to_string(line) + ": " + ctlStoreMeaning(rc) + " (result " +
                std::to_string(rc) + ")");
        return false;
      }
      at = end;
      ++line;
    }
    const int rc = parser.Finish();
    if (rc != 0) {
      Add("unparsable", file,
          rc == kResNoEntry ? std::string("holds no record (result -110)")
                            : std::string(ctlStoreMeaning(rc)) + " (result " +
                                  std::to_string(rc) + ")");
      return false;
    }
    return true;
  }

  // A record read through its store's own class: the field checks of the
  // class apply as well as the parse.
  void Typed(const std::string& file, int rc) {
    // A file that a dead unit's log names and that cannot be settled is the
    // log's finding (damaged-log, or a recovery left).
    if (rc == 0 || rc == kResNoEntry || rc == kResDeadUnit || linked_.count(file) != 0) return;
    Add("unparsable", file,
        std::string("its record does not read: ") + ctlStoreMeaning(rc) + " (result " +
            std::to_string(rc) + ")");
  }

  void Tables() {
    const bool indexParses = Parse(kCtlModuleIndexFile, false);
    std::vector<int> ids;
    const int rc = ctlReadModuleIds(&ids);
    const bool haveIndex = indexParses && rc == 0;
    if (indexParses && rc != kResNoEntry) Typed(kCtlModuleIndexFile, rc);
    std::set<int> table(ids.begin(), ids.end());

    // Module directories and their records.
    std::set<int> records;
    const std::string moduleDir = DataPath("scheduler/module");
    for (const std::string& name : Entries(moduleDir)) {
      int id = 0;
      if (!Number(name.c_str(), &id)) continue;
      const Found dir = What(moduleDir + "/" + name);
      const std::string file = "scheduler/module/" + name + "/info";
      Found info = dir == Found::kLinked ? dir : Found::kNothing;
      if (dir == Found::kFolder) info = What(DataPath(file));
      // A record behind a link is there, but it is neither read nor dropped
      // from the index: only the owner can judge the link (Tree reports it).
      if (info == Found::kLinked) records.insert(id);
      if (info != Found::kFile) continue;
      records.insert(id);
      if (Parse(file, false)) {
        CvelSchedulerModule module;
        const int got = module.Get(id);
        Typed(file, got);
        if (got == 0) Writable(id, module.GetExecute());
      }
    }
    if (haveIndex) {
      for (int id : ids) {
        if (records.count(id) != 0) continue;
        Finding& f = Add("index-without-record", kCtlModuleIndexFile,
                         "lists module " + std::to_string(id) + ", but scheduler/module/" +
                             std::to_string(id) + "/info is missing");
        if (repair_) DropIndexEntry(f, id);
      }
      for (int id : records) {
        if (table.count(id) != 0) continue;
        Finding& f = Add("record-without-index",
                         "scheduler/module/" + std::to_string(id) + "/info",
                         "module " + std::to_string(id) + " is not listed in " +
                             kCtlModuleIndexFile + "; the daemon never runs it");
        Left(f,
             "a record that parses is never deleted: add it to the index or remove its "
             "directory by hand");
      }
    }

    std::vector<CtlEntry> entries;
    if (ctlScanSchedule(0, &entries) != 0) {
      Add("unparsable", "scheduler",
          std::string("the schedule table cannot be read: ") + ctlReason(errno));
    }
    for (const CtlEntry& e : entries) {
      char file[kComPathMax];
      ctlEntryFile(e, file);
      if (What(DataPath(file)) != Found::kFile) continue;
      Parse(file, true);
      if (!haveIndex || table.count(e.moduleId) != 0) continue;
      Finding& f = Add("dangling-schedule", file,
                       "names module " + std::to_string(e.moduleId) +
                           ", which is not in the module table; the daemon never runs it");
      Left(f, "a record that parses is never deleted: remove the file by hand");
      if (repair_ && dropped_.count(e.moduleId) != 0) DropEntry(f, e);
    }
    Alarms(haveIndex ? &table : nullptr);
  }

  // A module record, the program it resolves to, or a folder on the way to
  // that program, that others than the data home's owner can write: they
  // choose what the daemon runs. The record's own folders are Tree's.
  void Writable(int id, const char* execute) {
    if (execute != nullptr && execute[0] != '\0' && strpbrk(execute, "/\\") == nullptr) {
      programs_.insert(execute);
    }
    std::vector<CtlWritable> found;
    ctlModuleWriters(id, execute, false, &found);
    const std::string module = std::to_string(id);
    for (const CtlWritable& w : found) {
      std::string what;
      switch (w.what) {
        case CtlWritable::kRecord:
          what = "the record is " + w.who +
                 ": whoever can write it chooses what the daemon runs for module " + module;
          break;
        case CtlWritable::kProgram:
          what = "module " + module + "'s program " + w.file + " is " + w.who +
                 ": whoever can write it runs code as the daemon's user";
          break;
        case CtlWritable::kProgramFolder:
          what = "the folder " + w.file + " on the way to module " + module + "'s program " +
                 w.program + " is " + w.who +
                 ": whoever can write it can swap the program, and runs code as the daemon's user";
          break;
        case CtlWritable::kRecordFolder:  // not asked for: Tree checks these folders
          what = "the folder " + w.file + " of the record is " + w.who;
          break;
      }
      Finding& f = Add("writable-by-others", "scheduler/module/" + module + "/info", what);
      Left(f, kLeftWritable);
    }
  }

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
  void Tree() {
    home_ = comHomeBound();
    ComFd fd(comIoOpen(home_.c_str(), O_RDONLY | O_DIRECTORY, 0));
    struct stat st;
    if (!fd.ok() || fstat(fd.get(), &st) != 0) return;
    owner_ = st.st_uid;
    Walk(fd.release(), "", 0);
  }

  // How a folder or entry below the home is named in a finding: relative to
  // data/ when it lies in it, else its whole path.
  std::string Shown(const std::string& rel) const {
    if (rel.compare(0, 5, "data/") == 0) return rel.substr(5);
    return rel.empty() ? home_ : home_ + "/" + rel;
  }

  // Walks the folder open at `fd` (taken over); `rel` is its path below the
  // home, "" for the home itself.
  void Walk(int fd, const std::string& rel, int depth) {
    ComFd owned(fd);
    ComDir dir(fdopendir(fd));
    if (!dir.ok()) return;  // not a folder to list: nothing of it is read either
    owned.release();
    const int at = dirfd(dir.get());
    struct stat st;
    if (fstat(at, &st) != 0) return;
    const bool tmp = rel == "data/tmp";
    if (rel.empty() || rel == "data" || tmp || rel == "data/scheduler" ||
        rel.compare(0, 15, "data/scheduler/") == 0) {
      const std::string who = ctlWriters(st, owner_, tmp);
      const char* why =
          ": whoever can write it can swap the records in it, and so choose what "
          "the daemon runs and when";
      if (rel.empty()) {
        why = ": whoever can write it can swap data/ and the programs named by a bare file name";
      } else if (tmp) {
        why =
            ": whoever can write it can leave a unit's log there, which the next reader plays "
            "back into the record files";
      }
      if (!who.empty()) {
        const std::string path = rel.empty() ? home_ : home_ + "/" + rel;
        Finding& f =
            Add("writable-by-others", Shown(rel), "the folder " + path + " is " + who + why);
        Left(f, kLeftWritable);
      }
    }
    std::vector<std::string> names;
    // A listing that fails half-way (a folder removed meanwhile) ends early.
    while (struct dirent* e = readdir(dir.get())) {
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      const std::string child = rel.empty() ? name : rel + "/" + name;
      if (fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
      if (S_ISLNK(st.st_mode)) {
        if (!rel.empty() || programs_.count(name) == 0) Link(at, name, child);
        continue;
      }
      if (!S_ISDIR(st.st_mode) || (rel.empty() && name != "data") || depth >= kMaxDepth) continue;
      const int sub = openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub >= 0) Walk(sub, child, depth + 1);  // else swapped meanwhile, or not readable
    }
  }

  // The link `name` in the folder open at `dir`, `rel` below the home.
  void Link(int dir, const std::string& name, const std::string& rel) {
    char target[PATH_MAX];
    const ssize_t n = readlinkat(dir, name.c_str(), target, sizeof target - 1);
    const std::string to =
        n >= 0 ? "to " + std::string(target, static_cast<size_t>(n))
               : std::string("(its target cannot be read: ") + strerror(errno) + ")";
    Finding& f = Add("link", Shown(rel),
                     "a symbolic link " + to +
                         "; nothing under the data home may be one: the scheduler and the record "
                         "store never follow it");
    Left(f,
         "links are never followed or removed by --repair: see where it leads, then put the "
         "file it stands for in its place or remove the link (rm, never rm -r)");
  }

  // The modules' kept output (stores/runoutput.h): a run's file is never a
  // finding, whatever it holds, but one that others can write is (a link
  // there is one of Tree's findings). After Tree, which learns the owner.
  void OutputFiles() {
    std::vector<int> ids;
    runOutputModules(&ids);
    for (int id : ids) {
      const std::string folder = std::string(kRunOutputDir) + "/" + std::to_string(id);
      ComDir dir(comIoOpenDir(DataPath(folder).c_str()));
      while (struct dirent* e = dir.ok() ? readdir(dir.get()) : nullptr) {
        struct stat st;
        if (fstatat(dirfd(dir.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode)) {
          continue;
        }
        const std::string who = ctlWriters(st, owner_);
        if (who.empty()) continue;
        Finding& f = Add("writable-by-others", folder + "/" + e->d_name,
                         "the output of a run is " + who +
                             ": whoever can write it changes what log --output and status show");
        Left(f, kLeftWritable);
      }
    }
  }

  // The non-empty alarm files (an empty one is no alarm to the daemon).
  void Alarms(const std::set<int>* table) {
    std::vector<CtlAlarm> alarms;
    if (ctlScanAlarms(0, &alarms) != 0) {
      Add("unparsable", "scheduler/alarm",
          std::string("the alarm index cannot be read: ") + ctlReason(errno));
    }
    for (const CtlAlarm& alarm : alarms) {
      char file[kComPathMax];
      ctlAlarmFile(alarm, file);
      if (alarm.size == 0) continue;
      Parse(file, true);
      if (table == nullptr || table->count(alarm.moduleId) != 0) continue;
      Finding& f = Add("dangling-alarm", file,
                       "an alarm of module " + std::to_string(alarm.moduleId) +
                           ", which is not in the module table; the daemon never runs it");
      Left(f, "a record that parses is never deleted: remove it with schedulerctl HOME alarm "
              "remove, or alarm prune");
      if (repair_ && dropped_.count(alarm.moduleId) != 0) DropAlarm(f, alarm);
    }
  }

  // What goes with a module this repair dropped from the index, as it goes
  // with a module that `module remove` removes: its schedule entries and
  // alarms, each in a unit of its own.
  void DropEntry(Finding& f, const CtlEntry& e) {
    char hour[3];
    char minute[3];
    snprintf(hour, sizeof hour, "%02d", e.hour);
    snprintf(minute, sizeof minute, "%02d", e.minute);
    CvelScheduler entry;
    int rc = entry.Get(e.moduleId, hour, minute);  // sets its keys
    if (rc == 0) {
      CS3DataIO io;
      rc = io.Del(entry);
      if (rc == 0) rc = io.Commit();
      if (rc != 0) io.SetError();
    }
    if (rc != 0) return CannotRemove(f, rc);
    ctlPruneScheduleDirs({e});
    Repaired(f, "removed: module " + std::to_string(e.moduleId) +
                    " was dropped from the index by this repair");
  }
  void DropAlarm(Finding& f, const CtlAlarm& alarm) {
    char failed[kComPathMax];
    int rc = ctlAwaitAlarms({alarm}, failed);
    if (rc == 0) {
      CS3DataIO io;
      rc = ctlDelAlarms(&io, {alarm}, failed);
      if (rc == 0) rc = io.Commit();
      if (rc != 0) io.SetError();
    }
    if (rc != 0) return CannotRemove(f, rc);
    ctlPruneAlarmDirs({alarm});
    Repaired(f, "removed: module " + std::to_string(alarm.moduleId) +
                    " was dropped from the index by this repair");
  }
  void CannotRemove(Finding& f, int rc) {
    Left(f, std::string("cannot remove it: ") + ctlStoreMeaning(rc) + " (result " +
                std::to_string(rc) + ")");
  }

  void DropIndexEntry(Finding& f, int id) {
    CS3DataIO io;
    CvelSchedulerModules index;
    CvelSchedulerModule module;
    // The record file is already gone; the deletion of a missing file is a
    // no-op, so only the index entry changes.
    int rc = io.Del(index, module, id, false);
    if (rc == 0) rc = io.Commit();
    if (rc != 0) {
      io.SetError();
      Left(f, std::string("cannot rewrite the index: ") + ctlStoreMeaning(rc) + " (result " +
                  std::to_string(rc) + ")");
      return;
    }
    Repaired(f, "dropped module " + std::to_string(id) + " from the index");
    dropped_.insert(id);
  }

  void NextAlarm() {
    Parse(kCtlStatusFile, false);
    CvelSchedulerSts sts;
    const int stsRc = sts.Get();
    Typed(kCtlStatusFile, stsRc);
    if (!Parse(kCtlNextAlarmFile, false)) return;
    CKorAlarmTime next;
    const int rc = next.Get();
    Typed(kCtlNextAlarmFile, rc);
    if (rc != 0 || next.IsEmptyNextTime()) return;
    char now[16];
    comGetNowAll(now);
    if (strncmp(next.GetNextTime(), now, 12) >= 0) return;
    std::vector<int> live;
    ctlLiveDaemons(&live);
    if (!live.empty() || (stsRc == 0 && ctlDaemonAlive(sts.GetPid()))) return;
    const char* t = next.GetNextTime();
    char when[32];
    snprintf(when, sizeof when, "%.4s-%.2s-%.2s %.2s:%.2s", t, t + 4, t + 6, t + 8, t + 10);
    Finding& f = Add("past-next-alarm", kCtlNextAlarmFile,
                     std::string("next wake-up ") + when +
                         " is in the past and no daemon runs (a daemon takes it for none)");
    if (!repair_) return;
    CS3DataIO io;
    CKorAlarmTime cleared;
    int mod = io.Mod(cleared);
    if (mod == 0) mod = io.Commit();
    if (mod != 0) {
      io.SetError();
      Left(f, std::string("cannot rewrite it: ") + ctlStoreMeaning(mod) + " (result " +
                  std::to_string(mod) + ")");
      return;
    }
    Repaired(f, std::string("cleared nexttime ") + when);
  }

  bool repair_;
  std::vector<Finding> findings_;
  std::set<int> logged_;            // pids whose logs stay in data/tmp
  std::set<int> dropped_;           // modules this repair dropped from the index
  std::set<std::string> linked_;    // data-relative files with a link at their place
  std::set<std::string> programs_;  // the modules' programs named by a bare file name
  std::string home_;                // the home's text, as bound
  uid_t owner_ = 0;                 // the home's owner
};

}  // namespace

int ctlDoctor(const char* home, bool repair, bool json) {
  int status = ctlRequireHomeDir(home);
  if (status != kCtlExitOk) return status;
  // A plain check reads the records as it finds them: its reads must not put
  // an interrupted unit back, as every other reader does.
  s3SetInspect(!repair);
  Doctor doctor(repair);
  doctor.Run();
  s3SetInspect(false);
  bool clean = true;
  for (const Finding& f : doctor.findings()) clean = clean && f.repaired;
  if (json) {
    CtlJson out;
    out.BeginObject().Key("findings").BeginArray();
    for (const Finding& f : doctor.findings()) {
      out.BeginObject()
          .Key("kind")
          .String(f.kind.c_str())
          .Key("file")
          .String(f.file.c_str())
          .Key("what")
          .String(f.what.c_str())
          .Key("repaired")
          .Bool(f.repaired);
      out.Key("done").BeginArray();
      for (const std::string& d : f.done) out.String(d.c_str());
      out.EndArray();
      if (!f.left.empty()) out.Key("left").String(f.left.c_str());
      out.EndObject();
    }
    out.EndArray().Key("clean").Bool(clean).EndObject();
    printf("%s\n", out.Text().c_str());
  } else {
    for (const Finding& f : doctor.findings()) {
      printf("%s %s: %s\n", f.kind.c_str(), f.file.c_str(), f.what.c_str());
      for (const std::string& d : f.done) {
        printf("repaired %s %s: %s\n", f.kind.c_str(), f.file.c_str(), d.c_str());
      }
      if (!f.left.empty()) printf("left %s %s: %s\n", f.kind.c_str(), f.file.c_str(), f.left.c_str());
    }
    if (doctor.findings().empty()) printf("clean: nothing to report\n");
  }
  fflush(stdout);
  return clean ? kCtlExitOk : kCtlExitFailed;
}

bool ctlIsLogName(const char* text) {
  int pid = 0;
  return strncmp(text, "tmp/", 4) == 0 && PidName(text + 4, "journal", &pid);
}

int ctlDoctorDiscard(const char* home, const char* log) {
  int status = ctlRequireHomeDir(home);
  if (status != kCtlExitOk) return status;
  const std::string path = DataPath(log);
  const int rc = s3JournalDiscard(path.c_str());
  switch (rc) {
    case kResOk:
      printf(
          "discarded %s: nothing of it was played back; the backup copies of its process stay "
          "until doctor --repair removes them\n",
          log);
      fflush(stdout);
      return kCtlExitOk;
    case kResNoEntry:
      return ctlError("doctor --discard: %s: no such log", path.c_str());
    case kResLocked:
      return ctlError(
          "doctor --discard: %s: its writer is alive, or a recovery holds it (try again)",
          path.c_str());
    case kS3JournalNotDamaged:
      return ctlError("doctor --discard: %s: the log is not damaged: doctor --repair settles it",
                      path.c_str());
    default: {
      const int err = errno;
      return ctlError("doctor --discard: %s: cannot remove it: %s%s", path.c_str(), ctlReason(err),
                      err == ENOTEMPTY ? " (look at what it holds, and remove it by hand)" : "");
    }
  }
}
