#include "tools/ctl_report.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comfile.h"
#include "s3/cs3data.h"
#include "s3/cs3dataiofile.h"
#include "s3/values/cs3date.h"
#include "s3/values/cs3number.h"
#include "stores/ckoralarm.h"
#include "stores/schedulerdefs.h"

namespace {

struct Meaning {
  int code;
  const char* text;
};

// Codes of the record store and the stores as an operation of this tool can
// meet them. -54 is the accessor's: the tool checks hours and minutes itself,
// so the schedule store's out-of-range -54 never reaches it.
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

const char* helpTopic = "";

constexpr char kLinkRefused[] = " is a symbolic link; nothing under the data home may be one";

const char* Find(const Meaning* table, size_t count, int code) {
  for (size_t i = 0; i < count; ++i) {
    if (table[i].code == code) return table[i].text;
  }
  return nullptr;
}

}  // namespace

const char* ctlStoreMeaning(int code) {
  const char* text = Find(kStoreMeanings, sizeof(kStoreMeanings) / sizeof(kStoreMeanings[0]), code);
  return text != nullptr ? text : "unexpected result";
}

const char* ctlDaemonMeaning(int code) {
  const char* text = schedulerResultMeaning(code);
  return text != nullptr ? text : ctlStoreMeaning(code);
}

const char* ctlReason(int err) {
  static char text[kComPathMax + 64];
  const char* link = comHomeRefusedLink();
  if (err != ELOOP || link[0] == '\0') return strerror(err);
  snprintf(text, sizeof(text), "%s%s", link, kLinkRefused);
  return text;
}

int ctlFail(const char* what, const char* relFile, int code) {
  const char* link = comHomeRefusedLink();
  if (link[0] != '\0') {
    fprintf(stderr, "schedulerctl: %s: %s%s (result %d)\n", what, link, kLinkRefused, code);
  } else if (relFile == nullptr) {
    fprintf(stderr, "schedulerctl: %s: %s (result %d)\n", what, ctlStoreMeaning(code), code);
  } else {
    char path[kComPathMax];
    S3ComPathEditData(relFile, path);
    fprintf(stderr, "schedulerctl: %s: %s: %s (result %d)\n", what, path, ctlStoreMeaning(code),
            code);
  }
  return kCtlExitFailed;
}

void ctlSetHelpTopic(const char* topic) {
  helpTopic = topic != nullptr ? topic : "";
}

int ctlError(const char* format, ...) {
  char message[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  fprintf(stderr, "schedulerctl: %s\n", message);
  return kCtlExitFailed;
}

int ctlUsageError(const char* format, ...) {
  char message[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  if (helpTopic[0] == '\0') {
    fprintf(stderr, "schedulerctl: %s\nTry 'schedulerctl --help'.\n", message);
  } else {
    fprintf(stderr, "schedulerctl: %s\nTry 'schedulerctl HOME %s --help'.\n", message, helpTopic);
  }
  return kCtlExitUsage;
}

void ctlPrintRows(const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> width;
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) {
      if (width.size() <= i) width.push_back(0);
      width[i] = std::max(width[i], row[i].size());
    }
  }
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(width[i] - row[i].size() + 2, ' ');
    }
    line.erase(line.find_last_not_of(' ') + 1);
    printf("%s\n", line.c_str());
  }
}
