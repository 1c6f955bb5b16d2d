// How schedulerctl talks to the operator: the meaning of every result code
// it can meet, and the one-line messages of a failed operation.
#ifndef TOOLS_CTL_REPORT_H_
#define TOOLS_CTL_REPORT_H_

#include <string>
#include <vector>

// Exit statuses of schedulerctl.
constexpr int kCtlExitOk = 0;
constexpr int kCtlExitFailed = 1;  // an operation failed; the data home is as it was
constexpr int kCtlExitUsage = 2;   // bad arguments; nothing was touched

// What a result code of a record store operation means, in a few words
// ("the file stayed locked by another process"). Never null; codes the tool
// does not know read "unexpected result".
const char* ctlStoreMeaning(int code);

// What a daemon's final result (the status record's "status") means. The
// daemon's own codes (-99 interval refused, -110 missing module table, -4404,
// -4405) read as the daemon's reasons; every other code as ctlStoreMeaning.
const char* ctlDaemonMeaning(int code);

// Why a system call failed with `err`, for a message: for a symbolic link
// below the data home that the file layer refused (ELOOP), "<the link's
// path> is a symbolic link; nothing under the data home may be one"; else
// strerror's text.
const char* ctlReason(int err);

// Prints "schedulerctl: <what>: <HOME/data/relFile>: <meaning> (result
// <code>)" on standard error and returns kCtlExitFailed. `relFile` is a path
// relative to the data directory; null leaves the file out. When the file
// layer refused a symbolic link below the data home on the way, the message
// names the link instead: "schedulerctl: <what>: <link> is a symbolic link;
// nothing under the data home may be one (result <code>)". When a call failed
// on the way (a code of a failed open, backup, seek, write, deletion or
// truncation, and a failure noted: comLastFailure), it names that call's
// path, relative to the home, and its reason: "schedulerctl: module list:
// data/scheduler/module/1/info: Is a directory (result -101)".
// REQUIRES: the data home has been saved (S3ComPathHomeSave).
int ctlFail(const char* what, const char* relFile, int code);
// True when ctlFail would name a refused link or a failed call for `code`
// (its file argument is then not shown).
bool ctlFailNamesTheCall(int code);

// Prints "schedulerctl: <message>" on standard error and returns
// kCtlExitFailed.
int ctlError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Names the command whose help the usage hint points to ("module add"); null
// or "" points to the general help.
void ctlSetHelpTopic(const char* topic);

// Prints "schedulerctl: <message>" and a hint to the --help of the current
// topic on standard error and returns kCtlExitUsage.
int ctlUsageError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Prints `rows` (the first one a heading) as columns two blanks apart, each
// as wide as its widest cell, without trailing blanks.
void ctlPrintRows(const std::vector<std::vector<std::string>>& rows);

#endif  // TOOLS_CTL_REPORT_H_
