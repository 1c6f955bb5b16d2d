// The record file accessor: one accessor is one unit of work over record
// files. For each record object it is asked to work on it opens the file the
// object names, locks it (shared for reading, exclusive for writing; a backup
// copy is taken before writing), parses it into a CS3Data held in a slot, lets
// the object read or write its values, writes the file back through the locked
// descriptor and finally commits or rolls back every file it still holds.
//
// Guarantees a caller may rely on:
//  - Nothing lost: when a step of the unit fails after a file was changed,
//    the failure is recorded in the accessor's error state, and releasing the
//    accessor (destruction or DisConnect) puts back every still-open written
//    or deleted file byte for byte from its backup copy. Close(obj) commits
//    that object's file at once whatever the error state.
//  - Commit leaves no backup copy behind; rollback leaves none either, except
//    when a file cannot be put back (then the copy is kept in the temporary
//    directory so that nothing is lost; see rollBack).
//  - A rollback of a file open for writing copies the backup back through
//    the still locked descriptor: the file keeps its identity, owner and
//    mode, and a process waiting for its lock then reads the restored bytes.
//  - A one-record rewrite leaves every other record's bytes unchanged, and a
//    file never keeps stale bytes past its new end.
//  - Every descriptor opened here is close-on-exec, so a module started while
//    an accessor holds a lock neither inherits the descriptor nor the lock.
//  - Only regular files are record files: a directory, FIFO or device where
//    a record file should be is refused (-101 on open, -102 on deletion)
//    before anything is opened, so no operation blocks or runs away on it.
//  - A lock is only ever held on the file that the path names: an open whose
//    file was deleted or replaced while it waited for the lock (another
//    process rolled back a new file, or deleted it) opens the path again, so
//    nothing is written into a file that no path names any more.
//  - Releasing the accessor undoes the slots newest first.
//  - Nothing throws and nothing is printed; every operation returns a code.
//  - A crash of the process at any instant loses no unit halfway: before a
//    file is first changed the unit's log (CS3Journal) names how to put it
//    back, and that entry is on the disk before the change; at the release
//    every changed file, and every directory a creation or deletion changed,
//    is flushed before the log's entries are voided (the commit point). The
//    next writer or reader of a file named by a dead unit's log, or
//    `schedulerctl doctor --repair`, undoes that unit first, so nobody reads
//    a dead unit's half-done change. A commit whose changes cannot be flushed
//    is rolled back instead, so that what readers see never depends on a
//    crash. A power cut loses no committed unit and leaves no unit halfway.
//
// One accessor is used by one thread. Locks are held from an open to the
// release of its slot, so keep accessors short-lived unless holding the lock
// is the point.
#ifndef S3_CS3DATAIOFILE_H_
#define S3_CS3DATAIOFILE_H_

#include <string>

#include "s3/cs3object.h"

class CS3Data;
class CS3DataParser;
class CS3Journal;

// Result codes of the accessor. Codes of CS3Data calls and of the record
// object's own operations pass through unchanged.
constexpr int kResIoNoDir = -11;         // a missing directory could not be created
constexpr int kResIoExists = -50;        // AddOnly: the file already exists
constexpr int kResIoNotConnected = -52;  // no read buffer (readData)
constexpr int kResIoIdMismatch = -54;    // writeData: current record's ID is not the one to write
constexpr int kResIoNotOpen = -55;       // the object's slot is not open in this accessor
// A file could not be opened for a reason other than absence or a lock, or
// reading it failed (a read error must not pass for the end of the file).
constexpr int kResIoOpenFailed = -101;
constexpr int kResIoBackupFailed = -102;    // the backup copy before a deletion failed
constexpr int kResIoSeekFailed = -103;      // a seek failed
constexpr int kResIoWriteFailed = -104;     // a write failed
constexpr int kResIoDeleteFailed = -108;    // the record file or its directory could not be deleted
constexpr int kResIoTruncateFailed = -109;  // the file could not be truncated
constexpr int kResIoNeverOpened = -121;     // the object was never opened (slot below 0)

// Open modes of openWrite and backupData.
constexpr int kIoModeCreate = 1;    // create the file when missing
constexpr int kIoModeExisting = 2;  // the file must exist (-110 otherwise)
constexpr int kIoModeDelete = 3;    // backup before deletion: a missing file is no error

// Bytes read from a file per read call (parsing and the tail copy of a
// one-record rewrite).
constexpr int kIoReadChunk = 64 * 1024;

// The largest pre-image that goes into the unit's log itself; a larger one
// stays in the backup copy, which is then flushed too.
constexpr long long kIoInlinePreImage = 256 * 1024;

class CS3DataIOFile {
 public:
  // Not connected, no slots, error 0; the key is drawn here (see the source
  // for how a stale binding is kept harmless).
  CS3DataIOFile();
  // Releases every slot still open: committed when error is 0, otherwise
  // rolled back (init()).
  virtual ~CS3DataIOFile();
  CS3DataIOFile(const CS3DataIOFile&) = delete;
  CS3DataIOFile& operator=(const CS3DataIOFile&) = delete;

  // Lock policy for every open: attempts, seconds between two attempts, and
  // share (reads without a lock; writes locked through comLockFileWriteShare
  // with O_RDWR|O_CREAT). Set between construction and the first open.
  int lockAttempts = 10;
  int lockWait = 1;
  bool share = false;

  // ---- Reading, modifying, deleting one object ---------------------------------

  // obj.Clean(); OpenGet(obj); GetData(obj, nullptr). The first failure, else
  // 0. The file stays open and read-locked (unless share) until Close(obj) or
  // the release. Records nothing in error itself.
  int Get(CS3Object& obj);
  // obj.Clean(); OpenGet(obj, id); GetData(obj, nullptr): reads only record
  // `id` and stops reading the file after its "end" line.
  int Get(CS3Object& obj, int id);
  // OpenAdd(obj) (created when missing; a failure is returned unchanged), then
  // ModData(obj, 1, nullptr): record 1 rewritten in place, the rest of the
  // file copied back from the backup copy, the file truncated at its new end.
  // A ModData failure is recorded. The file stays write-locked until Close or
  // the release. Only the file up to record 1's end is parsed before the
  // write; the rest is parsed (from the backup copy) when a later step on the
  // open file needs it, so such steps see the whole file as usual.
  int Mod(CS3Object& obj);
  // Copies obj's record file to a backup copy and deletes it (a missing file
  // is 0; -102 when no copy could be made, and then nothing is deleted). Uses a new slot bound to
  // no object; only the release commits (backup deleted) or rolls back (file moved back). A delete
  // failure is recorded.
  int Del(CS3Object& obj);
  // Removes entry `id` from `index` (opened for writing, must exist) and
  // rewrites it whole; then sets record's ID to `id` and deletes its file, or
  // with wholeDirectory the directory that holds it with everything in it.
  // Failures up to the index rewrite are returned as the steps record them;
  // a failure of the deletion is recorded. -110 when the index file is missing.
  // A whole-directory deletion is refused (-108) unless the directory lies
  // strictly inside the data directory, is not the temporary directory and
  // its path names no "..": a record named directly in the data directory
  // must not take the data directory with it. Rolled back, the directory is
  // re-created and the record file moved back; its other files are gone.
  int Del(CS3Object& index, CS3Object& record, int id, bool wholeDirectory);
  // Commits and releases obj's slot at once (lock released, backup copy
  // deleted) whatever error holds, and unbinds obj. -121 when obj was never
  // opened, -55 when its slot is not open in this accessor (also when another
  // accessor bound it: its key differs), else 0.
  int Close(CS3Object& obj);

  // ---- Opens (each takes a new slot and binds obj to it) ------------------------
  // Common to all: connects when needed; -73 when obj is already open here;
  // a failure releases the new slot at once (file closed, backup copy deleted,
  // no rollback) and is recorded only when the accessor already had a slot.

  // Opens obj's file for writing (created with its directories when missing,
  // write-locked, backed up) and reads all its records; a new file or one
  // without records is success.
  int OpenAdd(CS3Object& obj);
  // Opens obj's existing file for writing (-110 when missing); with `read`
  // reads all its records, and with `requiredId` fails with -110 unless a
  // record with exactly that ID text is among them.
  int OpenMod(CS3Object& obj, const char* requiredId, bool read);
  // Opens obj's existing file for writing and reads only record `id` (reading
  // stops after its "end" line): -110 when the file or the record is missing.
  // Sets obj's ID to `id` before the file is opened.
  int OpenMod(CS3Object& obj, int id);
  // Opens obj's file for reading and reads all its records; when
  // obj.IsNoOpen() is true opens nothing and leaves the slot with an empty
  // parsed record (success). -110 when the file is missing or yields no record.
  virtual int OpenGet(CS3Object& obj);
  // Opens obj's file for reading and reads only record `id`; obj's ID is set
  // to `id` and obj.SetSaveFieldName runs before the file is opened.
  int OpenGet(CS3Object& obj, int id);

  // ---- Steps on an open object ---------------------------------------------------

  // Copies the current record into `target` (obj when null): its ID (-1 when
  // there is no current record), then, when target->IsGetData(), its values
  // through GetFieldValue (a failure is recorded and returned).
  int GetData(CS3Object& obj, CS3Object* target);
  // Writes `source`'s values (obj's, after PreSetFieldValue, when null) into
  // the current record, which must have ID `id` (else -54), and rewrites that
  // record in place. Failures recorded by the rules in the source.
  int ModData(CS3Object& obj, int id, CS3Object* source);
  // Removes the index entry whose value is `id` from the current record
  // (flagged, or unlinked with removeNow) and rewrites the whole file.
  int DelIndex(CS3Object& obj, int id, bool removeNow);

  // ---- Connection and error state ---------------------------------------------------

  // DisConnect(), then allocates the read buffer; -10 when that fails.
  int Connect();
  // Frees the read buffer and releases every slot (commit or rollback by
  // error); afterwards no slots and error 0.
  void DisConnect();
  bool IsConnect() const { return readBuffer != nullptr; }
  // error = 0 (the release will commit) / error = -1 (the release will roll
  // back).
  void CleanError() { error = 0; }
  void SetError() { error = -1; }
  // The latest recorded failure, 0 when none.
  int GetError() const { return error; }
  // Ends the unit of work now rather than at the release, so that its outcome
  // can be reported: with no failure recorded every changed file is flushed
  // to the disk and the unit commits (0); when a failure was recorded, or a
  // flush or the commit fails (-104), every slot is rolled back and that code
  // is returned. The files stay locked until the release. REQUIRES: no
  // change through this accessor after it.
  int Commit();
  // The accessor's key, stamped into every object it binds.
  int GetKey() const { return key; }

  // ---- Adding records and index operations ------------------------------------------
  // Results: 0 (or a positive ID where stated) on success, negative codes as
  // above. A writeData failure is always recorded in error.

  // Appends a record with ID highest+1 (1 for a new file) and obj's values;
  // obj's ID becomes the new ID.
  int Add(CS3Object& obj);
  // Raises `index`'s _lastid, adds an entry for the new ID, rewrites the
  // index; then appends `record` with that ID to its own file (its ID is set
  // before GetFileName is asked). Both stay open until Close or the release.
  int Add(CS3Object& index, CS3Object& record);
  // OpenAdd(obj), then AddIndex(obj, id, nullptr).
  int Add(CS3Object& obj, int id);
  // Opens obj's file for writing (-110 unless it holds record `id`), adds
  // `value` to group `groupName` of record `id` (the bool is not used) after
  // `anchor`, rewrites the file; its other records are kept.
  int Add(CS3Object& obj, int id, char* groupName, int value, bool unused, const char* anchor);
  // Creates obj's file exclusively and writes record 1 into it; -50 when the
  // file exists (untouched).
  int AddOnly(CS3Object& obj);
  // Appends a new record with ID `id` holding obj's values.
  int AddData(CS3Object& obj, int id);
  // AddDataSet(obj, source, nullptr), then appends that record.
  int AddData(CS3Object& obj, CS3Object* source);
  // Creates (in memory only) a record with ID `idText` (highest+1 when null or
  // empty) holding source's (or obj's) values.
  int AddDataSet(CS3Object& obj, CS3Object* source, const char* idText);
  // Appends the current record with ID `id`.
  int AddDataWrite(CS3Object& obj, int id);
  // Inserts an _item entry `id` after the entry `anchor` (front for "0", end
  // for none), reviving an existing equal entry; rewrites the whole file.
  int AddIndex(CS3Object& obj, int id, const char* anchor);
  // Hands out a new ID (_lastid + 1), stores it and adds its entry; returns the
  // new ID (> 0) or a negative code.
  int AddIndex(CS3Object& obj, const char* anchor);
  // Adds `value` to group `groupName` of the current record (memory only).
  int AddIndex(CS3Object& obj, const char* groupName, int value, bool allowDuplicate, int* existed,
               const char* anchor);
  // OpenAdd(obj); adds the text entry `name` (reused unless `flag` allows
  // duplicates); rewrites the whole file.
  int AddIndex(CS3Object& obj, const char* name, bool flag);

  // OpenMod(obj, id), then ModData(obj, id, nullptr): record `id` in place.
  int Mod(CS3Object& obj, int id);
  // Writes source's (or obj's) values into the current record (memory only).
  int ModDataSet(CS3Object& obj, CS3Object* source);
  // Whole rewrite with obj as filter (IsDeleteData true leaves a record out).
  int ModDataWrite(CS3Object& obj);
  // PreSetFieldValue, SetFieldValue, whole rewrite.
  int ModIndexData(CS3Object& obj);
  // Whole rewrite.
  int ModIndexWrite(CS3Object& obj);

  // Deletes record `id` of obj's file in place (the rest moves up over it);
  // no file or no such record: error cleared, 0.
  int Del(CS3Object& obj, int id);
  // Flags record `id` deleted and writes it out in place.
  int DelData(CS3Object& obj, int id);
  // Flags record `id` deleted (memory only).
  int DelDataSet(CS3Object& obj, int id);
  // Opens obj's file as the group Add does, marks value `key` (or the key-th
  // value) deleted in each named group of record `id`, rewrites the file.
  int Del(CS3Object& obj, int id, char** groupNames, int count, int key, bool byPosition);
  // The marking step of the above (memory only).
  int DelIndex(CS3Object& obj, char** groupNames, int count, int key, bool byPosition);
  // Opens the index for writing and marks the entry `name` (or at position
  // `name` with flag) deleted; rewrites the file. No file or no records: error
  // cleared, 0.
  int DelIndex(CS3Object& obj, const char* name, bool flag);
  // The marking step of the above (memory only).
  int DelIndexData(CS3Object& obj, const char* name, bool flag);

  // Moves of one entry one place, with a whole rewrite.
  int Up(CS3Object& obj, int id, bool flag);
  int Down(CS3Object& obj, int id, bool flag);
  int Up(CS3Object& obj, const char* name);
  int Down(CS3Object& obj, const char* name);
  // Group forms: record `id`'s group, the file opened as the group Add does.
  int Up(CS3Object& obj, int id, char* groupName, int value);
  int Down(CS3Object& obj, int id, char* groupName, int value);
  // Moves a whole record one place, with a whole rewrite.
  int UpItem(CS3Object& obj, const char* idText);
  int DownItem(CS3Object& obj, const char* idText);
  // Up to n one-place moves on the open slot without writing; the number of
  // moves made, or a negative code other than -110.
  int UpDataSet(CS3Object& obj, int id, bool flag, int n);
  int DownDataSet(CS3Object& obj, int id, bool flag, int n);
  int UpDataSetStr(CS3Object& obj, const char* name, int n);
  int DownDataSetStr(CS3Object& obj, const char* name, int n);
  int UpDataSet(CS3Object& obj, const char* groupName, int value, int n);
  int DownDataSet(CS3Object& obj, const char* groupName, int value, int n);

  // OpenGet(obj), then GetDataCount(obj).
  int GetCount(CS3Object& obj);
  // Number of records in obj's open slot.
  int GetDataCount(CS3Object& obj);
  // Cursor of obj's slot to the first / next record; -110 when there is none
  // (no records / past the last).
  int firstElement(CS3Object& obj);
  int nextElement(CS3Object& obj);
  // Releases obj's slot like Close but with rollback allowed (init(slot,
  // true)) and without unbinding obj. -121 / -55 as for Close.
  int closeData(CS3Object& obj);

 protected:
  // ---- Slots -----------------------------------------------------------------------

  // Releases every slot with restore set, frees the slot table, sets
  // dataCount and error to 0.
  void init();
  // Releases slot `slot` when it is open: closes its descriptor (the lock
  // ends); with `restore` and a non-zero error rolls the file back from its
  // backup copy; deletes the backup copy; destroys the parsed record.
  void init(int slot, bool restore);
  // Adds n empty slots. -10 (accessor unchanged) when memory runs out.
  int reAllocData(int n);
  // obj's slot: -121 when obj is unbound, -55 when the slot is not open here
  // or obj carries another accessor's key (a stale binding); the failure that
  // left its parsed record incomplete (see completeRead) for a broken slot.
  int getFd(CS3Object& obj);
  // getFd without the broken-slot check.
  int boundSlot(CS3Object& obj);
  // The parsed record of obj's open slot, or null.
  CS3Data* slotData(CS3Object& obj);

  // ---- File steps on a slot's parsed record ------------------------------------------

  // Opens and write-locks obj's file with a backup copy. Mode 1 creates it
  // when missing; mode 2 gives -110 when missing. -114 locked, -101 other.
  int openWrite(CS3Object* obj, CS3Data* data, int mode);
  // Opens obj's file for reading with a read lock (none with share), after
  // putting back the unit of a dead writer whose log names it. -110 missing,
  // -114 locked, -101 other.
  int openRead(CS3Object* obj, CS3Data* data);
  // Parses the slot's whole file (or, with wantedId, only that record) into
  // `data`. -52, -10, -103, -110, or a parser code.
  int readData(CS3Data* data, const char* wantedId, const char* requiredId);
  // Writes the parsed records back: whole rewrite (id null or empty), append
  // (append set) or the current record in place followed by the file's tail
  // from the backup copy; then truncates the file at the end of what was
  // written. -110, -54, -101, -103, -104, -109, or a writer code.
  int writeData(CS3Data* data, const char* id, bool append, CS3Object* filter);
  // Writes records from the cursor on (only the current one when id is
  // non-empty), leaving out deleted and filtered records.
  int writeDataCurrent(CS3Data* data, const char* id, CS3Object* filter);
  // Mode 3: copies obj's record file to a fresh backup path kept in `data`
  // before a deletion (a missing file is no error). 0, -11, -102, -114, or
  // obj's GetFileName code.
  int backupData(CS3Object* obj, CS3Data* data, int mode);
  // Backs up obj's file into `data` and deletes it (or its directory with
  // wholeDirectory). -108 when the delete fails.
  int delData(CS3Object* obj, CS3Data* data, bool wholeDirectory);
  // The two halves of delData: the backup copy and the log entry (collected,
  // not yet flushed), then the flush and the deletion.
  int delPrepare(CS3Object* obj, CS3Data* data, bool wholeDirectory);
  int delFinish(CS3Data* data, bool wholeDirectory);

  // Connect-and-bind start shared by the opens: on success *slot is the new
  // slot (already reserved, obj bound to it). Sets obj's ID to *setId first
  // when setId is given.
  int openStart(CS3Object& obj, int* slot, const int* setId);
  // Failure of an open after its slot was taken: releases the slot with
  // Close(obj), records `code` when slot is not 0, returns `code`.
  int openFail(CS3Object& obj, int slot, int code);
  // Stores `code` in error when it is a failure; returns it.
  int record(int code);
  // Puts `data`'s file back from its backup copy (rollback). True when the
  // backup copy may be deleted afterwards; false keeps it (it is then the only
  // image of the file).
  bool rollBack(CS3Data* data, bool existed);
  // Copies the backup copy over the file through its open descriptor and
  // truncates it to `size`. False on any failure.
  bool restoreInPlace(int fd, const char* backup, long size);
  // ---- Crash safety (see CS3Journal) ------------------------------------------------

  // Called before `data`'s file is changed from offset `at` on: unless the
  // entries made so far cover that, logs how a recovery puts the bytes from
  // `at` on back (and, with alsoAt, those in [alsoAt, alsoEnd) too), together
  // with the entries collected so far, and flushes them. 0, or -104 when the
  // entry could not be written (nothing may then be changed).
  int prepareChange(CS3Data* data, long long at, long long alsoAt = -1, long long alsoEnd = -1);
  // prepareChange for a change that makes `newBytes` the file's bytes from
  // `at` to its end. When it is the unit's first (and so far only) change,
  // the unit's after-images go into the same flush as its entry and the
  // bytes are held back (true in *held): the file stays as it was until the
  // commit writes them, so that a crash before it, which finds the file
  // unlike its after-image, undoes the unit; a commit with nothing changed
  // since then flushes the file alone.
  int prepareRewrite(CS3Data* data, long long at, std::string* newBytes, bool* held);
  // Writes the bytes held back by prepareRewrite into their file. With
  // `revoke` (the unit goes on changing) the after-images on the disk are
  // voided first, so that no crash keeps the unit halfway. 0 or -104.
  int settleAhead(bool revoke);
  // settleAhead(true) when the held bytes belong to `path`: before anything
  // reads or changes that file through another way than the commit.
  int settleAheadOf(const char* path);
  // The slot with held bytes, or -1.
  int heldSlot() const;
  // Logs that `data`'s file, missing now, is about to be created, and flushes
  // it. 0 or -104.
  int logCreated(CS3Data* data);
  // Add(index, record): collects the creation entry of obj's file under ID
  // `id` (when it is missing), to be flushed with the index's entry; the open
  // of the file then finds it logged.
  int logCreationAhead(CS3Object& obj, int id);
  // The unit's log, made on first use; null when out of memory.
  CS3Journal* unitLog();
  // Flushes what slot `slot` changed (its file, and the directories a
  // creation or deletion changed). False when a flush failed.
  bool flushSlot(int slot);
  // After a rollback of slot `slot`: flushes the restored file and the
  // directories the rollback changed. False when a flush failed (the log
  // must then stay).
  bool flushRestored(int slot);
  // The end of the unit before its slots are closed: flush and commit, or
  // (on an error, or when a flush failed) roll every slot back newest first.
  void finishUnit();
  // The commit round of the unit's open slots: their after-images into the
  // log, flushed with their files and directories. True when the unit stands.
  bool commitRound();
  // Appends the after-image line of `slot`'s file to *out. False when the
  // file cannot be read.
  bool afterImage(int slot, std::string* out);
  // Removes the directories that the creation of `data`'s file made, while
  // they are empty (the creation failed or was undone).
  void removeCreatedDirs(CS3Data* data);

  // The slot that holds `data`, or -1.
  int slotOf(const CS3Data* data) const;
  // Notes for `data`'s slot whether its file existed before it was changed.
  void setExisted(const CS3Data* data, bool existed);

  // OpenAdd; with firstOnly the read stops after the first record's "end"
  // line and the rest is parsed later, by completeRead (see Mod).
  int openAdd(CS3Object& obj, bool firstOnly);
  // readData without a wanted or required ID that stops after the first
  // record; *rest is then the suspended parse (null when the whole file was
  // read).
  int readFirst(CS3Data* data, CS3DataParser** rest);
  // Parses the rest of slot `slot`'s file when its read was cut short after
  // the first record, from the backup copy (the file's bytes as opened), and
  // puts the cursors back where they were. 0, or the failure (recorded, and
  // the slot is broken from then on).
  int completeRead(int slot);
  // The work of completeRead.
  int parseRest(int slot);
  // The first half of Add(index, record): opens `index` as OpenAdd does and
  // hands out the next ID (logging the creation of `rec`'s file under it with
  // the index's entry when the add is made on the bytes). An index file in the writer's own form is
  // changed on its bytes, the rest of it copied as it is, and the new ID (> 0) is the result; its
  // parse is left to completeRead. Any other file is parsed as OpenAdd parses it and the result is
  // 0: AddIndex makes the add. Failures
  // (< 0) are returned and recorded as OpenAdd and AddIndex do; the bytes
  // written are those of AddIndex's whole rewrite in every case.
  int addToIndex(CS3Object& index, CS3Object* rec);
  // completeRead for a slot whose index add was made on the bytes: parses
  // the index as it was opened (the backup copy) and repeats the add's steps
  // on the parsed record, the rewrite's walk over the records included, so
  // that the slot ends as the parse and rewrite would have left it.
  int replayIndexAdd(int slot);
  // ModData on an open slot.
  int modData(int slot, CS3Object& obj, int id, CS3Object* source);
  // Stores `code` in error only when obj's slot number is not 0 (obj is not
  // the unit's first file); returns it.
  int recordUnlessFirst(CS3Object& obj, int code);
  // Sets obj's ID to `id`, opens its existing file for writing, reads every
  // record (-110 unless record `id` is among them) and puts the cursor on
  // record `id`, so that a whole rewrite keeps the file's other records.
  int openRecord(CS3Object& obj, int id);

  char* readBuffer = nullptr;    // kIoReadChunk bytes while connected
  CS3Data** dataList = nullptr;  // one parsed record per slot; null = released
  int dataCount = 0;
  int error = 0;  // latest recorded failure; decides commit or rollback
  int key = 0;
  static constexpr long long kNothingLogged = 0x7fffffffffffffffLL;
  // What a slot holds besides its parsed record.
  struct SlotExtra {
    // The record file existed before this accessor opened it for writing or
    // deleted it. An empty backup copy then means "was empty", not "was
    // absent", and a rollback empties the file instead of deleting it.
    bool existed = false;
    // The parse suspended after the first record (Mod); owned.
    CS3DataParser* rest = nullptr;
    // The ID an index add on the file's bytes handed out (addToIndex); the
    // parse is then still owed. 0: none.
    int bytesAddId = 0;
    // The failure that kept the rest from being parsed; every later step on
    // the slot gives it (getFd), since its parsed record is incomplete.
    int broken = 0;
    // This slot's entries in the unit's log (0: none yet), and the offset
    // from which on they cover every change of the file.
    int tag = 0;
    long long loggedFrom = kNothingLogged;
    // What the unit wrote: from afterFrom to the end, and [alsoFrom, alsoTo)
    // (-1: nothing); the regions of the file's after-image at the commit.
    long long afterFrom = kNothingLogged;
    long long alsoFrom = -1;
    long long alsoTo = -1;
    bool changed = false;      // the file was written or deleted
    bool createdHere = false;  // the unit created the file
    bool deleted = false;      // the slot deleted the file (or its directory)
    bool whole = false;        // ... its whole directory
    bool settled = false;      // finishUnit has already committed or rolled it back
    bool keepBackup = false;   // the rollback failed: the copy is the only image
    // The outermost directory the creation made ("" when none).
    std::string createdTop;
    // Bytes prepareRewrite held back (at most one slot of a unit has them),
    // for the file from heldAt on; its new end is heldAt + their size.
    bool held = false;
    long long heldAt = 0;
    std::string heldBytes;
  };
  SlotExtra* slotExtra = nullptr;
  // True when releasing `data`'s slot with an error has something to undo.
  static bool hasUndo(const CS3Data* data, const SlotExtra& x);
  CS3Journal* journal = nullptr;  // the unit's log; made by the first change
  // A creation logged ahead by logCreationAhead (tag 0: none).
  int pendingCreateTag = 0;
  std::string pendingCreatePath;
  std::string pendingCreateTop;

  friend class CS3Object;  // getCurrent walks a slot's records
};

// The accessor type that record objects use; adds no state.
class CS3DataIO : public CS3DataIOFile {
 public:
  CS3DataIO() = default;
  ~CS3DataIO() override;

  // OpenMod(obj, nullptr, false) (on -110 OpenAdd(obj) instead), then obj's
  // PreSetFieldValue and SetFieldValue, and a whole rewrite: the file's content
  // is replaced by obj's record.
  int ModIndex(CS3Object& obj);
};

#endif  // S3_CS3DATAIOFILE_H_
