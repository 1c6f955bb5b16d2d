#include "tools/ctl_doctor_internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "common/com.h"
#include "common/comdate.h"
#include "common/comfile.h"
#include "common/comguard.h"
#include "s3/cs3data.h"
#include "s3/cs3data_parse.h"
#include "s3/cs3dataiofile.h"
#include "stores/ckoralarmtime.h"
#include "stores/cvelscheduler.h"
#include "stores/cvelschedulermodule.h"
#include "stores/cvelschedulermodules.h"
#include "stores/cvelschedulersts.h"
#include "tools/ctl_alarms.h"
#include "tools/ctl_home.h"
#include "tools/ctl_report.h"
#include "tools/ctl_writers.h"

namespace ctl_doctor {

bool Doctor::Parse(const std::string& file, bool emptyOk) {
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

void Doctor::Typed(const std::string& file, int rc) {
  // A file that a dead unit's log names and that cannot be settled is the
  // log's finding (damaged-log, or a recovery left).
  if (rc == 0 || rc == kResNoEntry || rc == kResDeadUnit || linked_.count(file) != 0) return;
  Add("unparsable", file,
      std::string("its record does not read: ") + ctlStoreMeaning(rc) + " (result " +
          std::to_string(rc) + ")");
}

void Doctor::Tables() {
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

void Doctor::Writable(int id, const char* execute) {
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

void Doctor::Alarms(const std::set<int>* table) {
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

void Doctor::DropEntry(Finding& f, const CtlEntry& e) {
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

void Doctor::DropAlarm(Finding& f, const CtlAlarm& alarm) {
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

void Doctor::CannotRemove(Finding& f, int rc) {
  Left(f, std::string("cannot remove it: ") + ctlStoreMeaning(rc) + " (result " +
              std::to_string(rc) + ")");
}

void Doctor::DropIndexEntry(Finding& f, int id) {
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

void Doctor::NextAlarm() {
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

}  // namespace ctl_doctor
