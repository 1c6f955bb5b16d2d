// Handing the daemon's read-only pages back before a long sleep.
//
// Guarantees: only pages that are exact copies of their file (never-written
// segments of the program and its shared libraries) and free heap memory are
// dropped, never data; everything dropped comes back from the page cache on
// the next touch. Linux only; elsewhere the call does nothing.
#ifndef SCHEDULER_SCHEDULERPAGES_H_
#define SCHEDULER_SCHEDULERPAGES_H_

// Run as the last step before a long sleep (the prelude of the clock seam's
// sleep): drops the mappings of the program's and its shared libraries'
// never-written segments and trims the heap. One thread only.
void schedulerReleaseReadOnlyPages();

#endif  // SCHEDULER_SCHEDULERPAGES_H_
