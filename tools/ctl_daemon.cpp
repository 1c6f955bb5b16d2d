#include "tools/ctl_daemon.h"

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comdate.h"
#include "s3/cs3data.h"
#include "s3/cs3dataiofile.h"
#include "stores/ckoralarm.h"
#include "stores/ckoralarmtime.h"
#include "stores/ckorschedulersts.h"
#include "stores/cvelschedulersts.h"
#include "tools/ctl_home.h"
#include "tools/ctl_json.h"
#include "tools/ctl_missed.h"
#include "tools/ctl_output.h"
#include "tools/ctl_policy.h"
#include "tools/ctl_report.h"
#include "tools/ctl_runlog.h"

namespace {

// An alarm as this tool files it: the alarm file holds one record per filed
// alarm with the module ID, the date-time and the operator's text. The
// daemon only needs the file to be non-empty; the fields are for the module
// that processes the alarm.
class FiledAlarm : public CKorAlarm {
 public:
  int SetFieldValue(CS3Data* data) override {
    char module[16];
    snprintf(module, sizeof(module), "%d", GetModuleID());
    int rc = data->SetFieldValue("module", module);
    if (rc == 0) rc = data->SetFieldValue("datetime", GetDateTime());
    if (rc == 0) rc = data->SetFieldValue("text", text.Get());
    return rc;
  }
};

// "YYYY-MM-DD HH:MM" of a date-time text YYYYMMDDhhmm.. into `out` (32 bytes).
void ShowDateTime(const char* dateTime, char* out) {
  snprintf(out, 32, "%.4s-%.2s-%.2s %.2s:%.2s", dateTime, dateTime + 4, dateTime + 6, dateTime + 8,
           dateTime + 10);
}

// The current minute as YYYYMMDDhhmm00 (15 bytes).
void NowMinute(char* out) {
  comGetNowAll(out);
  out[12] = '0';
  out[13] = '0';
  out[14] = '\0';
}

// Lowers the next-alarm record to `dateTime` (YYYYMMDDhhmm00). A time in the
// record that is already past counts as none: the daemon takes such a time
// for stale and ignores it, so leaving it there would leave the daemon
// asleep past `dateTime` (and block every later lowering). 1 when the record
// now holds `dateTime`, 0 when the daemon already wakes at or before it, or
// a store code.
int LowerNextAlarm(const char* dateTime) {
  CKorAlarmTime next;
  int rc = next.Lower(dateTime);
  if (rc != 0) return rc;
  char now[15];
  NowMinute(now);
  if (next.IsEmptyNextTime() || strcmp(next.GetNextTime(), now) >= 0) return 0;
  CKorAlarmTime replacement;
  rc = replacement.Set("nexttime", dateTime);
  if (rc != 0) return rc;
  CS3DataIO io;
  rc = io.Mod(replacement);
  if (rc == 0) rc = io.Commit();  // a failed flush is rolled back and reported
  if (rc != 0) io.SetError();
  return rc == 0 ? 1 : rc;
}

// Sends SIGUSR1 to daemon `pid` when it holds its own status lock, and to
// no other process, whatever the records say. 1 sent, 0 not running (or it
// ended meanwhile), -1 the signal failed (errno kept).
int Nudge(int pid) {
  CKorSchedulerSts daemon;
  if (pid <= 0 || daemon.SetPid(pid) != 0) return 0;
  const int sent = daemon.Signal(SIGUSR1);
  return sent < 0 && errno == ESRCH ? 0 : sent;
}

}  // namespace

int ctlAlarmAdd(int id, const char* dateTime, const char* text) {
  char now[15];
  NowMinute(now);
  if (strncmp(dateTime, now, 12) < 0) {
    char when[32];
    char current[32];
    ShowDateTime(dateTime, when);
    ShowDateTime(now, current);
    return ctlUsageError("alarm add: %s is in the past (now %s); the daemon would never run it",
                         when, current);
  }
  int status = ctlRequireModule("alarm add", id);
  if (status != kCtlExitOk) return status;

  FiledAlarm alarm;
  int rc = alarm.SetModuleID(id);
  if (rc == 0) rc = alarm.SetDateTime(dateTime);
  if (rc == 0) rc = alarm.text.Set(text);
  char file[kComPathMax] = "";
  if (rc == 0) rc = alarm.GetFileName(file);
  if (rc != 0) return ctlFail("alarm add: the alarm was refused", nullptr, rc);

  CtlNewDirs dirs;
  dirs.Watch("tmp/backup");
  dirs.Watch(file);
  dirs.Watch(kCtlNextAlarmFile);
  const char* failed = file;
  int lowered = 0;
  {
    // One unit of work: the alarm file stays locked and backed up in `io`
    // while the next-alarm record is lowered, so a failed lowering also
    // takes the alarm back.
    CS3DataIO io;
    rc = io.Add(alarm);
    if (rc == 0) {
      lowered = LowerNextAlarm(dateTime);
      if (lowered < 0) {
        rc = lowered;
        failed = kCtlNextAlarmFile;
      }
    }
    if (rc == 0) rc = io.Commit();  // a failed flush is rolled back and reported
    if (rc != 0) io.SetError();
  }
  if (rc != 0) {
    dirs.Undo();
    return ctlFail("alarm add: cannot file the alarm", failed, rc);
  }
  if (lowered != 1) return kCtlExitOk;  // the daemon already wakes early enough

  // The daemon adopts a lowered next-alarm record only when a signal cuts
  // its sleep short.
  CvelSchedulerSts sts;
  rc = sts.Get();
  if (rc == kResNoEntry || (rc == 0 && sts.GetPid() == 0)) return kCtlExitOk;
  if (rc != 0) {
    ctlFail("alarm add: the alarm is filed, but the daemon was not told", kCtlStatusFile, rc);
    return kCtlExitOk;
  }
  if (Nudge(sts.GetPid()) < 0) {
    fprintf(stderr,
            "schedulerctl: alarm add: the alarm is filed, but signalling daemon %d failed: %s; "
            "it sees the alarm at its next wake-up\n",
            sts.GetPid(), ctlReason(errno));
  }
  return kCtlExitOk;
}

const char* ctlDaemonStateName(CtlDaemonState::Kind kind) {
  switch (kind) {
    case CtlDaemonState::kNeverRan:
      return "never-ran";
    case CtlDaemonState::kRunning:
      return "running";
    case CtlDaemonState::kHandedOver:
      return "handed-over";
    case CtlDaemonState::kStopped:
      return "stopped";
    case CtlDaemonState::kKilled:
      return "killed";
  }
  return "unknown";
}

int ctlReadDaemonState(const char* what, CtlDaemonState* state) {
  CvelSchedulerSts sts;
  int rc = sts.Get();
  if (rc != 0 && rc != kResNoEntry) return ctlFail(what, kCtlStatusFile, rc);
  CKorAlarmTime next;
  int nextRc = next.Get();
  if (nextRc != 0 && nextRc != kResNoEntry) return ctlFail(what, kCtlNextAlarmFile, nextRc);

  state->pid = rc == 0 ? sts.GetPid() : 0;
  state->running = ctlDaemonAlive(state->pid);
  state->hasResult = rc == 0 && sts.HasStatus();
  state->result = state->hasResult ? sts.GetStatus() : 0;
  std::vector<int> live;
  if (!state->running) ctlLiveDaemons(&live);
  if (!live.empty()) {
    state->kind = CtlDaemonState::kHandedOver;
    state->running = true;
    state->pid = live.front();
  } else if (rc == kResNoEntry) {
    state->kind = CtlDaemonState::kNeverRan;
  } else if (state->running) {
    state->kind = CtlDaemonState::kRunning;
  } else if (sts.HasStatus()) {
    state->kind = CtlDaemonState::kStopped;
  } else if (state->pid > 0) {
    state->kind = CtlDaemonState::kKilled;
  } else {
    state->kind = CtlDaemonState::kHandedOver;
  }
  state->nextWakeup[0] = '\0';
  if (state->running && nextRc == 0 && !next.IsEmptyNextTime()) {
    snprintf(state->nextWakeup, sizeof(state->nextWakeup), "%s", next.GetNextTime());
  }
  return kCtlExitOk;
}

int ctlStatus(const char* home, bool json) {
  CtlDaemonState state;
  int status = ctlReadDaemonState("status", &state);
  if (status != kCtlExitOk) return status;
  char when[32] = "";
  if (state.nextWakeup[0] != '\0') ShowDateTime(state.nextWakeup, when);

  if (json) {
    CtlJson out;
    out.BeginObject().Member("home", home).Key("daemon").BeginObject().Key("pid");
    if (state.pid > 0) {
      out.Int(state.pid);
    } else {
      out.Null();
    }
    out.Key("running").Bool(state.running);
    out.Member("state", ctlDaemonStateName(state.kind)).EndObject();
    out.Key("last_result");
    if (state.hasResult) {
      out.BeginObject()
          .Member("code", state.result)
          .Member("meaning", ctlDaemonMeaning(state.result))
          .EndObject();
    } else {
      out.Null();
    }
    out.Key("next_wakeup").String(when[0] != '\0' ? when : nullptr);
    ctlOutputStatusJson(&out);
    ctlMissedStatusJson(&out);
    std::vector<CtlModuleRuns> modules;
    if (ctlLogModuleRuns(&modules, nullptr) == 1) {  // the journal is on and readable
      out.Key("modules").BeginArray();
      for (const CtlModuleRuns& runs : modules) {
        if (runs.lastRun.empty()) continue;  // as in the text: its run line was rotated away
        out.BeginObject().Member("id", runs.module).Member("last_run", runs.lastRun.c_str());
        out.Member("result", runs.result.c_str()).EndObject();
      }
      out.EndArray();
    }
    ctlPolicyStatusJson(&out);
    out.EndObject();
    printf("%s\n", out.Text().c_str());
    return kCtlExitOk;
  }

  printf("data home:    %s\n", home);
  switch (state.kind) {
    case CtlDaemonState::kHandedOver:
      if (state.running) {
        printf(
            "daemon:       running, pid %d, but no longer named in the status record: it ends "
            "at its next wake-up\n",
            state.pid);
      } else {
        printf("daemon:       not running (the status record names no process)\n");
      }
      break;
    case CtlDaemonState::kNeverRan:
      printf("daemon:       not running (no daemon has run here: no status record)\n");
      break;
    case CtlDaemonState::kRunning:
      printf("daemon:       running, pid %d\n", state.pid);
      break;
    case CtlDaemonState::kStopped:
      if (state.pid > 0) {
        printf("daemon:       not running (pid %d stopped)\n", state.pid);
      } else {
        printf("daemon:       not running (stopped)\n");
      }
      break;
    case CtlDaemonState::kKilled:
      printf("daemon:       not running (pid %d ended without its shut-down: killed or crashed)\n",
             state.pid);
      break;
  }
  if (state.hasResult) {
    printf("last result:  %d (%s)\n", state.result, ctlDaemonMeaning(state.result));
  } else {
    printf("last result:  -\n");
  }
  printf("next wake-up: %s\n", when[0] != '\0' ? when : "-");
  ctlMissedStatus();
  ctlOutputStatus();
  ctlLogStatus();
  ctlPolicyStatus();
  return kCtlExitOk;
}

int ctlStop(const char* home, bool wait, int timeoutSeconds) {
  CvelSchedulerSts sts;
  int rc = sts.Get();
  if (rc != 0 && rc != kResNoEntry) return ctlFail("stop", kCtlStatusFile, rc);
  int pid = rc == 0 ? sts.GetPid() : 0;
  if (ctlDaemonAlive(pid)) {
    // From here the daemon ends at its next wake-up whatever else happens:
    // it goes on only while the status record names it.
    CvelSchedulerSts handover;
    rc = handover.Mod(0);
    if (rc != 0) return ctlFail("stop: cannot hand the status record over", kCtlStatusFile, rc);
  } else {
    // A daemon that was already handed over (by a stop that did not wait)
    // runs until its next wake-up; it is still to be woken and waited for.
    std::vector<int> live;
    ctlLiveDaemons(&live);
    if (live.empty()) {
      printf("no daemon is running on %s\n", home);
      return kCtlExitOk;
    }
    pid = live.front();
  }

  int limit = wait ? timeoutSeconds : kCtlStopGraceSeconds;
  time_t start = comTime();
  bool ended = false;
  for (;;) {
    if (!ended && !ctlDaemonAlive(pid)) ended = true;
    if (ended) {
      if (!wait) break;
      CvelSchedulerSts last;
      if (last.Get() == 0 && last.HasStatus()) {
        printf("daemon %d stopped: final result %d (%s)\n", pid, last.GetStatus(),
               ctlDaemonMeaning(last.GetStatus()));
        return kCtlExitOk;
      }
    } else {
      // A sleeping daemon re-reads the next-alarm record when a signal cuts
      // its sleep short and wakes at once for the current minute. One that
      // was between two sleeps rewrote the record and missed the signal; the
      // next round catches it in its new sleep.
      char minute[15];
      NowMinute(minute);
      LowerNextAlarm(minute);
      if (Nudge(pid) < 0) {
        return ctlError("stop: cannot signal daemon %d: %s (it ends at its next wake-up)", pid,
                        ctlReason(errno));
      }
    }
    if (comTime() - start >= limit) break;
    comSleep(1);
  }
  if (ended && !wait) {
    printf("daemon %d stopped\n", pid);
    return kCtlExitOk;
  }
  if (ended) {
    return ctlError(
        "stop: daemon %d released its lock but wrote no final status within %d "
        "seconds (killed?)",
        pid, limit);
  }
  if (wait) {
    return ctlError(
        "stop: daemon %d did not stop within %d seconds; it no longer owns the data "
        "home and ends at its next wake-up",
        pid, limit);
  }
  printf("stop requested: daemon %d ends at its next wake-up at the latest\n", pid);
  return kCtlExitOk;
}
