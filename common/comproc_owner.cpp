// Root taking on the identity of the data home's owner.
//
// The data home belongs to the service's user, and a root process that
// writes there as root leaves files the daemon can no longer rewrite, and
// acts with rights the home's owner does not have on whatever the owner put
// there. So a program of the system run by root gives its rights up to the
// owner's before it touches the home, for the rest of its life: the
// supplementary groups first (they can only be set with root's rights), then
// the group (likewise), then the user, which ends root's rights.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "common/comproc.h"

namespace {

// The user database's lines are short; a buffer that is still too small
// after doubling up to this is a lookup failure.
constexpr size_t kUserEntryBufferMax = 1 << 20;

// Writes the step into `why` and returns -1 with errno `err`.
int Failed(char* why, int whySize, int err, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
int Failed(char* why, int whySize, int err, const char* format, ...) {
  if (why != nullptr && whySize > 0) {
    va_list args;
    va_start(args, format);
    vsnprintf(why, static_cast<size_t>(whySize), format, args);
    va_end(args);
  }
  errno = err;
  return -1;
}

// True when no id of the process (real, effective, saved) differs from
// `uid` and `gid`.
bool IdsAre(uid_t uid, gid_t gid) {
#if defined(__linux__) || defined(__FreeBSD__)
  uid_t ruid, euid, suid;
  gid_t rgid, egid, sgid;
  if (getresuid(&ruid, &euid, &suid) != 0 || getresgid(&rgid, &egid, &sgid) != 0) return false;
  return ruid == uid && euid == uid && suid == uid && rgid == gid && egid == gid && sgid == gid;
#else
  return getuid() == uid && geteuid() == uid && getgid() == gid && getegid() == gid;
#endif
}

}  // namespace

int comProcActAsOwner(const char* home, char* why, int whySize) {
  if (why != nullptr && whySize > 0) why[0] = '\0';
  if (geteuid() != 0) return 0;
  if (home == nullptr || home[0] == '\0') {
    return Failed(why, whySize, EINVAL, "no data home to take the owner of");
  }
  struct stat st;
  if (stat(home, &st) != 0) {
    return Failed(why, whySize, errno, "cannot examine the data home %s", home);
  }
  if (st.st_uid == 0) return 0;
  const uid_t uid = st.st_uid;
  const unsigned shownUid = static_cast<unsigned>(uid);

  // The owner's user entry gives the name its groups are listed under and
  // its primary group. Not finding one is no error (a uid may own files
  // without a name), failing to look is: the groups would be guessed.
  std::vector<char> buffer(16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  int rc;
  while ((rc = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < kUserEntryBufferMax) {
    buffer.resize(buffer.size() * 2);
  }
  const bool notFound = rc == 0 || rc == ENOENT || rc == ESRCH || rc == EBADF || rc == EPERM;
  if (found == nullptr && !notFound) {
    return Failed(why, whySize, rc,
                  "cannot look up the user entry of uid %u, the data home's owner", shownUid);
  }
  const gid_t gid = found != nullptr ? found->pw_gid : st.st_gid;
  char owner[160];  // how the messages name the owner
  if (found != nullptr) {
    snprintf(owner, sizeof(owner), "%.100s (uid %u)", found->pw_name, shownUid);
  } else {
    snprintf(owner, sizeof(owner), "uid %u", shownUid);
  }

  if (found != nullptr ? initgroups(found->pw_name, gid) != 0 : setgroups(0, nullptr) != 0) {
    return Failed(why, whySize, errno, "acting as the data home's owner %s: %s failed", owner,
                  found != nullptr ? "initgroups" : "setgroups (no supplementary groups)");
  }
  if (setgid(gid) != 0) {
    return Failed(why, whySize, errno, "acting as the data home's owner %s: setgid(%u) failed",
                  owner, static_cast<unsigned>(gid));
  }
  if (setuid(uid) != 0) {
    return Failed(why, whySize, errno, "acting as the data home's owner %s: setuid(%u) failed",
                  owner, shownUid);
  }
  // Root's rights must be gone for good: neither the real, effective nor
  // saved id may still be 0, and asking for 0 back must be refused.
  if (!IdsAre(uid, gid) || setuid(0) == 0 || seteuid(0) == 0) {
    return Failed(why, whySize, EPERM,
                  "acting as the data home's owner %s: root's rights could be regained after "
                  "setuid(%u)",
                  owner, shownUid);
  }
  return 1;
}
