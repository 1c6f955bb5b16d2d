// The schedule table: one small index file per module and minute of the day,
// scheduler/HH/MM/<module ID>, whose presence (holding a record) means "this
// module runs every day at HH:MM". The record's _item entries are kept by the
// programs that add and remove entries; the daemon gives them no meaning.
//
//   object 1
//   _item=1
//   end
//
// The three key fields only name the file and are never stored in it.
#ifndef STORES_CVELSCHEDULER_H_
#define STORES_CVELSCHEDULER_H_

#include "s3/cs3index.h"
#include "s3/values/cs3number.h"

// Hour or minute out of range (hour 0-24, minute 0-60).
constexpr int kResSchedTimeRange = -54;

class CvelScheduler : public CS3Index {
 public:
  CvelScheduler() = default;
  // Cleans the collection and the three key fields.
  ~CvelScheduler() override;

  // Checks the key fields and writes "scheduler/HH/MM/<module ID>" into `out`
  // (kComPathMax bytes; two-digit hour and minute). An hour of 24 is stored
  // as 0 first, so it names the directory 00; a minute of 60 passes and names
  // a directory 60. 0; -54 (`out` untouched) when the hour is outside 0-24
  // or the minute outside 0-60; the failure of storing the hour 0.
  int GetFileName(char* out) override;

  using CS3Index::Get;  // Get() and Get(int) stay available
  // Sets the module ID to `moduleId` and the hour and minute from the texts
  // (decimal integers, left unchanged), then reads the entry file through a
  // temporary accessor; the elements receive the entries' IDs. 0 when the
  // entry is present (the file holds a record, even one without entries);
  // -110 when the file does not exist or holds no record; -54; the first
  // failure of the key conversions (before any file is touched) or of the
  // read.
  int Get(int moduleId, const char* hour, const char* minute);
  // Sets the keys as Get does; then, as one unit of work, opens the entry
  // file for writing (created with its directories when missing) and adds the
  // entry `value` at the end of its record, or revives an existing entry with
  // that value instead of adding a second one. 0, -54 or the key
  // conversions' code before any file is touched, or an accessor code (the
  // file is then as before).
  int Add(int value, int moduleId, const char* hour, const char* minute);
  // Sets the keys as Get does; then, as one unit of work, opens the entry
  // file for writing and removes the entry `value`, rewriting the file. The
  // file stays even when its last entry goes (the entry remains present for
  // the daemon); an entry that is not listed is no error. 0; -110 when the
  // file does not exist or holds no record (no file is left behind); -54, a
  // key conversion's code, or another accessor code.
  int Del(int value, int moduleId, const char* hour, const char* minute);

  // The key fields as numbers (0 when empty).
  int GetModuleID() const { return moduleId.GetInt(); }
  int GetHour() const { return hour.GetInt(); }
  int GetMinute() const { return minute.GetInt(); }

 private:
  // Sets the three key fields; the first conversion failure.
  int setKeys(int moduleIdValue, const char* hourText, const char* minuteText);

  CS3Int moduleId;
  CS3Int hour;
  CS3Int minute;
};

#endif  // STORES_CVELSCHEDULER_H_
