// What each schedulerctl command does with its words: every argument is
// checked before anything is touched, then the tool takes on the home's
// owner (RequireHome) and hands the work to the command units
// (tools/ctl_tables.h, tools/ctl_alarms.h, tools/ctl_daemon.h,
// tools/ctl_run.h, tools/ctl_runlog.h, tools/ctl_output.h,
// tools/ctl_doctor.h, tools/ctl_next.h, tools/ctl_metrics.h).
#include "tools/ctl_commands_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/comfile.h"
#include "common/comguard.h"
#include "common/comproc.h"
#include "stores/runoutput.h"
#include "tools/ctl_alarms.h"
#include "tools/ctl_args.h"
#include "tools/ctl_daemon.h"
#include "tools/ctl_doctor.h"
#include "tools/ctl_home.h"
#include "tools/ctl_metrics.h"
#include "tools/ctl_missed.h"
#include "tools/ctl_next.h"
#include "tools/ctl_output.h"
#include "tools/ctl_policy.h"
#include "tools/ctl_report.h"
#include "tools/ctl_run.h"
#include "tools/ctl_runlog.h"
#include "tools/ctl_tables.h"

namespace {

// Removes every `flag` from argv[0..*argc) and tells whether there was one.
bool TakeFlag(const char* flag, int* argc, char** argv) {
  int kept = 0;
  for (int i = 0; i < *argc; ++i) {
    if (strcmp(argv[i], flag) != 0) argv[kept++] = argv[i];
  }
  bool found = kept != *argc;
  *argc = kept;
  return found;
}

int Refused(const char* why) {
  return ctlUsageError("%s", why);
}

// Run by root on a data home that belongs to another user, the tool acts as
// that user from here on (comProcActAsOwner): whatever it does below the home
// its owner could do, and every file it creates there is the owner's, which
// the daemon can go on rewriting. Called after the arguments are checked and
// before anything below the home is touched. With `missingOk` a home that
// does not exist (yet) is no failure: init then makes it as the caller's.
int ActAsHomeOwner(const char* home, bool missingOk) {
  char why[kCtlWhySize];
  if (comProcActAsOwner(home, why, kCtlWhySize) >= 0) return kCtlExitOk;
  const int err = errno;
  if (missingOk && err == ENOENT) return kCtlExitOk;
  return ctlError("%s: %s", why, ctlReason(err));
}

// The home must be a directory; then the tool takes on its owner.
int RequireHome(const char* home) {
  const int status = ctlRequireHomeDir(home);
  comClearFailure();  // what a message names is what the command met
  return status != kCtlExitOk ? status : ActAsHomeOwner(home, false);
}

// True when the directory open at `fd` has no entry but "." and "..".
// False, with errno, also when it cannot be read.
bool IsEmptyDir(int fd) {
  ComFd copy(fcntl(fd, F_DUPFD_CLOEXEC, 0));  // closedir closes the copy, not `fd`
  if (!copy.ok()) return false;
  ComDir dir(fdopendir(copy.get()));
  if (!dir.ok()) return false;
  copy.release();
  errno = 0;
  while (struct dirent* entry = readdir(dir.get())) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) return false;
  }
  return errno == 0;
}

// init --owner USER: makes the home USER's before init creates anything in
// it, so that what init then creates, acting as USER, is USER's too:
//  - a missing home is created (mode 0755 less the umask; missing folders
//    above it are root's, as plain init makes them) and given to USER and
//    USER's primary group;
//  - an existing home that is empty and belongs to root is given to USER in
//    the same way;
//  - an existing home that belongs to USER is kept as it is (its group too);
//  - any other existing home (one that holds entries, or belongs to another
//    user) is refused, naming its owner: a tree whose files belong to others
//    is handed over with chown -R first, never half by this command.
// The checks and the chown act on one descriptor of the home, so the home
// judged is the home given. kCtlExitOk, or the printed failure.
int GiveHome(const char* home, const CtlUser& user) {
  bool created = false;
  std::string path(home);
  for (size_t end = path.find('/', 1); end != std::string::npos; end = path.find('/', end + 1)) {
    struct stat st;
    const std::string dir = path.substr(0, end);
    if (stat(dir.c_str(), &st) != 0 && errno == ENOENT && comIoMkdir(dir.c_str(), 0755) != 0 &&
        errno != EEXIST) {
      return ctlError("init: cannot create the directory %s: %s", dir.c_str(), ctlReason(errno));
    }
  }
  if (comIoMkdir(home, 0755) == 0) {
    created = true;
  } else if (errno != EEXIST) {
    return ctlError("init: cannot create the data home %s: %s", home, ctlReason(errno));
  }
  ComFd dir(open(home, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st;
  if (!dir.ok() || fstat(dir.get(), &st) != 0) {
    return ctlError("init: %s: %s", home, ctlReason(errno));
  }
  if (st.st_uid == user.uid) return kCtlExitOk;
  if (st.st_uid == 0 && (created || IsEmptyDir(dir.get()))) {
    if (fchown(dir.get(), user.uid, user.gid) == 0) return kCtlExitOk;
    const int err = errno;
    if (created) rmdir(home);
    return ctlError("init: cannot give %s to %s: %s", home, user.name, ctlReason(err));
  }
  const struct passwd* holder = getpwuid(st.st_uid);
  char owner[300];
  if (holder != nullptr) {
    snprintf(owner, sizeof(owner), "%s (uid %u)", holder->pw_name,
             static_cast<unsigned>(st.st_uid));
  } else {
    snprintf(owner, sizeof(owner), "uid %u", static_cast<unsigned>(st.st_uid));
  }
  return ctlError(
      "init --owner %s: %s belongs to %s%s; hand it over first (chown -R %s: %s) and run init "
      "again",
      user.name, home, owner, st.st_uid == 0 ? " and is not empty" : "", user.name, home);
}

// init [--owner USER]. Without --owner, root on a home of another user acts
// as that user (as every command does) and on a missing home makes it its
// own. Only root may name another user than the caller: refused as a usage
// error before anything is looked at.
}  // namespace

int ctlCmdInit(const char* home, int argc, char** argv) {
  char why[kCtlWhySize];
  if (argc == 0) {
    const int status = ActAsHomeOwner(home, true);
    return status != kCtlExitOk ? status : ctlInit(home);
  }
  if (argc != 2 || strcmp(argv[0], "--owner") != 0) {
    return ctlUsageError("init takes no arguments but --owner USER");
  }
  CtlUser user;
  if (!ctlParseUser(argv[1], &user, why, kCtlWhySize)) return Refused(why);
  if (geteuid() != 0 && user.uid != geteuid()) {
    return ctlUsageError("init --owner %s: only root can make a data home for another user",
                         user.name);
  }
  int status = GiveHome(home, user);
  if (status == kCtlExitOk) status = ActAsHomeOwner(home, false);
  return status != kCtlExitOk ? status : ctlInit(home);
}


namespace {

// Parses the times at argv[from..argc).
bool ParseTimes(int argc, char** argv, int from, std::vector<CtlClock>* times, char* why) {
  for (int i = from; i < argc; ++i) {
    CtlClock time{0, 0};
    if (!ctlParseClock(argv[i], &time.hour, &time.minute, why, kCtlWhySize)) return false;
    times->push_back(time);
  }
  return true;
}

// schedule add / remove: a module ID and at least one HH:MM.
int ScheduleChange(const char* home, bool add, int argc, char** argv) {
  char why[kCtlWhySize];
  if (argc < 2) {
    return ctlUsageError("schedule %s needs a module ID and at least one HH:MM",
                         add ? "add" : "remove");
  }
  int id = 0;
  std::vector<CtlClock> times;
  if (!ctlParseId(argv[0], &id, why, kCtlWhySize) || !ParseTimes(argc, argv, 1, &times, why)) {
    return Refused(why);
  }
  int status = RequireHome(home);
  if (status != kCtlExitOk) return status;
  return add ? ctlScheduleAdd(id, times) : ctlScheduleRemove(id, times);
}

// Parses the alarm minute at argv[1], given as one argument or, when the
// quotes were left out, as two ("2026-12-04" "10:15"). The index of the
// argument after it, or 0 with the reason in `why`.
int ParseAlarmMinute(int argc, char** argv, char* dateTime, char* why) {
  if (strchr(argv[1], ' ') == nullptr && argc >= 3 && strchr(argv[2], ':') != nullptr) {
    return ctlParseAlarmTime(argv[1], argv[2], dateTime, why, kCtlWhySize) ? 3 : 0;
  }
  return ctlParseAlarmTime(argv[1], nullptr, dateTime, why, kCtlWhySize) ? 2 : 0;
}

}  // namespace

int ctlCmdModuleAdd(const char* home, int argc, char** argv) {
  char why[kCtlWhySize];
  if (argc != 2) return ctlUsageError("module add needs NAME and PROGRAM");
  if (!ctlCheckFieldText(argv[0], kCtlNameMax, false, "module name", why, kCtlWhySize) ||
      !ctlCheckProgram(argv[1], home, why, kCtlWhySize)) {
    return Refused(why);
  }
  int status = RequireHome(home);
  return status != kCtlExitOk ? status : ctlModuleAdd(argv[0], argv[1]);
}

int ctlCmdModuleList(const char* home, int argc, char** argv) {
  bool json = TakeFlag("--json", &argc, argv);
  if (argc != 0) return ctlUsageError("module list takes no arguments but --json");
  int status = RequireHome(home);
  return status != kCtlExitOk ? status : ctlModuleList(json);
}

int ctlCmdModuleSet(const char* home, int argc, char** argv) {
  char why[kCtlWhySize];
  if (argc < 1) return ctlUsageError("module set needs a module ID");
  int id = 0;
  if (!ctlParseId(argv[0], &id, why, kCtlWhySize)) return Refused(why);
  CtlPolicyChange change;
  if (!ctlParsePolicyArgs(argc - 1, argv + 1, &change, why, kCtlWhySize)) return Refused(why);
  int status = RequireHome(home);
  return status != kCtlExitOk ? status : ctlModuleSet(id, change);
}

int ctlCmdModuleRemove(const char* home, int argc, char** argv) {
  char why[kCtlWhySize];
  if (argc != 1) return ctlUsageError("module remove needs one module ID");
  int id = 0;
  if (!ctlParseId(argv[0], &id, why, kCtlWhySize)) return Refused(why);
  int status = RequireHome(home);
  return status != kCtlExitOk ? status : ctlModuleRemove(id);
}

int ctlCmdScheduleAdd(const char* home, int argc, char** argv) {
  return ScheduleChange(home, true, argc, argv);
}

int ctlCmdScheduleRemove(const char* home, int argc, char** argv) {
  return ScheduleChange(home, false, argc, argv);
}

int ctlCmdScheduleList(const char* home, int argc, char** argv) {
  char why[kCtlWhySize];
  bool json = TakeFlag("--json", &argc, argv);
  if (argc > 1) return ctlUsageError("schedule list takes at most one module ID");
  int id = 0;
  if (argc == 1 && !ctlParseId(argv[0], &id, why, kCtlWhySize)) return Refused(why);
  int status = RequireHome(home);
  return status != kCtlExitOk ? status : ctlScheduleList(id, json);
}

int ctlCmdAlarmAdd(const char* home, int argc, char** argv) {
  char why[kCtlWhySize];
  if (argc < 2 || argc > 4) {
    return ctlUsageError("alarm add needs a module ID, 'YYYY-MM-DD HH:MM' and optionally a text");
  }
  int id = 0;
  if (!ctlParseId(argv[0], &id, why, kCtlWhySize)) return Refused(why);
  char dateTime[15];
  int textAt = ParseAlarmMinute(argc, argv, dateTime, why);
  if (textAt == 0) return Refused(why);
  if (argc > textAt + 1) return ctlUsageError("alarm add: too many arguments (quote the TEXT)");
  const char* text = argc > textAt ? argv[textAt] : "";
  if (!ctlCheckFieldText(text, kCtlAlarmTextMax, true, "alarm text", why, kCtlWhySize)) {
    return Refused(why);
  }
  int status = RequireHome(home);
  return status != kCtlExitOk ? status : ctlAlarmAdd(id, dateTime, text);
}

int ctlCmdAlarmList(const char* home, int argc, char** argv) {
  char why[kCtlWhySize];
  bool json = TakeFlag("--json", &argc, argv);
  bool all = TakeFlag("--all", &argc, argv);
  if (argc > 1) return ctlUsageError("alarm list takes at most one module ID");
  int id = 0;
  if (argc == 1 && !ctlParseId(argv[0], &id, why, kCtlWhySize)) return Refused(why);
  int status = RequireHome(home);
  return status != kCtlExitOk ? status : ctlAlarmList(id, all, json);
}

int ctlCmdAlarmRemove(const char* home, int argc, char** argv) {
  char why[kCtlWhySize];
  if (argc < 2 || argc > 3) {
    return ctlUsageError("alarm remove needs a module ID and 'YYYY-MM-DD HH:MM'");
  }
  int id = 0;
  char dateTime[15];
  if (!ctlParseId(argv[0], &id, why, kCtlWhySize)) return Refused(why);
  int next = ParseAlarmMinute(argc, argv, dateTime, why);
  if (next == 0) return Refused(why);
  if (argc > next) return ctlUsageError("alarm remove: too many arguments");
  int status = RequireHome(home);
  return status != kCtlExitOk ? status : ctlAlarmRemove(id, dateTime);
}

int ctlCmdAlarmPrune(const char* home, int argc, char** argv) {
  char why[kCtlWhySize];
  if (argc != 2 || strcmp(argv[0], "--before") != 0) {
    return ctlUsageError("alarm prune needs --before 'YYYY-MM-DD'");
  }
  char before[9];
  if (!ctlParseDate(argv[1], before, why, kCtlWhySize)) return Refused(why);
  int status = RequireHome(home);
  return status != kCtlExitOk ? status : ctlAlarmPrune(before);
}

int ctlCmdStatus(const char* home, int argc, char** argv) {
  bool json = TakeFlag("--json", &argc, argv);
  if (argc != 0) return ctlUsageError("status takes no arguments but --json");
  int status = RequireHome(home);
  return status != kCtlExitOk ? status : ctlStatus(home, json);
}

int ctlCmdMetrics(const char* home, int argc, char**) {
  if (argc != 0) return ctlUsageError("metrics takes no arguments");
  int status = RequireHome(home);
  return status != kCtlExitOk ? status : ctlMetrics();
}

int ctlCmdRun(const char* home, int argc, char** argv) {
  char why[kCtlWhySize];
  if (argc != 1) return ctlUsageError("run needs one module ID");
  int id = 0;
  if (!ctlParseId(argv[0], &id, why, kCtlWhySize)) return Refused(why);
  int status = RequireHome(home);
  return status != kCtlExitOk ? status : ctlRun(home, id);
}

int ctlCmdStop(const char* home, int argc, char** argv) {
  char why[kCtlWhySize];
  bool wait = false;
  int timeout = kCtlStopWaitSeconds;
  for (int i = 0; i < argc; ++i) {
    if (strcmp(argv[i], "--wait") == 0) {
      wait = true;
    } else if (strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
      if (!ctlParseSeconds(argv[++i], &timeout, why, kCtlWhySize)) return Refused(why);
    } else {
      return ctlUsageError("stop: unexpected argument '%s'", argv[i]);
    }
  }
  int status = RequireHome(home);
  return status != kCtlExitOk ? status : ctlStop(home, wait, timeout);
}

int ctlCmdNext(const char* home, int argc, char** argv) {
  char why[kCtlWhySize];
  CtlNextOptions options;
  if (!ctlParseNextArgs(argc, argv, &options, why, kCtlWhySize)) return Refused(why);
  int status = RequireHome(home);
  return status != kCtlExitOk ? status : ctlNext(home, options);
}

int ctlCmdDoctor(const char* home, int argc, char** argv) {
  bool repair = false;
  bool json = false;
  const char* discard = nullptr;
  for (int i = 0; i < argc; ++i) {
    if (strcmp(argv[i], "--repair") == 0) {
      repair = true;
    } else if (strcmp(argv[i], "--json") == 0) {
      json = true;
    } else if (strcmp(argv[i], "--discard") == 0 && i + 1 < argc && discard == nullptr) {
      discard = argv[++i];
      if (!ctlIsLogName(discard)) {
        return ctlUsageError(
            "doctor: --discard takes a log as doctor names it "
            "(tmp/journal<pid>.<n>), not '%s'",
            discard);
      }
    } else {
      return ctlUsageError("doctor: unexpected argument '%s'", argv[i]);
    }
  }
  if (discard != nullptr && (repair || json)) {
    return ctlUsageError("doctor: --discard goes alone");
  }
  int status = RequireHome(home);
  if (status != kCtlExitOk) return status;
  return discard != nullptr ? ctlDoctorDiscard(home, discard) : ctlDoctor(home, repair, json);
}

int ctlCmdOutput(const char* home, int argc, char** argv) {
  RunOutputMode mode = RunOutputMode::kConsole;
  if (argc > 1 || (argc == 1 && !runOutputParseMode(argv[0], &mode))) {
    return ctlUsageError("output takes one of keep, journal or console, or nothing");
  }
  int status = RequireHome(home);
  return status != kCtlExitOk ? status : ctlOutput(argc == 1 ? &mode : nullptr);
}

int ctlCmdLog(const char* home, int argc, char** argv) {
  char why[kCtlWhySize];
  CtlLogFilter filter;
  bool follow = false;
  bool json = false;
  const char* toggle = nullptr;
  int output = 0;
  int run = 0;
  bool missed = false;
  std::string sinceStamp;  // YYYYMMDDhhmm of --since, for --missed
  for (int i = 0; i < argc; ++i) {
    if (strcmp(argv[i], "--missed") == 0) {
      missed = true;
    } else if (strcmp(argv[i], "--enable") == 0 || strcmp(argv[i], "--disable") == 0) {
      toggle = argv[i];
    } else if (strcmp(argv[i], "--output") == 0 && i + 1 < argc) {
      if (!ctlParseId(argv[++i], &output, why, kCtlWhySize)) return Refused(why);
    } else if (strcmp(argv[i], "--run") == 0 && i + 1 < argc) {
      if (!ctlParseId(argv[++i], &run, why, kCtlWhySize)) return Refused(why);
    } else if (strcmp(argv[i], "--follow") == 0) {
      follow = true;
    } else if (strcmp(argv[i], "--json") == 0) {
      json = true;
    } else if (strcmp(argv[i], "--module") == 0 && i + 1 < argc) {
      if (!ctlParseId(argv[++i], &filter.module, why, kCtlWhySize)) return Refused(why);
    } else if (strcmp(argv[i], "--since") == 0 && i + 1 < argc) {
      char since[15];
      if (!ctlParseAlarmTime(argv[++i], nullptr, since, why, kCtlWhySize)) return Refused(why);
      char text[32];
      snprintf(text, sizeof(text), "%.4s-%.2s-%.2s %.2s:%.2s", since, since + 4, since + 6,
               since + 8, since + 10);
      filter.since = text;
      sinceStamp.assign(since, 12);
    } else {
      return ctlUsageError("log: unexpected argument '%s'", argv[i]);
    }
  }
  if (toggle != nullptr && argc != 1) {
    return ctlUsageError("log %s takes no other arguments", toggle);
  }
  if (run != 0 && output == 0) return ctlUsageError("log --run N needs --output ID");
  if (output != 0 && (follow || filter.module != 0 || !filter.since.empty())) {
    return ctlUsageError("log --output ID takes no other arguments but --run N and --json");
  }
  if (missed && (toggle != nullptr || output != 0 || follow || filter.module != 0)) {
    return ctlUsageError("log --missed takes no other arguments but --since and --json");
  }
  int status = RequireHome(home);
  if (status != kCtlExitOk) return status;
  if (missed) return ctlLogMissed(sinceStamp.c_str(), json);
  if (toggle != nullptr) return strcmp(toggle, "--enable") == 0 ? ctlLogEnable() : ctlLogDisable();
  if (output != 0) return ctlLogOutput(output, run, json);
  return ctlLog(filter, follow, json);
}


int ctlCmdCatchUp(const char* home, int argc, char** argv) {
  int status = RequireHome(home);
  return status != kCtlExitOk ? status : ctlCatchUp(argc, argv);
}
