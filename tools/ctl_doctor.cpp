#include "tools/ctl_doctor.h"

#include <dirent.h>
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
#include "common/comfile.h"
#include "common/comguard.h"
#include "s3/cs3dataiofile.h"
#include "s3/cs3journal.h"
#include "stores/ckorschedulersts.h"
#include "stores/cvelschedulersts.h"
#include "stores/runoutput.h"
#include "tools/ctl_alarms.h"
#include "tools/ctl_home.h"
#include "tools/ctl_json.h"
#include "tools/ctl_report.h"
#include "tools/ctl_doctor_internal.h"

namespace ctl_doctor {

std::string DataPath(const std::string& relative) {
  char path[kComPathMax];
  S3ComPathEditData(relative.c_str(), path);
  return path;
}

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

bool MayBeAlive(int pid) {
  return pid > 0 && (kill(pid, 0) == 0 || errno != ESRCH);
}

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

Found What(const std::string& path, off_t* size) {
  struct stat st;
  if (comIoStat(path.c_str(), &st) != 0) return errno == ELOOP ? Found::kLinked : Found::kNothing;
  if (size != nullptr) *size = st.st_size;
  return S_ISREG(st.st_mode) ? Found::kFile : S_ISDIR(st.st_mode) ? Found::kFolder : Found::kOther;
}

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : ", ") + item;
  return out;
}

void Doctor::Run() {
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

Finding& Doctor::Add(const std::string& kind, const std::string& file, const std::string& what) {
  findings_.push_back(Finding{kind, file, what, {}, false, ""});
  // What no repair can decide: a record file is never deleted or rewritten
  // on a guess. The repairs below replace this where they can.
  Left(findings_.back(), "left as it is: fix or remove it by hand");
  return findings_.back();
}

void Doctor::Left(Finding& f, const std::string& why) {
  if (repair_) f.left = why;
}

void Doctor::Repaired(Finding& f, const std::string& done) {
  f.repaired = true;
  f.left.clear();
  f.done.push_back(done);
}

void Doctor::Units() {
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

void Doctor::Damaged(const std::string& name, const std::string& pid, const std::string& why,
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

void Doctor::Backups() {
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

void Doctor::StatusFiles() {
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

}  // namespace ctl_doctor


using ctl_doctor::DataPath;
using ctl_doctor::Doctor;
using ctl_doctor::Finding;
using ctl_doctor::PidName;

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
