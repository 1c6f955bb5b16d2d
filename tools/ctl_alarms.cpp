#include "tools/ctl_alarms.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comfile.h"
#include "common/comdate.h"
#include "common/comguard.h"
#include "s3/cs3data.h"
#include "s3/cs3dataiofile.h"
#include "stores/ckoralarm.h"
#include "stores/cvelschedulermodule.h"
#include "tools/ctl_json.h"
#include "tools/ctl_report.h"

namespace {

// The texts of an alarm file's records: the "text" field that `alarm add`
// writes; records of other programs without one add nothing.
class AlarmTexts : public CKorAlarm {
 public:
  int GetFieldValue(CS3Data* data) override {
    CS3String text;
    if (data->GetFieldValue("text", text) == 0 && !text.IsEmpty()) texts.push_back(text.Get());
    return 0;
  }
  std::vector<std::string> texts;
};

// "YYYY-MM-DD HH:MM" of a date-time YYYYMMDDhhmm.. (also of a bare date,
// then without the time).
std::string Shown(const char* t) {
  char out[32];
  if (strlen(t) < 12) {
    snprintf(out, sizeof(out), "%.4s-%.2s-%.2s", t, t + 4, t + 6);
  } else {
    snprintf(out, sizeof(out), "%.4s-%.2s-%.2s %.2s:%.2s", t, t + 4, t + 6, t + 8, t + 10);
  }
  return out;
}

// The texts of `alarm`'s file; none when it does not read as records.
std::vector<std::string> ReadTexts(const CtlAlarm& alarm) {
  AlarmTexts reader;
  if (reader.SetModuleID(alarm.moduleId) != 0 || reader.SetDateTime(alarm.dateTime) != 0) return {};
  CS3DataIO io;
  if (io.OpenGet(reader) != 0) return {};
  for (int rc = io.firstElement(reader); rc == 0; rc = io.nextElement(reader)) {
    if (io.GetData(reader, nullptr) != 0) break;
  }
  return reader.texts;
}

std::string Plural(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

int ScanFailed(const char* what) {
  int err = errno;
  char dir[kComPathMax];
  S3ComPathEditData("scheduler/alarm", dir);
  return ctlError("%s: cannot read the alarm index under %s: %s", what, dir, ctlReason(err));
}

// Removes `alarms` as one unit of work, then the directories left empty.
int RemoveAlarms(const char* what, const std::vector<CtlAlarm>& alarms) {
  CtlNewDirs dirs;
  dirs.Watch("tmp/backup");
  char failed[kComPathMax] = "";
  int rc = ctlAwaitAlarms(alarms, failed);
  if (rc != 0) return ctlFail(what, failed, rc);
  {
    CS3DataIO io;
    rc = ctlDelAlarms(&io, alarms, failed);
    if (rc == 0) rc = io.Commit();  // a failed flush is rolled back and reported
    if (rc != 0) io.SetError();
  }
  if (rc != 0) {
    dirs.Undo();
    return ctlFail(what, failed, rc);
  }
  ctlPruneAlarmDirs(alarms);
  return kCtlExitOk;
}

}  // namespace

int ctlAwaitAlarms(const std::vector<CtlAlarm>& alarms, char* failed) {
  CS3DataIO policy;  // the accessor's lock attempts and wait
  for (const CtlAlarm& alarm : alarms) {
    ctlAlarmFile(alarm, failed);
    char path[kComPathMax];
    S3ComPathEditData(failed, path);
    ComFd fd(comLockFileRead(path, policy.lockAttempts, policy.lockWait, false));
    if (fd.ok() || errno == ENOENT) continue;
    return errno == EACCES ? kResLocked : kResIoOpenFailed;
  }
  return 0;
}

int ctlDelAlarms(CS3DataIOFile* io, const std::vector<CtlAlarm>& alarms, char* failed) {
  for (const CtlAlarm& alarm : alarms) {
    ctlAlarmFile(alarm, failed);
    // The deletion takes a slot of its own that is bound to no object, so
    // the object may go before the accessor.
    CKorAlarm object;
    int rc = object.SetModuleID(alarm.moduleId);
    if (rc == 0) rc = object.SetDateTime(alarm.dateTime);
    if (rc == 0) rc = io->Del(object);
    if (rc != 0) return rc;
  }
  return 0;
}

int ctlAlarmList(int id, bool all, bool json) {
  std::vector<int> ids;
  int status = ctlRequireTable("alarm list", &ids);
  if (status != kCtlExitOk) return status;
  std::vector<CtlAlarm> alarms;
  if (ctlScanAlarms(id, &alarms) != 0) return ScanFailed("alarm list");
  char now[16];
  comGetNowAll(now);
  struct Row {
    const CtlAlarm* alarm;
    bool past;
    bool inTable;
    bool named;  // the module's record was found
    std::string name;
    std::vector<std::string> texts;
  };
  std::map<int, std::pair<bool, std::string>> names;  // module ID -> (named, name)
  std::vector<Row> rows;
  for (const CtlAlarm& alarm : alarms) {
    bool past = strncmp(alarm.dateTime, now, 12) < 0;
    if (alarm.size == 0 || (past && !all)) continue;
    bool inTable = std::find(ids.begin(), ids.end(), alarm.moduleId) != ids.end();
    if (inTable && names.count(alarm.moduleId) == 0) {
      CvelSchedulerModule module;
      bool named = module.Get(alarm.moduleId) == 0;
      names[alarm.moduleId] = {named, named ? module.GetDisplayName() : ""};
    }
    const auto& name = names[alarm.moduleId];
    rows.push_back(
        Row{&alarm, past, inTable, inTable && name.first, name.second, ReadTexts(alarm)});
  }
  if (json) {
    CtlJson out;
    out.BeginObject().Key("alarms").BeginArray();
    for (const Row& r : rows) {
      out.BeginObject()
          .Member("time", Shown(r.alarm->dateTime).c_str())
          .Member("module", r.alarm->moduleId)
          .Member("name", r.named ? r.name.c_str() : nullptr)
          .Key("in_table")
          .Bool(r.inTable)
          .Key("texts")
          .BeginArray();
      for (const std::string& text : r.texts) out.String(text.c_str());
      out.EndArray().Key("past").Bool(r.past).EndObject();
    }
    out.EndArray().EndObject();
    printf("%s\n", out.Text().c_str());
    return kCtlExitOk;
  }
  if (rows.empty()) {
    std::string whose = id > 0 ? " of module " + std::to_string(id) : "";
    printf("no %salarms%s\n", all ? "" : "pending ", whose.c_str());
    return kCtlExitOk;
  }
  std::vector<std::vector<std::string>> table = {{"TIME", "ID", "NAME", "TEXT"}};
  for (const Row& r : rows) {
    std::string text;
    for (const std::string& t : r.texts) text += (text.empty() ? "" : "; ") + t;
    std::string name = !r.inTable ? "(not in the module table)" : r.named ? r.name : "-";
    table.push_back({Shown(r.alarm->dateTime), std::to_string(r.alarm->moduleId), name, text});
  }
  ctlPrintRows(table);
  return kCtlExitOk;
}

int ctlAlarmRemove(int id, const char* dateTime) {
  CtlAlarm alarm{id, "", 0};
  snprintf(alarm.dateTime, sizeof(alarm.dateTime), "%.14s", dateTime);
  char file[kComPathMax];
  char path[kComPathMax];
  ctlAlarmFile(alarm, file);
  S3ComPathEditData(file, path);
  struct stat st;
  if (comIoStat(path, &st) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) {
      return ctlError("alarm remove: %s: %s", path, ctlReason(errno));
    }
    return ctlError(
        "alarm remove: %s: module %d has no alarm at %s (see: schedulerctl HOME alarm list "
        "--all)",
        path, id, Shown(dateTime).c_str());
  }
  char what[64];
  snprintf(what, sizeof(what), "alarm remove: cannot remove the alarm of module %d", id);
  return RemoveAlarms(what, {alarm});
}

int ctlAlarmPrune(const char* before) {
  char today[16];
  comGetToday(today);
  if (strcmp(before, today) > 0) {
    return ctlUsageError("alarm prune: %s is after today (%s); only past days are pruned",
                         Shown(before).c_str(), Shown(today).c_str());
  }
  std::vector<CtlAlarm> alarms;
  if (ctlScanAlarms(0, &alarms) != 0) return ScanFailed("alarm prune");
  alarms.erase(
      std::remove_if(alarms.begin(), alarms.end(),
                     [&](const CtlAlarm& a) { return strncmp(a.dateTime, before, 8) >= 0; }),
      alarms.end());
  if (!alarms.empty()) {
    int status = RemoveAlarms("alarm prune: cannot remove the alarms", alarms);
    if (status != kCtlExitOk) return status;
  }
  printf("%s of the days before %s removed\n", Plural(alarms.size(), "alarm", "alarms").c_str(),
         Shown(before).c_str());
  return kCtlExitOk;
}
