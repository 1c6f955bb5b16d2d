#include "tools/ctl_args.h"

#include <pwd.h>

#include <cstdio>
#include <cstring>

#include "common/S3ComPath.h"
#include "common/comdate.h"
#include "s3/values/cs3date.h"

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool AllDigits(const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (!IsDigit(text[i])) return false;
  }
  return true;
}

// The value of `length` digits at `text`. REQUIRES: AllDigits and length <= 9.
int DigitsValue(const char* text, size_t length) {
  int value = 0;
  for (size_t i = 0; i < length; ++i) value = value * 10 + (text[i] - '0');
  return value;
}

bool Refuse(char* why, int whySize, const char* format, const char* value) {
  snprintf(why, static_cast<size_t>(whySize), format, value);
  return false;
}

bool HasControl(const char* text) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p) {
    if (*p < 0x20 || *p == 0x7f) return true;
  }
  return false;
}

// A positive decimal number of at most nine digits without sign or blanks.
bool ParsePositive(const char* text, int max, int* out) {
  if (text == nullptr) return false;
  size_t length = strlen(text);
  if (length == 0 || length > 9 || !AllDigits(text, length)) return false;
  int value = DigitsValue(text, length);
  if (value < 1 || value > max) return false;
  *out = value;
  return true;
}

// The date "YYYY-MM-DD" in the first `length` bytes of `text` as YYYYMMDD
// into `date` (9 bytes). 0, 1 when it is not of that shape, 2 when it is no
// calendar date.
int DateText(const char* text, size_t length, char* date) {
  if (length != 10 || !AllDigits(text, 4) || text[4] != '-' || !AllDigits(text + 5, 2) ||
      text[7] != '-' || !AllDigits(text + 8, 2)) {
    return 1;
  }
  snprintf(date, 9, "%.4s%.2s%.2s", text, text + 5, text + 8);
  return comChk_date(date) != 0 || DigitsValue(text, 4) < 1 ? 2 : 0;
}

}  // namespace

bool ctlCheckHome(const char* home, char* why, int whySize) {
  if (home == nullptr || home[0] == '\0') {
    return Refuse(why, whySize, "the data home must not be empty%s", "");
  }
  if (strlen(home) > static_cast<size_t>(kS3HomeMax)) {
    char limit[32];
    snprintf(limit, sizeof(limit), "%d", kS3HomeMax);
    return Refuse(why, whySize, "the data home path is longer than %s characters", limit);
  }
  if (HasControl(home)) {
    return Refuse(why, whySize, "the data home path contains control characters%s", "");
  }
  return true;
}

bool ctlParseId(const char* text, int* id, char* why, int whySize) {
  if (ParsePositive(text, kCtlIdMax, id)) return true;
  return Refuse(why, whySize, "'%s' is not a module ID (a whole number from 1 to 999999999)",
                text != nullptr ? text : "");
}

bool ctlParseSeconds(const char* text, int* seconds, char* why, int whySize) {
  if (ParsePositive(text, kCtlTimeoutMax, seconds)) return true;
  return Refuse(why, whySize, "'%s' is not a number of seconds from 1 to 86400",
                text != nullptr ? text : "");
}

bool ctlParseClock(const char* text, int* hour, int* minute, char* why, int whySize) {
  const char* shown = text != nullptr ? text : "";
  const char* colon = text != nullptr ? strchr(text, ':') : nullptr;
  if (colon == nullptr) {
    return Refuse(why, whySize, "'%s' is not a time of day HH:MM", shown);
  }
  size_t hourLength = static_cast<size_t>(colon - text);
  const char* minuteText = colon + 1;
  if (hourLength < 1 || hourLength > 2 || !AllDigits(text, hourLength) || strlen(minuteText) != 2 ||
      !AllDigits(minuteText, 2)) {
    return Refuse(why, whySize, "'%s' is not a time of day HH:MM", shown);
  }
  *hour = DigitsValue(text, hourLength);
  *minute = DigitsValue(minuteText, 2);
  if (*hour > 23 || *minute > 59) {
    return Refuse(why, whySize, "'%s' is not a time of day (00:00 to 23:59)", shown);
  }
  return true;
}

bool ctlParseAlarmTime(const char* text, const char* clock, char* out, char* why, int whySize) {
  const char* shown = text != nullptr ? text : "";
  if (text == nullptr) return Refuse(why, whySize, "missing alarm date%s", "");
  // The one-text form: the date, one blank, the time of day.
  char date[16];
  const char* clockText = clock;
  size_t dateLength = strlen(text);
  if (clock == nullptr) {
    const char* blank = strchr(text, ' ');
    if (blank == nullptr) {
      return Refuse(why, whySize, "'%s' is not an alarm time 'YYYY-MM-DD HH:MM'", shown);
    }
    dateLength = static_cast<size_t>(blank - text);
    clockText = blank + 1;
  }
  switch (DateText(text, dateLength, date)) {
    case 1:
      return Refuse(why, whySize, "'%s' is not an alarm date YYYY-MM-DD", shown);
    case 2:
      return Refuse(why, whySize, "'%s' is not a calendar date", shown);
  }
  int hour = 0;
  int minute = 0;
  if (!ctlParseClock(clockText, &hour, &minute, why, whySize)) return false;
  char value[32];
  snprintf(value, sizeof(value), "%s%02d%02d00", date, hour, minute);
  // The same check the alarm record applies to its date-time key.
  CS3DateTimeStr check;
  if (check.Set(value) != 0) {
    return Refuse(why, whySize, "'%s' is not a valid alarm date and time", shown);
  }
  snprintf(out, 15, "%.14s", value);
  return true;
}

bool ctlParseDate(const char* text, char* out, char* why, int whySize) {
  const char* shown = text != nullptr ? text : "";
  switch (DateText(shown, strlen(shown), out)) {
    case 1:
      return Refuse(why, whySize, "'%s' is not a date YYYY-MM-DD", shown);
    case 2:
      return Refuse(why, whySize, "'%s' is not a calendar date", shown);
  }
  return true;
}

bool ctlCheckFieldText(const char* text, int maxLength, bool allowEmpty, const char* what,
                       char* why, int whySize) {
  if (text == nullptr || text[0] == '\0') {
    if (allowEmpty) return true;
    snprintf(why, static_cast<size_t>(whySize), "the %s must not be empty", what);
    return false;
  }
  if (strlen(text) > static_cast<size_t>(maxLength)) {
    snprintf(why, static_cast<size_t>(whySize), "the %s is longer than %d characters", what,
             maxLength);
    return false;
  }
  if (HasControl(text)) {
    snprintf(why, static_cast<size_t>(whySize),
             "the %s contains control characters (line breaks, tabs)", what);
    return false;
  }
  return true;
}

bool ctlCheckProgram(const char* program, const char* home, char* why, int whySize) {
  if (!ctlCheckFieldText(program, kCtlProgramPathMax, false, "program", why, whySize)) {
    return false;
  }
  size_t length = strlen(program);
  bool hasSeparator = strchr(program, '/') != nullptr || strchr(program, '\\') != nullptr;
  // Without a separator the daemon tries "./VALUE" and then "HOME/VALUE".
  size_t longest = hasSeparator ? length : length + 1 + (strlen(home) > 1 ? strlen(home) : 1);
  if (longest > static_cast<size_t>(kCtlProgramPathMax)) {
    return Refuse(why, whySize,
                  "the program is too long: the path the daemon runs would exceed 2047 "
                  "characters%s",
                  "");
  }
  return true;
}

bool ctlParseUser(const char* text, CtlUser* user, char* why, int whySize) {
  const char* shown = text != nullptr ? text : "";
  if (shown[0] == '\0') return Refuse(why, whySize, "the owner must not be empty%s", "");
  // A name first, as chown does: a name made of digits is still a name.
  const struct passwd* entry = getpwnam(shown);
  size_t length = strlen(shown);
  if (entry == nullptr && length <= 9 && AllDigits(shown, length)) {
    entry = getpwuid(static_cast<uid_t>(DigitsValue(shown, length)));
  }
  if (entry == nullptr) {
    return Refuse(why, whySize, "'%s' is no user of this system (not in the user database)", shown);
  }
  if (strlen(entry->pw_name) >= sizeof(user->name)) {
    return Refuse(why, whySize, "the user name of '%s' is too long", shown);
  }
  user->uid = entry->pw_uid;
  user->gid = entry->pw_gid;
  snprintf(user->name, sizeof(user->name), "%s", entry->pw_name);
  return true;
}
