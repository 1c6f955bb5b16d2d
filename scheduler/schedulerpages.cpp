// Handing the daemon's free heap pages back before a long sleep.
#include "scheduler/schedulerpages.h"

#include <cstdlib>  // any C library header: it tells which library this is
#if defined(__GLIBC__)
#include <malloc.h>
#endif

// glibc keeps freed heap pages resident for the next allocation; a daemon
// that then sleeps for an hour would hold them as private memory all that
// time. malloc_trim gives back the free top of the heap and, inside it,
// every whole free page, so a sleeping daemon holds about 28 kB less private
// memory (see bench/README.md). The pages the next pass needs come back as
// zero pages on first touch.
void schedulerReleaseFreeHeap() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}
