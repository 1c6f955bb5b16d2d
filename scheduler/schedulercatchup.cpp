// The record of passes and the catch-up at start-up.
#include "scheduler/schedulercatchup.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/S3ComPath.h"
#include "common/comdate.h"
#include "common/comfile.h"
#include "common/comguard.h"
#include "scheduler/schedulerdispatch.h"
#include "stores/runjournal.h"
#include "stores/schedulermissed.h"

namespace {

constexpr int kMinutesPerHour = 60;
constexpr int kSecondsPerHour = 3600;
constexpr int kRecordFileMode = 0644;
constexpr int kShownSize = 17;  // "YYYY-MM-DD HH:MM" and the terminator

// The record, open for the daemon's whole run (-1: it could not be made).
struct PassRecord {
  ComFd fd;
  int interval = 1;
};

PassRecord& passRecord() {
  static PassRecord record;
  return record;
}

SchedulerMinute minuteAt(time_t t) {
  struct tm local = {};
  comLocalTime(t, &local);
  return schedulerMinuteOf(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                           local.tm_min);
}

// Opens (creating it when missing) and fills the record. Not a regular file
// (a FIFO or a folder planted there): left alone, and no pass is noted.
void writeStartRecord(const std::string& text) {
  char path[kComPathMax];
  S3ComPathEditData(kSchedLastPassFile, path);
  ComFd fd(comIoOpen(path, O_RDWR | O_CREAT | O_NOCTTY | O_NONBLOCK, kRecordFileMode));
  struct stat st;
  if (!fd.ok() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  if (comIoTruncate(fd.get(), 0) != 0 ||
      comIoPwriteAll(fd.get(), text.data(), text.size(), 0) != 0) {
    return;
  }
  passRecord().fd.Reset(fd.release());
}

void journalSkipped(time_t from, time_t to, int limitHours) {
  char fromText[kShownSize];
  char toText[kShownSize];
  schedulerMinuteShown(minuteAt(from), fromText, sizeof(fromText));
  schedulerMinuteShown(minuteAt(to), toText, sizeof(toText));
  const std::string limit = std::to_string(limitHours);
  const char* fields[] = {"catch-up-skipped", fromText, toText, limit.c_str()};
  runJournalAppend(fields, 4);
}

}  // namespace

int schedulerCatchUpAtStart(int interval, const char* home) {
  const time_t now = comTime();
  SchedulerPasses before;
  schedulerReadPasses(&before);  // none, or unreadable: no gap is known
  // A run before this one in the same process (the tests) leaves no record open.
  passRecord().fd.Reset(-1);
  passRecord().interval = interval;
  writeStartRecord(schedulerStartRecord(minuteAt(now), now, interval, before));

  const SchedulerCatchUp choice = schedulerCatchUpRead();
  if (!choice.on || !before.hasPass || before.passAt >= now) return 0;
  if (now - before.passAt > static_cast<time_t>(choice.limitHours) * kSecondsPerHour) {
    journalSkipped(before.passAt, now, choice.limitHours);
    return 0;
  }
  std::vector<SchedulerMissedRun> missed;
  // A module table that cannot be read now ends the run at the first pass.
  if (schedulerMissedRuns(before.passAt, before.passMinute, now, before.passInterval, &missed) != 0)
    return 0;
  for (const SchedulerMissedRun& run : schedulerCatchUpRuns(missed)) {
    int minuteOfDay = schedulerMinuteOfDay(run.due);
    int rc = schedulerModuleStartFor(run.module, minuteOfDay / kMinutesPerHour,
                                     minuteOfDay % kMinutesPerHour, home, kRunJournalCatchUp);
    if (rc != 0) return rc;
  }
  return 0;
}

void schedulerNotePass(SchedulerMinute reached) {
  PassRecord& record = passRecord();
  if (!record.fd.ok()) return;
  const std::string line = schedulerPassLine(reached, comTime(), record.interval);
  // The line's width never changes, so the gap line after it stays whole.
  (void)comIoPwriteAll(record.fd.get(), line.data(), line.size(), 0);
}
