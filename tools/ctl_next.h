// schedulerctl next: the coming runs of the modules, forecast from the
// schedule table, the pending alarms and the daemon's own wake-up rules
// (stores/schedulertiming.h), so that the forecast follows every choice the
// daemon makes about when it wakes and what is due then.
//
// REQUIRES: the data home has been saved (S3ComPathHomeSave).
#ifndef TOOLS_CTL_NEXT_H_
#define TOOLS_CTL_NEXT_H_

// Default number of runs listed, and the largest --count.
constexpr int kCtlNextCount = 20;
constexpr int kCtlNextCountMax = 100000;
// Days the window reaches ahead when no --until is given.
constexpr int kCtlNextDays = 7;
// Days the window may reach ahead at most. The forecast plays every wake-up
// of the window (about half a second of work for a year at a one-minute
// interval), so a longer --until is refused instead of left to run for
// minutes or hours with nothing to show.
constexpr int kCtlNextDaysMax = 366;

struct CtlNextOptions {
  int count = kCtlNextCount;
  // Inclusive end of the window, YYYYMMDDhhmm00; "" for kCtlNextDays days
  // after the current minute.
  char until[15] = "";
  // The interval to forecast for; false: the running daemon's.
  bool hasInterval = false;
  int interval = 0;
  bool json = false;
};

// Parses the arguments after "next": --count N (1 to kCtlNextCountMax),
// --until 'YYYY-MM-DD HH:MM' (or the date and the minute as two arguments),
// --interval MINUTES (a value the daemon admits), --json. True with `out`
// filled; false with a one-line reason in `why` (whySize bytes).
bool ctlParseNextArgs(int argc, char** argv, CtlNextOptions* out, char* why, int whySize);

// Prints the runs after the current minute up to the window's end, at most
// `count` of them, in time order and, within a minute, in the order the
// daemon visits the modules; then the schedule entries that the interval's
// ticks never reach. The daemon's wake-ups are simulated from the current
// minute on. The first is the running daemon's planned wake-up from the
// next-alarm record when that lies ahead (and no --interval was given);
// otherwise the tick a daemon started now would take (for intervals of an
// hour or more, the next full hour), or a pending alarm of the day before it.
// Every later wake-up follows from the one before it by the daemon's rules:
// the next tick, or a pending alarm of the day that comes first. The sleep
// towards each is played in real time through the clock's zone rules, with
// the daemon's own decisions (stores/schedulertiming.h): on a spring-forward
// day a sleep towards a minute that does not exist ends after the gap, and
// the target's runs are listed at that time, late, with the minute they are
// due for (text: "(late, due HH:MM)"; JSON: "due":"HH:MM", only on a late
// run), followed by those of the minute the clock then stands on when it is
// a tick; no run is listed at a time that does not exist. On an autumn day
// each entry of the repeated hour is listed once. At a wake-up a module of
// the table runs when its schedule entry is at that minute ("schedule") or it
// has a non-empty alarm file for that date and minute ("alarm"). Without an
// interval in `options` and without a running daemon to read one from, the
// runs cannot be known: prints why and returns kCtlExitUsage. Returns the
// process exit status.
int ctlNext(const char* home, const CtlNextOptions& options);

#endif  // TOOLS_CTL_NEXT_H_
