// The undo log that makes a unit of work survive the death of its process and
// a power cut.
//
// Before a unit of work changes a record file for the first time it writes an
// entry into a log file, data/tmp/journal<pid>.<n>, and flushes it; only then
// does it touch the file. The entry says how to put the file back: the bytes
// the change will overwrite with the size the file had (a small file's whole
// pre-image, or the few bytes an index add changes), a backup copy for a large
// file, or the fact that the unit creates or deletes it. Entries that several
// changes need are flushed together. To commit, the unit writes one more
// entry, its after-images: for each file it changed the length the file now
// has and a checksum of each region it wrote (or that the file is gone), and
// flushes that entry, every file it changed and every directory a creation
// or deletion changed, all in one round issued together. That round is the
// commit: a unit whose log holds its after-images and whose files all match
// them is kept by a recovery, any other is undone. Before the unit lets go of
// its files it rewrites the log's header in place with a new generation,
// which voids its entries; that rewrite is made durable by the next flush of
// the log (the next unit's first round), at the latest before another writer
// changes a file the entries name (the settle of that writer flushes the log
// of a live process), or before the log is removed. So a unit costs two
// rounds of flushes: its entries; its files and the after-images together.
// A unit whose first change rewrites one small file in place (at most
// kAheadMax bytes from the change on) knows the file's after-image before it
// changes anything: that after-image goes into the same flush as the entry,
// and the accessor holds the new bytes back until the commit, which writes
// them and flushes the file alone; so the file's flush is the commit, and
// the unit costs two flushes in a row. After-images count only as the log's
// last entry: a further entry, or an empty set of after-images written
// before the held bytes reach the file for any other reason (a further
// change of the file, a second slot on it), voids them, and until the
// commit writes the bytes the file is as it was, unlike its after-image, so
// a crash before the commit undoes the unit. The entries are undone by
// whoever finds the log of a dead unit whose files do not all match:
//  - a writer of the store that locks a file named by the log of a dead unit
//    (it puts that unit back before it goes on),
//  - a reader that opens such a file (it does the same, and only then takes
//    its read lock),
//  - `schedulerctl HOME doctor --repair`, which the service files run before
//    the daemon starts.
// A dead unit whose files match its after-images is finished instead: its
// files are flushed, then its log goes.
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
//
// A log is the only copy of what its unit overwrote, so one that holds what
// no crash of its writer leaves behind is damaged: never taken for finished,
// never swept and never played back in part. Nothing of it is applied, and
// the files its entries that verify name are neither read nor written
// (kResDeadUnit) until an operator decides (doctor reports it;
// s3JournalDiscard removes it). A crash leaves a log that is empty (made,
// never written), or a whole header (written in one piece within the first
// sector, whose rest stays zero) followed from offset 512 by whole entries of
// the header's generation, at most one more of them cut where a sector ends
// (the file reaching that end), and then what entries of earlier generations
// left there. So a log is damaged when it is not a file, cannot be read, has
// no whole header or bytes after it in the first sector, holds an entry of
// the header's generation that does not verify where no sector ends, an entry
// that verifies after one that does not, an entry of a later generation, an
// entry of a kind or with names that no writer writes (a file outside the
// data home among them), or names a backup copy that is not a plain file.
#ifndef S3_CS3JOURNAL_H_
#define S3_CS3JOURNAL_H_

#include <string>
#include <vector>

#include "common/comfile_seam.h"

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
  // True while the unit has neither a log file nor an entry collected: its
  // next Flush is its first round.
  bool IsUnused() const { return file_ == nullptr && pending_.empty(); }
  // Collects the unit's after-images ahead of its change (AfterImage lines,
  // one per file the unit will have changed): the next Flush writes them
  // after the entries that announce the change. While they stay the log's
  // last entry on the disk, a CommitRound with the same lines flushes only
  // the unit's files.
  int LogAfterImages(const std::string& afterImages);
  // Before a change that the after-images on the disk do not describe (a
  // further change, a rollback): they are voided there by an empty set of
  // after-images, flushed, so that no recovery keeps a state of the unit on
  // the way. 0 (also when there is nothing to void), or -1 with errno.
  int Revoke();
  // True while after-images are the log's last entry on the disk.
  bool IsArmed() const { return !lastAfter_.empty(); }
  // Forgets after-images on the disk that no file of the unit can match
  // any more (its held bytes were dropped): nothing is written.
  void Disarm() { lastAfter_.clear(); }
  // Commits the unit in one round: writes `afterImages` (AfterImage lines,
  // one per changed file) as the unit's last entry and flushes it together
  // with `flushes` (only `flushes` when the same lines are the log's last
  // entry on the disk already); then voids the entries (the header's rewrite
  // reaches the disk with the log's next flush). 0 when the unit stands, or
  // -1 with errno (the entries may still undo it). Without a log only
  // `flushes` are made.
  int CommitRound(const std::string& afterImages, const std::vector<ComIoFlush>& flushes);
  // Voids the entries on the disk now (a rollback that put every file back).
  // 0, or -1 (the entries may still undo the unit).
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
  std::string pendingAfter_;  // after-images collected, for the end of the next Flush
  std::string lastAfter_;     // after-images that are the log's last entry on the disk
};

// One line of a unit's after-images: `path` (gone, or `length` bytes long
// with `sums` the checksums of its regions [start, end)) for CommitRound.
struct S3AfterRegion {
  long long start;
  long long end;
  unsigned long long sum;
};
std::string s3AfterImage(const char* path, bool gone, long long length,
                         const std::vector<S3AfterRegion>& sums);
// The checksum of a region's bytes, as s3AfterImage wants it.
unsigned long long s3AfterSum(const char* p, unsigned long n, unsigned long long sum = 0);

// Removes the process's idle logs (a process that ends normally does so on
// its own; the next unit makes a new one), and those that processes which
// died between two units left in the data home's temporary directory (these
// go whenever a writer, a reader that settles a file or doctor --repair
// meets them, too). Empty logs count as idle; damaged ones never do.
void s3JournalRelease();

// What a log found in a temporary directory holds.
enum S3JournalState {
  kS3JournalIdle,     // no entry of a unit: finished, or a unit that wrote none yet
  kS3JournalEmpty,    // no byte: made, and its writer died before it wrote the header
  kS3JournalUnit,     // the entries of a unit that neither committed nor gave up
  kS3JournalDamaged,  // what no crash leaves behind (see above)
};

// One log found in a temporary directory.
struct S3JournalInfo {
  std::string path;                // the log file
  int pid = 0;                     // the process that wrote it
  bool live = false;               // its writer (or a recovery) holds it
  S3JournalState state = kS3JournalIdle;
  std::vector<std::string> files;  // files it would put back (damaged: the files its
                                   // entries that verify name), relative to the data directory
  std::string why;                 // damaged: what no crash leaves behind
};

// The logs in `tempDir` other than this process's own open ones, as they
// are: nothing is removed or changed. 0, or -1 when the directory cannot be
// read (a missing one has none).
int s3JournalList(const char* tempDir, std::vector<S3JournalInfo>* out);

// Puts back every file that the unit of the log `journalPath` changed and
// did not keep, newest change first, removes the files it created, makes it
// all durable, then removes the log (durably: a log that came back would undo
// what others changed since) and the backup copies of its unit. Running it
// again, or after a crash inside it, ends in the same state: every step is
// recognised as done by what cannot be half done. Each
// change made is described in `actions` (when given). 0 when done (also when
// the log is gone); kResLocked when the log is held (its writer lives, or a
// recovery runs) or a file it names stays locked by another process;
// kResDeadUnit when the log is damaged (nothing is changed); -1 when a file
// could not be put back (the log stays). For each failure `why` (when given)
// says what and why: the file, and the system's reason.
int s3JournalRecover(const char* journalPath, std::vector<std::string>* actions,
                     std::string* why = nullptr);

// Removes the damaged log `journalPath` of a dead unit, durably, and plays
// nothing of it back: the operator's decision, once the files it names were
// read and what must come back was put back by hand. The backup copies of its
// process stay (doctor then reports them as orphaned). 0 when removed;
// kResNoEntry when there is no such log; kResLocked when it is held;
// kS3JournalNotDamaged when it is not damaged (a recovery settles it: nothing
// is removed); -1 with errno when it cannot be removed (a folder that holds
// entries: ENOTEMPTY).
constexpr int kS3JournalNotDamaged = 1;
int s3JournalDiscard(const char* journalPath);

// The check a writer makes once it holds the write lock on `path` through
// `*fd`, and a reader once it holds its read lock (or opened the file without
// one): 0 when no log of a dead unit names the file. Otherwise `*fd` is
// closed first (recovery locks the file itself, and closing any descriptor of
// a file ends all of the process's locks on it) and set to -1, and then: 1
// when the logs were recovered (open the file anew); kResLocked when the log
// of a dead writer that names it is held (a recovery is under way) or a file
// its recovery needs stays locked; kResDeadUnit when such a log is damaged or
// its recovery failed (the log stays for doctor). Logs of live writers are
// left alone: such a writer does not hold the file (we do), so it has kept its
// change or has yet to make it.
int s3JournalSettle(const char* path, int* fd);

#endif  // S3_CS3JOURNAL_H_
