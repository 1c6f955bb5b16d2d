// The scheduler daemon: entry, main loop, wake-up timing and module dispatch.
#include "scheduler/MainScheduler.h"

#include <signal.h>
#if defined(__linux__)
#include <link.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <sys/mman.h>
#include <unistd.h>
#endif
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comdate.h"
#include "common/comfile.h"
#include "common/comproc.h"
#include "s3/cs3dataiofile.h"
#include "stores/ckoralarm.h"
#include "stores/ckoralarmtime.h"
#include "stores/ckorschedulersts.h"
#include "stores/cvelscheduler.h"
#include "stores/cvelschedulermodule.h"
#include "stores/cvelschedulermodules.h"
#include "stores/cvelschedulersts.h"
#include "stores/runjournal.h"
#include "stores/schedulerprogram.h"
#include "stores/schedulertiming.h"

namespace {

constexpr int kMinutesPerHour = 60;
constexpr int kHoursPerDay = 24;
constexpr int kMinutesPerDay = kMinutesPerHour * kHoursPerDay;
constexpr int kSecondsPerMinute = 60;

constexpr int kStampSize = 15;     // YYYYMMDDhhmmss and the terminator
constexpr int kDateLength = 8;     // YYYYMMDD
constexpr int kMinuteLength = 12;  // YYYYMMDDhhmm
// Offset of the clock time hhmmss in a time stamp: the comGet helpers read
// hour, minute and second from there.
constexpr int kClockAt = 8;

// Working buffer of the alarm scan: one path component of at most 29
// characters behind room for two more, as the tree's names have two.
constexpr int kScanBufferSize = 32;
constexpr int kScanNameMax = kScanBufferSize - 3;
// "HHMM" and its terminator.
constexpr int kClockTextSize = 5;
// Room for "%02d" of any int, so an out-of-range hour is never cut silently.
constexpr int kNumberTextSize = 12;

// ---- Signals ------------------------------------------------------------------

// SA_RESTART: a record read or write that a signal interrupts restarts
// instead of failing; nanosleep is never restarted, so the sleep still ends
// early.
int installHandler(int sig, void (*handler)(int)) {
  struct sigaction action;
  memset(&action, 0, sizeof(action));
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  // A module stopped by job control is not a module that ended.
  if (sig == SIGCHLD) action.sa_flags |= SA_NOCLDSTOP;
  return sigaction(sig, &action, nullptr);
}

void installAlarmChangeHandler() {
  if (installHandler(SIGUSR1, schedulerModuleExec_change) != 0) {
    comLogOut("signal error[%d]\n", errno);
  }
}

// ---- Run journal --------------------------------------------------------------
//
// The SIGCHLD handler only reaps: it keeps each ended child's pid, wait
// status and time in a fixed array, and the main loop turns them into exit
// lines (after every dispatch and every piece of sleep, which a child's end
// cuts short). The handler reaps every child whether or not the array has
// room, so no module ever stays a zombie; an end that finds the array full is
// only counted, and the main loop then looks for its module among the
// children it no longer finds.

constexpr int kExitSlots = 256;

struct ChildEnd {
  pid_t pid;
  int status;
  struct timespec at;  // CLOCK_MONOTONIC
};

ChildEnd gEnds[kExitSlots];
volatile sig_atomic_t gEndCount = 0;
volatile sig_atomic_t gEndsLost = 0;

// A module child whose run line was written, waiting for its exit line.
struct RunningModule {
  int id;
  struct timespec started;  // CLOCK_MONOTONIC
};

// Main loop only; keyed by child pid.
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

// Writes the exit lines of the children the handler has reaped since the
// last call. Ends the handler could not keep are written with the result
// "unknown" for the journalled children that no longer exist.
void journalChildEnds() {
  ChildEnd ends[kExitSlots];
  int count;
  bool lost;
  {
    sigset_t block;
    sigset_t previous;
    sigemptyset(&block);
    sigaddset(&block, SIGCHLD);
    sigprocmask(SIG_BLOCK, &block, &previous);
    count = gEndCount;
    memcpy(ends, gEnds, sizeof(ChildEnd) * static_cast<size_t>(count));
    gEndCount = 0;
    lost = gEndsLost != 0;
    gEndsLost = 0;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
  }
  std::map<pid_t, RunningModule>& running = runningModules();
  for (int i = 0; i < count; ++i) {
    auto found = running.find(ends[i].pid);
    if (found == running.end()) continue;
    char result[32];
    int status = ends[i].status;
    if (WIFSIGNALED(status)) {
      snprintf(result, sizeof(result), "signal %d", WTERMSIG(status));
    } else {
      snprintf(result, sizeof(result), "status %d", WEXITSTATUS(status));
    }
    journalExit(found->first, found->second, result, ends[i].at);
    running.erase(found);
  }
  if (!lost) return;
  struct timespec now = monotonicNow();
  for (auto it = running.begin(); it != running.end();) {
    if (kill(it->first, 0) == 0 || errno != ESRCH) {
      ++it;
      continue;
    }
    journalExit(it->first, it->second, "unknown", now);
    it = running.erase(it);
  }
}

void journalEvent(const char* event, long long first, long long second) {
  Decimal a(first);
  Decimal b(second);
  const char* fields[] = {event, a.text, b.text};
  runJournalAppend(fields, 3);
}

// ---- Clock ----------------------------------------------------------------------

// One clock reading, as a time stamp and its minute of the day.
struct Now {
  char stamp[kStampSize];
  int hour;
  int minute;
  int second;

  int MinuteOfDay() const { return hour * kMinutesPerHour + minute; }
  // True when the reading's date is `date` (YYYYMMDD).
  bool IsDate(const char* date) const { return strncmp(stamp, date, kDateLength) == 0; }
};

Now readNow() {
  Now now;
  comGetNowAll(now.stamp);
  now.hour = comGetHour(now.stamp + kClockAt);
  now.minute = comGetMinute(now.stamp + kClockAt);
  now.second = comGetSecond(now.stamp + kClockAt);
  return now;
}

// Writes the date `days` after the date at the start of `stamp` (room for 9).
void shiftDate(const char* stamp, int days, char* out) {
  comGetNextOrBeforeDay(stamp, days, out);
}

// Writes "YYYYMMDDhhmm00" of the date at the start of `date` and hour:minute.
void formatStamp(const char* date, int hour, int minute, char* out) {
  // The fields are in range by construction; a cut would only ever shorten
  // the text, which the callers' comparisons then treat as no time.
  if (snprintf(out, kStampSize, "%04d%02d%02d%02d%02d00", comGetYear(date), comGetMonth(date),
               comGetDay(date), hour, minute) >= kStampSize) {
    out[kStampSize - 1] = '\0';
  }
}

// ---- Wake-up timing ----------------------------------------------------------------

// Where the sleep runs to: a minute of the day, and, while the clock still
// shows the day the target was chosen on, whether the target lies on the
// next day.
struct Target {
  int hour;
  int minute;
  // Date (YYYYMMDD) on which the target was known to lie on the next day;
  // empty when it lies on the day of the clock reading.
  char nextDayOf[kDateLength + 1];

  int MinuteOfDay() const { return hour * kMinutesPerHour + minute; }
};

// Whether the target still lies ahead on a later day. The minute-of-day rule
// takes a target that the clock has passed by more than `tolerance` minutes
// as the same time tomorrow. A target chosen for the next day is never taken
// as reached before the date changes: with one tick a day the target has the
// same minute as the tick just run, and a signal in that minute (a module
// ending) would otherwise run every module again.
bool rollsOver(const Now& now, const Target& target, int tolerance) {
  if (target.nextDayOf[0] != '\0' && now.IsDate(target.nextDayOf)) return true;
  return now.MinuteOfDay() > target.MinuteOfDay() + tolerance;
}

// Scans today's alarm directory for the earliest pending minute, chooses
// between it and the tick, and publishes the choice in the next-alarm record.
// The pair becomes the choice only when the record was written; otherwise it
// stays the tick, so an alarm that nobody can lower towards is not waited for.
//
// `now` is the reading the tick was computed from. Today, tomorrow and the
// alarm directory all come from that one reading: a second reading could
// fall on the next day when the call runs across midnight, and would then
// date the tick a day late and leave the daemon asleep for a day.
Target chooseTarget(const Now& now, const SchedulerTick& tick) {
  Target target = {tick.hour, tick.minute, ""};
  if (tick.nextDay) snprintf(target.nextDayOf, sizeof(target.nextDayOf), "%.8s", now.stamp);

  CKorAlarm alarm;
  if (alarm.SetDateTime(now.stamp) != 0) return target;
  char dir[kComPathMax];
  char best[kScanBufferSize] = "";
  if (alarm.GetFileDir(dir) == 0) {
    // A missing directory yields nothing; a scan stopped by an entry that
    // cannot be examined keeps what it found, which is still a pending minute.
    comDirSaveFileName(dir, best, schedulerSetTimeSleepNextTime);
  }
  // The scan reads the clock afresh: past midnight it would take every
  // minute of the day just ended as pending. Only minutes after the tick's
  // reading are.
  if (best[0] != '\0' && atoi(best) <= now.hour * 100 + now.minute) best[0] = '\0';

  bool useAlarm =
      best[0] != '\0' && schedulerAlarmFirst(tick, comGetHour(best), comGetMinute(best));

  char candidate[kStampSize];
  if (useAlarm) {
    formatStamp(now.stamp, comGetHour(best), comGetMinute(best), candidate);
  } else {
    char date[kDateLength + 1];
    shiftDate(now.stamp, tick.nextDay ? 1 : 0, date);
    formatStamp(date, tick.hour, tick.minute, candidate);
  }

  CKorAlarmTime record;
  if (record.Set("nexttime", candidate) != 0) return target;
  {
    // Released right after the write: the record must not stay locked while
    // the daemon sleeps, or nobody could lower it.
    CS3DataIO io;
    if (io.Mod(record) != 0) return target;
  }
  target.hour = comGetHour(candidate + kClockAt);
  target.minute = comGetMinute(candidate + kClockAt);
  // An alarm lies later today; only the tick can lie on the next day.
  if (useAlarm) target.nextDayOf[0] = '\0';
  return target;
}

// After an interrupted sleep: adopts a lowered next-alarm time that is
// earlier than the target.
void adoptLoweredTime(Target* target) {
  CKorAlarmTime record;
  if (record.Get() != 0) return;
  const char* lowered = record.GetNextTime();
  if (lowered[0] == '\0' || strlen(lowered) < kMinuteLength) return;

  Now now = readNow();
  char targetDate[kDateLength + 1];
  bool tomorrow;
  if (target->nextDayOf[0] != '\0' && now.IsDate(target->nextDayOf)) {
    tomorrow = true;
  } else {
    char targetText[kNumberTextSize];
    snprintf(targetText, sizeof(targetText), "%02d%02d", target->hour, target->minute);
    tomorrow = strncmp(now.stamp + kClockAt, targetText, 4) > 0;
  }
  shiftDate(now.stamp, tomorrow ? 1 : 0, targetDate);
  char targetStamp[kStampSize];
  formatStamp(targetDate, target->hour, target->minute, targetStamp);
  if (strcmp(lowered, targetStamp) >= 0) return;

  // A time past by more than the minute of tolerance is stale (an alarm
  // filed for a minute gone by, or a writer with another clock): read as
  // that time tomorrow it would skip every tick until then. One minute past
  // is reached at once, as a wake-up one minute late is; a date before today
  // is stale whatever its minute, since the sleep counts minutes of a day.
  // The date-time check admits hour 24, which no minute of the day reaches;
  // it is refused for the same reason.
  int dateOrder = strncmp(lowered, now.stamp, kDateLength);
  if (dateOrder < 0) return;
  int hour = comGetHour(lowered + kClockAt);
  int minute = comGetMinute(lowered + kClockAt);
  if (hour >= kHoursPerDay || minute >= kMinutesPerHour) return;
  if (dateOrder == 0 && hour * kMinutesPerHour + minute < now.MinuteOfDay() - 1) return;

  target->hour = hour;
  target->minute = minute;
  if (dateOrder > 0) {
    snprintf(target->nextDayOf, sizeof(target->nextDayOf), "%.8s", now.stamp);
  } else {
    target->nextDayOf[0] = '\0';
  }
}

// ---- Alarm scan ------------------------------------------------------------------

bool isSeparator(char c) {
  return c == '/' || c == '\\' || c == ':';
}

// Splits off the last two components of `path`. False when it has fewer than
// two separators or a component is longer than the scan keeps.
bool lastTwoComponents(const char* path, char* before, char* last) {
  const char* end = path + strlen(path);
  const char* lastSep = nullptr;
  const char* beforeSep = nullptr;
  for (const char* p = end; p > path; --p) {
    if (!isSeparator(p[-1])) continue;
    if (lastSep == nullptr) {
      lastSep = p - 1;
    } else {
      beforeSep = p - 1;
      break;
    }
  }
  if (beforeSep == nullptr) return false;
  size_t lastLength = static_cast<size_t>(end - lastSep - 1);
  size_t beforeLength = static_cast<size_t>(lastSep - beforeSep - 1);
  // Longer names are not part of the tree (its names have two characters)
  // and are ignored rather than cut into something that looks like one.
  if (lastLength > kScanNameMax || beforeLength > kScanNameMax) return false;
  memcpy(last, lastSep + 1, lastLength);
  last[lastLength] = '\0';
  memcpy(before, beforeSep + 1, beforeLength);
  before[beforeLength] = '\0';
  return true;
}

// The value of a name of exactly two digits below `limit`, or -1.
int twoDigitValue(const char* name, int limit) {
  if (strlen(name) != 2 || name[0] < '0' || name[0] > '9' || name[1] < '0' || name[1] > '9') {
    return -1;
  }
  int value = (name[0] - '0') * 10 + (name[1] - '0');
  return value < limit ? value : -1;
}

// ---- Module dispatch ---------------------------------------------------------------

// Starts module `id` when it is due at hh:mm. 0 when started or not due or
// skipped; otherwise the failure that ends the dispatch.
int startIfDue(int id, char* hh, char* mm, const char* home) {
  int rc;
  {
    CvelScheduler entry;
    rc = entry.Get(id, hh, mm);
  }
  if (rc == kResNoEntry) {
    CKorAlarm alarm;
    rc = alarm.IsAccess(id, hh, mm);
    if (rc == kResNoEntry) return 0;
  }
  if (rc != 0) return rc;

  CvelSchedulerModule module;
  rc = module.Get(id);
  if (rc == kResNoEntry) {
    // The record is gone: heal the table so the module is not looked for
    // again; the other modules still run.
    rc = module.Del(id);
    return (rc == 0 || rc == kResNoEntry) ? 0 : rc;
  }
  if (rc != 0) return rc;

  char program[kSchedProgramPathSize];
  if (schedulerResolveProgram(module.GetExecute(), program) == SchedulerProgramFrom::kNone) return 0;
  // execvp takes char* const[] and changes none of the strings.
  char* argv[] = {program, const_cast<char*>(home), hh, mm, nullptr};

  if (installHandler(SIGCHLD, schedulerModuleExec_childend) != 0) return kResSchedHandlerFailed;
  int child = 0;
  if (comProcStart(argv, nullptr, &child) != 0) return kResSchedExecFailed;
  struct timespec started = monotonicNow();
  char due[kNumberTextSize * 2 + 1];
  snprintf(due, sizeof(due), "%s:%s", hh, mm);
  Decimal moduleId(id);
  Decimal childPid(child);
  const char* fields[] = {"run", due, moduleId.text, childPid.text, program};
  // Only a child whose run line is written waits for an exit line.
  if (runJournalAppend(fields, 5) == 1) runningModules()[child] = RunningModule{id, started};
  return 0;
}

// ---- Main loop -------------------------------------------------------------------------

// Parses and checks the interval argument (stripped in place). 0 or -99.
int parseInterval(char* text, int* interval) {
  if (text == nullptr || !comIsNumber(text)) return kResSchedBadInterval;
  errno = 0;
  long value = strtol(text, nullptr, 10);
  // Beyond int no value is a divisor or a meaningful multiple of 60.
  if (errno == ERANGE || value < INT_MIN || value > INT_MAX) return kResSchedBadInterval;
  int v = static_cast<int>(value);
  if (!schedulerIntervalAdmitted(v)) return kResSchedBadInterval;
  *interval = v;
  return 0;
}

// Sleeps, checks ownership, dispatches; until the status record no longer
// names `pid` (0) or a step fails (its code).
int runLoop(int interval, int pid, const char* home, CvelSchedulerSts* sts) {
  int hour = -1;
  int minute = -1;
  for (;;) {
    schedulerSetTimeSleep(interval, &hour, &minute);
    int rc = sts->Get();
    if (rc == kResNoEntry) return 0;
    if (rc != 0) return rc;
    if (sts->GetPid() != pid) {
      // Handed to no process (a stop) is an ordinary end, not a take-over.
      if (sts->GetPid() != 0) journalEvent("taken-over", pid, sts->GetPid());
      return 0;
    }
    rc = schedulerModuleExec(hour, minute, home);
    journalChildEnds();
    if (rc != 0) return rc;
  }
}

#if defined(__linux__)
// The page ranges that a sleep hands back, gathered before the first one is
// dropped: gathering walks the loader's list under its lock, code that would
// only be faulted back in if it ran after the drop.
struct PageRange {
  uintptr_t start;
  uintptr_t end;
};
constexpr int kReleaseRanges = 64;
PageRange gReleaseRanges[kReleaseRanges];
int gReleaseCount = 0;

bool hasTextRelocations(const struct dl_phdr_info* info) {
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_DYNAMIC) continue;
    const ElfW(Dyn)* dyn = reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + ph.p_vaddr);
    for (; dyn->d_tag != DT_NULL; ++dyn) {
      if (dyn->d_tag == DT_TEXTREL) return true;
      if (dyn->d_tag == DT_FLAGS && (dyn->d_un.d_val & DF_TEXTREL) != 0) return true;
    }
  }
  return false;
}

bool overlapsRelro(const struct dl_phdr_info* info, const ElfW(Phdr)& load) {
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_GNU_RELRO) continue;
    if (ph.p_vaddr < load.p_vaddr + load.p_memsz && load.p_vaddr < ph.p_vaddr + ph.p_memsz) {
      return true;
    }
  }
  return false;
}

int gatherReadOnlySegments(struct dl_phdr_info* info, size_t, void* pageSizeArg) {
  const uintptr_t pageSize = *static_cast<const uintptr_t*>(pageSizeArg);
  // The kernel's own vDSO is no file mapping; leave it alone.
  if (info->dlpi_name != nullptr && strncmp(info->dlpi_name, "linux-", 6) == 0) return 0;
  // Text relocations were written into code pages at load time.
  if (hasTextRelocations(info)) return 0;
  for (int i = 0; i < info->dlpi_phnum && gReleaseCount < kReleaseRanges; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    // Only segments that are never writable (code, read-only data, the
    // headers and symbol tables), so their pages are exact copies of the
    // file and can always be read back. Relocated read-only data was written
    // at load time and must never be dropped.
    if (ph.p_type != PT_LOAD || (ph.p_flags & PF_W) || overlapsRelro(info, ph)) continue;
    uintptr_t start = (info->dlpi_addr + ph.p_vaddr) & ~(pageSize - 1);
    uintptr_t end = (info->dlpi_addr + ph.p_vaddr + ph.p_memsz + pageSize - 1) & ~(pageSize - 1);
    gReleaseRanges[gReleaseCount++] = PageRange{start, end};
  }
  return 0;
}
#endif

// Run as the last step before a long sleep: hands the pages of the program's
// and its shared libraries' never-written segments back to the page cache.
// The kernel maps file pages in 64 kB chunks around every page touched, so a
// daemon that has formatted, listed and locked once holds most of libc
// resident while it does nothing; dropping the mappings keeps its sleeping
// footprint small, and the pages come back from the page cache (no disk
// read) within microseconds of waking. Dropping them right before the sleep
// call, after everything else the sleep needs has run, leaves only the
// chunks of that call and of this function's return path mapped. Only
// pages that are exact copies of their file and free heap memory are
// dropped, never data. A breakpoint that a tracer planted in that code is
// lost with it. Linux only: elsewhere the advice has other meanings and is
// not given.
void releaseReadOnlyPages() {
#if defined(__linux__)
  long size = sysconf(_SC_PAGESIZE);
  if (size <= 0) return;
  uintptr_t pageSize = static_cast<uintptr_t>(size);
#if defined(__GLIBC__)
  // Free heap memory goes back too: what a dispatch allocated and freed.
  malloc_trim(0);
#endif
  gReleaseCount = 0;
  dl_iterate_phdr(gatherReadOnlySegments, &pageSize);
  for (int i = 0; i < gReleaseCount; ++i) {
    const PageRange& range = gReleaseRanges[i];
    madvise(reinterpret_cast<void*>(range.start), range.end - range.start, MADV_DONTNEED);
  }
#endif
}

// Holds SIGUSR1 and SIGCHLD blocked while a wake-up is chosen, published and
// slept towards. The sleep lets them in, so one that arrives after the alarm
// scan or the record write stays pending and cuts the coming sleep short at
// once; unblocked, it would be spent before the sleep began and leave the
// daemon asleep past a time lowered just then.
class WakeSignalsHeld {
 public:
  WakeSignalsHeld() {
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, SIGUSR1);
    sigaddset(&wake, SIGCHLD);
    held_ = sigprocmask(SIG_BLOCK, &wake, &previous_) == 0;
  }
  ~WakeSignalsHeld() {
    if (held_) sigprocmask(SIG_SETMASK, &previous_, nullptr);
  }
  WakeSignalsHeld(const WakeSignalsHeld&) = delete;
  WakeSignalsHeld& operator=(const WakeSignalsHeld&) = delete;

 private:
  sigset_t previous_;
  bool held_;
};

}  // namespace

// ---- Wake-up timing ----------------------------------------------------------------------

void schedulerGetTime(int* hour, int* minute) {
  Now now = readNow();
  *hour = now.hour;
  *minute = now.minute;
}

void schedulerSetTimeSleep(int interval, int* hour, int* minute) {
  WakeSignalsHeld held;
  Now now = readNow();
  int w = schedulerEffectiveInterval(interval);
  if (*hour < 0 || *minute < 0) {
    *hour = now.hour;
    *minute = now.minute;
    w = schedulerFirstPassInterval(w);
    if (now.MinuteOfDay() % w == 0) return;
  }

  SchedulerTick tick = schedulerNextTick(now.hour, now.minute, w);
  Target target = chooseTarget(now, tick);
  *hour = target.hour;
  *minute = target.minute;
  installAlarmChangeHandler();

  bool rollOver = rollsOver(now, target, 0);
  for (;;) {
    if (target.MinuteOfDay() <= now.MinuteOfDay() && !rollOver) break;
    int d = target.MinuteOfDay() - now.MinuteOfDay();
    if (rollOver) d += kMinutesPerDay;
    // One piece never exceeds the interval and ends a whole number of
    // intervals before the target, so a clock set back or forward meets the
    // tick grid again at the next piece.
    if (d > w) {
      d %= w;
      if (d == 0) d = w;
    }
    if (d < 1) d = 1;  // defensive: never a zero-length sleep in a loop
    // Seconds are not part of any target: the piece ends on the minute
    // boundary, so dispatch time never accumulates into a late wake-up that
    // would push the next pass past a minute it should have run.
    int seconds = d * kSecondsPerMinute - now.second;
    if (seconds < 1) seconds = 1;
    bool interrupted = comSleepAfter(static_cast<unsigned>(seconds), releaseReadOnlyPages) > 0;
    journalChildEnds();
    if (interrupted) {
      installAlarmChangeHandler();
      adoptLoweredTime(&target);
    }
    now = readNow();
    rollOver = rollsOver(now, target, 1);
  }
  *hour = target.hour;
  *minute = target.minute;
}

int schedulerSetTimeSleepNextTime(const char* path, char* best, bool isFile) {
  if (isFile || path == nullptr || best == nullptr) return 0;
  char before[kScanBufferSize];
  char last[kScanBufferSize];
  if (!lastTwoComponents(path, before, last)) return 0;

  Now now = readNow();
  if (strlen(before) == 2) {
    // A minute directory HH/MM.
    int hour = twoDigitValue(before, kHoursPerDay);
    int minute = twoDigitValue(last, kMinutesPerHour);
    if (hour < 0 || minute < 0) return 0;
    if (hour < now.hour) return 1;
    int candidate = hour * 100 + minute;
    if (candidate <= now.hour * 100 + now.minute) return 0;
    if (best[0] != '\0' && candidate >= atoi(best)) return 0;
    // The two names are two digits each: "HHMM" fills the 5 bytes exactly.
    memcpy(best, before, 2);
    memcpy(best + 2, last, 2);
    best[4] = '\0';
    return 0;
  }

  // An hour directory: the earliest pending minute inside it. An hour already
  // past holds nothing pending and is not opened.
  int hour = twoDigitValue(last, kHoursPerDay);
  if (hour < 0 || hour < now.hour) return 0;
  char local[kScanBufferSize] = "";
  comDirSaveFileName(path, local, schedulerSetTimeSleepNextTime);
  if (local[0] != '\0' && (best[0] == '\0' || strcmp(local, best) < 0)) {
    snprintf(best, kClockTextSize, "%.4s", local);
  }
  return 0;
}

void schedulerModuleExec_change(int) {}

// ---- Module dispatch ----------------------------------------------------------------------

int schedulerModuleExec(int hour, int minute, const char* home) {
  CvelSchedulerModules modules;
  int rc = modules.Get();
  if (rc == kResNoEntry) return 0;
  if (rc != 0) return rc;

  if (hour == kHoursPerDay) hour = 0;
  char hh[kNumberTextSize];
  char mm[kNumberTextSize];
  snprintf(hh, sizeof(hh), "%02d", hour);
  snprintf(mm, sizeof(mm), "%02d", minute);

  for (int i = 0; i < modules.GetElementCount(); ++i) {
    CS3Object* element = modules.GetElement(i);
    if (element == nullptr) continue;
    rc = startIfDue(element->GetID(), hh, mm, home);
    if (rc != 0) return rc;
  }
  return 0;
}

void schedulerModuleExec_childend(int sig) {
  if (sig != SIGCHLD) return;
  int saved = errno;
  int status = 0;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
    if (gEndCount >= kExitSlots) {
      gEndsLost = 1;
      continue;
    }
    ChildEnd& end = gEnds[gEndCount];
    end.pid = pid;
    end.status = status;
    clock_gettime(CLOCK_MONOTONIC, &end.at);
    gEndCount = gEndCount + 1;
  }
  errno = saved;
}

// ---- Entry -------------------------------------------------------------------------------------

int schedulerMain(int argc, char** argv) {
  // First of all: an alarm-change signal sent while the daemon starts (a
  // program that read a stale pid, or this daemon's pid just published) must
  // never end it. A daemon started with either signal blocked would never
  // wake early or never reap; both are unblocked.
  installAlarmChangeHandler();
  sigset_t wanted;
  sigemptyset(&wanted);
  sigaddset(&wanted, SIGUSR1);
  sigaddset(&wanted, SIGCHLD);
  sigprocmask(SIG_UNBLOCK, &wanted, nullptr);

  if (argc < 3) return kSchedExitUsage;
  const char* home = argv[1];
  // A home too long for the path layout would make every store name a cut
  // path, that is another file; an empty one would put the data under "/".
  // Either ends the run before anything is touched.
  size_t homeLength = strlen(home);
  if (homeLength == 0 || homeLength > static_cast<size_t>(kS3HomeMax)) return kSchedExitFailed;
  S3ComPathHomeSave(home);
  int pid = comProcGetID();

  CvelSchedulerSts sts;
  CKorSchedulerSts own;
  // Holds this process's status file open and write-locked for the whole
  // run: the lock is what tells other programs that the daemon is alive.
  CS3DataIO lockIo;

  int result = sts.Mod(pid);
  if (result == 0) {
    own.DelAll();  // status files of earlier runs; its result does not matter
    result = own.Lock(lockIo);
  }
  int interval = 0;
  if (result == 0) result = parseInterval(argv[2], &interval);
  if (result == 0) {
    CvelSchedulerModules modules;
    result = modules.Get();
  }
  if (result == 0) {
    journalEvent("started", pid, interval);
    result = runLoop(interval, pid, home, &sts);
  }

  // Shut-down. Both results are irrelevant: Close fails harmlessly when the
  // lock was never taken, and a file already removed by a successor is fine.
  lockIo.Close(own);
  lockIo.Del(own);
  // The accessor is released before the final write rather than left to the
  // process's end: the release deletes the backup copy that the deletion
  // took, so nothing is left in the data home's temporary directory. The
  // deletion is all this unit of work does, so it is committed whatever an
  // earlier step recorded.
  lockIo.CleanError();
  lockIo.DisConnect();

  int written = sts.ModSts(result);
  journalChildEnds();
  journalEvent("stopped", pid, result);
  return (result >= 0 && written >= 0) ? kSchedExitOk : kSchedExitFailed;
}
