// Starting programs as child processes, and the process id.
#ifndef COMMON_COMPROC_H_
#define COMMON_COMPROC_H_

// Starts argv[0] (searched along PATH when it has no slash) with `argv` as a
// child process whose standard input is /dev/null and whose output and error
// go to `outpath` (appended, created 0644) or to /dev/console when `outpath` is
// null or "/dev/console". A program that cannot be executed ends its child with
// exit status 1.
//
// wait == 0: returns 0 as soon as the child exists (the caller reaps it), or
//   -1 when fork failed (*errNo = errno).
// wait != 0: waits for the child; 0 when it exited with status 0 (or ended by
//   a signal), else -2 with *exitStatus = its exit status and *errNo = errno.
// Both out-parameters are set to 0 on entry.
int comProcExec(char* const* argv, const char* outpath, int wait, long* exitStatus, long* errNo);

// The child's side of comProcExec: redirects descriptors 2, 1 and 0 as
// described above. 0, or -1 when the output or a copy failed (the child goes
// on to exec all the same).
int com_execchgio(const char* outpath);

// The calling process's id.
int comProcGetID();

#endif  // COMMON_COMPROC_H_
