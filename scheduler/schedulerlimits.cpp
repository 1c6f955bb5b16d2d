// The run policy at dispatch: skipping a module still running, and ending
// a run past its time limit.
#include "scheduler/schedulerlimits.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>

#include "common/comdate.h"
#include "stores/runjournal.h"

namespace {

constexpr int kSecondsPerMinute = 60;

// A run with a time limit, until it is reaped. Its pid is its group's id.
struct WatchedRun {
  int id;
  int limitMinutes;
  time_t due;       // comMonotonic() seconds of the next signal
  int signalsSent;  // 0, 1 (SIGTERM sent) or 2 (SIGKILL sent: nothing due)
};

std::map<pid_t, WatchedRun>& watchedRuns() {
  static std::map<pid_t, WatchedRun> watched;
  return watched;
}

void journalTimeout(pid_t pid, const WatchedRun& run, int sig) {
  char child[24];
  char id[24];
  char signal[32];
  char limit[24];
  snprintf(child, sizeof(child), "%d", static_cast<int>(pid));
  snprintf(id, sizeof(id), "%d", run.id);
  snprintf(signal, sizeof(signal), "signal %d", sig);
  snprintf(limit, sizeof(limit), "%d", run.limitMinutes);
  const char* fields[] = {"timeout", child, id, signal, limit};
  runJournalAppend(fields, 5);
}

}  // namespace

SchedulerPolicyRun::SchedulerPolicyRun(int id) : id_(id), policy_(runPolicyGet(id)) {
  if (policy_.IsDefault()) return;
  lock_ = runLockTakeOrWait(id, &holder_);
  // A lock that cannot be taken for another reason (a folder made
  // unwritable) never stops a run: it runs unlocked, as without a policy.
  held_ = lock_ < 0 && errno == EWOULDBLOCK;
  extra_.heldFd = lock_;
  extra_.ownGroup = policy_.limitMinutes > 0;
}

SchedulerPolicyRun::~SchedulerPolicyRun() {
  if (lock_ >= 0) close(lock_);
}

bool SchedulerPolicyRun::Skipped(const char* hh, const char* mm) {
  if (!held_ || policy_.overlap != RunOverlap::kSkip) return false;
  char due[32];
  char id[24];
  char pid[24];
  char since[kRunJournalTimeSize] = "?";
  snprintf(due, sizeof(due), "%s:%s", hh, mm);
  snprintf(id, sizeof(id), "%d", id_);
  snprintf(pid, sizeof(pid), "%d", holder_.pid);
  if (holder_.since > 0) runJournalFormatTime(holder_.since, since);
  char why[96];
  snprintf(why, sizeof(why), "still running%s since %s", holder_.byHand ? " by hand" : "", since);
  const char* fields[] = {"skipped", due, id, pid, why};
  runJournalAppend(fields, 5);
  return true;
}

void SchedulerPolicyRun::Started(pid_t child) {
  if (lock_ >= 0) {
    RunLockHolder holder;
    holder.pid = static_cast<int>(child);
    holder.since = comTime();
    // A holder that cannot be written leaves the lock as good: only what
    // status shows of it is missing.
    (void)runLockRecord(lock_, holder);
  }
  if (policy_.limitMinutes > 0) {
    watchedRuns()[child] = WatchedRun{id_, policy_.limitMinutes,
                                      comMonotonic() + policy_.limitMinutes * kSecondsPerMinute, 0};
  }
}

void schedulerLimitsEnded(pid_t pid) {
  watchedRuns().erase(pid);
}

void schedulerLimitsEnforce() {
  const time_t now = comMonotonic();
  for (auto& entry : watchedRuns()) {
    WatchedRun& run = entry.second;
    if (run.signalsSent >= 2 || now < run.due) continue;
    const int sig = run.signalsSent == 0 ? SIGTERM : SIGKILL;
    // The group first, so whatever the run started goes too; the run
    // itself when the group is gone (it left it).
    if (kill(-entry.first, sig) != 0) kill(entry.first, sig);
    journalTimeout(entry.first, run, sig);
    run.signalsSent += 1;
    run.due = now + kRunPolicyKillGraceSeconds;
  }
}

time_t schedulerLimitsNextWall(time_t wallNow) {
  const time_t now = comMonotonic();
  time_t next = 0;
  for (const auto& entry : watchedRuns()) {
    const WatchedRun& run = entry.second;
    if (run.signalsSent >= 2) continue;
    time_t at = wallNow + (run.due - now);
    if (at < wallNow + 1) at = wallNow + 1;
    if (next == 0 || at < next) next = at;
  }
  return next;
}
