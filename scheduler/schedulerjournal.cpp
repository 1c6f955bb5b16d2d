// The daemon's hooks into the run journal.
#include "scheduler/schedulerjournal.h"

#include <sys/wait.h>

#include <cstdio>
#include <map>

#include "stores/runjournal.h"

namespace {

// Room for "%02d" of any int.
constexpr int kNumberTextSize = 12;

// A module child whose run line was written, waiting for its exit line.
struct RunningModule {
  int id;
  struct timespec started;  // CLOCK_MONOTONIC
};

// Keyed by child pid.
std::map<pid_t, RunningModule>& runningModules() {
  static std::map<pid_t, RunningModule> running;
  return running;
}

struct timespec monotonicNow() {
  struct timespec now = {0, 0};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

// Decimal text of a number; long enough for any long long.
struct Decimal {
  explicit Decimal(long long value) { snprintf(text, sizeof(text), "%lld", value); }
  char text[24];
};

void journalExit(pid_t pid, const RunningModule& module, const char* result,
                 const struct timespec& ended) {
  long long seconds = static_cast<long long>(ended.tv_sec - module.started.tv_sec);
  if (ended.tv_nsec < module.started.tv_nsec) --seconds;
  if (seconds < 0) seconds = 0;
  Decimal child(pid);
  Decimal id(module.id);
  Decimal runTime(seconds);
  const char* fields[] = {"exit", child.text, id.text, result, runTime.text};
  runJournalAppend(fields, 5);
}

}  // namespace

void schedulerJournalEvent(const char* event, long long first, long long second) {
  Decimal a(first);
  Decimal b(second);
  const char* fields[] = {event, a.text, b.text};
  runJournalAppend(fields, 3);
}

void schedulerJournalRun(const char* hh, const char* mm, int id, pid_t child, const char* program,
                         const char* mark) {
  struct timespec started = monotonicNow();
  char due[kNumberTextSize * 2 + 1];
  snprintf(due, sizeof(due), "%s:%s", hh, mm);
  Decimal moduleId(id);
  Decimal childPid(child);
  const char* fields[] = {"run", due, moduleId.text, childPid.text, program, mark};
  // Only a child whose run line is written waits for an exit line.
  if (runJournalAppend(fields, mark != nullptr ? 6 : 5) == 1) runningModules()[child] = RunningModule{id, started};
}

void schedulerJournalExit(pid_t pid, int status, const struct timespec& ended) {
  std::map<pid_t, RunningModule>& running = runningModules();
  auto found = running.find(pid);
  if (found == running.end()) return;
  char result[32];
  if (WIFSIGNALED(status)) {
    snprintf(result, sizeof(result), "signal %d", WTERMSIG(status));
  } else {
    snprintf(result, sizeof(result), "status %d", WEXITSTATUS(status));
  }
  journalExit(found->first, found->second, result, ended);
  running.erase(found);
}
