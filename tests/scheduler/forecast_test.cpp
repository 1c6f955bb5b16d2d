// The forecast against the daemon: `schedulerctl next` is asked for the runs
// of a span of faked time, then the real daemon runs through that span under
// an accelerated clock with its run journal on, and the runs it journals must
// be exactly the forecast ones, each as often. Ten modules, intervals 60, 15
// and 1, each through a faked day across midnight, alarms today and
// tomorrow, entries off the ticks; and the two daylight-saving days of
// Europe/Berlin with intervals 15 and 60, entries and alarms in the hour
// that the spring change skips and the autumn change repeats. The seven
// daemons run at the same time on their own homes. Each span is then made a
// gap of its home, and the runs that `log --missed` reports for it must be
// the daemon's too.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/fake_clock.h"
#include "tests/common/temp_dir.h"
#include "tests/scheduler/scheduler_testing.h"

namespace {

struct Alarm {
  int module;
  const char* date;  // YYYYMMDD
  const char* time;  // HHMM
};

struct Config {
  const char* interval;
  const char* start;               // faked clock at the daemon's start
  const char* until;               // end of the compared span, "YYYY-MM-DD HH:MM" (left out)
  std::vector<const char*> times;  // HHMM; module k gets times[k % n] and times[(k + 3) % n]
  std::vector<Alarm> alarms;
  // On the spring-forward day: the time of the late run of 02:00.
  const char* lateAt = nullptr;
};

// "YYYY-MM-DD HH:MM module" of every run before `until` in `json` (the runs
// array of next): the date it happens on and the minute it is due for, which
// a late run gives apart from its time.
std::multiset<std::string> Forecast(const std::string& json, const std::string& until) {
  std::multiset<std::string> runs;
  const std::string list = json.substr(0, json.find("\"never\""));
  const std::string key = "{\"time\":\"";
  for (size_t at = list.find(key); at != std::string::npos; at = list.find(key, at + 1)) {
    const std::string run = list.substr(at, list.find('}', at) - at);
    std::string time = run.substr(key.size(), 16);
    const size_t due = run.find("\"due\":\"");
    if (due != std::string::npos) time = time.substr(0, 11) + run.substr(due + 7, 5);
    const size_t module = run.find("\"module\":") + 9;
    if (time < until) runs.insert(time + " " + std::to_string(atoi(run.c_str() + module)));
  }
  return runs;
}

// The same for the run lines of the journal up to `until`.
std::multiset<std::string> Journal(const std::string& path, const std::string& until) {
  std::multiset<std::string> runs;
  for (const std::string& line : ReadLines(path)) {
    std::vector<std::string> f;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');) f.push_back(field);
    if (f.size() < 4 || f[1] != "run") continue;
    const std::string when = f[0].substr(0, 11) + f[2];
    if (when < until) runs.insert(when + " " + f[3]);
  }
  return runs;
}

TEST(ForecastTest, TheDaemonMakesExactlyTheForecastRuns) {
  if (!HaveFaketime()) GTEST_SKIP() << "faketime missing";
  // For the daemons and schedulerctl too; December has no change.
  ScopedTimeZone zone("Europe/Berlin");
  // Each daemon runs through a whole faked day, noon to noon, so midnight and
  // alarms of both dates fall inside. The daemons run side by side at a rate
  // (x720) that keeps a minute of faked time at 80 ms or more of real time,
  // so a busy machine does not make a daemon miss a minute that it would
  // reach on time. No entry falls in the start minute: a daemon started then
  // runs it, the forecast starts after it.
  // Entries and alarms of the daylight-saving days (Europe/Berlin).
  const std::vector<const char*> kChange = {"0200", "0215", "0230", "0245", "0300",
                                            "0315", "0145", "0100", "0400"};
  const std::vector<Alarm> kSpring = {{3, "20260329", "0230"},
                                      {4, "20260329", "0305"},
                                      {5, "20260329", "0150"},
                                      {6, "20260328", "2359"}};
  const std::vector<Alarm> kAutumn = {{3, "20261025", "0210"},
                                      {4, "20261025", "0250"},
                                      {5, "20261025", "0159"},
                                      {6, "20261024", "2359"}};
  // clang-format off
  const Config configs[] = {
      {"60", "2026-12-04 12:00:30", "2026-12-05 12:00",
       {"1300", "2330", "0000", "0100", "2300", "0015", "0900", "1107", "1800"},
       {{3, "20261204", "2237"}, {4, "20261205", "0023"}, {11, "20261204", "2300"},
        {2, "20261205", "0900"}}},
      {"15", "2026-12-04 12:00:30", "2026-12-05 12:00",
       {"2315", "2320", "0000", "0045", "2359", "1330", "0630", "1159", "1201"},
       {{5, "20261204", "2352"}, {6, "20261205", "0041"}, {8, "20261205", "1152"}}},
      {"1", "2026-12-04 12:00:30", "2026-12-05 12:00",
       {"1203", "1216", "2359", "0000", "0001", "1100", "1725", "1159", "0615"},
       {{7, "20261204", "1229"}, {9, "20261205", "0307"}}},
      // Spring: 02:00-02:59 do not exist. The sleep towards 02:00 ends at
      // 03:00, which runs the late 02:00 and then 03:00; the alarm at 02:30
      // never runs. Autumn: 02:00-02:59 come twice; each runs once.
      {"15", "2026-03-28 12:00:30", "2026-03-29 12:00", kChange, kSpring, "2026-03-29 03:00"},
      {"60", "2026-03-28 12:00:30", "2026-03-29 12:00", kChange, kSpring, "2026-03-29 03:00"},
      {"15", "2026-10-24 12:00:30", "2026-10-25 12:00", kChange, kAutumn},
      {"60", "2026-10-24 12:00:30", "2026-10-25 12:00", kChange, kAutumn},
  };
  // clang-format on
  std::vector<std::unique_ptr<DaemonHome>> homes;
  std::vector<std::multiset<std::string>> forecasts;
  std::vector<std::unique_ptr<Daemon>> daemons;
  for (const Config& config : configs) {
    homes.push_back(std::make_unique<DaemonHome>());
    const DaemonHome& home = *homes.back();
    const size_t n = config.times.size();
    for (int k = 1; k <= 10; ++k) {
      ASSERT_EQ(AddModule("/bin/true", {config.times[k % n], config.times[(k + 3) % n]}), k);
    }
    // Module 11 is not in the table: its alarm never runs.
    for (const Alarm& a : config.alarms) home.Alarm(a.module, a.date, a.time);
    WriteFile(home.Data("scheduler/runs.log"), "");
    const std::string out = home.root.Path("next.out");
    Wait(Spawn(UnderFakedClock(std::string("@") + config.start,
                               {SCHEDULERCTL_BIN, home.home, "next", "--json", "--count", "100000",
                                "--interval", config.interval, "--until", config.until}),
               out, out));
    const std::string json = ReadFile(out);
    forecasts.push_back(Forecast(json, config.until));
    EXPECT_GT(forecasts.back().size(), 3u) << json;
    if (config.lateAt != nullptr) {
      // The late run at the time it happens, and no run at a time that
      // does not exist.
      EXPECT_NE(json.find(std::string("{\"time\":\"") + config.lateAt), std::string::npos);
      EXPECT_NE(json.find("\"due\":\"02:00\"}"), std::string::npos) << json;
      EXPECT_EQ(json.find("\"time\":\"2026-03-29 02:"), std::string::npos) << json;
    }
    daemons.push_back(
        std::make_unique<Daemon>(home.home, config.interval, home.work, config.start, "x720"));
  }
  sleep(125 + 3);   // the longest span, the autumn day of 25 hours, in real seconds
  daemons.clear();  // killed: only the journal is looked at
  for (size_t c = 0; c < std::size(configs); ++c) {
    SCOPED_TRACE(std::string("interval ") + configs[c].interval + " from " + configs[c].start);
    // The daemon's planned wake-up lies past the span: it went through it.
    const std::string next = ReadFile(homes[c]->Data("scheduler/controle/status"));
    auto digits = [](std::string text) {
      for (char drop : {'-', ' ', ':'})
        text.erase(std::remove(text.begin(), text.end(), drop), text.end());
      return text;
    };
    const size_t at = next.find("nexttime=");
    ASSERT_NE(at, std::string::npos) << next;
    EXPECT_GE(next.substr(at + 9, 12), digits(configs[c].until))
        << "the daemon did not get through the span";
    const auto journal = Journal(homes[c]->Data("scheduler/runs.log"), configs[c].until);
    EXPECT_EQ(journal, forecasts[c]);
    // The span as a gap: with the pass record of the daemon's start and no
    // daemon running, log --missed at the span's end names exactly the runs
    // the daemon made (the late wake-ups of its journal are listed apart).
    struct tm start = {};
    strptime(configs[c].start, "%Y-%m-%d %H:%M:%S", &start);
    start.tm_isdst = -1;
    char pass[64];
    snprintf(pass, sizeof(pass), "pass %s %012lld %04d\ngap -\n",
             digits(configs[c].start).substr(0, 12).c_str(),
             static_cast<long long>(mktime(&start)), atoi(configs[c].interval));
    WriteFile(homes[c]->Data("scheduler/lastpass"), pass);
    const std::string out = homes[c]->root.Path("missed.out");
    Wait(Spawn(UnderFakedClock(std::string("@") + configs[c].until + ":00",
                               {SCHEDULERCTL_BIN, homes[c]->home, "log", "--missed", "--json"}),
               out, out));
    const std::string missed = ReadFile(out);
    EXPECT_EQ(Forecast(missed.substr(0, missed.find("\"late\"")), configs[c].until), journal)
        << missed;
  }
}

}  // namespace
