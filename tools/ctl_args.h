// Checks of schedulerctl's command-line values. Every check is complete
// before any file is touched, so a refused argument never changes the data
// home. Each function returns true when the text is acceptable and fills its
// outputs; on false it writes a one-line reason (no trailing newline) into
// `why` (at most whySize - 1 bytes) and leaves the outputs unspecified.
#ifndef TOOLS_CTL_ARGS_H_
#define TOOLS_CTL_ARGS_H_

#include <sys/types.h>

#include "stores/schedulerdefs.h"

// Capacity of a reason text.
constexpr int kCtlWhySize = 256;

// Limits of the values the tool writes. A module name is a 255-character
// display name; an alarm text fills the alarm record's 255-character text
// field; a program value must still fit the daemon's 2047-character program
// path once "./" or "HOME/" is put in front of it.
constexpr int kCtlNameMax = 255;
constexpr int kCtlAlarmTextMax = 255;
constexpr int kCtlProgramPathMax = kSchedProgramPathSize - 1;
// The largest ID the record store's integer fields hold (nine digits).
constexpr int kCtlIdMax = 999999999;
// Upper bound of `stop --timeout`, one day.
constexpr int kCtlTimeoutMax = 86400;

// A data home: not empty, at most kS3HomeMax (246) characters so that every
// path under it fits the path layout, no control characters.
bool ctlCheckHome(const char* home, char* why, int whySize);

// A module ID: decimal digits only (no sign, no blanks), 1 to kCtlIdMax.
bool ctlParseId(const char* text, int* id, char* why, int whySize);

// A positive number of seconds for --timeout: digits only, 1 to
// kCtlTimeoutMax.
bool ctlParseSeconds(const char* text, int* seconds, char* why, int whySize);

// A time of day "H:MM" or "HH:MM": hour 0-23, minute 00-59 (always two
// digits). Hour 24, which the schedule store would fold into 00, is refused
// so that what the operator typed is what gets stored.
bool ctlParseClock(const char* text, int* hour, int* minute, char* why, int whySize);

// An alarm date and minute, either as one text "YYYY-MM-DD HH:MM" (`clock`
// null) or as the two texts "YYYY-MM-DD" and "HH:MM". Writes the alarm's
// date-time YYYYMMDDhhmm00 into `out` (room for 15 bytes). The date is
// checked as a calendar date and the whole value passes the record store's
// date-time check, so the alarm file can always be named from it.
bool ctlParseAlarmTime(const char* text, const char* clock, char* out, char* why, int whySize);

// A date "YYYY-MM-DD" that is a calendar date, written as YYYYMMDD into
// `out` (room for 9 bytes).
bool ctlParseDate(const char* text, char* out, char* why, int whySize);

// A text stored in a record field: at most `maxLength` bytes and no control
// characters (bytes below 0x20 and 0x7f), which the line-based record format
// would either split or drop. `what` names the value in the reason.
// `allowEmpty` admits "".
bool ctlCheckFieldText(const char* text, int maxLength, bool allowEmpty, const char* what,
                       char* why, int whySize);

// A program value for a module: a field text (not empty) that, when it has no
// '/' or '\\', still fits the daemon's program path as "./VALUE" and as
// "HOME/VALUE"; with a separator the value itself must fit.
bool ctlCheckProgram(const char* program, const char* home, char* why, int whySize);

// A user of the user database, as `init --owner` names the data home's owner.
struct CtlUser {
  uid_t uid;
  gid_t gid;       // its primary group
  char name[256];  // its name as the user database spells it
};

// A user for `init --owner`: a name in the user database, or a number that is
// the uid of an entry there (as chown takes either). A user the database does
// not know is refused: its groups could not be taken on.
bool ctlParseUser(const char* text, CtlUser* user, char* why, int whySize);

#endif  // TOOLS_CTL_ARGS_H_
