// Handing the daemon's read-only pages back before a long sleep.
#include "scheduler/schedulerpages.h"

#if defined(__linux__)
#include <link.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <cstring>

namespace {

#if defined(__linux__)
// The page ranges that a sleep hands back, gathered before the first one is
// dropped: gathering walks the loader's list under its lock, code that would
// only be faulted back in if it ran after the drop.
struct PageRange {
  uintptr_t start;
  uintptr_t end;
};
constexpr int kReleaseRanges = 64;
PageRange gReleaseRanges[kReleaseRanges];
int gReleaseCount = 0;

bool hasTextRelocations(const struct dl_phdr_info* info) {
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_DYNAMIC) continue;
    const ElfW(Dyn)* dyn = reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + ph.p_vaddr);
    for (; dyn->d_tag != DT_NULL; ++dyn) {
      if (dyn->d_tag == DT_TEXTREL) return true;
      if (dyn->d_tag == DT_FLAGS && (dyn->d_un.d_val & DF_TEXTREL) != 0) return true;
    }
  }
  return false;
}

bool overlapsRelro(const struct dl_phdr_info* info, const ElfW(Phdr)& load) {
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_GNU_RELRO) continue;
    if (ph.p_vaddr < load.p_vaddr + load.p_memsz && load.p_vaddr < ph.p_vaddr + ph.p_memsz) {
      return true;
    }
  }
  return false;
}

int gatherReadOnlySegments(struct dl_phdr_info* info, size_t, void* pageSizeArg) {
  const uintptr_t pageSize = *static_cast<const uintptr_t*>(pageSizeArg);
  // The kernel's own vDSO is no file mapping; leave it alone.
  if (info->dlpi_name != nullptr && strncmp(info->dlpi_name, "linux-", 6) == 0) return 0;
  // Text relocations were written into code pages at load time.
  if (hasTextRelocations(info)) return 0;
  for (int i = 0; i < info->dlpi_phnum && gReleaseCount < kReleaseRanges; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    // Only segments that are never writable (code, read-only data, the
    // headers and symbol tables), so their pages are exact copies of the
    // file and can always be read back. Relocated read-only data was written
    // at load time and must never be dropped.
    if (ph.p_type != PT_LOAD || (ph.p_flags & PF_W) || overlapsRelro(info, ph)) continue;
    uintptr_t start = (info->dlpi_addr + ph.p_vaddr) & ~(pageSize - 1);
    uintptr_t end = (info->dlpi_addr + ph.p_vaddr + ph.p_memsz + pageSize - 1) & ~(pageSize - 1);
    gReleaseRanges[gReleaseCount++] = PageRange{start, end};
  }
  return 0;
}
#endif

}  // namespace

// Run as the last step before a long sleep: hands the pages of the program's
// and its shared libraries' never-written segments back to the page cache.
// The kernel maps file pages in 64 kB chunks around every page touched, so a
// daemon that has formatted, listed and locked once holds most of libc
// resident while it does nothing; dropping the mappings keeps its sleeping
// footprint small, and the pages come back from the page cache (no disk
// read) within microseconds of waking. Dropping them right before the sleep
// call, after everything else the sleep needs has run, leaves only the
// chunks of that call and of this function's return path mapped. Only
// pages that are exact copies of their file and free heap memory are
// dropped, never data. A breakpoint that a tracer planted in that code is
// lost with it. Linux only: elsewhere the advice has other meanings and is
// not given.
void schedulerReleaseReadOnlyPages() {
#if defined(__linux__)
  long size = sysconf(_SC_PAGESIZE);
  if (size <= 0) return;
  uintptr_t pageSize = static_cast<uintptr_t>(size);
#if defined(__GLIBC__)
  // Free heap memory goes back too: what a dispatch allocated and freed.
  malloc_trim(0);
#endif
  gReleaseCount = 0;
  dl_iterate_phdr(gatherReadOnlySegments, &pageSize);
  for (int i = 0; i < gReleaseCount; ++i) {
    const PageRange& range = gReleaseRanges[i];
    madvise(reinterpret_cast<void*>(range.start), range.end - range.start, MADV_DONTNEED);
  }
#endif
}
