#include "tools/ctl_metrics.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "common/S3ComPath.h"
#include "tools/ctl_daemon.h"
#include "tools/ctl_home.h"
#include "tools/ctl_report.h"
#include "tools/ctl_runlog.h"
#include "tools/ctl_tables.h"

namespace {

// The exposition text, built in memory and printed only when complete.
class Exposition {
 public:
  // Opens family `name` of `type` ("gauge", "counter") with its help line.
  // REQUIRES: `help` holds no newline or backslash.
  void Family(const char* name, const char* type, const char* help) {
    Append("# HELP %s %s\n", name, help);
    Append("# TYPE %s %s\n", name, type);
  }
  // One sample of the open family. `labels` is "" or the inside of the
  // braces (module="3"), already in exposition syntax.
  void Sample(const char* name, const char* labels, long long value) {
    if (labels[0] == '\0') {
      Append("%s %lld\n", name, value);
    } else {
      Append("%s{%s} %lld\n", name, labels, value);
    }
  }
  void Gauge(const char* name, const char* help, long long value) {
    Family(name, "gauge", help);
    Sample(name, "", value);
  }
  const std::string& Text() const { return text_; }

 private:
  void Append(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    text_ += line;
  }

  std::string text_;
};

// The Unix time of the local date-time `when` (fields as read from text) as
// the daemon reads its clock (local time); false when there is none.
bool UnixTime(struct tm when, long long* out) {
  when.tm_year -= 1900;
  when.tm_mon -= 1;
  when.tm_isdst = -1;
  time_t t = mktime(&when);
  if (t == static_cast<time_t>(-1)) return false;
  *out = static_cast<long long>(t);
  return true;
}

// The Unix time of a record's date-time YYYYMMDDhhmm..; false when the text
// is not one.
bool RecordTime(const char* dateTime, long long* out) {
  struct tm when = {};
  return sscanf(dateTime, "%4d%2d%2d%2d%2d", &when.tm_year, &when.tm_mon, &when.tm_mday,
                &when.tm_hour, &when.tm_min) == 5 &&
         UnixTime(when, out);
}

// The Unix time of a run journal time "YYYY-MM-DD HH:MM:SS".
bool JournalTime(const std::string& text, long long* out) {
  struct tm when = {};
  return sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d", &when.tm_year, &when.tm_mon, &when.tm_mday,
                &when.tm_hour, &when.tm_min, &when.tm_sec) == 6 &&
         UnixTime(when, out);
}

int DaemonFamilies(Exposition* out) {
  CtlDaemonState state;
  int status = ctlReadDaemonState("metrics", &state);
  if (status != kCtlExitOk) return status;
  out->Gauge("scheduler_daemon_up",
             "Whether a scheduler daemon runs on this data home (1) or not (0).",
             state.running ? 1 : 0);
  long long next = 0;
  if (state.nextWakeup[0] != '\0' && RecordTime(state.nextWakeup, &next)) {
    out->Gauge("scheduler_next_wakeup_timestamp_seconds",
               "Unix time of the running daemon's planned next wake-up.", next);
  }
  return kCtlExitOk;
}

int TableFamilies(Exposition* out) {
  std::vector<int> ids;
  int status = ctlRequireTable("metrics", &ids);
  if (status != kCtlExitOk) return status;
  std::map<int, std::vector<CtlClock>> byModule;
  status = ctlReadSchedule("metrics", 0, &byModule);
  if (status != kCtlExitOk) return status;
  long long entries = 0;
  for (int id : ids) entries += static_cast<long long>(byModule[id].size());
  out->Gauge("scheduler_modules", "Modules in the module table.",
             static_cast<long long>(ids.size()));
  out->Gauge("scheduler_schedule_entries",
             "Schedule entries (a module at a time of day) of the modules in the module table.",
             entries);
  return kCtlExitOk;
}

// Per-module figures from the run journal; nothing while it is off. A family
// is written once, before its first sample, and left out when no module has
// one.
int JournalFamilies(Exposition* out) {
  std::vector<CtlModuleRuns> modules;
  char path[kComPathMax] = "";
  if (ctlLogModuleRuns(&modules, path) < 0) {
    return ctlError("metrics: %s: %s", path, ctlReason(errno));
  }
  struct Family {
    const char* name;
    const char* type;
    const char* help;
    bool (*value)(const CtlModuleRuns&, long long*);
  };
  static const Family kFamilies[] = {
      {"scheduler_module_runs_total", "counter",
       "Runs of the module in the run journal files present (runs.log and runs.log.1; older "
       "runs were rotated away).",
       [](const CtlModuleRuns& m, long long* v) {
         *v = m.runs;
         return true;
       }},
      {"scheduler_module_failures_total", "counter",
       "Exits of the module in the run journal files present with a status other than 0 or by "
       "a signal (older ones were rotated away).",
       [](const CtlModuleRuns& m, long long* v) {
         *v = m.failures;
         return true;
       }},
      {"scheduler_module_last_run_timestamp_seconds", "gauge",
       "Unix time of the module's last run in the run journal files present.",
       [](const CtlModuleRuns& m, long long* v) { return JournalTime(m.lastRun, v); }},
      {"scheduler_module_last_exit_status", "gauge",
       "Exit status of the module's last recorded exit in the run journal files present; "
       "128+N for an end by signal N.",
       [](const CtlModuleRuns& m, long long* v) {
         *v = m.lastExitStatus;
         return m.hasExit;
       }},
      {"scheduler_module_by_hand_runs_total", "counter",
       "Runs of the module started by hand (schedulerctl run) in the run journal files present; "
       "the families above count only the daemon's runs.",
       [](const CtlModuleRuns& m, long long* v) {
         *v = m.byHand;
         return true;
       }},
      {"scheduler_module_skipped_total", "counter",
       "Times the module was due but not started because its last run still ran (overlap "
       "skip) in the run journal files present.",
       [](const CtlModuleRuns& m, long long* v) {
         *v = m.skipped;
         return m.skipped > 0;  // only modules that had one: most never do
       }},
      {"scheduler_module_timeouts_total", "counter",
       "Signals sent to runs of the module past their time limit (SIGTERM, then SIGKILL) in the "
       "run journal files present.",
       [](const CtlModuleRuns& m, long long* v) {
         *v = m.timeouts;
         return m.timeouts > 0;
       }},
  };
  for (const Family& family : kFamilies) {
    bool opened = false;
    for (const CtlModuleRuns& module : modules) {
      long long value = 0;
      if (!family.value(module, &value)) continue;
      if (!opened) out->Family(family.name, family.type, family.help);
      opened = true;
      char labels[32];
      snprintf(labels, sizeof(labels), "module=\"%d\"", module.module);
      out->Sample(family.name, labels, value);
    }
  }
  return kCtlExitOk;
}

}  // namespace

int ctlMetrics() {
  // Each collector adds its families or fails having printed why. Per-module
  // figures are labelled samples: Family(), then one Sample() per module with
  // labels module="ID".
  int (*const collectors[])(Exposition*) = {DaemonFamilies, TableFamilies, JournalFamilies};
  Exposition out;
  for (auto collect : collectors) {
    int status = collect(&out);
    if (status != kCtlExitOk) return status;
  }
  fputs(out.Text().c_str(), stdout);
  return kCtlExitOk;
}
