// schedulerctl log, and the last runs that status shows.
#include "tools/ctl_runlog.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comfile.h"
#include "common/comdate.h"
#include "common/comguard.h"
#include "stores/runjournal.h"
#include "tools/ctl_json.h"
#include "tools/ctl_report.h"

namespace {

// The full paths of the journal and its rotated predecessor.
struct JournalPaths {
  JournalPaths() {
    S3ComPathEditData(kRunJournalFile, current);
    S3ComPathEditData(kRunJournalOldFile, old);
  }
  char current[kComPathMax];
  char old[kComPathMax];
};

// Appends everything `fd` has from its offset on to `out`. False on a read
// error.
bool ReadRest(int fd, std::string* out) {
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out->append(buffer, static_cast<size_t>(n));
  }
}

// The whole file at `path`; "" when it cannot be read.
std::string ReadAll(const char* path) {
  std::string text;
  ComFd fd(comIoOpen(path, O_RDONLY, 0));
  if (fd.ok()) ReadRest(fd.get(), &text);
  return text;
}

// Calls `each` for every complete line at the start of `text` and removes
// them, leaving an unfinished last line for later.
template <typename Each>
void TakeLines(std::string* text, Each each) {
  size_t from = 0;
  for (size_t end; (end = text->find('\n', from)) != std::string::npos; from = end + 1) {
    each(text->substr(from, end - from));
  }
  text->erase(0, from);
}

bool IsInteger(const std::string& text) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  strtoll(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0';
}

std::string AsJson(const RunJournalLine& line) {
  CtlJson json;
  json.BeginObject().Member("time", line.time.c_str()).Member("event", line.event.c_str());
  const char* const* names = runJournalFieldNames(line.event);
  size_t named = 0;
  for (; names != nullptr && names[named] != nullptr && named < line.fields.size(); ++named) {
    const std::string& value = line.fields[named];
    bool text = strcmp(names[named], "due") == 0 || strcmp(names[named], "program") == 0;
    if (!text && IsInteger(value)) {
      json.Member(names[named], strtoll(value.c_str(), nullptr, 10));
    } else {
      json.Member(names[named], value.c_str());
    }
  }
  if (named < line.fields.size()) {
    // Fields this version does not know, kept in order.
    json.Key("fields").BeginArray();
    for (size_t i = named; i < line.fields.size(); ++i) json.String(line.fields[i].c_str());
    json.EndArray();
  }
  json.EndObject();
  return json.Text();
}

class Printer {
 public:
  Printer(const CtlLogFilter& filter, bool json) : filter_(filter), json_(json) {}

  void Line(const std::string& text) {
    RunJournalLine line;
    if (!runJournalParse(text, &line)) return;
    if (filter_.module != 0 && line.ModuleId() != filter_.module) return;
    if (!filter_.since.empty() && line.time.compare(0, filter_.since.size(), filter_.since) < 0) {
      return;
    }
    if (json_) {
      printf("%s\n", AsJson(line).c_str());
    } else {
      printf("%s\n", text.c_str());
    }
  }
  void Text(std::string* text) {
    TakeLines(text, [this](const std::string& line) { Line(line); });
    fflush(stdout);
  }

 private:
  const CtlLogFilter& filter_;
  bool json_;
};

bool SameFile(int fd, const char* path) {
  struct stat opened;
  struct stat named;
  return fstat(fd, &opened) == 0 && comIoStat(path, &named) == 0 && opened.st_ino == named.st_ino &&
         opened.st_dev == named.st_dev;
}

// Prints what `fd` gets, looking once a second, until the journal is turned
// off (false) or `path` names a fresh file after a rotation (true).
bool FollowUntilRotated(int fd, const char* path, Printer* printer, std::string* pending) {
  for (;;) {
    comSleep(1);
    ReadRest(fd, pending);
    printer->Text(pending);
    struct stat named;
    if (comIoStat(path, &named) != 0) return false;
    if (SameFile(fd, path)) continue;
    // A writer that opened the old file before the rename may still have
    // finished its line there.
    ReadRest(fd, pending);
    printer->Text(pending);
    return true;
  }
}

int JournalOff() {
  return ctlError("log: the run journal is off (turn it on with: schedulerctl HOME log --enable)");
}

}  // namespace

int ctlLogEnable() {
  JournalPaths paths;
  ComFd fd(comIoOpen(paths.current, O_WRONLY | O_CREAT | O_APPEND, 0644));
  if (!fd.ok()) {
    const char* hint = errno == ENOENT ? " (run schedulerctl HOME init first)" : "";
    return ctlError("log --enable: %s: %s%s", paths.current, ctlReason(errno), hint);
  }
  printf("run journal on: %s\n", paths.current);
  return kCtlExitOk;
}

int ctlLogDisable() {
  JournalPaths paths;
  for (const char* path : {paths.current, paths.old}) {
    if (comIoUnlink(path) != 0 && errno != ENOENT) {
      return ctlError("log --disable: %s: %s", path, ctlReason(errno));
    }
  }
  printf("run journal off\n");
  return kCtlExitOk;
}

int ctlLog(const CtlLogFilter& filter, bool follow, bool json) {
  JournalPaths paths;
  // The current journal is opened first: a rotation after this point leaves
  // the descriptor on what then became runs.log.1, which is not read twice.
  ComFd current(comIoOpen(paths.current, O_RDONLY, 0));
  if (!current.ok()) {
    if (errno == ENOENT) return JournalOff();
    return ctlError("log: %s: %s", paths.current, ctlReason(errno));
  }
  Printer printer(filter, json);
  if (!SameFile(current.get(), paths.old)) {
    std::string old = ReadAll(paths.old);
    printer.Text(&old);
  }
  std::string pending;
  if (!ReadRest(current.get(), &pending)) {
    return ctlError("log: %s: %s", paths.current, ctlReason(errno));
  }
  printer.Text(&pending);
  bool rotated = follow && FollowUntilRotated(current.get(), paths.current, &printer, &pending);
  while (rotated) {
    // What the old file got before the rename was read; the fresh file is
    // read from its start.
    ComFd fresh(comIoOpen(paths.current, O_RDONLY, 0));
    if (!fresh.ok()) {
      if (errno == ENOENT) return kCtlExitOk;  // turned off right after the rotation
      return ctlError("log: %s: %s", paths.current, ctlReason(errno));
    }
    pending.clear();
    ReadRest(fresh.get(), &pending);
    printer.Text(&pending);
    rotated = FollowUntilRotated(fresh.get(), paths.current, &printer, &pending);
  }
  return kCtlExitOk;
}

int ctlLogModuleRuns(std::vector<CtlModuleRuns>* modules, char* path) {
  modules->clear();
  JournalPaths paths;
  auto failed = [path](const char* which) {
    int saved = errno;
    if (path != nullptr) snprintf(path, kComPathMax, "%s", which);
    errno = saved;
    return -1;
  };
  // As in ctlLog: the current journal is opened first, so that a rotation
  // meanwhile leaves the descriptor on what became runs.log.1, read once.
  ComFd current(comIoOpen(paths.current, O_RDONLY, 0));
  if (!current.ok()) return errno == ENOENT ? 0 : failed(paths.current);
  std::string text;
  if (!SameFile(current.get(), paths.old)) {
    ComFd old(comIoOpen(paths.old, O_RDONLY, 0));
    if (!old.ok() && errno != ENOENT) return failed(paths.old);
    if (old.ok() && !ReadRest(old.get(), &text)) return failed(paths.old);
  }
  if (!ReadRest(current.get(), &text)) return failed(paths.current);

  std::map<int, CtlModuleRuns> byId;
  std::map<int, std::string> lastPid;  // child pid of each module's last run line
  TakeLines(&text, [&](const std::string& text) {
    RunJournalLine line;
    if (!runJournalParse(text, &line) || line.ModuleId() == 0 || line.fields.size() < 3) return;
    CtlModuleRuns& runs = byId[line.ModuleId()];
    runs.module = line.ModuleId();
    if (line.ByHand()) {
      if (line.event == "run") ++runs.byHand;
      return;
    }
    if (line.event == "skipped" || line.event == "timeout") {
      ++(line.event == "skipped" ? runs.skipped : runs.timeouts);
      return;
    }
    if (line.event == "run") {
      ++runs.runs;
      runs.lastRun = line.time;
      runs.result = "running";
      lastPid[runs.module] = line.fields[2];
      return;
    }
    const std::string& result = line.fields[2];
    int number = 0;
    char end = '\0';
    bool status = sscanf(result.c_str(), "status %d%c", &number, &end) == 1;
    bool bySignal = !status && sscanf(result.c_str(), "signal %d%c", &number, &end) == 1;
    if (status || bySignal) {
      runs.hasExit = true;
      runs.lastExitStatus = bySignal ? 128 + number : number;
      if (bySignal || number != 0) ++runs.failures;
    }
    if (!runs.lastRun.empty() && lastPid[runs.module] == line.fields[0]) runs.result = result;
  });
  for (auto& entry : byId) {
    CtlModuleRuns& runs = entry.second;
    if (runs.result == "running") {
      int pid = atoi(lastPid[entry.first].c_str());
      // A child the daemon never saw end (it stopped first, or was killed).
      if (pid <= 0 || (kill(pid, 0) != 0 && errno == ESRCH)) {
        runs.result = "ended, result not recorded";
      }
    }
    modules->push_back(runs);
  }
  return 1;
}

void ctlLogStatus() {
  std::vector<CtlModuleRuns> modules;
  // A journal that cannot be read shows no table, as one that is off.
  ctlLogModuleRuns(&modules, nullptr);
  bool heading = false;
  for (const CtlModuleRuns& runs : modules) {
    if (runs.lastRun.empty()) continue;  // its run line was rotated away
    if (!heading) printf("last runs:\n  %-7s %-20s %s\n", "MODULE", "LAST RUN", "RESULT");
    heading = true;
    printf("  %-7d %-20s %s\n", runs.module, runs.lastRun.c_str(), runs.result.c_str());
  }
}
