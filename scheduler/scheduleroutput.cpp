// Where each started module's output goes, and the end of a kept run.
#include "scheduler/scheduleroutput.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comfile.h"
#include "common/comproc.h"
#include "stores/runjournal.h"

namespace {

// Kept runs not yet ended: the data-relative name of each one's file, by
// child pid.
std::map<pid_t, std::string>& keptRuns() {
  static std::map<pid_t, std::string> running;
  return running;
}

}  // namespace

SchedulerRunOutput::SchedulerRunOutput(RunOutputMode mode, int id, const char* hh, const char* mm)
    : mode_(mode), id_(id) {
  if (mode_ != RunOutputMode::kKeep) return;
  comHomeClearRefused();
  fd_ = runOutputOpen(id, hh, mm, name_);
  if (fd_ >= 0) return;
  const int err = errno;
  // A link refused on the way is named as the file layer found it.
  const char* link = comHomeRefusedLink();
  if (err == ELOOP && link[0] != '\0') {
    lost_ = std::string(link) + ": a symbolic link; nothing under the data home may be one";
  } else {
    lost_ = std::string(cPathData) + "/" + name_ + ": " + strerror(err);
  }
}

SchedulerRunOutput::~SchedulerRunOutput() {
  if (fd_ >= 0) close(fd_);
}

int SchedulerRunOutput::Start(char* const* argv, const ComProcExtra& extra, int* child) {
  if (mode_ == RunOutputMode::kConsole) return comProcStart(argv, nullptr, extra, child);
  const int out = mode_ == RunOutputMode::kJournal ? STDERR_FILENO : fd_;
  if (comProcStartOutput(argv, out, extra, child) == 0) return 0;
  if (fd_ >= 0) {
    const int err = errno;
    comIoUnlink((std::string(cPathData) + "/" + name_).c_str());
    errno = err;
  }
  return -1;
}

void SchedulerRunOutput::Started(pid_t child) {
  if (mode_ != RunOutputMode::kKeep) return;
  if (fd_ >= 0) {
    keptRuns()[child] = name_;
    return;
  }
  char pid[24];
  char id[24];
  snprintf(pid, sizeof(pid), "%d", static_cast<int>(child));
  snprintf(id, sizeof(id), "%d", id_);
  const char* fields[] = {"output-lost", pid, id, lost_.c_str()};
  runJournalAppend(fields, 4);
}

void schedulerOutputEnded(pid_t pid, int status) {
  std::map<pid_t, std::string>& running = keptRuns();
  auto found = running.find(pid);
  if (found == running.end()) return;
  // A file that cannot be cut or renamed (removed meanwhile, a folder made
  // unwritable) stays as it is: the run is over either way.
  runOutputEnd(found->second.c_str(), status);
  running.erase(found);
}
