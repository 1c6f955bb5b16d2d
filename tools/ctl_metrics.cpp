#include "tools/ctl_metrics.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "tools/ctl_daemon.h"
#include "tools/ctl_home.h"
#include "tools/ctl_report.h"
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

// The Unix time of a local date-time YYYYMMDDhhmm.. as the daemon reads its
// clock (local time); false when the text is not one.
bool UnixTime(const char* dateTime, long long* out) {
  struct tm when = {};
  if (sscanf(dateTime, "%4d%2d%2d%2d%2d", &when.tm_year, &when.tm_mon, &when.tm_mday, &when.tm_hour,
             &when.tm_min) != 5) {
    return false;
  }
  when.tm_year -= 1900;
  when.tm_mon -= 1;
  when.tm_isdst = -1;
  time_t t = mktime(&when);
  if (t == static_cast<time_t>(-1)) return false;
  *out = static_cast<long long>(t);
  return true;
}

int DaemonFamilies(Exposition* out) {
  CtlDaemonState state;
  int status = ctlReadDaemonState("metrics", &state);
  if (status != kCtlExitOk) return status;
  out->Gauge("scheduler_daemon_up",
             "Whether a scheduler daemon runs on this data home (1) or not (0).",
             state.running ? 1 : 0);
  long long next = 0;
  if (state.nextWakeup[0] != '\0' && UnixTime(state.nextWakeup, &next)) {
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

}  // namespace

int ctlMetrics() {
  // Each collector adds its families or fails having printed why. Per-module
  // figures (runs, failures, durations from the run journal) join as one more
  // collector here, as labelled samples: Family(), then one Sample() per
  // module with labels module="ID".
  int (*const collectors[])(Exposition*) = {DaemonFamilies, TableFamilies};
  Exposition out;
  for (auto collect : collectors) {
    int status = collect(&out);
    if (status != kCtlExitOk) return status;
  }
  fputs(out.Text().c_str(), stdout);
  return kCtlExitOk;
}
