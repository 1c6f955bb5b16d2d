// Who besides the data home's owner can change what the daemon runs. A module
// record names the program, and the program is what runs: a user who can
// write either runs code as the daemon's user. So `doctor` reports such files
// (kind writable-by-others, never changed by --repair) and `module add` warns;
// the daemon itself still runs them, as the suite's other programs expect.
//
// A file counts as written by others when it belongs to a user other than the
// data home's owner and root, or when its group or everyone may write it.
// Links are followed: what counts is the file that runs. Directories are not
// looked at.
#ifndef TOOLS_CTL_WRITERS_H_
#define TOOLS_CTL_WRITERS_H_

#include <string>
#include <vector>

// One file of a module that others can write.
struct CtlWritable {
  std::string file;  // data-relative for the record; the program's path as resolved
  bool program;      // the module's program (else its record)
  std::string who;   // "writable by its group (gid 33, mode 0664)", ...
};

// Checks the record file of module `id` and the program that `execute`
// resolves to (as the daemon resolves it, the current directory standing for
// its working directory; a program found nowhere is not checked) and appends
// what others can write to `out`.
// REQUIRES: the data home has been saved (S3ComPathHomeSave).
void ctlModuleWriters(int id, const char* execute, std::vector<CtlWritable>* out);

#endif  // TOOLS_CTL_WRITERS_H_
