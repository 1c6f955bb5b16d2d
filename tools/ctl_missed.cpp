#include "tools/ctl_missed.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/S3ComPath.h"
#include "common/comdate.h"
#include "common/comfile.h"
#include "common/comguard.h"
#include "stores/cvelschedulermodule.h"
#include "stores/runjournal.h"
#include "stores/schedulermissed.h"
#include "tools/ctl_home.h"
#include "tools/ctl_json.h"
#include "tools/ctl_report.h"

namespace {


// The gap the record of passes tells, if any.
struct Gap {
  bool known = false;
  bool ongoing = false;  // no daemon runs: it lasts until now
  time_t from = 0;
  SchedulerMinute fromMinute = kSchedulerNoMinute;
  time_t to = 0;
  int interval = 1;
  std::vector<SchedulerMissedRun> runs;
};

std::string Shown(SchedulerMinute at) {
  char text[32];
  schedulerMinuteShown(at, text, sizeof(text));
  return text;
}

// 0 with `gap` filled (known or not), or the module table's read code.
int FindGap(Gap* gap) {
  SchedulerPasses passes;
  if (schedulerReadPasses(&passes) != 0) return 0;
  std::vector<int> live;
  ctlLiveDaemons(&live);
  if (!live.empty()) {
    if (!passes.hasGap) return 0;
    gap->from = passes.gapFrom;
    gap->fromMinute = passes.gapMinute;
    gap->to = passes.gapTo;
    gap->interval = passes.gapInterval;
  } else {
    if (!passes.hasPass) return 0;
    gap->ongoing = true;
    gap->from = passes.passAt;
    gap->fromMinute = passes.passMinute;
    gap->to = comTime();
    gap->interval = passes.passInterval;
  }
  gap->known = true;
  return schedulerMissedRuns(gap->from, gap->fromMinute, gap->to, gap->interval, &gap->runs);
}

// A late wake-up of a running daemon (a clock-jump line): the entries
// between the minute it was due for and the minute it woke in did not run.
struct Jump {
  SchedulerMinute from;
  SchedulerMinute to;
  bool sinceStart;  // after the journal's last started line
  std::vector<SchedulerMissedRun> runs;
};

// The whole of a journal file below the data directory; "" when missing.
std::string ReadJournal(const char* relative) {
  char path[kComPathMax];
  S3ComPathEditData(relative, path);
  ComFd fd(comIoOpen(path, O_RDONLY | O_NOCTTY | O_NONBLOCK, 0));
  std::string text;
  if (!fd.ok()) return text;
  char buffer[65536];
  ssize_t n;
  while ((n = read(fd.get(), buffer, sizeof(buffer))) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

// "YYYY-MM-DD HH:MM" as a date-time, or kSchedulerNoMinute.
SchedulerMinute MinuteOfShown(const std::string& shown) {
  std::string stamp;
  for (char c : shown) {
    if (c >= '0' && c <= '9') stamp += c;
  }
  return stamp.size() == 12 ? schedulerMinuteOfStamp(stamp.c_str()) : kSchedulerNoMinute;
}

// The time at which the wall clock showed `at` (the first time, on the
// autumn change; the time after the gap, for a minute the spring skips).
time_t TimeOf(SchedulerMinute at) {
  char stamp[16];
  schedulerMinuteStamp(at, stamp, sizeof(stamp));
  struct tm t = {};
  t.tm_year = atoi(std::string(stamp, 4).c_str()) - 1900;
  t.tm_mon = atoi(std::string(stamp + 4, 2).c_str()) - 1;
  t.tm_mday = atoi(std::string(stamp + 6, 2).c_str());
  t.tm_hour = atoi(std::string(stamp + 8, 2).c_str());
  t.tm_min = atoi(std::string(stamp + 10, 2).c_str());
  t.tm_isdst = -1;
  return mktime(&t);
}

// The clock-jump lines of the journal (runs.log.1, then runs.log), each with
// the runs it skipped, played for the interval of the started line before it.
std::vector<Jump> FindJumps() {
  std::vector<Jump> jumps;
  const std::string text =
      ReadJournal(kRunJournalOldFile) + ReadJournal(kRunJournalFile);
  int interval = 1;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    RunJournalLine line;
    if (runJournalParse(text.substr(at, end - at), &line)) {
      if (line.event == "started" && line.fields.size() >= 2) {
        interval = atoi(line.fields[1].c_str());
        for (Jump& jump : jumps) jump.sinceStart = false;
      } else if (line.event == "clock-jump" && line.fields.size() >= 2) {
        Jump jump{MinuteOfShown(line.fields[0]), MinuteOfShown(line.fields[1]), true, {}};
        if (jump.from != kSchedulerNoMinute && jump.to != kSchedulerNoMinute &&
            schedulerMissedRuns(TimeOf(jump.from), jump.from, TimeOf(jump.to), interval,
                                &jump.runs) == 0) {
          jumps.push_back(jump);
        }
      }
    }
    at = end + 1;
  }
  return jumps;
}

std::string CatchUpText(const SchedulerCatchUp& choice) {
  return std::string("catch-up ") + (choice.on ? "on" : "off") + " (gaps up to " +
         std::to_string(choice.limitHours) + " h)";
}

// "YYYY-MM-DD HH:MM to HH:MM" of the gap (the end's date when it differs).
std::string GapText(const Gap& gap) {
  std::string from = Shown(gap.fromMinute);
  std::string to = Shown(schedulerWallAt(gap.to));
  if (gap.ongoing) return "since " + from;
  return "from " + from + " to " + (to.compare(0, 10, from, 0, 10) == 0 ? to.substr(11) : to);
}

}  // namespace

int ctlLogMissed(const char* since, bool json) {
  Gap gap;
  int rc = FindGap(&gap);
  if (rc != 0) return ctlFail("log --missed", "scheduler/module/index", rc);
  SchedulerMinute from = since[0] != '\0' ? schedulerMinuteOfStamp(since) : kSchedulerNoMinute;
  std::vector<SchedulerMissedRun> runs;
  for (const SchedulerMissedRun& run : gap.runs) {
    if (from == kSchedulerNoMinute || run.due >= from) runs.push_back(run);
  }
  std::vector<Jump> jumps = FindJumps();
  for (Jump& jump : jumps) {
    auto early = [&](const SchedulerMissedRun& run) {
      return from != kSchedulerNoMinute && run.due < from;
    };
    jump.runs.erase(std::remove_if(jump.runs.begin(), jump.runs.end(), early), jump.runs.end());
  }
  auto nameOf = [](int id) {
    CvelSchedulerModule record;
    return record.Get(id) == 0 ? std::string(record.GetDisplayName()) : std::string();
  };
  if (json) {
    CtlJson out;
    out.BeginObject();
    out.Key("from").String(gap.known ? Shown(gap.fromMinute).c_str() : nullptr);
    out.Key("to").String(gap.known ? Shown(schedulerWallAt(gap.to)).c_str() : nullptr);
    out.Key("ongoing").Bool(gap.ongoing);
    out.Key("interval");
    if (gap.known) {
      out.Int(gap.interval);
    } else {
      out.Null();
    }
    auto list = [&](const std::vector<SchedulerMissedRun>& these) {
      out.BeginArray();
      for (const SchedulerMissedRun& run : these) {
        out.BeginObject()
            .Member("time", Shown(run.due).c_str())
            .Member("module", run.module)
            .Member("name", nameOf(run.module).c_str())
            .Member("why", run.alarm ? "alarm" : "schedule")
            .EndObject();
      }
      out.EndArray();
    };
    out.Key("runs");
    list(runs);
    out.Key("late").BeginArray();
    for (const Jump& jump : jumps) {
      if (jump.runs.empty()) continue;
      out.BeginObject().Member("from", Shown(jump.from).c_str()).Member("to", Shown(jump.to).c_str());
      out.Key("runs");
      list(jump.runs);
      out.EndObject();
    }
    out.EndArray().EndObject();
    printf("%s\n", out.Text().c_str());
    return kCtlExitOk;
  }
  auto print = [&](const std::vector<SchedulerMissedRun>& these) {
    for (const SchedulerMissedRun& run : these) {
      printf("%s  %d  %s  %s\n", Shown(run.due).c_str(), run.module, nameOf(run.module).c_str(),
             run.alarm ? "alarm" : "schedule");
    }
  };
  if (!gap.known) {
    printf("no gap known: no daemon's pass is recorded (data/%s)\n", kSchedLastPassFile);
  } else {
    printf("%s while no daemon ran %s (interval %d):\n",
           runs.empty() ? "no runs missed" : "missed", GapText(gap).c_str(), gap.interval);
    print(runs);
  }
  for (const Jump& jump : jumps) {
    if (jump.runs.empty()) continue;
    printf("missed by a late wake-up (clock-jump) from %s to %s:\n", Shown(jump.from).c_str(),
           Shown(jump.to).c_str());
    print(jump.runs);
  }
  return kCtlExitOk;
}

// The runs skipped by late wake-ups since the journal's last started line.
size_t LateSinceStart() {
  size_t count = 0;
  for (const Jump& jump : FindJumps()) count += jump.sinceStart ? jump.runs.size() : 0;
  return count;
}

void ctlMissedStatus() {
  Gap gap;
  const bool known = FindGap(&gap) == 0 && gap.known;
  const std::string choice = CatchUpText(schedulerCatchUpRead());
  const size_t late = LateSinceStart();
  const std::string lateText =
      late == 0 ? "" : ", and " + std::to_string(late) + " by late wake-ups since its start";
  if (!known) {
    printf("missed:       - (no gap recorded)%s; %s\n", lateText.c_str(), choice.c_str());
    return;
  }
  printf("missed:       %zu run%s while no daemon ran %s%s; %s\n", gap.runs.size(),
         gap.runs.size() == 1 ? "" : "s", GapText(gap).c_str(), lateText.c_str(), choice.c_str());
}

void ctlMissedStatusJson(CtlJson* json) {
  Gap gap;
  const bool known = FindGap(&gap) == 0 && gap.known;
  const SchedulerCatchUp choice = schedulerCatchUpRead();
  json->Key("missed").BeginObject().Key("runs");
  if (known) {
    json->Int(static_cast<long long>(gap.runs.size()));
  } else {
    json->Null();
  }
  json->Key("from").String(known ? Shown(gap.fromMinute).c_str() : nullptr);
  json->Key("to").String(known && !gap.ongoing ? Shown(schedulerWallAt(gap.to)).c_str() : nullptr);
  json->Member("late", static_cast<long long>(LateSinceStart()));
  json->Key("catch_up").Bool(choice.on);
  json->Member("limit_hours", choice.limitHours).EndObject();
}

int ctlCatchUp(int argc, char** argv) {
  SchedulerCatchUp choice = schedulerCatchUpRead();
  bool change = false;
  for (int i = 0; i < argc; ++i) {
    if (strcmp(argv[i], "on") == 0 || strcmp(argv[i], "off") == 0) {
      choice.on = strcmp(argv[i], "on") == 0;
    } else if (strcmp(argv[i], "--limit") == 0 && i + 1 < argc) {
      const char* text = argv[++i];
      size_t length = strlen(text);
      int hours = length > 0 && length <= 5 && strspn(text, "0123456789") == length ? atoi(text) : 0;
      if (hours < 1 || hours > kSchedCatchUpLimitMaxHours) {
        return ctlUsageError("catchup: --limit '%s' is not a number of hours from 1 to %d", text,
                             kSchedCatchUpLimitMaxHours);
      }
      choice.limitHours = hours;
    } else {
      return ctlUsageError("catchup: unexpected argument '%s'", argv[i]);
    }
    change = true;
  }
  if (change && schedulerCatchUpWrite(choice) != 0) {
    char path[kComPathMax];
    S3ComPathEditData(kSchedCatchUpFile, path);
    return ctlError("catchup: cannot write %s: %s", comHomeShown(path), ctlReason(errno));
  }
  printf("%s\n", CatchUpText(choice).c_str());
  return kCtlExitOk;
}
