// schedulerctl output, log --output, and the kept output status shows.
#include "tools/ctl_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comfile.h"
#include "common/comguard.h"
#include "tools/ctl_report.h"

namespace {

// Lines of the end of a failed run that status shows, and how much of the
// file's end it reads for them.
constexpr int kTailLines = 3;
constexpr long kTailBytes = 4096;
// A line longer than this is shown cut, with "...".
constexpr size_t kTailLineMax = 200;

const char* Where(RunOutputMode mode) {
  switch (mode) {
    case RunOutputMode::kKeep:
      return "each run's output and error are kept in a file of the run, the last 10 runs of "
             "each module, the last 256 kB of each run";
    case RunOutputMode::kJournal:
      return "each run's output and error go to the daemon's standard error (under systemd "
             "its journal)";
    case RunOutputMode::kConsole:
      break;
  }
  return "each run's output and error go to /dev/console (under the service: nowhere)";
}

void Header(int id, const RunOutputRun& run, std::string* out) {
  *out = "module " + std::to_string(id) + ", due " + run.due + ", started " + run.start;
  *out += run.end.empty() ? ": running, or its end was not recorded"
                          : ", ended " + run.end + ": " + run.result;
}

// The last kTailLines lines of the file at `path`, control bytes as '?'.
std::vector<std::string> Tail(const std::string& path) {
  std::vector<std::string> lines;
  ComFd fd(comIoOpen(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK, 0));
  struct stat st;
  if (!fd.ok() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return lines;
  const off_t from = st.st_size > kTailBytes ? st.st_size - kTailBytes : 0;
  std::string text(static_cast<size_t>(st.st_size - from), '\0');
  const ssize_t n = pread(fd.get(), &text[0], text.size(), from);
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  for (size_t end = text.size(); lines.size() < kTailLines && end > 0;) {
    const size_t start = text.rfind('\n', end - 1);
    const size_t begin = start == std::string::npos ? 0 : start + 1;
    // The first line of a part read from inside the file may be cut.
    if (start == std::string::npos && from > 0) break;
    std::string line = text.substr(begin, end - begin);
    for (char& c : line) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    if (line.size() > kTailLineMax) line = line.substr(0, kTailLineMax) + "...";
    lines.insert(lines.begin(), line);
    if (start == std::string::npos) break;
    end = start;
  }
  return lines;
}

// The last kept run of each module whose last run failed.
struct Failed {
  int id;
  RunOutputRun run;
};
std::vector<Failed> FailedLastRuns() {
  std::vector<Failed> failed;
  std::vector<int> ids;
  runOutputModules(&ids);
  for (int id : ids) {
    std::vector<RunOutputRun> runs;
    if (runOutputRuns(id, &runs) == 0 && !runs.empty() && runs.back().Failed()) {
      failed.push_back(Failed{id, runs.back()});
    }
  }
  return failed;
}

}  // namespace

int ctlOutput(const RunOutputMode* mode) {
  if (mode == nullptr) {
    const RunOutputMode now = runOutputMode();
    printf("%s: %s\n", runOutputModeName(now), Where(now));
    return kCtlExitOk;
  }
  if (runOutputSetMode(*mode) != 0) {
    char path[kComPathMax];
    S3ComPathEditData(kRunOutputModeFile, path);
    const char* hint = errno == ENOENT ? " (run schedulerctl HOME init first)" : "";
    return ctlError("output: %s: %s%s", path, ctlReason(errno), hint);
  }
  printf("%s: %s\n", runOutputModeName(*mode), Where(*mode));
  return kCtlExitOk;
}

int ctlLogOutput(int id, int run, bool json) {
  std::vector<RunOutputRun> runs;
  if (runOutputRuns(id, &runs) != 0) {
    char path[kComPathMax];
    S3ComPathEditData(kRunOutputDir, path);
    return ctlError("log --output: %s/%d: %s", path, id, ctlReason(errno));
  }
  if (runs.empty()) {
    return ctlError("log --output: module %d has no kept output (%s: %s)", id,
                    runOutputModeName(runOutputMode()), Where(runOutputMode()));
  }
  if (run > static_cast<int>(runs.size())) {
    return ctlError("log --output: module %d has %zu kept run%s; there is no run %d", id,
                    runs.size(), runs.size() == 1 ? "" : "s", run);
  }
  if (run > 0) runs = {runs[runs.size() - static_cast<size_t>(run)]};
  if (json) {
    CtlJson out;
    out.BeginObject().Member("module", id).Key("runs").BeginArray();
    for (const RunOutputRun& r : runs) {
      out.BeginObject().Member("path", r.path.c_str()).Member("due", r.due.c_str());
      out.Member("start", r.start.c_str());
      out.Member("end", r.end.empty() ? nullptr : r.end.c_str());
      out.Member("result", r.result.empty() ? nullptr : r.result.c_str()).EndObject();
    }
    out.EndArray().EndObject();
    printf("%s\n", out.Text().c_str());
    return kCtlExitOk;
  }
  const RunOutputRun& shown = runs.back();
  ComFd fd(comIoOpen(shown.path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK, 0));
  if (!fd.ok()) return ctlError("log --output: %s: %s", shown.path.c_str(), ctlReason(errno));
  std::string header;
  Header(id, shown, &header);
  printf("%s\n", header.c_str());
  fflush(stdout);
  char piece[65536];
  for (;;) {
    ssize_t n = read(fd.get(), piece, sizeof(piece));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ctlError("log --output: %s: %s", shown.path.c_str(), ctlReason(errno));
    if (n == 0) break;
    if (fwrite(piece, 1, static_cast<size_t>(n), stdout) != static_cast<size_t>(n)) {
      return kCtlExitFailed;
    }
  }
  return kCtlExitOk;
}

void ctlOutputStatus() {
  printf("output:       %s\n", runOutputModeName(runOutputMode()));
  std::vector<Failed> failed = FailedLastRuns();
  if (failed.empty()) return;
  printf("failed last runs (schedulerctl HOME log --output ID shows the whole output):\n");
  for (const Failed& f : failed) {
    std::string header;
    Header(f.id, f.run, &header);
    printf("  %s\n", header.c_str());
    for (const std::string& line : Tail(f.run.path)) printf("    %s\n", line.c_str());
  }
}

void ctlOutputStatusJson(CtlJson* json) {
  json->Key("output").BeginObject().Member("mode", runOutputModeName(runOutputMode()));
  json->Key("failed").BeginArray();
  for (const Failed& f : FailedLastRuns()) {
    json->BeginObject().Member("module", f.id).Member("path", f.run.path.c_str());
    json->Member("due", f.run.due.c_str()).Member("start", f.run.start.c_str());
    json->Member("end", f.run.end.c_str()).Member("result", f.run.result.c_str());
    json->Key("tail").BeginArray();
    for (const std::string& line : Tail(f.run.path)) json->String(line.c_str());
    json->EndArray().EndObject();
  }
  json->EndArray().EndObject();
}
