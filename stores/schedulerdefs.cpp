// What the result codes mean, for the messages of both programs.
#include "stores/schedulerdefs.h"

#include <cstddef>

#include "s3/cs3data.h"
#include "s3/cs3dataiofile.h"
#include "s3/values/cs3date.h"
#include "s3/values/cs3number.h"
#include "stores/ckoralarm.h"

namespace {

struct Meaning {
  int code;
  const char* text;
};

// Codes of the record store and the stores as an operation of the daemon or
// the tool can meet them. -54 is the accessor's: both check hours and
// minutes themselves, so the schedule store's out-of-range -54 never reaches
// a message.
constexpr Meaning kStoreMeanings[] = {
    {kResOk, "success"},
    {kResNoMemory, "out of memory"},
    {kResIoNoDir, "a missing directory could not be created"},
    {kResIoExists, "the file already exists"},
    {kResIoNotConnected, "internal error: the file accessor is not connected"},
    {kResIoIdMismatch, "the file's first record is not the expected record (damaged file?)"},
    {kResIoNotOpen, "internal error: the record is not open"},
    {kResTooLong, "a text is too long for its field"},
    {kResIntTooManyDigits, "a number has too many digits"},
    {kResUnknownField, "a field name the record does not know"},
    {kResAlarmNoKey, "the alarm has no date-time or no module ID"},
    {kResObjAlreadyOpen, "internal error: the record is already open"},
    {kResIoOpenFailed, "the file could not be opened (permissions? not a file?)"},
    {kResIoBackupFailed, "the backup copy could not be made (disk full? permissions?)"},
    {kResIoSeekFailed, "a seek in the file failed"},
    {kResIoWriteFailed, "writing the file failed (disk full?)"},
    {kResIoDeleteFailed, "the file or its directory could not be deleted"},
    {kResIoTruncateFailed, "the file could not be truncated"},
    {kResNoEntry, "no such file or record"},
    {kResLocked, "the file stayed locked by another process (try again)"},
    {kResDeadUnit,
     "a unit of work whose process died changed the file and cannot be rolled back on its own "
     "(its log is damaged, or a file cannot be put back): see schedulerctl HOME doctor"},
    {kResIoNeverOpened, "internal error: the record was never opened"},
    {kResAlarmUnreadable, "an alarm file exists but cannot be examined"},
    {kResRequiredEmpty, "a required value is empty"},
    {kResFixedBadWidth, "a value has the wrong width or is not a valid date-time"},
    {kResDateInvalid, "not a valid date"},
    {kResDateNotDate, "not a date"},
    {kResTimeNotTime, "not a time of day"},
    {kResTimeInvalid, "not a valid time of day"},
    {kResIntNotNumber, "not a number"},
    {kResIntHasPoint, "a whole number was expected"},
    {kResDataValueHasLineFeed, "a value contains a line break"},
};

}  // namespace

const char* schedulerStoreMeaning(int code) {
  for (const Meaning& m : kStoreMeanings) {
    if (m.code == code) return m.text;
  }
  return "unexpected result";
}
