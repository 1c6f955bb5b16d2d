// The home's choice of where module output goes, and the kept runs: making,
// bounding, ending and listing their files.
#include "stores/runoutput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comdate.h"
#include "common/comfile.h"
#include "common/comguard.h"
#include "common/comproc.h"
#include "stores/runjournal.h"

namespace {

constexpr int kFolderMode = 0750;
constexpr int kFileMode = 0640;
constexpr int kModeFileMode = 0644;
// "YYYYMMDDThhmmssZ" and its terminator.
constexpr int kStampSize = 17;
// The piece read and written at a time while a file is cut: on the heap and
// freed at once, so the sleeping daemon keeps no page of it.
constexpr size_t kCutPiece = 64 * 1024;
// The other runs told apart by a digit after the due minute.
constexpr int kLastSuffix = 9;

const char* const kModeNames[] = {"console", "journal", "keep"};

void UtcStamp(time_t t, char* out) {
  struct tm utc = {};
  if (gmtime_r(&t, &utc) == nullptr ||
      strftime(out, kStampSize, "%Y%m%dT%H%M%SZ", &utc) != kStampSize - 1) {
    snprintf(out, kStampSize, "00000000T000000Z");
  }
}

bool Digits(const std::string& text, size_t from, size_t count) {
  if (text.size() < from + count) return false;
  for (size_t i = from; i < from + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

// The local time "YYYY-MM-DD HH:MM:SS" of a UTC stamp into `out` (null:
// only checked); false when `text` is none.
bool LocalOfStamp(const std::string& text, std::string* out) {
  if (text.size() != kStampSize - 1 || !Digits(text, 0, 8) || text[8] != 'T' ||
      !Digits(text, 9, 6) || text[15] != 'Z') {
    return false;
  }
  if (out == nullptr) return true;
  struct tm utc = {};
  utc.tm_year = atoi(text.substr(0, 4).c_str()) - 1900;
  utc.tm_mon = atoi(text.substr(4, 2).c_str()) - 1;
  utc.tm_mday = atoi(text.substr(6, 2).c_str());
  utc.tm_hour = atoi(text.substr(9, 2).c_str());
  utc.tm_min = atoi(text.substr(11, 2).c_str());
  utc.tm_sec = atoi(text.substr(13, 2).c_str());
  char local[kRunJournalTimeSize];
  runJournalFormatTime(timegm(&utc), local);
  *out = local;
  return true;
}

// Reads a run file's name (see the header) into `run` (all but its path;
// null: only checked); false when it is no run's.
bool ParseName(const std::string& name, RunOutputRun* run) {
  RunOutputRun unused;
  std::string* start = run != nullptr ? &run->start : nullptr;
  std::string* end = run != nullptr ? &run->end : nullptr;
  if (run == nullptr) run = &unused;
  std::vector<std::string> parts;
  for (size_t from = 0;;) {
    size_t dot = name.find('.', from);
    parts.push_back(name.substr(from, dot == std::string::npos ? dot : dot - from));
    if (dot == std::string::npos) break;
    from = dot + 1;
  }
  if (parts.size() < 2 || !LocalOfStamp(parts[0], start)) return false;
  const std::string& due = parts[1];
  if (due.size() != 8 || due.compare(0, 4, "due-") != 0 || !Digits(due, 4, 4)) return false;
  run->due = due.substr(4, 2) + ":" + due.substr(6, 2);
  size_t next = 2;
  if (next < parts.size() && parts[next].size() == 1 && parts[next][0] >= '2' &&
      parts[next][0] <= '0' + kLastSuffix) {
    ++next;
  }
  run->end.clear();
  run->result.clear();
  if (next == parts.size()) return true;
  if (next + 2 != parts.size() || parts[next].compare(0, 4, "end-") != 0 ||
      !LocalOfStamp(parts[next].substr(4), end)) {
    return false;
  }
  const std::string& how = parts[next + 1];
  for (const char* word : {"status-", "signal-"}) {
    const size_t length = strlen(word);
    if (how.compare(0, length, word) == 0 && how.size() > length && how.size() <= length + 3 &&
        Digits(how, length, how.size() - length)) {
      run->result = std::string(word, length - 1) + " " + how.substr(length);
      return true;
    }
  }
  return false;
}

// The names of the run files in the folder `dir`, sorted (oldest first).
// 0, or -1 with errno (ENOENT: no folder).
int ListRuns(const char* dir, std::vector<std::string>* names) {
  names->clear();
  ComDir folder(comIoOpenDir(dir));
  if (!folder.ok()) return -1;
  for (;;) {
    errno = 0;
    const struct dirent* entry = readdir(folder.get());
    if (entry == nullptr) break;
    if (ParseName(entry->d_name, nullptr)) names->push_back(entry->d_name);
  }
  if (errno != 0) return -1;
  std::sort(names->begin(), names->end());
  return 0;
}

// A folder below the home, made when missing. 0 or -1 with errno.
int MakeFolder(const char* path) {
  return comIoMkdir(path, kFolderMode) == 0 || errno == EEXIST ? 0 : -1;
}

// Cuts the file open in `fd` to its last kRunOutputKeptBytes at most, from
// the first line start within them (or, when none starts there, from where
// they begin), behind a line that says how many bytes went. The kept bytes
// move to the front in place, each piece read before the bytes it lands on
// are written (the target always lies before the source), so the file's
// other writers (a module's child still running) keep appending to it. 0,
// or -1 with errno.
int Cut(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  const long long size = st.st_size;
  if (!S_ISREG(st.st_mode) || size <= kRunOutputKeptBytes) return 0;
  std::unique_ptr<char[]> piece(new (std::nothrow) char[kCutPiece]);
  if (!piece) {
    errno = ENOMEM;
    return -1;
  }
  auto readAt = [&](long long at, long long want) {
    ssize_t n;
    do {
      n = pread(fd, piece.get(), static_cast<size_t>(std::min<long long>(want, kCutPiece)), at);
    } while (n < 0 && errno == EINTR);
    return n;
  };
  const long long from = size - kRunOutputKeptBytes;
  long long keep = -1;
  // A line starts at `from` when the byte before it ends one.
  for (long long at = from - 1; at < size && keep < 0;) {
    const ssize_t n = readAt(at, size - at);
    if (n < 0) return -1;
    if (n == 0) break;
    const void* end = memchr(piece.get(), '\n', static_cast<size_t>(n));
    if (end != nullptr) {
      keep = at + (static_cast<const char*>(end) - piece.get()) + 1;
    } else {
      at += n;
    }
  }
  if (keep < 0 || keep >= size) keep = from;
  char line[96];
  const int length = snprintf(line, sizeof(line), "[%lld bytes cut from the start of this output]\n", keep);
  // A cut that would save less than its own line leaves the file as it is:
  // it is then within the bound and the line together.
  if (length <= 0 || length > keep) return 0;
  for (long long done = 0; done < size - keep;) {
    const ssize_t n = readAt(keep + done, size - keep - done);
    if (n < 0) return -1;
    if (n == 0) break;
    if (comIoPwriteAll(fd, piece.get(), static_cast<unsigned long>(n), length + done) != 0) return -1;
    done += n;
  }
  if (comIoPwriteAll(fd, line, static_cast<unsigned long>(length), 0) != 0) return -1;
  return comIoTruncate(fd, length + size - keep);
}

// The data-relative folder of module `id`'s kept runs.
std::string FolderOf(int id) {
  return std::string(kRunOutputDir) + "/" + std::to_string(id);
}

// HOME/data/`relative`. Paths are built on the heap, not the stack: the
// daemon makes and ends kept runs deep in its loop, and a stack page written
// once stays the sleeping daemon's for good, where the heap is trimmed
// before each sleep.
std::string DataPath(const std::string& relative) {
  return std::string(cPathData) + "/" + relative;
}

}  // namespace

RunOutputMode runOutputMode() {
  // Without blocking: a FIFO planted there must not stop the daemon.
  ComFd fd(comIoOpen(DataPath(kRunOutputModeFile).c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK, 0));
  struct stat st;
  if (!fd.ok() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return RunOutputMode::kConsole;
  char text[16];
  ssize_t n;
  do {
    n = read(fd.get(), text, sizeof(text) - 1);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return RunOutputMode::kConsole;
  text[n] = '\0';
  text[strcspn(text, " \t\r\n")] = '\0';
  RunOutputMode mode = RunOutputMode::kConsole;
  runOutputParseMode(text, &mode);
  return mode;
}

const char* runOutputModeName(RunOutputMode mode) {
  return kModeNames[static_cast<int>(mode)];
}

bool runOutputParseMode(const char* word, RunOutputMode* mode) {
  for (int i = 0; i < 3; ++i) {
    if (word != nullptr && strcmp(word, kModeNames[i]) == 0) {
      *mode = static_cast<RunOutputMode>(i);
      return true;
    }
  }
  return false;
}

int runOutputSetMode(RunOutputMode mode) {
  char path[kComPathMax];
  S3ComPathEditData(kRunOutputModeFile, path);
  const std::string text = std::string(runOutputModeName(mode)) + "\n";
  return comIoReplaceFile(path, text.data(), text.size(), kModeFileMode);
}

int runOutputOpen(int id, const char* hh, const char* mm, char* name) {
  const std::string folder = FolderOf(id);
  snprintf(name, kRunOutputNameSize, "%s", folder.c_str());
  const std::string dir = DataPath(folder);
  std::vector<std::string> kept;
  if (ListRuns(dir.c_str(), &kept) != 0 && errno != ENOENT) return -1;
  // Oldest first, so that the newest kRunOutputKeptRuns - 1 and this run stay.
  for (size_t i = 0; i + kRunOutputKeptRuns <= kept.size(); ++i) {
    if (comIoUnlink((dir + "/" + kept[i]).c_str()) != 0 && errno != ENOENT) return -1;
  }
  char stamp[kStampSize];
  UtcStamp(comTime(), stamp);
  bool madeFolders = false;
  for (int suffix = 1; suffix <= kLastSuffix;) {
    char other[3] = "";
    if (suffix > 1) snprintf(other, sizeof(other), ".%d", suffix);
    const int length = snprintf(name, kRunOutputNameSize, "%s/%s.due-%.2s%.2s%s", folder.c_str(),
                                stamp, hh, mm, other);
    if (length >= kRunOutputNameSize) {
      errno = ENAMETOOLONG;
      return -1;
    }
    const int fd = comIoOpen(DataPath(name).c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_NOCTTY, kFileMode);
    if (fd >= 0) return fd;
    if (errno == ENOENT && !madeFolders) {
      madeFolders = true;
      if (MakeFolder(DataPath(kRunOutputDir).c_str()) != 0 || MakeFolder(dir.c_str()) != 0) {
        snprintf(name, kRunOutputNameSize, "%s", folder.c_str());
        return -1;
      }
      continue;
    }
    if (errno != EEXIST) return -1;
    ++suffix;
  }
  return -1;
}

int runOutputEnd(const char* name, int status) {
  const std::string path = DataPath(name);
  int cut = 0;
  int cutErr = 0;
  {
    ComFd fd(comIoOpen(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK, 0));
    if (!fd.ok()) return -1;
    if (Cut(fd.get()) != 0) {
      cut = -1;
      cutErr = errno;
    }
  }
  char stamp[kStampSize];
  UtcStamp(comTime(), stamp);
  char how[64];
  const bool bySignal = WIFSIGNALED(status);
  snprintf(how, sizeof(how), ".end-%s.%s-%d", stamp, bySignal ? "signal" : "status",
           bySignal ? WTERMSIG(status) : WEXITSTATUS(status));
  const std::string ended = path + how;
  if (ended.size() >= static_cast<size_t>(kComPathMax)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  if (comIoRename(path.c_str(), ended.c_str()) != 0) return -1;
  errno = cutErr;
  return cut;
}

bool RunOutputRun::Failed() const {
  return !result.empty() && result != "status 0";
}

int runOutputRuns(int id, std::vector<RunOutputRun>* runs) {
  runs->clear();
  const std::string dir = DataPath(FolderOf(id));
  std::vector<std::string> names;
  if (ListRuns(dir.c_str(), &names) != 0) return errno == ENOENT ? 0 : -1;
  for (const std::string& name : names) {
    RunOutputRun run;
    ParseName(name, &run);
    run.path = dir + "/" + name;
    runs->push_back(run);
  }
  return 0;
}

int runOutputModules(std::vector<int>* ids) {
  ids->clear();
  ComDir folder(comIoOpenDir(DataPath(kRunOutputDir).c_str()));
  if (!folder.ok()) return errno == ENOENT ? 0 : -1;
  for (;;) {
    errno = 0;
    const struct dirent* entry = readdir(folder.get());
    if (entry == nullptr) break;
    const std::string name = entry->d_name;
    if (name.empty() || name.size() > 9 || name[0] == '0' || !Digits(name, 0, name.size())) continue;
    ids->push_back(atoi(name.c_str()));
  }
  if (errno != 0) return -1;
  std::sort(ids->begin(), ids->end());
  return 0;
}
