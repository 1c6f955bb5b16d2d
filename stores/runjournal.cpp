// The run journal: appending lines with rotation, and reading them back.
#include "stores/runjournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comfile.h"
#include "common/comdate.h"
#include "common/comguard.h"

namespace {

constexpr int kAppendFlags = O_WRONLY | O_APPEND | O_CLOEXEC;

// Rotates the full journal open in `fd` (named `path`) to `oldPath` and
// opens a fresh one in its place. A writer that finds `path` naming another
// file than its descriptor lost the race to a concurrent rotation and only
// opens the fresh file, so a full journal is never renamed twice (which would
// replace the rotated journal with an almost empty one). A journal removed
// meanwhile was turned off, and nothing is created. Returns the descriptor of
// the fresh journal, or -1 (errno ENOENT when the journal was turned off).
int rotate(int fd, const char* path, const char* oldPath) {
  struct stat opened;
  struct stat named;
  if (fstat(fd, &opened) != 0 || comIoStat(path, &named) != 0) return -1;
  if (named.st_ino == opened.st_ino && named.st_dev == opened.st_dev &&
      comIoRename(path, oldPath) != 0) {
    return -1;
  }
  int fresh = comIoOpen(path, kAppendFlags | O_CREAT | O_EXCL, 0644);
  if (fresh < 0 && errno == EEXIST) fresh = comIoOpen(path, kAppendFlags, 0);
  return fresh;
}

// Copies `field` to `out` (ending before `end`) with control bytes as '?';
// returns the new end of the text.
char* appendField(const char* field, char* out, const char* end) {
  for (const char* p = field != nullptr ? field : ""; *p != '\0' && out < end; ++p, ++out) {
    unsigned char c = static_cast<unsigned char>(*p);
    *out = (c < 0x20 || c == 0x7f) ? '?' : *p;
  }
  return out;
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

void runJournalFormatTime(time_t t, char* out) {
  struct tm local = {};
  comLocalTime(t, &local);
  if (strftime(out, kRunJournalTimeSize, "%Y-%m-%d %H:%M:%S", &local) == 0) out[0] = '\0';
}

int runJournalAppend(const char* const* fields, int count) {
  char path[kComPathMax];
  char oldPath[kComPathMax];
  S3ComPathEditData(kRunJournalFile, path);
  S3ComPathEditData(kRunJournalOldFile, oldPath);

  ComFd current(comIoOpen(path, kAppendFlags, 0));
  if (!current.ok()) return errno == ENOENT ? 0 : -1;
  struct stat info;
  if (fstat(current.get(), &info) != 0) return -1;
  bool full = info.st_size >= kRunJournalRotateBytes;
  ComFd fresh(full ? rotate(current.get(), path, oldPath) : -1);
  if (full && !fresh.ok()) return errno == ENOENT ? 0 : -1;
  int fd = full ? fresh.get() : current.get();

  char line[kRunJournalLineMax];
  char* end = line + sizeof(line) - 1;  // room for the line end
  runJournalFormatTime(comTime(), line);
  char* at = line + strlen(line);
  for (int i = 0; i < count; ++i) {
    if (at < end) *at++ = '\t';
    at = appendField(fields[i], at, end);
  }
  *at++ = '\n';
  ssize_t length = at - line;
  ssize_t written = write(fd, line, static_cast<size_t>(length));
  if (written != length) {
    if (written >= 0) errno = EIO;
    return -1;
  }
  return 1;
}

int RunJournalLine::ModuleId() const {
  if ((event != "run" && event != "exit" && event != "skipped" && event != "timeout") ||
      fields.size() < 2) {
    return 0;
  }
  return atoi(fields[1].c_str());
}

bool RunJournalLine::ByHand() const {
  return (event == "run" || event == "exit") && fields.size() == 5 &&
         fields[4] == kRunJournalByHand;
}

bool runJournalParse(const std::string& text, RunJournalLine* out) {
  std::vector<std::string> parts;
  for (size_t from = 0;;) {
    size_t tab = text.find('\t', from);
    parts.push_back(text.substr(from, tab == std::string::npos ? tab : tab - from));
    if (tab == std::string::npos) break;
    from = tab + 1;
  }
  if (parts.size() < 2) return false;
  const std::string& time = parts[0];
  static const char kShape[] = "0000-00-00 00:00:00";
  if (time.size() != sizeof(kShape) - 1) return false;
  for (size_t i = 0; i < time.size(); ++i) {
    if (kShape[i] == '0' ? !isDigit(time[i]) : time[i] != kShape[i]) return false;
  }
  out->time = time;
  out->event = parts[1];
  out->fields.assign(parts.begin() + 2, parts.end());
  return true;
}

const char* const* runJournalFieldNames(const std::string& event) {
  static const char* const kStarted[] = {"pid", "interval", nullptr};
  static const char* const kStopped[] = {"pid", "result", nullptr};
  static const char* const kTakenOver[] = {"pid", "by", nullptr};
  static const char* const kRun[] = {"due", "module", "pid", "program", "started", nullptr};
  static const char* const kExit[] = {"pid", "module", "result", "seconds", "started", nullptr};
  static const char* const kClockJump[] = {"from", "to", nullptr};
  static const char* const kOutputLost[] = {"pid", "module", "why", nullptr};
  static const char* const kCatchUpSkipped[] = {"from", "to", "limit", nullptr};
  static const char* const kSkipped[] = {"due", "module", "pid", "why", nullptr};
  static const char* const kTimeout[] = {"pid", "module", "signal", "limit", nullptr};
  if (event == "started") return kStarted;
  if (event == "stopped") return kStopped;
  if (event == "taken-over") return kTakenOver;
  if (event == "run") return kRun;
  if (event == "exit") return kExit;
  if (event == "clock-jump") return kClockJump;
  if (event == "output-lost") return kOutputLost;
  if (event == "catch-up-skipped") return kCatchUpSkipped;
  if (event == "skipped") return kSkipped;
  if (event == "timeout") return kTimeout;
  return nullptr;
}
