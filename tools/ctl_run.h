// `schedulerctl HOME run ID`: a module started by hand, now, exactly as the
// daemon would start it at this minute (the same program resolution, the
// argument list {program, HOME as given, hour "HH", minute "MM"} with the
// current hour and minute, standard input from /dev/null), except that its
// output and error go where schedulerctl's own go, and that the command waits
// for it.
//
// While the module runs, schedulerctl ignores SIGINT and SIGQUIT, so that a
// Ctrl-C from the terminal ends the module (which gets them at their default
// disposition) and the command reports how it ended.
//
// With the run journal on, the start and the end are journalled as the
// daemon journals its own runs, each line ending in the by-hand marker
// (stores/runjournal.h).
#ifndef TOOLS_CTL_RUN_H_
#define TOOLS_CTL_RUN_H_

// Returns the module's exit status, or 128 + N when signal N ended it.
// Nothing is started, and kCtlExitFailed is returned with the reason, when
// the table does not list module `id`, its record is missing, or its program
// cannot be found or is not executable from here (the current directory
// standing for the daemon's working directory).
// REQUIRES: the data home has been saved (S3ComPathHomeSave); `home` is the
// data home as given on the command line.
int ctlRun(const char* home, int id);

#endif  // TOOLS_CTL_RUN_H_
