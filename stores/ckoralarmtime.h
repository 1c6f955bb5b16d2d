// The next-alarm control record, scheduler/controle/status: record 1 with the
// field "nexttime", the earliest time at which the daemon is known to have to
// wake (YYYYMMDDhhmm00). The daemon writes its chosen wake-up time there
// before each sleep; a program that files an earlier alarm lowers it (Lower)
// and then sends the daemon the alarm-change signal (SIGUSR1) so that the
// daemon re-reads it.
#ifndef STORES_CKORALARMTIME_H_
#define STORES_CKORALARMTIME_H_

#include "s3/cs3object.h"
#include "s3/values/cs3date.h"

class CKorAlarmTime : public CS3Object {
 public:
  CKorAlarmTime() = default;
  ~CKorAlarmTime() override;

  // When `name` equals "nexttime" without regard to case, sets nexttime from
  // `value` (left unchanged) with the date-time check. The check's result;
  // -70 for any other name.
  int Set(const char* name, const char* value) override;
  // Empties nexttime.
  void Clean() override;
  // Writes "scheduler/controle/status" into `out` (kComPathMax bytes). 0.
  int GetFileName(char* out) override;
  // Writes "nexttime" into the current record of `data`; an empty value
  // removes the field. 0 or the failure.
  int SetFieldValue(CS3Data* data) override;
  // Reads "nexttime" as a date-time; a missing or invalid field leaves it
  // empty. Always 0.
  int GetFieldValue(CS3Data* data) override;

  // Writes the full path of the directory <data>/scheduler/controle into
  // `out` (kComPathMax bytes). 0.
  int GetFileDir(char* out);

  // Lowers the record to `dateTime` (YYYYMMDDhhmmss) when the daemon would
  // otherwise wake too late, as one unit of work: the record file is opened
  // for update (created with its directories when missing) and stays
  // write-locked while record 1 is read, compared and rewritten, so no other
  // writer can slip in between. A missing file or record counts as an empty
  // nexttime. The record is rewritten only when nexttime is empty or compares
  // greater than `dateTime` as text. Signalling the daemon is the caller's.
  //   1  lowered (the object then holds `dateTime`)
  //   0  not needed: the daemon already wakes at or before `dateTime` (the
  //      object holds the record's nexttime)
  //   <0 `dateTime` is not a valid date-time (checked before any file is
  //      touched), or an accessor code (-114 locked; a failed write is
  //      rolled back, the file is then as before)
  int Lower(const char* dateTime);

  // The date-time text (empty, never null, when unset).
  const char* GetNextTime() const { return nexttime.Get(); }
  bool IsEmptyNextTime() const { return nexttime.IsEmpty(); }

 private:
  CS3DateTimeStr nexttime;
};

#endif  // STORES_CKORALARMTIME_H_
