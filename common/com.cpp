// Text checks, path splitting, and the file lock and backup guard.
#include "common/com.h"

#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "common/comdate.h"
#include "common/comfile.h"
#include "common/comguard.h"

// ---- Text checks -----------------------------------------------------------

namespace {

bool IsLineEndBlank(char c) {
  return c == ' ' || c == '\r' || c == '\n';
}

// Length of text[0, n) once trailing blanks, carriage returns and line feeds
// are left out.
size_t TrimmedLength(const char* text, size_t n) {
  while (n > 0 && IsLineEndBlank(text[n - 1])) --n;
  return n;
}

// The integer rule on text[0, n) after its trailing line-end blanks: digits,
// with one leading minus sign allowed when something follows it.
bool IsIntegerSpan(const char* text, size_t n) {
  n = TrimmedLength(text, n);
  if (n == 0) return false;
  size_t i = 0;
  if (text[0] == '-') {
    if (n == 1) return false;
    i = 1;
  }
  for (; i < n; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

// The integer part of a decimal number is checked on a work copy of at most
// this many characters; a longer part is not a number.
constexpr size_t kDoubleIntPartMax = 511;

}  // namespace

void comRTrimMultiLine(char* text) {
  // Text that lives in the program's read-only image is judged as if it had
  // been stripped but is never written: writing there would kill the process.
  if (text == nullptr || !comIsWritableText(text)) return;
  size_t n = strlen(text);
  while (n > 0 && IsLineEndBlank(text[n - 1])) text[--n] = '\0';
}

namespace com_detail {

// Judged on the trimmed length rather than on the terminator, so that a text
// that is not stripped gets the answer its stripped form would get.
bool IsNumberConst(const char* text) {
  return text != nullptr && IsIntegerSpan(text, strlen(text));
}

bool IsDoubleConst(const char* text) {
  if (text == nullptr) return false;
  const char* point = strrchr(text, '.');
  if (point == nullptr) return IsNumberConst(text);
  if (point[1] == '-' || !IsNumberConst(point + 1)) return false;
  size_t intLength = static_cast<size_t>(point - text);
  if (intLength > kDoubleIntPartMax) return false;
  // The integer part is judged as a stripped copy would be, so blanks just
  // before the point are tolerated ("1 .5"); the caller's text keeps them.
  return intLength == 0 || IsIntegerSpan(text, intLength);
}

}  // namespace com_detail

bool comIsNumber(char* text) {
  comRTrimMultiLine(text);
  return com_detail::IsNumberConst(text);
}

bool comIsDouble(char* text) {
  if (text == nullptr) return false;
  char* point = strrchr(text, '.');
  // Stripped in place: the whole text when it has no point, else the part
  // after the point unless a minus sign there refuses the text at once.
  if (point == nullptr) {
    comRTrimMultiLine(text);
  } else if (point[1] != '-') {
    comRTrimMultiLine(point + 1);
  }
  return com_detail::IsDoubleConst(text);
}

int _stricmp(const char* a, const char* b) {
  if (a == nullptr) a = "";
  if (b == nullptr) b = "";
  for (;; ++a, ++b) {
    int ca = tolower(static_cast<unsigned char>(*a));
    int cb = tolower(static_cast<unsigned char>(*b));
    if (ca != cb) return -1;
    if (ca == 0) return 0;
  }
}

char* comStrStr(const char* text, const char* pattern) {
  if (text == nullptr || pattern == nullptr || text[0] == '\0') return nullptr;
  size_t length = strlen(text);
  size_t patternLength = strlen(pattern);
  for (size_t i = 0; i < length && length - i >= patternLength;) {
    if (memcmp(text + i, pattern, patternLength) == 0) return const_cast<char*>(text + i);
    // A lead byte and its second byte are stepped over together. A lead byte
    // that is the text's last byte steps to past the end, which ends the loop.
    i += (static_cast<unsigned char>(text[i]) & 0x80) ? 2 : 1;
  }
  return nullptr;
}

void comGetDirName(const char* path, char* out, int outSize) {
  if (out == nullptr || outSize < 1) return;
  size_t cut = 0;
  if (path != nullptr) {
    for (size_t i = 0; path[i] != '\0'; ++i) {
      unsigned char c = static_cast<unsigned char>(path[i]);
      if (c & 0x80) {
        // Skip the second byte of a two-byte character, unless the lead byte
        // was the last one.
        if (path[i + 1] == '\0') break;
        ++i;
      } else if (c == '/') {
        cut = i;
      } else if (c == ':') {
        cut = i + 1;
      }
    }
  }
  if (cut > static_cast<size_t>(outSize - 1)) cut = static_cast<size_t>(outSize - 1);
  if (cut > 0) memcpy(out, path, cut);
  out[cut] = '\0';
}

// ---- Read-only image test -----------------------------------------------------
//
// String literals and other constant data are placed by the linker in the
// read-only part of the executable's image. GNU ld and lld both define
// __executable_start at the image's first byte. With glibc, crt1 defines
// __data_start at the start of .data; everything between the two (code,
// .rodata with the literals, .eh_frame, and the RELRO sections that become
// read-only after relocation) may not be written by the program. Elsewhere
// (FreeBSD with lld, which puts .rodata before .text) the read-only part runs
// up to etext. Stack, heap, .data and .bss all lie outside the range.
//
// That holds while this code is linked into the executable (the system's own
// programs and tests, and programs linked with the static library). Built
// into a shared library it lies outside that range, and the bounds cannot
// even be relied on: a position-independent executable's __executable_start
// is 0, which the dynamic linker never binds (hence the weak references).
// There the read-only segments of every object loaded at the first test
// (the executable, the libraries, this one) are collected once; an object
// loaded later with dlopen is not recognised.
extern "C" char __executable_start[] __attribute__((weak));
#if defined(__GLIBC__)
extern "C" char __data_start[] __attribute__((weak));
#define COM_READONLY_END __data_start
#else
extern "C" char etext[] __attribute__((weak));
#define COM_READONLY_END etext
#endif

namespace {

struct AddressRange {
  uintptr_t start;
  uintptr_t end;
};

// dl_iterate_phdr callback: the segments of one loaded object that are never
// writable, and its RELRO part, which becomes read-only after relocation.
int AddReadOnlySegments(struct dl_phdr_info* info, size_t, void* out) {
  auto* ranges = static_cast<std::vector<AddressRange>*>(out);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const auto& h = info->dlpi_phdr[i];
    bool readOnly = (h.p_type == PT_LOAD && (h.p_flags & PF_W) == 0) || h.p_type == PT_GNU_RELRO;
    if (!readOnly || h.p_memsz == 0) continue;
    uintptr_t start = info->dlpi_addr + h.p_vaddr;
    ranges->push_back(AddressRange{start, start + h.p_memsz});
  }
  return 0;
}

std::vector<AddressRange> LoadedReadOnlyRanges() {
  std::vector<AddressRange> ranges;
  dl_iterate_phdr(AddReadOnlySegments, &ranges);
  return ranges;
}

}  // namespace

bool comIsWritableText(const char* p) {
  if (p == nullptr) return false;
  // Compared as integers: the pointers belong to different objects.
  uintptr_t address = reinterpret_cast<uintptr_t>(p);
  uintptr_t start = reinterpret_cast<uintptr_t>(__executable_start);
  uintptr_t end = reinterpret_cast<uintptr_t>(COM_READONLY_END);
  uintptr_t self = reinterpret_cast<uintptr_t>(&comIsWritableText);
  if (start != 0 && self >= start && self < end) return address < start || address >= end;
  static const std::vector<AddressRange> readOnly = LoadedReadOnlyRanges();
  for (const AddressRange& r : readOnly) {
    if (address >= r.start && address < r.end) return false;
  }
  return true;
}

// ---- File locks and backup copies -------------------------------------------
//
// Every descriptor opened here carries O_CLOEXEC. The daemon keeps its
// per-process status file open, and so write-locked, for its whole life, and
// it starts module programs with fork and exec; a descriptor inherited across
// exec would keep the lock alive in a module after the daemon died, and other
// programs would go on believing the daemon runs. fcntl locks belong to the
// process, so a forked child holding a copy of the descriptor does not hold
// the lock, but it must not keep the file open either.

namespace {

constexpr int kBackupChunk = 10240;
constexpr int kCopyChunk = 1024;

bool IsLockBusy(int err) {
  return err == EACCES || err == EAGAIN;
}

// The bounded non-blocking lock attempts on an open descriptor, which the
// function owns from here on: it is returned locked, or closed.
int LockAttempts(int fd, short type, int attempts, int wait) {
  ComFd guard(fd);
  struct flock lock;
  memset(&lock, 0, sizeof(lock));
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // the whole file, however far it grows
  for (int i = 0; i < attempts; ++i) {
    if (fcntl(fd, F_SETLK, &lock) == 0) return guard.release();
    if (!IsLockBusy(errno)) return -1;  // a real error: its errno is kept
    // A signal that ends this wait early only brings the next attempt
    // forward; the number of attempts does not change.
    if (i + 1 != attempts && wait > 0) comSleep(static_cast<unsigned>(wait));
  }
  guard.Close();
  errno = EACCES;
  return -1;
}

int OpenRetry(const char* path, int flags, mode_t mode) {
  return comIoOpen(path, flags, static_cast<int>(mode));
}

// Opens for a write lock, creating missing parent directories once.
int OpenForWrite(const char* path, int flags) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  int fd = OpenRetry(path, flags, 0644);
  if (fd >= 0) return fd;
  if (errno != ENOENT && errno != ENOTDIR) return -1;
  int openErr = errno;
  if (comDirCreateAll(path) != 0) {
    // EEXIST: another process created the directory between our open and
    // our mkdir. The open may now succeed, so it gets its one retry; when it
    // still fails, its own reason is the news.
    if (errno != EEXIST) return -1;
    fd = OpenRetry(path, flags, 0644);
    if (fd < 0 && errno == ENOENT) errno = openErr;
    return fd;
  }
  return OpenRetry(path, flags, 0644);
}

// read(), restarted when a signal interrupts it before any byte arrived.
int ReadChunk(int fd, char* buf, int len) {
  int n;
  do {
    n = comFileRead(fd, buf, len);
  } while (n < 0 && errno == EINTR);
  return n;
}

// Removes a partly written copy, keeping the errno of the failure that led
// here.
void DiscardCopy(ComFd* fd, const char* path) {
  int saved = errno;
  fd->Close();
  comIoUnlink(path);
  errno = saved;
}

}  // namespace

int comLockFileRead(const char* path, int attempts, int wait, bool noLock) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  int fd = OpenRetry(path, O_RDONLY, 0);
  if (fd < 0) return -1;
  if (noLock) return fd;
  return LockAttempts(fd, F_RDLCK, attempts, wait);
}

int comLockFileWrite(const char* path, int attempts, int wait) {
  return comLockFileWriteShare(path, attempts, wait, O_RDWR | O_CREAT);
}

int comLockFileWriteShare(const char* path, int attempts, int wait, long flags) {
  int fd = OpenForWrite(path, static_cast<int>(flags));
  if (fd < 0) return -1;
  return LockAttempts(fd, F_WRLCK, attempts, wait);
}

// A read error while copying fails the backup (the copy would be short, and
// a rollback would then put a truncated file in place of the original);
// end of file is the only normal end of the copy.
int comFileBackUp(const char* source, const char* backup, int attempts, int wait, bool share,
                  long flags) {
  // A backup path equal to the source would unlink the file being guarded.
  if (source == nullptr || backup == nullptr || strcmp(source, backup) == 0) {
    errno = EINVAL;
    return -1;
  }
  ComFd src(share ? comLockFileWriteShare(source, attempts, wait, flags)
                  : comLockFileWrite(source, attempts, wait));
  if (!src.ok()) return -1;
  if (comIoUnlink(backup) != 0 && errno != ENOENT) return -1;
  ComFd copy(comLockFileWrite(backup, 1, 0));
  if (!copy.ok()) return -1;
  // On the heap: a long-lived process (the daemon takes a backup at every
  // wake-up) would otherwise keep the stack pages this buffer reaches
  // written, and so private, for the rest of its life.
  std::unique_ptr<char[]> buf(new (std::nothrow) char[kBackupChunk]);
  if (buf == nullptr) {
    DiscardCopy(&copy, backup);
    errno = ENOMEM;
    return -1;
  }
  for (;;) {
    int n = ReadChunk(src.get(), buf.get(), kBackupChunk);
    if (n == 0) break;
    if (n < 0 || comFileWrite(copy.get(), buf.get(), n) != 0) {
      DiscardCopy(&copy, backup);
      return -1;
    }
  }
  if (copy.Close() != 0 || lseek(src.get(), 0, SEEK_SET) != 0) {
    DiscardCopy(&copy, backup);
    return -1;
  }
  return src.release();
}

// The probe asks whether a read lock could be had: only a write lock stands
// in its way, so the holder it names holds a write lock, and asking needs no
// more than the read-only descriptor. (Linux would answer a probe for a write
// lock on a read-only descriptor as well: the kernel looks at the access mode
// only when a lock is set; a read lock is the one every system lets a reader
// ask about.)
int comLockHolder(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  ComFd fd(OpenRetry(path, O_RDONLY, 0));
  if (!fd.ok()) return -1;
  struct flock probe;
  memset(&probe, 0, sizeof(probe));
  probe.l_type = F_RDLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = 0;
  probe.l_len = 0;  // the whole file
  if (fcntl(fd.get(), F_GETLK, &probe) != 0) return -1;
  if (probe.l_type == F_UNLCK) return 0;
  if (probe.l_pid <= 0) {
    // An open file description's lock, which F_GETLK reports with pid -1.
    errno = EAGAIN;
    return -1;
  }
  return static_cast<int>(probe.l_pid);
}

// As with backups, a read error fails the copy rather than leave a short
// copy that looks complete; the partial target is then deleted.
int comCopyFile(const char* source, const char* target, int exclusive) {
  if (source == nullptr || target == nullptr) {
    errno = EINVAL;
    return 0;
  }
  ComFd src(OpenRetry(source, O_RDONLY, 0));
  if (!src.ok()) return 0;
  int flags = O_WRONLY | O_CREAT | O_TRUNC | (exclusive != 0 ? O_EXCL : 0);
  ComFd dst(OpenRetry(target, flags, 0666));
  if (!dst.ok()) return 0;
  char buf[kCopyChunk];
  for (;;) {
    int n = ReadChunk(src.get(), buf, sizeof(buf));
    if (n == 0) break;
    if (n < 0 || comFileWrite(dst.get(), buf, n) != 0) {
      DiscardCopy(&dst, target);
      return 0;
    }
  }
  if (dst.Close() != 0) {
    DiscardCopy(&dst, target);
    return 0;
  }
  return 1;
}
