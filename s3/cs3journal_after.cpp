// A unit's after-images: the line its commit writes for each file it
// changed, and the check of a dead unit's files against them.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/com.h"
#include "common/comfile.h"
#include "common/comfile_seam.h"
#include "common/comguard.h"
#include "s3/cs3journal.h"
#include "s3/cs3journal_internal.h"

using namespace s3journal;

std::string s3AfterImage(const char* path, bool gone, long long length,
                         const std::vector<S3AfterRegion>& sums) {
  const std::string rel = Relative(path);
  std::string line = gone ? "g" : "f " + std::to_string(length) + " " + std::to_string(sums.size());
  char region[80];
  for (const S3AfterRegion& r : sums) {
    snprintf(region, sizeof(region), " %lld %lld %016llx", r.start, r.end, r.sum);
    if (!gone) line += region;
  }
  return line + " " + std::to_string(rel.size()) + ":" + rel + "\n";
}

unsigned long long s3AfterSum(const char* p, unsigned long n, unsigned long long sum) {
  uint64_t h = sum != 0 ? sum : 1469598103934665603ull;
  for (unsigned long i = 0; i < n; ++i) {
    h ^= static_cast<unsigned char>(p[i]);
    h *= 1099511628211ull;
  }
  return h;
}

namespace {

// One file of a unit's after-images.
struct After {
  bool gone = false;
  long long length = 0;
  std::vector<S3AfterRegion> regions;
  std::string path;  // relative to the data directory
};

// The after-images of the F entry's text; false when it holds no such lines.
bool ParseAfter(const std::string& text, std::vector<After>* out) {
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    After a;
    char kind = *p++;
    if ((kind != 'f' && kind != 'g') || p >= end || *p++ != ' ') return 0;
    a.gone = kind == 'g';
    if (!a.gone) {
      char* stop = nullptr;
      a.length = strtoll(p, &stop, 10);
      const long n = strtol(stop, &stop, 10);
      if (a.length < 0 || n < 0 || n > 64) return 0;
      for (long i = 0; i < n; ++i) {
        S3AfterRegion r;
        r.start = strtoll(stop, &stop, 10);
        r.end = strtoll(stop, &stop, 10);
        r.sum = strtoull(stop, &stop, 16);
        if (r.start < 0 || r.end < r.start || r.end > a.length) return 0;
        a.regions.push_back(r);
      }
      p = stop;
      if (p >= end || *p++ != ' ') return 0;
    }
    const char* colon = static_cast<const char*>(memchr(p, ':', static_cast<size_t>(end - p)));
    if (colon == nullptr) return 0;
    const unsigned long long n = strtoull(p, nullptr, 10);
    if (n >= static_cast<unsigned long long>(end - colon)) return 0;
    a.path.assign(colon + 1, static_cast<size_t>(n));
    p = colon + 1 + n;
    if (p >= end || *p++ != '\n') return 0;
    out->push_back(a);
  }
  return !out->empty();
}

// True when `fd`, of a file, holds what `a` says: its length, and each
// region's checksum.
bool Matches(int fd, const After& a) {
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size != a.length) return 0;
  std::string bytes;
  for (const S3AfterRegion& r : a.regions) {
    bytes.resize(static_cast<size_t>(r.end - r.start));
    if (!bytes.empty() &&
        pread(fd, &bytes[0], bytes.size(), r.start) != static_cast<ssize_t>(bytes.size())) {
      return 0;
    }
    if (s3AfterSum(bytes.data(), bytes.size()) != r.sum) return 0;
  }
  return true;
}

// True when what a deletion removed is gone: nothing at `path`, or what a
// writer that settles the file makes there first (an empty file, a folder of
// empty files), which then goes into *made, deepest first, to be removed.
bool Gone(const std::string& path, std::vector<std::string>* made) {
  struct stat st;
  if (comIoLstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (S_ISREG(st.st_mode) && st.st_size == 0) return made->push_back(path), true;
  if (!S_ISDIR(st.st_mode)) return 0;
  ComDir dir(comIoOpenDir(path.c_str()));
  if (!dir.ok()) return 0;
  while (struct dirent* d = readdir(dir.get())) {
    if (strcmp(d->d_name, ".") == 0 || strcmp(d->d_name, "..") == 0) continue;
    const std::string file = path + "/" + d->d_name;
    if (comIoLstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != 0) {
      return 0;
    }
    made->push_back(file);
  }
  made->push_back(path);
  return true;
}

// True when the unit wrote its after-images and every file it changed
// matches them: its commit round may not have ended, but what it left is the
// unit whole. Its files and their directories are then flushed before the
// log may go.
}  // namespace

namespace s3journal {

int Finished(const std::vector<Entry>& entries, const std::string& dataDir,
             const std::string& tempDir, std::string* failedOn) {
  // Only after-images that are the unit's last entry count: a change
  // announced after them (or an empty set, written before a rollback) is
  // one they do not describe.
  std::vector<After> after;
  if (entries.empty() || entries.back().kind != 'F' || !ParseAfter(entries.back().p3, &after) ||
      after.empty()) {
    return 0;
  }
  std::set<std::string> named;
  for (const Entry& e : entries) {
    if (e.kind != 'F' && e.kind != 'K') named.insert(e.p1);
  }
  std::vector<std::unique_ptr<ComFd>> fds;
  std::set<std::string> dirs{tempDir};
  std::vector<std::string> made;  // what writers made where a deletion stands
  for (const After& a : after) {
    // A whole directory's deletion names the directory, whose files the
    // entries name.
    const auto in = named.lower_bound(a.path + "/");
    const bool underIt = a.gone && in != named.end() && in->rfind(a.path + "/", 0) == 0;
    if (named.count(a.path) == 0 && !underIt) return 0;
    const std::string path = Resolve(dataDir, a.path);
    for (std::string d = DirName(path); d.size() > dataDir.size(); d = DirName(d)) dirs.insert(d);
    dirs.insert(dataDir);
    if (a.gone) {
      if (!Gone(path, &made)) return 0;
      continue;
    }
    auto fd = std::make_unique<ComFd>(comIoOpen(path.c_str(), O_RDONLY | O_NONBLOCK, 0));
    if (!fd->ok() || !Matches(fd->get(), a)) return 0;
    fds.push_back(std::move(fd));
  }
  for (const std::string& m : made) {
    if ((comIoUnlink(m.c_str()) != 0 && comIoRmdir(m.c_str()) != 0) && errno != ENOENT) {
      *failedOn = "cannot remove " + Relative(m.c_str());
      return -1;
    }
  }
  std::vector<ComIoFlush> round;
  for (const auto& fd : fds) round.push_back({fd->get(), nullptr});
  for (const std::string& d : dirs) round.push_back({-1, d.c_str()});
  if (comIoSyncRound(round.data(), static_cast<int>(round.size())) != 0) {
    *failedOn = "cannot flush a file of the unit";
    return -1;
  }
  return 1;
}


}  // namespace s3journal
