// The alarm index: one file per module and minute at which the module has
// work, under scheduler/alarm/YYYY/MMDD/HH/MM/<module ID>. A non-empty file
// means "at that date and minute this module is due"; its content belongs to
// the programs that store and process alarms. The daemon only asks whether a
// non-empty file exists (IsAccess) and lists the tree's directory names.
#ifndef STORES_CKORALARM_H_
#define STORES_CKORALARM_H_

#include <cstdio>

#include "s3/cs3objstring.h"
#include "s3/values/cs3date.h"
#include "s3/values/cs3number.h"
#include "s3/values/cs3string.h"

// Result codes of the alarm index.
constexpr int kResAlarmNoKey = -71;         // GetFileName: date-time or module ID empty
constexpr int kResAlarmUnreadable = -4410;  // IsAccess: the file exists but cannot be examined

class CKorAlarm : public CS3ObjString {
 public:
  // Every field empty, counter 0, no open stream.
  CKorAlarm() = default;
  // Closes the stream when one is open.
  ~CKorAlarm() override;
  CKorAlarm(const CKorAlarm&) = delete;
  CKorAlarm& operator=(const CKorAlarm&) = delete;

  // Empties the six fields from refId2 to extra2; the module ID, the
  // date-time, refId1, the counter and the stream keep their values.
  void Clean() override;
  // Writes "scheduler/alarm/YYYY/MMDD/HH/MM/<module ID>" for the object's
  // date-time and module ID into `out` (kComPathMax bytes). -71, with `out`
  // untouched, when either key is empty; else 0.
  int GetFileName(char* out) override;

  // Writes the full path (data directory included) of the day directory of
  // the object's date, <data>/scheduler/alarm/YYYY/MMDD, into `out`
  // (kComPathMax bytes). 0; -71 with `out` emptied when the date-time is
  // empty.
  int GetFileDir(char* out);

  // Whether module `moduleId` has a pending alarm today at `hour`:`minute`
  // (two-digit texts, left unchanged). Sets the date-time to today's date
  // (from the clock seam) followed by hour, minute and "00", and the module
  // ID; then takes the alarm file's size.
  //   0      the file exists and is not empty
  //   -110   no such file, or it is empty (an empty file is no alarm); also
  //          when a path component is not a directory (ENOTDIR), because then
  //          the file cannot exist either
  //   -4410  the file's state cannot be read for another reason
  //   -10007 when a text is null or not exactly two characters, or the
  //          date-time check's or the module ID's failure (a minute "75"),
  //          before any file is looked at.
  // REQUIRES: the data home has been saved (S3ComPathHomeSave).
  int IsAccess(int moduleId, const char* hour, const char* minute);

  // The same for the day `date` (YYYYMMDD) instead of today: the daemon asks
  // for the date of the minute it woke for, which a late wake-up past
  // midnight no longer shares with the clock. A null date is today.
  int IsAccess(int moduleId, const char* date, const char* hour, const char* minute);

  // ---- Keys --------------------------------------------------------------------

  // The alarm's module ID (last path component) and date-time
  // (YYYYMMDDhhmmss). The setters return the value's result.
  int GetModuleID() const { return moduleId.GetInt(); }
  int SetModuleID(int value) { return moduleId.SetInt(value); }
  const char* GetDateTime() const { return dateTime.Get(); }
  int SetDateTime(const char* value);

  // ---- Fields of the programs that store and send alarms ---------------------------
  // The daemon does not use them; they are kept here, in this order, so that
  // those programs share one class with it.
  CS3Id refId1;
  CS3Id refId2;
  CS3LongStr text;
  CS3String note;
  CS3Int number;
  CS3String extra1;
  CS3String extra2;
  int counter = 0;
  // An open alarm file of those programs, or null; owned by the object.
  FILE* stream = nullptr;

 private:
  CS3Id moduleId;
  CS3DateTimeStr dateTime;
};

#endif  // STORES_CKORALARM_H_
