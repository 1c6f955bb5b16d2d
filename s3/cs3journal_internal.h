// Helpers shared by the sources of the unit log (writing in cs3journal.cpp,
// reading and recovery in cs3journal_recover.cpp); not part of its
// interface. The log's file format is described in cs3journal.cpp.
#ifndef S3_CS3JOURNAL_INTERNAL_H_
#define S3_CS3JOURNAL_INTERNAL_H_

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "common/comguard.h"

namespace s3journal {

inline constexpr char kPrefix[] = "journal";
inline constexpr char kHeaderV1[] = "s3journal 1\n";
inline constexpr char kHeaderV2[] = "s3journal 2 ";
inline constexpr long long kEntriesAt = 512;

// FNV-1a over `n` bytes: an entry's checksum.
uint64_t Checksum(const char* p, size_t n);
// `path` relative to the data directory, as the log names files.
std::string Relative(const char* path);
std::string DirName(const std::string& path);
// A path the log names, made absolute under `dataDir`.
std::string Resolve(const std::string& dataDir, const std::string& kept);
// The pid in a log's file name "journal<pid>.<n>", or 0 when it is none.
int LogPid(const char* name);
bool IsAlive(int pid);
// Takes an fcntl lock of `type` on the whole file, without waiting.
bool SetLock(int fd, short type);
// True when another process holds a lock on the open file.
bool IsHeld(int fd);
bool SameFile(int fd, const char* path);
// The whole file behind `fd` from offset 0. False when reading fails.
bool ReadAll(int fd, std::string* out);
// True when `path` is a log of this process's own pool.
bool IsOwn(const std::string& path);
// Sweeps the idle logs of dead processes in `tempDir`.
void SweepDir(const std::string& tempDir);

// One entry of a log, as it verified.
struct Entry {
  char kind = 0;
  unsigned long long gen = 0;  // its generation (0 in the first format)
  int tag = 0;
  unsigned long long a = 0;
  unsigned long long b = 0;
  std::string p1;
  std::string p2;
  std::string p3;
  size_t at = 0;   // where it starts in the log
  size_t end = 0;  // one past its checksum's line end
};

// What the bytes of a log hold. A log is damaged when they are nothing that
// its writer, cut by a crash at any point (cs3journal.h), leaves behind.
struct LogView {
  enum State { kEmpty, kIdle, kUnit, kDamaged };
  State state = kIdle;
  std::vector<Entry> entries;      // the unit's: its generation, whole, in order from the start
  std::vector<std::string> named;  // damaged: the files its entries that verify name
  std::string why;                 // damaged: what no crash leaves behind
};

// Reads a log from its bytes alone (the file's own checks are the caller's:
// cs3journal_recover.cpp). Never fails: whatever `text` holds is a state.
void ParseLog(const std::string& text, LogView* view);

// Reading a log's file (cs3journal_read.cpp).
// The tags of the entries whose kind is among `kinds`.
std::set<int> Tags(const std::vector<Entry>& entries, const char* kinds);
// Reads the log open at `fd`, which lies in the temporary directory of
// `dataDir`: its bytes, and what only the files tell.
void ReadLog(int fd, const std::string& dataDir, LogView* view);
// Opens the log at `path` as `flags`, never waiting on a pipe. False when it
// is not there; one that cannot be opened is damaged in `view`.
bool OpenLog(const std::string& path, int flags, ComFd* fd, LogView* view);
// The files a log would put back or, damaged, names; relative to the data
// directory.
std::vector<std::string> Named(const LogView& view);
// Removes the log `path` of process `pid` when its writer is gone and it
// holds no entry. True when it was removed.
bool SweepIfIdle(const std::string& path, int pid);

// The after-images (cs3journal_after.cpp): 1 when the unit wrote them and
// every file matches, its files then flushed (a writer's empty file where a
// deletion stands removed first); 0 when not, and nothing is done; -1 with
// errno when they match but a step failed (*failedOn says which).
int Finished(const std::vector<Entry>& entries, const std::string& dataDir,
             const std::string& tempDir, std::string* failedOn);

}  // namespace s3journal

#endif  // S3_CS3JOURNAL_INTERNAL_H_
