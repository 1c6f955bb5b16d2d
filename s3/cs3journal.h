// The undo log that makes a unit of work survive the death of its process.
//
// Before a unit of work changes a record file for the first time it writes an
// entry into its own log file, data/tmp/journal<pid>.<n>, and makes the entry
// durable; only then does it touch the file. The log names, for every file the
// unit changes, how to put it back: the backup copy that holds its bytes as
// they were, the size it had before an append, or the fact that the unit
// created it. The unit holds an fcntl write lock on its log for its whole
// life, so whoever gets that lock knows the writer is gone. The unit commits
// by removing its log; from that instant its changes stand, before it they
// are undone by whoever finds the log:
//  - a writer of the store that locks a file named by the log of a dead unit
//    (it puts that unit back before it goes on),
//  - `schedulerctl HOME doctor --repair`, which the service files run before
//    the daemon starts.
//
// Each entry is one line that ends in a checksum of the line; a line cut
// short by a crash fails its checksum and ends the log there (its change was
// never made: the entry reaches the disk before the change it announces).
//
// Readers take no part: a reader that runs between a crash and the recovery
// sees the half-done unit, as it would have seen it while the writer lived.
#ifndef S3_CS3JOURNAL_H_
#define S3_CS3JOURNAL_H_

#include <string>
#include <vector>

// How much of the crash protection runs. Full is the default and what every
// program runs with; Off writes no log and flushes nothing (the store then
// behaves as it does without a crash: only live rollback), for measuring
// what the protection costs.
enum S3Durability { kS3DurabilityOff, kS3DurabilityFull };
void s3SetDurability(S3Durability mode);
S3Durability s3GetDurability();

// The log of one unit of work. Created lazily by the first entry.
class CS3Journal {
 public:
  CS3Journal() = default;
  // A log that was neither committed nor settled is abandoned: closed and
  // left in place, so that recovery can still use it.
  ~CS3Journal();
  CS3Journal(const CS3Journal&) = delete;
  CS3Journal& operator=(const CS3Journal&) = delete;

  // A fresh tag that groups the entries of one slot of the unit.
  int NewTag() { return ++lastTag_; }
  // Each Log call appends one entry and returns once it is on the disk: 0, or
  // -1 with errno (nothing may then be changed).
  // `path` is about to be created; `topDir` is the outermost directory the
  // creation makes ("" when its directory exists).
  int LogCreated(int tag, const char* path, const char* topDir);
  // The file this unit created is about to change: its identity, so that
  // recovery removes that file and no other.
  int LogNew(int tag, const char* path, unsigned long long dev, unsigned long long ino);
  // `path` is about to change; `backup` holds its bytes as they were and is
  // already on the disk.
  int LogBackup(int tag, const char* path, const char* backup);
  // `path` is about to grow by appends only; `size` is its size now.
  int LogAppend(int tag, const char* path, long long size);
  // `path` (or, with `wholeDirectory`, its directory) is about to be deleted;
  // `backup` holds the file and is already on the disk.
  int LogDeleted(int tag, const char* path, const char* backup, bool wholeDirectory);
  // The changes of `tag` stand from now on (the slot was committed alone).
  int LogKept(int tag);

  bool IsOpen() const { return fd_ >= 0; }
  // Commits the unit: removes the log and makes the removal durable. 0, or
  // -1 (the log could not be removed: its entries would undo the unit).
  int Commit();
  // Gives the log up without committing (a rollback could not put every file
  // back): closed, unlocked and left for recovery.
  void Abandon();

 private:
  int Append(char kind, int tag, unsigned long long a, unsigned long long b, const char* p1,
             const char* p2);
  int Open();

  int fd_ = -1;
  int lastTag_ = 0;
  std::string path_;
};

// One log found in a temporary directory.
struct S3JournalInfo {
  std::string path;                // the log file
  int pid = 0;                     // the process that wrote it
  bool live = false;               // its writer (or a recovery) holds it
  std::vector<std::string> files;  // files it would put back, relative to the data directory
};

// The logs in `tempDir` other than this process's own open ones. 0, or -1
// when the directory cannot be read (a missing one has none).
int s3JournalList(const char* tempDir, std::vector<S3JournalInfo>* out);

// Puts back every file that the unit of the log `journalPath` changed and
// did not keep, newest change first, removes the files it created, makes it
// all durable, then removes the log and the backup copies of its unit. Each
// change made is described in `actions` (when given). 0 when done (also when
// the log is gone), -114 when the log is held (its writer lives, or a
// recovery runs), -1 when a file could not be put back (the log stays).
int s3JournalRecover(const char* journalPath, std::vector<std::string>* actions);

// The check a writer makes once it holds the write lock on `path` through
// `*fd`: 0 when no log of a dead unit names the file. Otherwise `*fd` is
// closed first (recovery locks the file itself, and closing any descriptor of
// a file ends all of the process's locks on it) and set to -1, and then: 1
// when the logs were recovered (open the file anew), -114 when the log of a
// dead writer that names it is held (a recovery is under way) or a recovery
// failed. Logs of live writers are left alone: such a writer does not hold
// the file (we do), so it has kept its change or has yet to make it.
int s3JournalSettle(const char* path, int* fd);

#endif  // S3_CS3JOURNAL_H_
