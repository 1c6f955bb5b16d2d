// Date texts, date checks, date stepping and the clock seam.
#include "common/comdate.h"

#include <signal.h>
#include <sys/time.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/common/temp_dir.h"

namespace {

TEST(ComDateTest, ExtractorsReadOnlyWhatIsThere) {
  // Fields: year, month, day; hour, minute, second.
  struct {
    const char* text;
    int fields[6];
  } const cases[] = {// clang-format off
      {"20261204032047", {2026, 12, 4, 20, 26, 12}}, {"2026ab01", {2026, 0, 1, 20, 26, 0}},
      {"20261x04", {2026, 1, 4, 20, 26, 1}}, {"032047", {320, 47, 0, 3, 20, 47}},
      {"20261", {2026, 1, 0, 20, 26, 1}}, {"", {0, 0, 0, 0, 0, 0}}};  // clang-format on
  for (const auto& c : cases) {
    auto t = Exact(c.text);
    int got[6] = {comGetYear(t.get()), comGetMonth(t.get()),  comGetDay(t.get()),
                  comGetHour(t.get()), comGetMinute(t.get()), comGetSecond(t.get())};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(got[i], c.fields[i]) << c.text << " field " << i;
  }
}

TEST(ComDateTest, Checks) {
  // comChk_date and comChk_time of each text (a date passes as hhmm...), and
  // the text after comChk_time.
  struct {
    const char* text;
    int date, time;
    const char* after;
  } const cases[] = {// clang-format off
      {"20240229", 0, 0, "20240229"}, {"20230229", -1, 0, "20230229"}, {"20000229", 0, 0, "20000229"},
      {"19000229", -1, 0, "19000229"}, {"20261131", -1, 0, "20261131"}, {"20261300", -1, 0, "20261300"},
      {"20260001", -1, 0, "20260001"}, {"20261231235959", 0, 0, "20261231235959"},
      {"2400", -1, 0, "2400"}, {"2460", -1, -1, "2460"}, {"12a0", -1, -1, "12a0"},
      {"1230 ", -1, 0, "1230"}, {"-100", -1, -1, "-100"}, {"2500", -1, -1, "2500"}, {"", -1, -1, ""}};
  // clang-format on
  for (const auto& c : cases) {
    auto t = Exact(c.text);
    EXPECT_EQ(comChk_date(t.get()), c.date) << c.text;
    EXPECT_EQ(comChk_time(t.get()), c.time) << c.text;
    EXPECT_STREQ(t.get(), c.after);
  }
  EXPECT_EQ(comChk_time("1230 \n") + comChk_time("2460"), -1);  // literals: never written
  EXPECT_EQ(comChk_mmdd("2", "29") + comChk_mmdd("99999999999999999999", "1"), -1);
  EXPECT_EQ(comDayMonth(2026, 13), 31);
}

TEST(ComDateTest, StepDays) {
  // Whole 400-year cycles (146097 days) and the int extremes; months outside
  // 1-12 count 31 days and never wrap back; results are cut to 8 characters.
  struct {
    const char* date;
    int days;
    const char* result;
  } const cases[] = {
      // clang-format off
      {"20261231", 1, "20270101"}, {"20240301", -1, "20240229"}, {"20260115", -400, "20241211"},
      {"20260115", 0, "20260115"}, {"20261204032047", 1, "20261205"}, {"00000101", -1, "-0011231"},
      {"20240229", 146097, "24240229"}, {"20240229", -146097, "16240229"},
      {"20240229", 146096, "24240228"}, {"20240301", -146098, "16240229"},
      {"20260115", INT_MAX, "58816360"}, {"20260115", INT_MIN, "-5877585"},
      {"99991231", 1, "10000010"}, {"20261399", 1, "20261607"}, {"2026-501", -40, "2026-723"},
      {"20269901", -3000, "20260201"}};  // clang-format on
  for (const auto& c : cases) {
    char out[9];
    EXPECT_EQ(comGetNextOrBeforeDay(Exact(c.date).get(), c.days, out), 8);
    EXPECT_STREQ(out, c.result) << c.date << " " << c.days;
  }
  char same[15] = "20261231120000";
  comGetNextOrBeforeDay(same, 1, same);
  EXPECT_STREQ(same, "20270101");
}

void OnAlarm(int) {}
int gPreludes = 0;
void CountPrelude() { ++gPreludes; }

// The caller keeps the signal blocked; the sleep alone lets it in, and the
// caller's mask is back afterwards.
TEST(ComDateTest, SystemSleepUntilRunsItsPreludeAndEndsAtTheDeadlineOrASignal) {
  ASSERT_EQ(&comClock(), comSetClock(nullptr));
  struct sigaction action = {}, previous = {};
  action.sa_handler = OnAlarm;
  ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
  sigset_t alarm, caller, during, after;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  ASSERT_EQ(sigprocmask(SIG_BLOCK, &alarm, &caller), 0);
  ASSERT_EQ(sigprocmask(SIG_BLOCK, nullptr, &during), 0);
  sigdelset(&during, SIGALRM);
  struct itimerval timer = {};
  timer.it_value.tv_usec = 100 * 1000;
  ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);
  EXPECT_EQ(comSleepUntil(comTime() + 30, &during, CountPrelude), kComWokeSignal);
  EXPECT_EQ(gPreludes, 1);
  ASSERT_EQ(sigprocmask(SIG_SETMASK, &caller, &after), 0);
  EXPECT_EQ(sigismember(&after, SIGALRM), 1);
  sigaction(SIGALRM, &previous, nullptr);
  // A deadline ahead is slept to on the wall clock; one passed ends the sleep at once.
  time_t deadline = comTime() + 1;
  EXPECT_EQ(comSleepUntil(deadline, nullptr, nullptr), kComWokeDeadline);
  EXPECT_GE(comTime(), deadline);
  EXPECT_EQ(comSleepUntil(deadline - 60, nullptr, nullptr), kComWokeDeadline);
}

}  // namespace
