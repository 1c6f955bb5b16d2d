// A scripted clock for tests: the time stands still until the code under
// test sleeps, and every sleep advances it by exactly the seconds asked for
// (or fewer, when an interruption is scripted). Its monotonic clock moves
// with every sleep and Advance, but not when the wall clock is set
// (SetLocal), which plays a clock stepped by hand or by time
// synchronisation. Install it for a scope with ScopedClock.
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

  // Records the request and advances the time. With an interruption queued,
  // the sleep ends after that many seconds (if fewer than asked) and returns
  // the unslept rest, as a signal arriving then would.
  unsigned Sleep(unsigned seconds) override {
    sleeps_.push_back(seconds);
    unsigned slept = seconds;
    if (!interrupts_.empty()) {
      unsigned after = interrupts_.front();
      interrupts_.pop_front();
      if (after < seconds) slept = after;
    }
    now_ += slept;
    elapsed_ += slept;
    if (on_sleep_) on_sleep_(slept);
    return seconds - slept;
  }

  // Sets the clock to a local wall-clock time (as mktime reads it).
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

  // The next sleep not yet interrupted ends after `seconds` (queued in order,
  // one per sleep).
  void InterruptSleepAfter(unsigned seconds) { interrupts_.push_back(seconds); }
  // The next reading returns the time and moves it `seconds` further, as a
  // wall clock turns while a call runs across a boundary.
  void TurnAfterNextRead(time_t seconds) { turn_ = seconds; }
  // Called after every sleep with the seconds slept, for instance to play
  // another process writing a file while the code under test sleeps.
  void OnSleep(std::function<void(unsigned)> hook) { on_sleep_ = std::move(hook); }

  // Every sleep request in order.
  const std::vector<unsigned>& sleeps() const { return sleeps_; }

 private:
  time_t now_;
  time_t elapsed_ = 0;
  time_t turn_ = 0;
  std::vector<unsigned> sleeps_;
  std::deque<unsigned> interrupts_;
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
