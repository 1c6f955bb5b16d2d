// What the scheduler daemon and the operator's tool share: the daemon's
// result codes and what each means, its exit statuses, and the size limits
// that the module table's writers must respect so that the daemon can run
// what they wrote. Below both programs, so that the tool never includes the
// daemon's main unit.
#ifndef STORES_SCHEDULERDEFS_H_
#define STORES_SCHEDULERDEFS_H_

#include "common/com.h"

// Result codes of the daemon (the final one is kept in the status record's
// `status`).
constexpr int kResSchedBadInterval = -99;      // interval not a number, or not admitted
constexpr int kResSchedExecFailed = -4404;     // a module's child process could not be created
constexpr int kResSchedHandlerFailed = -4405;  // the child-exit handler could not be installed

// The record files both programs name in their messages, below the data
// directory.
constexpr char kSchedModuleIndexFile[] = "scheduler/module/index";
constexpr char kSchedStatusRecordFile[] = "scheduler/schedulersts";

// Exit statuses of the daemon's process.
constexpr int kSchedExitOk = 0;
constexpr int kSchedExitFailed = 1;
constexpr int kSchedExitUsage = 99;

// Size of the buffer that holds one module's program path (2047 characters
// and the terminator). An `execute` value must fit it once "./" or the data
// home and a slash are put in front.
constexpr int kSchedProgramPathSize = 2048;

// What a final result of the daemon means, in a few words, or null when the
// code is not one of the daemon's own reasons to end (a store's code, which
// the caller explains in its own terms).
inline const char* schedulerResultMeaning(int code) {
  switch (code) {
    case 0:
      return "stopped in order";
    case kResSchedBadInterval:
      return "the interval was refused (it must be a divisor of 60 or a multiple of 60)";
    case kResNoEntry:
      return "the module table was missing or empty at start (run schedulerctl HOME init)";
    case kResLocked:
      return "a file stayed locked by another process";
    case kResSchedExecFailed:
      return "a module could not be started (fork failed)";
    case kResSchedHandlerFailed:
      return "the child-exit handler could not be installed";
    default:
      return nullptr;
  }
}

// What a result code of a record store operation means, in a few words ("the
// file stayed locked by another process"). Never null; codes it does not
// know read "unexpected result".
const char* schedulerStoreMeaning(int code);

#endif  // STORES_SCHEDULERDEFS_H_
