// One module of the module table: the program the daemon may start, in
// scheduler/module/<ID>/info under the module's ID.
//
//   object 3
//   Name=Alarm mail
//   execute=alarm
//   end
//
// "execute" is a bare program name (looked up in the data home) or a path
// containing '/' or '\'; a record without it cannot be written.
#ifndef STORES_CVELSCHEDULERMODULE_H_
#define STORES_CVELSCHEDULERMODULE_H_

#include "s3/cs3object.h"
#include "s3/values/cs3string.h"

class CvelSchedulerModule : public CS3Object {
 public:
  CvelSchedulerModule() = default;
  ~CvelSchedulerModule() override;

  // `name` compared without regard to case: "Name" sets the display name (at
  // most 255 characters: -62 and the old name kept), "execute" the program.
  // The value's result; -70 for any other name.
  int Set(const char* name, const char* value) override;
  using CS3Object::Get;  // Get() stays available
  // ID := `id`, then reads scheduler/module/<id>/info whole through a
  // temporary accessor (fields emptied first; the object takes the file's
  // first record and its ID). 0; -110 when the file does not exist or holds
  // no record; another accessor code.
  int Get(int id) override;
  // Empties the name and the program.
  void Clean() override;
  // Writes "scheduler/module/<ID>/info" into `out` (kComPathMax bytes). 0.
  int GetFileName(char* out) override;
  // -10006 when execute is empty; otherwise writes "Name" then "execute"
  // into the current record of `data` (an empty name removes its field). 0,
  // -10006 or the first failure.
  int SetFieldValue(CS3Data* data) override;
  // Reads "Name" then "execute" as text; a missing field stays empty. 0 or
  // the first failure (-62 for a stored name over 255 characters).
  int GetFieldValue(CS3Data* data) override;

  // Adds the module to the table as one unit of work: hands out the ID
  // _lastid + 1 of scheduler/module/index (the index is created when
  // missing), lists it at the end of the index, makes it the object's ID and
  // writes the object's record under it into scheduler/module/<ID>/info
  // (created with its directory). 0 or the first failure. On a failure
  // (-10006 without execute) the index and the record file are put back as
  // they were (the module's empty directory may remain; the next Add reuses
  // it) and the object's ID is not meaningful.
  int Add();
  // Rewrites the object's record in its existing file
  // scheduler/module/<ID>/info in place, for the object's own ID. The
  // argument is not used. 0; -110 when the file or the record does not
  // exist; -10006 without execute; another accessor code. On a failure the
  // file is as before.
  int Mod(int unused);
  // Removes module `id` from the table as one unit of work: takes its entry
  // out of the existing index, rewrites the index, and deletes the directory
  // scheduler/module/<id> with everything in it (a missing directory counts
  // as deleted). Once the index is rewritten the object's ID is `id`. 0;
  // -110 when the index file does not exist (nothing deleted); another
  // accessor code (the index and the module's record file are then put back).
  int Del(int id);

  // The display name and the program (empty, never null, when unset). The
  // virtual GetName keeps the base's meaning (null).
  const char* GetDisplayName() const { return name.Get(); }
  const char* GetExecute() const { return execute.Get(); }

 private:
  CS3LongStr name;
  CS3String execute;
};

#endif  // STORES_CVELSCHEDULERMODULE_H_
