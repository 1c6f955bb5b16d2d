// Who besides the data home's owner can change what the daemon runs. A module
// record names the program, and the program is what runs: a user who can
// write either, or swap either for a file of their own, runs code as the
// daemon's user. So `doctor` reports such files and folders (kind
// writable-by-others, never changed by --repair) and `module add` warns; the
// daemon itself still runs them, as the suite's other programs expect.
//
// A file counts as written by others when it belongs to a user other than the
// data home's owner and root, or when its group or everyone may write it.
// A folder counts the same way, except that its group or everyone writing it
// does not count when it has the sticky bit (as /tmp has): then only an
// entry's owner may remove or rename the entry, so the entries the owner put
// there stay theirs.
#ifndef TOOLS_CTL_WRITERS_H_
#define TOOLS_CTL_WRITERS_H_

#include <sys/stat.h>

#include <string>
#include <vector>

// One file or folder of a module that others can write.
struct CtlWritable {
  enum What {
    kRecord,         // the module's record file
    kProgram,        // the file its program resolves to
    kProgramFolder,  // a folder on the way to that file
    kRecordFolder,   // the record's folder, or one above it up to the data home
  };
  What what;
  // kRecord: data-relative; kProgram: the program's path as resolved, with
  // " (a link to TARGET)" when it is a link; folders: the folder's path.
  std::string file;
  std::string program;  // kProgramFolder: the program, named as for kProgram
  std::string who;      // "writable by its group (gid 33) (mode 0775)", ...
};

// How others than `owner` and root can write what `st` describes: "writable
// by ... (mode 0664)", or "" when nobody else can. A folder's group and world
// write bits do not count with the sticky bit, unless `strict` (a folder
// where creating a new entry is already a threat).
std::string ctlWriters(const struct stat& st, uid_t owner, bool strict = false);

// Checks module `id` and appends what others can write to `out`:
//  - its record file (below the data home, a link there is not followed and
//    not checked: doctor reports links of its own);
//  - the program that `execute` resolves to, as the daemon resolves it (the
//    current directory standing for its working directory; a program found
//    nowhere is not checked), links followed: what counts is the file that
//    runs;
//  - every folder whose entries the lookup of that program reads, from "/"
//    down, each link on the way spliced in as the kernel does: the folder
//    that holds a link and the folders its target leads through (so a link
//    that leads out of a folder others can write is found). A program that
//    does not exist yet still has its folders checked up to where the lookup
//    stops: whoever can write them can put one there.
//  - with `recordFolders`, the record's folder and each one above it up to
//    the data home. Without it (doctor, which checks those folders itself)
//    none of them is reported, on the program's way either.
// Each folder is reported once.
// REQUIRES: the data home has been saved (S3ComPathHomeSave).
void ctlModuleWriters(int id, const char* execute, bool recordFolders,
                      std::vector<CtlWritable>* out);

#endif  // TOOLS_CTL_WRITERS_H_
