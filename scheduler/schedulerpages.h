// Handing the daemon's free heap pages back before a long sleep.
//
// Guarantees: only heap pages that no allocation uses are given back to the
// system; what is still allocated stays where it is, untouched. With glibc
// only; elsewhere the call does nothing (allocators there give free pages
// back by themselves).
#ifndef SCHEDULER_SCHEDULERPAGES_H_
#define SCHEDULER_SCHEDULERPAGES_H_

// Run as the last step before a long sleep (the prelude of the clock seam's
// sleep): what start-up and the last dispatch allocated and freed stops
// counting as the daemon's private memory while it sleeps. One thread only.
void schedulerReleaseFreeHeap();

#endif  // SCHEDULER_SCHEDULERPAGES_H_
