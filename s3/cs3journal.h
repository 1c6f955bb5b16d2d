// The undo log that makes a unit of work survive the death of its process and
// a power cut.
//
// Before a unit of work changes a record file for the first time it writes an
// entry into a log file, data/tmp/journal<pid>.<n>, and flushes it; only then
// does it touch the file. The entry says how to put the file back: the bytes
// the change will overwrite with the size the file had (a small file's whole
// pre-image, or the few bytes an index add changes), a backup copy for a large
// file, or the fact that the unit creates or deletes it. Entries that several
// changes need are flushed together. Before the unit lets go of any file,
// every file it changed (and every directory a creation or deletion changed)
// is flushed, and then the log's header is rewritten in place with a new
// generation and flushed: the commit point. From then on the entries, which
// carry the old generation, are void; before it they are undone by whoever
// finds the log of a dead unit:
//  - a writer of the store that locks a file named by the log of a dead unit
//    (it puts that unit back before it goes on),
//  - a reader that opens such a file (it does the same, and only then takes
//    its read lock),
//  - `schedulerctl HOME doctor --repair`, which the service files run before
//    the daemon starts.
// So a unit costs three flushes when it changes one file in place: its
// entry, the file, the commit.
//
// A process keeps its logs open, write-locked and reused for its later units
// for as long as it lives (one per unit open at the same time), so that only
// its first unit pays for a log's creation; whoever gets the lock of a log
// knows its writer is gone. A process that ends normally removes them.
//
// Each entry ends in a checksum of itself: an entry cut short by a crash
// fails it and ends the log there (its change was never made: the entry
// reaches the disk before the change it announces). Logs in the first
// format, one text line per entry and removed at the commit, are still read.
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

// Inspection: while it is on, a reader reads a file that a dead unit's log
// names as it stands, instead of putting that unit back first; for a check
// that must report what it finds and change nothing. Off when the process
// starts.
void s3SetInspect(bool on);
bool s3GetInspect();

// The log of one unit of work. Takes a log file of the process's own at its
// first flush.
class CS3Journal {
 public:
  struct File;  // a log file of the process's own

  CS3Journal() = default;
  // A unit that neither committed nor gave up is abandoned (see Abandon).
  ~CS3Journal();
  CS3Journal(const CS3Journal&) = delete;
  CS3Journal& operator=(const CS3Journal&) = delete;

  // A fresh tag that groups the entries of one slot of the unit.
  int NewTag() { return ++lastTag_; }
  // Each Log call collects one entry: 0, or -1 when out of memory. Nothing
  // that an entry announces may be changed before a Flush returned 0.
  // `path` is about to be created; `topDir` is the outermost directory the
  // creation makes ("" when its directory exists). Whatever is at `path`
  // later is the unit's own, unless the tag also logs a pre-image: the unit
  // held the file locked from its creation, and voids its entries before it
  // lets go.
  int LogCreated(int tag, const char* path, const char* topDir);
  // `path`, now `size` bytes long, is about to change from offset `at` on:
  // its `n` bytes there are `bytes` (none for an append).
  int LogPreImage(int tag, const char* path, long long size, long long at, const char* bytes,
                  unsigned long n);
  // `path` is about to change; `backup` holds its bytes as they are. The copy
  // is flushed, with its name, before the entry is collected (-1 otherwise).
  int LogBackup(int tag, const char* path, const char* backup);
  // `path` (or, with `wholeDirectory`, its directory) is about to be deleted.
  // `content`, when given, is the file's whole content; otherwise `backup`
  // holds it and is flushed, with its name, first. A recovery puts the file
  // back through the path `backup` in both cases.
  int LogDeleted(int tag, const char* path, const char* backup, bool wholeDirectory,
                 const std::string* content);
  // The changes of `tag` stand from now on (the slot was committed alone).
  int LogKept(int tag);
  // Writes the entries collected since the last Flush and flushes them (and,
  // for a new log file, its name). 0 when they are on the disk, or -1 with
  // errno.
  int Flush();

  // True once the unit has a log file.
  bool IsOpen() const { return file_ != nullptr; }
  // Commits the unit: voids its entries on the disk. 0, or -1 (the entries
  // may still undo the unit).
  int Commit();
  // Gives the log up without committing (a rollback could not put every file
  // back): closed, unlocked and left for recovery.
  void Abandon();

 private:
  void Add(char kind, int tag, unsigned long long a, unsigned long long b, const char* p1,
           const char* p2, const char* p3, unsigned long n3);

  File* file_ = nullptr;
  long long end_ = 0;  // where the next entry goes
  int lastTag_ = 0;
  std::vector<std::string> pending_;  // entries collected, not yet written
};

// Removes the process's idle logs (a process that ends normally does so on
// its own; the next unit makes a new one), and those that processes which
// died between two units left in the data home's temporary directory (these
// go whenever a writer, a reader or the doctor meets them, too).
void s3JournalRelease();

// One log found in a temporary directory.
struct S3JournalInfo {
  std::string path;                // the log file
  int pid = 0;                     // the process that wrote it
  bool live = false;               // its writer (or a recovery) holds it
  std::vector<std::string> files;  // files it would put back, relative to the data directory
};

// The logs in `tempDir` other than this process's own open ones (the idle
// logs of dead processes are removed on the way). 0, or -1 when the directory
// cannot be read (a missing one has none).
int s3JournalList(const char* tempDir, std::vector<S3JournalInfo>* out);

// Puts back every file that the unit of the log `journalPath` changed and
// did not keep, newest change first, removes the files it created, makes it
// all durable, then removes the log (durably: a log that came back would undo
// what others changed since) and the backup copies of its unit. Running it
// again, or after a crash inside it, ends in the same state: every step is
// recognised as done by what cannot be half done. Each
// change made is described in `actions` (when given). 0 when done (also when
// the log is gone), -114 when the log is held (its writer lives, or a
// recovery runs), -1 when a file could not be put back (the log stays).
int s3JournalRecover(const char* journalPath, std::vector<std::string>* actions);

// The check a writer makes once it holds the write lock on `path` through
// `*fd`, and a reader once it holds its read lock (or opened the file without
// one): 0 when no log of a dead unit names the file. Otherwise `*fd` is
// closed first (recovery locks the file itself, and closing any descriptor of
// a file ends all of the process's locks on it) and set to -1, and then: 1
// when the logs were recovered (open the file anew), -114 when the log of a
// dead writer that names it is held (a recovery is under way) or a recovery
// failed. Logs of live writers are left alone: such a writer does not hold
// the file (we do), so it has kept its change or has yet to make it.
int s3JournalSettle(const char* path, int* fd);

#endif  // S3_CS3JOURNAL_H_
