#include "tools/ctl_doctor.h"

#include <dirent.h>
#include <fcntl.h>
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
#include "common/comguard.h"
#include "s3/cs3data.h"
#include "s3/cs3data_parse.h"
#include "s3/cs3dataiofile.h"
#include "s3/cs3journal.h"
#include "stores/ckoralarmtime.h"
#include "stores/ckorschedulersts.h"
#include "stores/cvelschedulermodule.h"
#include "stores/cvelschedulermodules.h"
#include "stores/cvelschedulersts.h"
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
// so a pid that cannot be signalled (another user's) is left alone.
bool MayBeAlive(int pid) {
  return kill(pid, 0) == 0 || errno != ESRCH;
}

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  ComDir handle(opendir(dir.c_str()));
  if (!handle.ok()) return names;
  while (struct dirent* e = readdir(handle.get())) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool IsFile(const std::string& path, off_t* size) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (size != nullptr) *size = st.st_size;
  return true;
}

bool IsDir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : ", ") + item;
  return out;
}

class Doctor {
 public:
  explicit Doctor(bool repair) : repair_(repair) {}

  void Run() {
    Units();
    Backups();
    StatusFiles();
    Tables();
    NextAlarm();
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
  // at the home as the interrupted units left it before they began.
  void Units() {
    std::vector<S3JournalInfo> logs;
    const std::string tmp = DataPath("tmp");
    if (s3JournalList(tmp.c_str(), &logs) != 0) {
      Add("unparsable", "tmp", std::string("the temporary directory cannot be read: ") +
                                   strerror(errno));
      return;
    }
    for (const S3JournalInfo& log : logs) {
      if (log.live) continue;  // its writer is at work
      const std::string name = "tmp/" + log.path.substr(log.path.find_last_of('/') + 1);
      Finding& f =
          Add("interrupted-unit", name,
              "unit of work of process " + std::to_string(log.pid) + ", which is gone; touched: " +
                  (log.files.empty() ? std::string("nothing yet") : Join(log.files)));
      if (!repair_) continue;
      std::vector<std::string> actions;
      const int rc = s3JournalRecover(log.path.c_str(), &actions);
      if (rc == 0) {
        f.repaired = true;
        f.left.clear();
        f.done = actions;
        if (f.done.empty()) f.done.push_back("rolled back");
      } else {
        f.done = actions;
        Left(f, rc == kResLocked ? "another process is recovering it"
                                 : "a file could not be put back; the log and its copies stay");
      }
    }
    // What the logs still name is theirs, not orphaned.
    for (const S3JournalInfo& log : logs) {
      if (repair_ && !log.live && !IsFile(log.path, nullptr)) continue;
      logged_.insert(log.pid);
    }
  }

  // Backup copies temp<pid>.<n> of a writer that is gone, named by no log.
  void Backups() {
    const std::string tmp = DataPath("tmp");
    for (const std::string& name : Entries(tmp)) {
      int pid = 0;
      if (!PidName(name.c_str(), "temp", &pid)) continue;
      if (logged_.count(pid) != 0 || MayBeAlive(pid)) continue;
      off_t size = 0;
      if (!IsFile(tmp + "/" + name, &size)) continue;
      Finding& f = Add("orphaned-backup", "tmp/" + name,
                       "backup copy (" + std::to_string(size) + " bytes) of process " +
                           std::to_string(pid) + ", which is gone, named by no unit of work");
      if (!repair_) continue;
      if (unlink((tmp + "/" + name).c_str()) == 0) {
        Repaired(f, "removed");
      } else {
        Left(f, std::string("cannot remove it: ") + strerror(errno));
      }
    }
  }

  // scheduler/status.<pid> whose daemon holds no lock on it and is gone.
  void StatusFiles() {
    for (const std::string& name : Entries(DataPath("scheduler"))) {
      int pid = 0;
      if (name.compare(0, 7, "status.") != 0 || !Number(name.c_str() + 7, &pid)) continue;
      if (ctlDaemonAlive(pid) || MayBeAlive(pid)) continue;
      const std::string file = "scheduler/" + name;
      Finding& f = Add("stale-status", file,
                       "status file of daemon " + std::to_string(pid) + ", which is gone");
      if (!repair_) continue;
      if (unlink(DataPath(file).c_str()) == 0) {
        Repaired(f, "removed");
      } else {
        Left(f, std::string("cannot remove it: ") + strerror(errno));
      }
    }
  }

  // Reads `file` as records, one line at a time so that a failure names its
  // line. An empty file is accepted only when `emptyOk`. True when it parses.
  bool Parse(const std::string& file, bool emptyOk) {
    const std::string path = DataPath(file);
    ComFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) return errno == ENOENT;
    std::string bytes;
    char chunk[65536];
    for (;;) {
      ssize_t n = read(fd.get(), chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        Add("unparsable", file, std::string("cannot be read: ") + strerror(errno));
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
    if (rc == 0 || rc == kResNoEntry) return;
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
      if (!Number(name.c_str(), &id) || !IsDir(moduleDir + "/" + name)) continue;
      const std::string file = "scheduler/module/" + name + "/info";
      if (!IsFile(DataPath(file), nullptr)) continue;
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
          std::string("the schedule table cannot be read: ") + strerror(errno));
    }
    for (const CtlEntry& e : entries) {
      char file[kComPathMax];
      ctlEntryFile(e, file);
      if (!IsFile(DataPath(file), nullptr)) continue;
      Parse(file, true);
      if (!haveIndex || table.count(e.moduleId) != 0) continue;
      Finding& f = Add("dangling-schedule", file,
                       "names module " + std::to_string(e.moduleId) +
                           ", which is not in the module table; the daemon never runs it");
      Left(f, "a record that parses is never deleted: remove the file by hand");
    }
    Alarms(haveIndex ? &table : nullptr);
  }

  // A module record, or the program it resolves to, that others than the data
  // home's owner can write: they choose what the daemon runs.
  void Writable(int id, const char* execute) {
    std::vector<CtlWritable> found;
    ctlModuleWriters(id, execute, &found);
    const std::string module = std::to_string(id);
    for (const CtlWritable& w : found) {
      Finding& f = Add("writable-by-others", "scheduler/module/" + module + "/info",
                       w.program ? "module " + module + "'s program " + w.file + " is " + w.who +
                                       ": whoever can write it runs code as the daemon's user"
                                 : "the record is " + w.who +
                                       ": whoever can write it chooses what the daemon runs "
                                       "for module " +
                                       module);
      Left(f,
           "permissions are never changed by --repair: give the file to the data home's owner "
           "and take the write permission from its group and others (chown, chmod go-w)");
    }
  }

  // The non-empty alarm files (an empty one is no alarm to the daemon).
  void Alarms(const std::set<int>* table) {
    std::vector<CtlAlarm> alarms;
    if (ctlScanAlarms(0, &alarms) != 0) {
      Add("unparsable", "scheduler/alarm",
          std::string("the alarm index cannot be read: ") + strerror(errno));
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
    }
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
  std::set<int> logged_;  // pids whose logs stay in data/tmp
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
