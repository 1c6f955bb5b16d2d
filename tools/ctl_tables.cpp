#include "tools/ctl_tables.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comfile.h"
#include "s3/cs3data.h"
#include "s3/cs3dataiofile.h"
#include "stores/cvelscheduler.h"
#include "stores/cvelschedulermodule.h"
#include "stores/cvelschedulermodules.h"
#include "stores/schedulerdefs.h"
#include "stores/runoutput.h"
#include "stores/schedulerprogram.h"
#include "stores/schedulertiming.h"
#include "tools/ctl_alarms.h"
#include "tools/ctl_home.h"
#include "tools/ctl_json.h"
#include "tools/ctl_policy.h"
#include "tools/ctl_report.h"
#include "tools/ctl_writers.h"

namespace {

// The module index as init writes it: when the file holds no record yet, a
// record 1 with _lastid=0 and no entries; a table that another program wrote
// in the meantime is kept as it is.
class EmptyModuleTable : public CvelSchedulerModules {
 public:
  int SetFieldValue(CS3Data* data) override {
    if (data->GetCount() > 0) return 0;
    return data->SetFieldLastID(0);
  }
};

// Creates `path` and its missing parents (mode 0755 less the umask),
// appending each directory it created to `created`. 0, or -1 with errno.
int MakeDirs(const std::string& path, std::vector<std::string>* created) {
  for (size_t end = 1; end <= path.size(); ++end) {
    if (end < path.size() && path[end] != '/') continue;
    std::string dir = path.substr(0, end);
    if (dir.empty() || dir.back() == '/') continue;
    if (comIoMkdir(dir.c_str(), 0755) == 0) {
      created->push_back(dir);
      continue;
    }
    if (errno != EEXIST) return -1;
    struct stat st;
    if (comIoStat(dir.c_str(), &st) != 0) return -1;
    if (!S_ISDIR(st.st_mode)) {
      errno = ENOTDIR;
      return -1;
    }
  }
  return 0;
}

void RemoveDirs(std::vector<std::string>* created) {
  for (auto it = created->rbegin(); it != created->rend(); ++it) comIoRmdir(it->c_str());
  created->clear();
}

void ClockTexts(const CtlClock& time, char* hour, char* minute) {
  snprintf(hour, 3, "%02d", time.hour);
  snprintf(minute, 3, "%02d", time.minute);
}

std::vector<CtlClock> Distinct(const std::vector<CtlClock>& times) {
  std::vector<CtlClock> out;
  for (const CtlClock& t : times) {
    bool seen = std::any_of(out.begin(), out.end(), [&](const CtlClock& o) {
      return o.hour == t.hour && o.minute == t.minute;
    });
    if (!seen) out.push_back(t);
  }
  return out;
}

// Schedule entry objects with their keys set. CvelScheduler sets its keys
// only on the way into a file access, so each is read once here: that sets
// the keys and says whether the entry is present. All of this happens before
// the command's own accessor locks anything, because a read of a file that
// this process holds locked would end that lock.
struct EntryObject {
  CtlEntry entry;
  std::unique_ptr<CvelScheduler> object;
  int readResult;  // 0 present, -110 absent
};

// Prepares one object per time. kCtlExitOk, or the printed failure.
int PrepareEntries(const char* what, int id, const std::vector<CtlClock>& times,
                   std::vector<EntryObject>* out) {
  for (const CtlClock& time : times) {
    EntryObject item{CtlEntry{id, time.hour, time.minute}, std::make_unique<CvelScheduler>(), 0};
    char hour[3];
    char minute[3];
    ClockTexts(time, hour, minute);
    item.readResult = item.object->Get(id, hour, minute);
    if (item.readResult != 0 && item.readResult != kResNoEntry) {
      char file[kComPathMax];
      ctlEntryFile(item.entry, file);
      return ctlFail(what, file, item.readResult);
    }
    out->push_back(std::move(item));
  }
  return kCtlExitOk;
}

// The program the daemon would start for `execute` (resolved by the same
// code), and a note for the operator.
std::string Resolve(const char* execute, std::string* note) {
  note->clear();
  char program[kSchedProgramPathSize];
  switch (schedulerResolveProgram(execute, program)) {
    case SchedulerProgramFrom::kNone:
      *note = "not found: the daemon skips this module";
      return "-";
    case SchedulerProgramFrom::kAsIs:
      if (comFileGetSizeFollow(program) < 0) {
        *note = "used as is; not found from here";
        return program;
      }
      break;
    case SchedulerProgramFrom::kWorkDir:
      *note = "found in the current directory";
      break;
    case SchedulerProgramFrom::kHome:
      break;
  }
  if (access(program, X_OK) != 0)
    *note = note->empty() ? "not executable" : *note + "; not executable";
  return program;
}

std::string Times(const std::vector<CtlClock>& times) {
  if (times.empty()) return "-";
  std::string out;
  for (const CtlClock& t : times) {
    char text[8];
    snprintf(text, sizeof(text), "%02d:%02d", t.hour, t.minute);
    if (!out.empty()) out += ' ';
    out += text;
  }
  return out;
}

}  // namespace

int ctlInit(const char* home) {
  std::vector<std::string> created;
  std::string base(home);
  for (const char* sub : {"", "/data", "/data/tmp", "/data/scheduler", "/data/scheduler/module"}) {
    std::string dir = base + sub;
    if (MakeDirs(dir, &created) != 0) {
      int err = errno;
      RemoveDirs(&created);
      return ctlError("init: cannot create the directory %s: %s", dir.c_str(), ctlReason(err));
    }
  }
  std::vector<int> ids;
  int rc = ctlReadModuleIds(&ids);
  if (rc == 0) {
    char path[kComPathMax];
    S3ComPathEditData(kCtlModuleIndexFile, path);
    printf("%s: module table present (%zu module%s), left as it is\n", path, ids.size(),
           ids.size() == 1 ? "" : "s");
    return kCtlExitOk;
  }
  // A new home keeps its modules' output; one that already chose keeps its
  // choice.
  char choice[kComPathMax];
  S3ComPathEditData(kRunOutputModeFile, choice);
  struct stat st;
  const bool choose = rc == kResNoEntry && comIoStat(choice, &st) != 0 && errno == ENOENT;
  if (choose && runOutputSetMode(RunOutputMode::kKeep) != 0) {
    const int err = errno;
    RemoveDirs(&created);
    return ctlError("init: cannot write %s: %s", choice, ctlReason(err));
  }
  if (rc == kResNoEntry) {
    CS3DataIO io;
    EmptyModuleTable table;
    rc = io.OpenAdd(table);
    if (rc == 0) rc = io.ModIndexData(table);
    if (rc == 0) rc = io.Commit();  // a failed flush is rolled back and reported
    if (rc != 0) io.SetError();
  }
  if (rc != 0) {
    if (choose) comIoUnlink(choice);
    RemoveDirs(&created);
    return ctlFail("init: cannot create the module table", kCtlModuleIndexFile, rc);
  }
  char path[kComPathMax];
  S3ComPathEditData(kCtlModuleIndexFile, path);
  printf("%s: empty module table created\n", path);
  if (choose) printf("%s: keep (each run's output is kept; see schedulerctl HOME output)\n", choice);
  return kCtlExitOk;
}

int ctlModuleAdd(const char* name, const char* program) {
  std::vector<int> ids;
  int status = ctlRequireTable("module add", &ids);
  if (status != kCtlExitOk) return status;
  CvelSchedulerModule module;
  int rc = module.Set("Name", name);
  if (rc == 0) rc = module.Set("execute", program);
  if (rc != 0) return ctlFail("module add: the values were refused", nullptr, rc);
  CtlNewDirs dirs;
  dirs.Watch("tmp/backup");
  rc = module.Add();
  if (rc != 0) {
    // The accessor put the index and the record file back; a directory made
    // for the new ID is left empty and goes too.
    if (module.GetID() > 0 && std::find(ids.begin(), ids.end(), module.GetID()) == ids.end()) {
      char dir[kComPathMax];
      char relative[64];
      snprintf(relative, sizeof(relative), "scheduler/module/%d", module.GetID());
      S3ComPathEditData(relative, dir);
      comIoRmdir(dir);
    }
    dirs.Undo();
    return ctlFail("module add: cannot add the module", kCtlModuleIndexFile, rc);
  }
  printf("%d\n", module.GetID());
  fflush(stdout);
  std::vector<CtlWritable> writable;
  ctlModuleWriters(module.GetID(), program, true, &writable);
  for (const CtlWritable& w : writable) {
    std::string what;
    switch (w.what) {
      case CtlWritable::kRecord:
        what = "its record";
        break;
      case CtlWritable::kProgram:
        what = "its program " + w.file;
        break;
      case CtlWritable::kProgramFolder:
        what = "the folder " + w.file + " on the way to its program " + w.program;
        break;
      case CtlWritable::kRecordFolder:
        what = "the folder " + w.file + " on the way to its record";
        break;
    }
    fprintf(stderr,
            "schedulerctl: warning: module %d: %s is %s: whoever can write it runs code as the "
            "daemon's user (see: schedulerctl HOME doctor)\n",
            module.GetID(), what.c_str(), w.who.c_str());
  }
  return kCtlExitOk;
}

int ctlModuleList(bool json) {
  std::vector<int> ids;
  int status = ctlRequireTable("module list", &ids);
  if (status != kCtlExitOk) return status;
  struct Row {
    int id;
    bool present;  // the module's record was found
    std::string name, program, runs, note;
    RunPolicy policy;
  };
  std::vector<Row> modules;
  for (int id : ids) {
    CvelSchedulerModule module;
    int rc = module.Get(id);
    if (rc == kResNoEntry) {
      modules.push_back(
          {id, false, "", "", "", "record missing: the daemon removes the module when it is due",
           RunPolicy()});
      continue;
    }
    if (rc != 0) {
      char file[kComPathMax];
      module.GetFileName(file);
      return ctlFail("module list", file, rc);
    }
    Row row{id, true, module.GetDisplayName(), module.GetExecute(), "", "", runPolicyGet(id)};
    row.runs = Resolve(module.GetExecute(), &row.note);
    modules.push_back(row);
  }
  if (json) {
    CtlJson out;
    out.BeginObject().Key("modules").BeginArray();
    for (const Row& m : modules) {
      bool runs = m.present && m.runs != "-";
      out.BeginObject()
          .Member("id", m.id)
          .Member("name", m.present ? m.name.c_str() : nullptr)
          .Member("program", m.present ? m.program.c_str() : nullptr)
          .Member("runs", runs ? m.runs.c_str() : nullptr)
          .Member("note", m.note.empty() ? nullptr : m.note.c_str())
          .Member("overlap", ctlPolicyOverlapText(m.policy).c_str())
          .Key("time_limit");
      if (m.policy.limitMinutes > 0) {
        out.Int(m.policy.limitMinutes);
      } else {
        out.Null();
      }
      out.EndObject();
    }
    out.EndArray().EndObject();
    printf("%s\n", out.Text().c_str());
    return kCtlExitOk;
  }
  std::vector<std::vector<std::string>> rows;
  rows.push_back({"ID", "NAME", "PROGRAM", "RUNS", "OVERLAP", "LIMIT", ""});
  for (const Row& m : modules) {
    if (!m.present) {
      rows.push_back({std::to_string(m.id), "-", "-", "-", "-", "-", m.note});
    } else {
      rows.push_back({std::to_string(m.id), m.name, m.program, m.runs,
                      ctlPolicyOverlapText(m.policy), ctlPolicyLimitText(m.policy),
                      m.note.empty() ? "" : "(" + m.note + ")"});
    }
  }
  ctlPrintRows(rows);
  return kCtlExitOk;
}

int ctlModuleRemove(int id) {
  int status = ctlRequireModule("module remove", id);
  if (status != kCtlExitOk) return status;
  std::vector<CtlEntry> entries;
  if (ctlScanSchedule(id, &entries) != 0) {
    char dir[kComPathMax];
    S3ComPathEditData("scheduler", dir);
    return ctlError("module remove: cannot read the schedule table under %s: %s", dir,
                    ctlReason(errno));
  }
  std::vector<CtlClock> times;
  for (const CtlEntry& e : entries) times.push_back(CtlClock{e.hour, e.minute});
  std::vector<EntryObject> objects;
  status = PrepareEntries("module remove", id, times, &objects);
  if (status != kCtlExitOk) return status;
  // Its alarms go too: the daemon would never run them, and left behind they
  // are what doctor reports as dangling.
  std::vector<CtlAlarm> alarms;
  if (ctlScanAlarms(id, &alarms) != 0) {
    char dir[kComPathMax];
    S3ComPathEditData("scheduler/alarm", dir);
    return ctlError("module remove: cannot read the alarm index under %s: %s", dir,
                    ctlReason(errno));
  }
  char alarmFile[kComPathMax];
  int rc = ctlAwaitAlarms(alarms, alarmFile);
  if (rc != 0) return ctlFail("module remove", alarmFile, rc);

  CtlNewDirs dirs;
  dirs.Watch("tmp/backup");
  const char* failedEntry = nullptr;
  char entryFile[kComPathMax] = "";
  {
    CS3DataIO io;
    CvelSchedulerModules index;
    CvelSchedulerModule module;
    rc = io.Del(index, module, id, true);
    for (EntryObject& item : objects) {
      if (rc != 0) break;
      ctlEntryFile(item.entry, entryFile);
      failedEntry = entryFile;
      rc = io.Del(*item.object);
    }
    if (rc == 0 && !alarms.empty()) {
      failedEntry = entryFile;
      rc = ctlDelAlarms(&io, alarms, entryFile);
    }
    if (rc == 0) rc = io.Commit();  // a failed flush is rolled back and reported
    if (rc != 0) io.SetError();
  }
  if (rc != 0) {
    dirs.Undo();
    char what[64];
    snprintf(what, sizeof(what), "module remove: cannot remove module %d", id);
    if (failedEntry != nullptr || ctlFailNamesTheCall(rc)) return ctlFail(what, failedEntry, rc);
    // The index entry and the module's directory go in one step; either may
    // have failed.
    char index[kComPathMax];
    char moduleDir[kComPathMax];
    char relative[64];
    S3ComPathEditData(kCtlModuleIndexFile, index);
    snprintf(relative, sizeof(relative), "scheduler/module/%d", id);
    S3ComPathEditData(relative, moduleDir);
    return ctlError("%s: %s and %s: %s (result %d)", what, index, moduleDir, ctlStoreMeaning(rc),
                    rc);
  }
  ctlPruneScheduleDirs(entries);
  ctlPruneAlarmDirs(alarms);
  printf("removed module %d with %zu schedule entr%s and %zu alarm%s\n", id, entries.size(),
         entries.size() == 1 ? "y" : "ies", alarms.size(), alarms.size() == 1 ? "" : "s");
  return kCtlExitOk;
}

// Warns on stderr about every time that the running daemon's ticks never
// reach; the entries are still added, as an alarm may wake the daemon then.
static void WarnUnreachable(int id, const std::vector<CtlClock>& times) {
  int interval = 0;
  if (!ctlDaemonInterval(&interval)) return;
  for (const CtlClock& time : times) {
    char why[128];
    if (!schedulerTickReaches(time.hour, time.minute, interval, why, sizeof(why))) {
      fprintf(stderr,
              "schedulerctl: warning: module %d at %02d:%02d never runs with the running "
              "daemon's interval %d: %s\n",
              id, time.hour, time.minute, interval, why);
    }
  }
}

int ctlScheduleAdd(int id, const std::vector<CtlClock>& times) {
  int status = ctlRequireModule("schedule add", id);
  if (status != kCtlExitOk) return status;
  WarnUnreachable(id, times);
  std::vector<EntryObject> objects;
  status = PrepareEntries("schedule add", id, Distinct(times), &objects);
  if (status != kCtlExitOk) return status;

  CtlNewDirs dirs;
  dirs.Watch("tmp/backup");
  for (const EntryObject& item : objects) {
    char file[kComPathMax];
    ctlEntryFile(item.entry, file);
    dirs.Watch(file);
  }
  int rc = 0;
  char failed[kComPathMax] = "";
  {
    CS3DataIO io;
    for (EntryObject& item : objects) {
      ctlEntryFile(item.entry, failed);
      // The entry's value is the module ID; the daemon only asks whether the
      // file holds a record.
      rc = io.Add(*item.object, id);
      if (rc != 0) break;
    }
    if (rc == 0) rc = io.Commit();  // a failed flush is rolled back and reported
    if (rc != 0) io.SetError();
  }
  if (rc != 0) {
    dirs.Undo();
    char what[64];
    snprintf(what, sizeof(what), "schedule add: cannot schedule module %d", id);
    return ctlFail(what, failed, rc);
  }
  return kCtlExitOk;
}

int ctlReadSchedule(const char* what, int id, std::map<int, std::vector<CtlClock>>* byModule) {
  std::vector<CtlEntry> entries;
  if (ctlScanSchedule(id, &entries) != 0) {
    char dir[kComPathMax];
    S3ComPathEditData("scheduler", dir);
    return ctlError("%s: cannot read the schedule table under %s: %s", what, dir, ctlReason(errno));
  }
  // An entry counts only when its file holds a record, as for the daemon.
  for (const CtlEntry& e : entries) {
    CvelScheduler entry;
    char hour[3];
    char minute[3];
    ClockTexts(CtlClock{e.hour, e.minute}, hour, minute);
    int rc = entry.Get(e.moduleId, hour, minute);
    if (rc == kResNoEntry) continue;
    if (rc != 0) {
      char file[kComPathMax];
      ctlEntryFile(e, file);
      return ctlFail(what, file, rc);
    }
    (*byModule)[e.moduleId].push_back(CtlClock{e.hour, e.minute});
  }
  return kCtlExitOk;
}

int ctlScheduleList(int id, bool json) {
  std::vector<int> ids;
  int status = ctlRequireTable("schedule list", &ids);
  if (status != kCtlExitOk) return status;
  std::map<int, std::vector<CtlClock>> byModule;
  status = ctlReadSchedule("schedule list", id, &byModule);
  if (status != kCtlExitOk) return status;
  bool listed = id <= 0 || std::find(ids.begin(), ids.end(), id) != ids.end();
  if (!listed && byModule.empty()) {
    char path[kComPathMax];
    S3ComPathEditData(kCtlModuleIndexFile, path);
    return ctlError("schedule list: %s: the module table has no module %d", path, id);
  }
  struct Row {
    int id;
    bool inTable;
    bool named;  // the module's record was found
    std::string name;
    std::vector<CtlClock> times;
  };
  std::vector<Row> modules;
  for (int module : ids) {
    if (id > 0 && module != id) continue;
    CvelSchedulerModule record;
    bool named = record.Get(module) == 0;
    modules.push_back(
        {module, true, named, named ? record.GetDisplayName() : "", byModule[module]});
    byModule.erase(module);
  }
  for (const auto& stray : byModule)
    modules.push_back({stray.first, false, false, "", stray.second});

  if (json) {
    CtlJson out;
    out.BeginObject().Key("schedule").BeginArray();
    for (const Row& m : modules) {
      out.BeginObject()
          .Member("id", m.id)
          .Member("name", m.named ? m.name.c_str() : nullptr)
          .Key("times")
          .BeginArray();
      for (const CtlClock& t : m.times) {
        char text[8];
        snprintf(text, sizeof(text), "%02d:%02d", t.hour, t.minute);
        out.String(text);
      }
      out.EndArray().Key("in_table").Bool(m.inTable).EndObject();
    }
    out.EndArray().EndObject();
    printf("%s\n", out.Text().c_str());
    return kCtlExitOk;
  }
  std::vector<std::vector<std::string>> rows;
  rows.push_back({"ID", "NAME", "TIMES"});
  for (const Row& m : modules) {
    std::string name = !m.inTable ? "(not in the module table: never run)" : m.named ? m.name : "-";
    rows.push_back({std::to_string(m.id), name, Times(m.times)});
  }
  ctlPrintRows(rows);
  return kCtlExitOk;
}

int ctlScheduleRemove(int id, const std::vector<CtlClock>& times) {
  std::vector<EntryObject> objects;
  int status = PrepareEntries("schedule remove", id, Distinct(times), &objects);
  if (status != kCtlExitOk) return status;
  for (const EntryObject& item : objects) {
    if (item.readResult == kResNoEntry) {
      char file[kComPathMax];
      char path[kComPathMax];
      ctlEntryFile(item.entry, file);
      S3ComPathEditData(file, path);
      return ctlError("schedule remove: %s: module %d is not scheduled at %02d:%02d", path, id,
                      item.entry.hour, item.entry.minute);
    }
  }
  CtlNewDirs dirs;
  dirs.Watch("tmp/backup");
  int rc = 0;
  char failed[kComPathMax] = "";
  std::vector<CtlEntry> removed;
  {
    CS3DataIO io;
    for (EntryObject& item : objects) {
      ctlEntryFile(item.entry, failed);
      // The whole file goes: an entry file that merely loses its _item entry
      // still holds a record and keeps the module due.
      rc = io.Del(*item.object);
      if (rc != 0) break;
      removed.push_back(item.entry);
    }
    if (rc == 0) rc = io.Commit();  // a failed flush is rolled back and reported
    if (rc != 0) io.SetError();
  }
  if (rc != 0) {
    dirs.Undo();
    char what[64];
    snprintf(what, sizeof(what), "schedule remove: cannot unschedule module %d", id);
    return ctlFail(what, failed, rc);
  }
  ctlPruneScheduleDirs(removed);
  return kCtlExitOk;
}
