// A scripted clock for tests: the time stands still until the code under
// test sleeps, and every sleep advances it by exactly the seconds asked for,
// or to the deadline asked for, unless something scripted befalls it: a
// signal that ends it early, a pause of the whole process (stopped and
// continued, a paused virtual machine), or the wall clock set. Its monotonic
// clock moves with every sleep, pause and Advance, but not when the wall
// clock is set (SetLocal, or during a sleep), which plays a clock stepped by
// hand or by time synchronisation, or a suspended host. Install it for a
// scope with ScopedClock.
#ifndef TESTS_COMMON_FAKE_CLOCK_H_
#define TESTS_COMMON_FAKE_CLOCK_H_

#include <cstdlib>
#include <ctime>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "common/comdate.h"

class FakeClock : public ComClock {
 public:
  explicit FakeClock(time_t now = 0) : now_(now) {}

  time_t Now() override {
    time_t now = now_;
    Advance(turn_);
    turn_ = 0;
    return now;
  }
  time_t Monotonic() override { return elapsed_; }

  // Records the request and advances the time. A signal scripted for the
  // sleep ends it then and it returns the unslept rest; a pause or a set
  // clock does not end it: a sleep for a length of time resumes what it had
  // left.
  unsigned Sleep(unsigned seconds) override {
    sleeps_.push_back(seconds);
    Befall event = Next(seconds);
    Advance(event.after);
    if (event.what == kSignal) {
      if (on_sleep_) on_sleep_(event.after);
      return seconds - event.after;
    }
    Happen(event);
    Advance(seconds - event.after);
    if (on_sleep_) on_sleep_(seconds);
    return 0;
  }

  // Records the seconds until the deadline (0 when it passed) and sleeps
  // until the wall clock reaches it, as a timer on the wall clock does: after
  // a pause past the deadline it ends at once; a signal ends it early; a set
  // clock ends it at once.
  ComWoke SleepUntil(time_t deadline) override {
    unsigned asked = deadline > now_ ? static_cast<unsigned>(deadline - now_) : 0;
    sleeps_.push_back(asked);
    time_t start = elapsed_;
    Befall event = Next(asked);
    Advance(event.after);
    Happen(event);
    if (event.what == kNothing || event.what == kPause) {
      if (now_ < deadline) Advance(deadline - now_);
    }
    if (on_sleep_) on_sleep_(static_cast<unsigned>(elapsed_ - start));
    return event.what == kSignal ? kComWokeSignal
           : event.what == kSet  ? kComWokeClockSet
                                 : kComWokeDeadline;
  }

  // Sets the wall clock to `wall`, or to a local wall-clock time (as mktime
  // reads it).
  void Set(time_t wall) { now_ = wall; }
  void SetLocal(int year, int month, int day, int hour, int minute, int second) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    now_ = mktime(&t);
  }
  void Advance(time_t seconds) {
    now_ += seconds;
    elapsed_ += seconds;
  }

  // What befalls the next sleep not yet given something, `seconds` into it
  // (queued in order, one per sleep; nothing when the sleep ends first): a
  // caught signal; the process paused for `pause` seconds; the wall clock set
  // to `wall`.
  void InterruptSleepAfter(unsigned seconds) { befalls_.push_back({kSignal, seconds, 0}); }
  void PauseSleepAfter(unsigned seconds, unsigned pause) {
    befalls_.push_back({kPause, seconds, static_cast<time_t>(pause)});
  }
  void SetClockInSleepAfter(unsigned seconds, time_t wall) {
    befalls_.push_back({kSet, seconds, wall});
  }
  // The next reading returns the time and moves it `seconds` further, as a
  // wall clock turns while a call runs across a boundary.
  void TurnAfterNextRead(time_t seconds) { turn_ = seconds; }
  // Called after every sleep with the seconds slept, for instance to play
  // another process writing a file while the code under test sleeps.
  void OnSleep(std::function<void(unsigned)> hook) { on_sleep_ = std::move(hook); }

  // Every sleep request in order.
  const std::vector<unsigned>& sleeps() const { return sleeps_; }

 private:
  enum What { kNothing, kSignal, kPause, kSet };
  struct Befall {
    What what;
    unsigned after;
    time_t value;  // the pause's seconds, or the wall clock set
  };
  Befall Next(unsigned asked) {
    Befall event = {kNothing, asked, 0};
    if (befalls_.empty()) return event;
    if (befalls_.front().after < asked) event = befalls_.front();
    befalls_.pop_front();
    return event;
  }
  void Happen(const Befall& event) {
    if (event.what == kPause) Advance(event.value);
    if (event.what == kSet) now_ = event.value;
  }

  time_t now_;
  time_t elapsed_ = 0;
  time_t turn_ = 0;
  std::vector<unsigned> sleeps_;
  std::deque<Befall> befalls_;
  std::function<void(unsigned)> on_sleep_;
};

// Installs a clock for the life of the object and restores the previous one.
class ScopedClock {
 public:
  explicit ScopedClock(ComClock* clock) : previous_(comSetClock(clock)) {}
  ~ScopedClock() { comSetClock(previous_); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

 private:
  ComClock* previous_;
};

// Puts the process, and the children it starts, in the time zone `zone` for
// the life of the object, and then back in the one it had.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) : had_(getenv("TZ") != nullptr) {
    if (had_) previous_ = getenv("TZ");
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    had_ ? setenv("TZ", previous_.c_str(), 1) : unsetenv("TZ");
    tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  bool had_;
  std::string previous_;
};

#endif  // TESTS_COMMON_FAKE_CLOCK_H_
