// A module's run policy and its run lock.
#include "stores/runpolicy.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/S3ComPath.h"
#include "common/comdate.h"
#include "common/comfile.h"
#include "common/comguard.h"
#include "common/comproc.h"

namespace {

constexpr int kPolicyFileMode = 0644;
constexpr int kLockFileMode = 0640;
// Enough for either file's whole text.
constexpr int kTextSize = 128;

// HOME/data/scheduler/module/<id>/<name>, built on the heap (the daemon's
// stack stays small while it sleeps).
std::string ModuleFile(int id, const char* name) {
  return std::string(cPathData) + "/scheduler/module/" + std::to_string(id) + "/" + name;
}

// Reads at most kTextSize - 1 bytes of `fd` into `text`; false when none.
bool ReadText(int fd, char* text) {
  ssize_t n;
  do {
    n = pread(fd, text, kTextSize - 1, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  text[n] = '\0';
  return true;
}

bool Alive(int pid) {
  return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

}  // namespace

const char* runOverlapName(RunOverlap overlap) {
  return overlap == RunOverlap::kSkip ? "skip" : "allow";
}

bool runOverlapParse(const char* word, RunOverlap* overlap) {
  if (word == nullptr) return false;
  if (strcmp(word, "skip") == 0) {
    *overlap = RunOverlap::kSkip;
  } else if (strcmp(word, "allow") == 0) {
    *overlap = RunOverlap::kAllow;
  } else {
    return false;
  }
  return true;
}

RunPolicy runPolicyGet(int id) {
  RunPolicy policy;
  // Without blocking: a FIFO planted there must not stop the daemon.
  ComFd fd(
      comIoOpen(ModuleFile(id, kRunPolicyFileName).c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK, 0));
  struct stat st;
  char text[kTextSize];
  if (!fd.ok() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || !ReadText(fd.get(), text)) {
    return policy;
  }
  char* save = nullptr;
  for (char* line = strtok_r(text, "\n", &save); line != nullptr;
       line = strtok_r(nullptr, "\n", &save)) {
    char key[32];
    char value[32];
    if (sscanf(line, "%31s %31s", key, value) != 2) continue;
    if (strcmp(key, "overlap") == 0) {
      runOverlapParse(value, &policy.overlap);
    } else if (strcmp(key, "time-limit") == 0) {
      char* end = nullptr;
      long minutes = strtol(value, &end, 10);
      if (end != value && *end == '\0' && minutes > 0 && minutes <= kRunPolicyMaxLimitMinutes) {
        policy.limitMinutes = static_cast<int>(minutes);
      }
    }
  }
  return policy;
}

int runPolicySet(int id, const RunPolicy& policy) {
  const std::string path = ModuleFile(id, kRunPolicyFileName);
  if (policy.IsDefault()) {
    if (comIoUnlink(path.c_str()) != 0 && errno != ENOENT) return -1;
    return comIoSyncParent(path.c_str());
  }
  char text[kTextSize];
  const int length = policy.limitMinutes > 0
                         ? snprintf(text, sizeof(text), "overlap %s\ntime-limit %d\n",
                                    runOverlapName(policy.overlap), policy.limitMinutes)
                         : snprintf(text, sizeof(text), "overlap %s\ntime-limit none\n",
                                    runOverlapName(policy.overlap));
  return comIoReplaceFile(path.c_str(), text, static_cast<unsigned long>(length), kPolicyFileMode);
}

int runLockTake(int id) {
  ComFd fd(comIoOpen(ModuleFile(id, kRunLockFileName).c_str(),
                     O_RDWR | O_CREAT | O_NOCTTY | O_NONBLOCK, kLockFileMode));
  if (!fd.ok()) return -1;
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return -1;
  }
  int rc;
  do {
    rc = flock(fd.get(), LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    if (errno == EAGAIN) errno = EWOULDBLOCK;
    return -1;
  }
  return fd.release();
}

int runLockRecord(int fd, const RunLockHolder& holder) {
  char text[kTextSize];
  const int length =
      snprintf(text, sizeof(text), "%d %lld %s\n", holder.pid, static_cast<long long>(holder.since),
               holder.byHand ? "by-hand" : "daemon");
  if (comIoTruncate(fd, 0) != 0) return -1;
  return comIoPwriteAll(fd, text, static_cast<unsigned long>(length), 0);
}

int runLockProbe(int id, RunLockHolder* holder) {
  *holder = RunLockHolder();
  ComFd fd(
      comIoOpen(ModuleFile(id, kRunLockFileName).c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK, 0));
  if (!fd.ok()) return errno == ENOENT ? 0 : -1;
  int rc;
  do {
    rc = flock(fd.get(), LOCK_SH | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return 0;  // free: closing the descriptor lets go again
  if (errno != EWOULDBLOCK && errno != EAGAIN) return -1;
  char text[kTextSize];
  if (ReadText(fd.get(), text)) {
    long long pid = 0;
    long long since = 0;
    char who[16] = "";
    if (sscanf(text, "%lld %lld %15s", &pid, &since, who) >= 2 && pid > 0 && pid <= 0x7fffffff) {
      holder->pid = static_cast<int>(pid);
      holder->since = static_cast<time_t>(since);
      holder->byHand = strcmp(who, "by-hand") == 0;
    }
  }
  return 1;
}

int runLockTakeOrWait(int id, RunLockHolder* holder) {
  int fd = runLockTake(id);
  if (fd >= 0 || errno != EWOULDBLOCK) return fd;
  if (runLockProbe(id, holder) == 1 && Alive(holder->pid)) {
    errno = EWOULDBLOCK;
    return -1;
  }
  comSleep(1);
  fd = runLockTake(id);
  if (fd < 0 && errno == EWOULDBLOCK) {
    runLockProbe(id, holder);
    errno = EWOULDBLOCK;
  }
  return fd;
}
