// Which file a module's `execute` value starts: one resolution shared by the
// daemon, which starts it, and the operator's tool, which shows it and starts
// it by hand, so the two can never disagree about what runs.
#ifndef STORES_SCHEDULERPROGRAM_H_
#define STORES_SCHEDULERPROGRAM_H_

// Where a resolved program was found.
enum class SchedulerProgramFrom {
  kNone,     // nothing to run: the module is skipped
  kAsIs,     // the value holds '/' or '\\' and is used as it stands
  kWorkDir,  // "./<value>" exists in the working directory
  kHome,     // <home>/<value> exists in the data home
};

// Resolves `execute` into `out` (kSchedProgramPathSize bytes) the way the
// daemon does: a value holding '/' or '\\' is used as it is (whether or not
// the file exists); a bare name is "./<name>" when that exists in the working
// directory, else <home>/<name> when that exists. kNone, with `out` emptied,
// for an empty or null value, a bare name found in neither place, and a path
// that would not fit the program buffer or the data home's path buffer (a
// cut path is never run).
// REQUIRES: the data home has been saved (S3ComPathHomeSave); out non-null.
SchedulerProgramFrom schedulerResolveProgram(const char* execute, char* out);

#endif  // STORES_SCHEDULERPROGRAM_H_
