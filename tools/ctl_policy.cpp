// Modules' run policies for schedulerctl.
#include "tools/ctl_policy.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/S3ComPath.h"
#include "common/comdate.h"
#include "stores/runjournal.h"
#include "tools/ctl_home.h"
#include "tools/ctl_report.h"

namespace {

constexpr int kSecondsPerMinute = 60;

// A run of a module of the table that holds its lock now.
struct Running {
  int id;
  RunLockHolder holder;
};

std::vector<Running> RunningNow() {
  std::vector<Running> running;
  std::vector<int> ids;
  if (ctlReadModuleIds(&ids) != 0) return running;
  for (int id : ids) {
    RunLockHolder holder;
    if (runLockProbe(id, &holder) == 1) running.push_back(Running{id, holder});
  }
  return running;
}

std::string SinceText(time_t since) {
  if (since <= 0) return "-";
  char text[kRunJournalTimeSize];
  runJournalFormatTime(since, text);
  return text;
}

}  // namespace

bool ctlParsePolicyArgs(int argc, char** argv, CtlPolicyChange* out, char* why, int whySize) {
  const size_t size = static_cast<size_t>(whySize);
  for (int i = 0; i < argc; ++i) {
    const char* arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (strcmp(arg, "--overlap") == 0 && value != nullptr && !out->overlap) {
      if (!runOverlapParse(value, &out->overlapTo)) {
        snprintf(why, size, "module set: --overlap takes skip or allow, not '%s'", value);
        return false;
      }
      out->overlap = true;
    } else if (strcmp(arg, "--time-limit") == 0 && value != nullptr && !out->limit) {
      out->limit = true;
      if (strcmp(value, "none") != 0) {
        char* end = nullptr;
        errno = 0;
        long minutes = strtol(value, &end, 10);
        if (end == value || *end != '\0' || errno != 0 || minutes < 1 ||
            minutes > kRunPolicyMaxLimitMinutes) {
          snprintf(why, size,
                   "module set: --time-limit takes minutes from 1 to %d or none, not '%s'",
                   kRunPolicyMaxLimitMinutes, value);
          return false;
        }
        out->limitTo = static_cast<int>(minutes);
      }
    } else {
      snprintf(why, size, "module set: unexpected argument '%s'", arg);
      return false;
    }
    ++i;
  }
  if (!out->overlap && !out->limit) {
    snprintf(why, size, "module set needs --overlap skip|allow or --time-limit MINUTES|none");
    return false;
  }
  return true;
}

int ctlModuleSet(int id, const CtlPolicyChange& change) {
  int status = ctlRequireModule("module set", id);
  if (status != kCtlExitOk) return status;
  RunPolicy policy = runPolicyGet(id);
  if (change.overlap) policy.overlap = change.overlapTo;
  if (change.limit) policy.limitMinutes = change.limitTo;
  if (runPolicySet(id, policy) != 0) {
    char path[kComPathMax];
    char file[kComPathMax];
    snprintf(file, sizeof(file), "scheduler/module/%d/%s", id, kRunPolicyFileName);
    S3ComPathEditData(file, path);
    return ctlError("module set: %s: %s", path, ctlReason(errno));
  }
  printf("module %d: overlap %s, time limit %s\n", id, ctlPolicyOverlapText(policy).c_str(),
         policy.limitMinutes > 0 ? (ctlPolicyLimitText(policy) + " minutes").c_str() : "none");
  return kCtlExitOk;
}

std::string ctlPolicyOverlapText(const RunPolicy& policy) {
  return runOverlapName(policy.overlap);
}

std::string ctlPolicyLimitText(const RunPolicy& policy) {
  return policy.limitMinutes > 0 ? std::to_string(policy.limitMinutes) : "none";
}

void ctlPolicyStatus() {
  std::vector<Running> running = RunningNow();
  if (running.empty()) return;
  printf("running now:\n  %-7s %-8s %-20s %s\n", "MODULE", "PID", "SINCE", "STARTED BY");
  for (const Running& r : running) {
    printf("  %-7d %-8s %-20s %s\n", r.id,
           r.holder.pid > 0 ? std::to_string(r.holder.pid).c_str() : "-",
           SinceText(r.holder.since).c_str(), r.holder.byHand ? "hand" : "daemon");
  }
}

void ctlPolicyStatusJson(CtlJson* out) {
  const std::vector<Running> running = RunningNow();
  if (running.empty()) return;
  out->Key("running").BeginArray();
  for (const Running& r : running) {
    out->BeginObject().Member("module", r.id).Key("pid");
    if (r.holder.pid > 0) {
      out->Int(r.holder.pid);
    } else {
      out->Null();
    }
    const std::string since = SinceText(r.holder.since);
    out->Key("since").String(r.holder.since > 0 ? since.c_str() : nullptr);
    out->Key("by_hand").Bool(r.holder.byHand).EndObject();
  }
  out->EndArray();
}

bool ctlPolicySkipping(int id, int* pid, time_t* until) {
  const RunPolicy policy = runPolicyGet(id);
  RunLockHolder holder;
  if (policy.overlap != RunOverlap::kSkip || runLockProbe(id, &holder) != 1) return false;
  *pid = holder.pid;
  *until = 0;
  // The daemon ends only the runs it started.
  if (policy.limitMinutes > 0 && holder.since > 0 && !holder.byHand) {
    *until = holder.since + policy.limitMinutes * kSecondsPerMinute + kRunPolicyKillGraceSeconds;
  }
  return true;
}

int ctlPolicyByHand(int id, int* fd) {
  *fd = -1;
  const RunPolicy policy = runPolicyGet(id);
  if (policy.IsDefault()) return 1;
  *fd = runLockTake(id);
  if (*fd >= 0 || errno != EWOULDBLOCK) return 1;
  if (policy.overlap != RunOverlap::kSkip) return 1;
  RunLockHolder holder;
  runLockProbe(id, &holder);
  ctlError(
      "run: module %d is running (pid %d, since %s, started by %s) and its overlap is skip; "
      "nothing started",
      id, holder.pid, SinceText(holder.since).c_str(), holder.byHand ? "hand" : "the daemon");
  return 0;
}
