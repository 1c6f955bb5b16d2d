// The base of every persistent class: a record object names its record file,
// writes its fields into a parsed record and fills them back from one. The
// object never touches files itself; a record file accessor (CS3DataIOFile)
// opens, parses and writes the file and calls the virtual operations below.
#ifndef S3_CS3OBJECT_H_
#define S3_CS3OBJECT_H_

#include "s3/values/cs3number.h"

class CS3Data;
class CS3DataIOFile;

// Result codes of the record object base.
constexpr int kResObjCannotStore = -54;  // default Set / SetFieldValue: the class stores nothing
constexpr int kResObjNoFileName = -58;   // default GetFileName: the class names no file
constexpr int kResObjAlreadyOpen = -73;  // SetFd: already bound to a slot of this accessor

class CS3Object {
 public:
  CS3Object();
  virtual ~CS3Object();
  // An object is bound to an accessor slot by number; a copy would carry the
  // binding into a second object and both would claim the slot.
  CS3Object(const CS3Object&) = delete;
  CS3Object& operator=(const CS3Object&) = delete;

  // ---- Virtual operations, in slot order --------------------------------------

  // Store-specific setter of one named field from text. Base: -54.
  virtual int Set(const char* name, const char* value);
  // Reads the object's record file through a temporary accessor: the
  // accessor's Get(*this). All slots it opened are released (and unlocked)
  // before this returns. 0, -110 when the file or its record is missing, or
  // another accessor or subclass code.
  virtual int Get();
  // The same, reading only the record with ID `id` (the accessor's
  // Get(*this, id)); the object's ID becomes `id` before the file is opened, so
  // GetFileName may use it.
  virtual int Get(int id);
  // Display name of the object. Base: null.
  virtual const char* GetName();
  // Resets every field to empty; called at the start of every read. Base:
  // nothing (the ID is the accessor's to set).
  virtual void Clean();
  // Writes the record file's path, relative to the data directory, into `out`
  // (room for kComPathMax bytes) and returns 0, or returns a negative code that
  // the accessor passes up unchanged. Base: -58.
  virtual int GetFileName(char* out);
  // Called by a modification before SetFieldValue; non-zero stops it. Base: 0.
  virtual int PreSetFieldValue(CS3Data* data);
  // Writes every field into the current record of `data`, by name. Base: -54.
  virtual int SetFieldValue(CS3Data* data);
  // Fills the fields from the current record of `data`, by name. Base: 0.
  virtual int GetFieldValue(CS3Data* data);
  // Consulted for each record while a file is rewritten with this object as
  // filter; true leaves the current record of `data` out. Base: false.
  virtual bool IsDeleteData(CS3Data* data);
  // Called before a read by ID; may restrict the fields that the parser keeps
  // (CS3Data::SetSaveFieldName). Non-zero stops the read. Base: 0.
  virtual int SetSaveFieldName(CS3Data* data);
  // True makes a whole-file read open and parse nothing. Base: false.
  virtual bool IsNoOpen();

  // ---- Identity ------------------------------------------------------------------

  // Sets the ID from a number (its decimal text).
  void SetID(int id);
  // The ID as a number (0 when empty).
  int GetID() const;
  // The ID's text (empty, never null, when unset).
  const char* GetIDStr() const;

  // ---- Binding to an accessor slot -------------------------------------------------

  // Binds the object to slot `fd` of the accessor whose key is `key`. When the
  // object is already bound (slot >= 0) with the same key, returns -73 and
  // changes nothing; otherwise stores both and returns 0. SetFd(-1, 0)
  // unbinds.
  int SetFd(int fd, int key);
  // The bound slot number, -1 when unbound.
  int GetFd() const { return fd; }
  // The key of the accessor that bound the object (meaningful while bound).
  int GetFdKey() const { return fdKey; }

  // ---- Read options ------------------------------------------------------------------

  // For collections: true reads each element fully from its own file, false
  // gives each element only its ID.
  void SetDetail(bool value) { detail = value; }
  bool IsGetDetail() const { return detail; }
  // When false, a read only sets the ID and does not call GetFieldValue.
  bool IsGetData() const { return getData; }
  void SetGetData(bool value) { getData = value; }

  // Positions the open accessor `io` on the record with ID `wanted` of the
  // file that `bound` holds open there, and reads that record fully into
  // `target`. Steps through the records from the first with only IDs read
  // (target's getData false for the walk; restored afterwards). Returns 0 when
  // found (the accessor's cursor then stays on that record), the slot's code
  // (-121, -55) when `bound` is not open in `io`, a GetData failure, or -110
  // when the records ran out; on every failure target's ID is 0.
  int getCurrent(CS3DataIOFile& io, CS3Object& bound, CS3Object& target, int wanted);

 protected:
  CS3Id id;       // the record ID as text; empty until set
  int fd = -1;    // accessor slot, -1 when unbound
  int fdKey = 0;  // key of the accessor owning the slot
  bool getData = true;
  bool detail = true;
};

#endif  // S3_CS3OBJECT_H_
