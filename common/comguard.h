// Scope guards for the descriptors and directory handles that a function
// opens and closes itself: every early return closes them, and closing on
// the way out never disturbs the errno of the call that failed.
#ifndef COMMON_COMGUARD_H_
#define COMMON_COMGUARD_H_

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

// The flags that open a folder only to act inside it (the *at calls, name
// lookups): O_PATH needs no read permission. Listing or flushing a folder
// needs it opened for reading instead.
#if defined(O_PATH)
constexpr int kComFolderRef = O_PATH | O_DIRECTORY;
#else
constexpr int kComFolderRef = O_RDONLY | O_DIRECTORY;
#endif

// Owns one file descriptor (-1: none).
class ComFd {
 public:
  explicit ComFd(int fd = -1) : fd_(fd) {}
  ~ComFd() {
    int saved = errno;
    Close();
    errno = saved;
  }
  ComFd(const ComFd&) = delete;
  ComFd& operator=(const ComFd&) = delete;

  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  // Gives the descriptor up to the caller; the guard then owns nothing.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes what it owns (its errno kept) and owns `fd` instead.
  void Reset(int fd) {
    int saved = errno;
    Close();
    errno = saved;
    fd_ = fd;
  }
  // Closes now and reports close's result (0 when nothing was open), so a
  // caller can see a failed close of a file it wrote.
  int Close() {
    if (fd_ < 0) return 0;
    int rc = close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

// Owns one directory handle (null: none).
class ComDir {
 public:
  explicit ComDir(DIR* dir) : dir_(dir) {}
  ~ComDir() {
    int saved = errno;
    if (dir_ != nullptr) closedir(dir_);
    errno = saved;
  }
  ComDir(const ComDir&) = delete;
  ComDir& operator=(const ComDir&) = delete;

  DIR* get() const { return dir_; }
  bool ok() const { return dir_ != nullptr; }
  // Closes now (a directory must be closed before it can be removed).
  void Close() {
    if (dir_ != nullptr) closedir(dir_);
    dir_ = nullptr;
  }

 private:
  DIR* dir_;
};

#endif  // COMMON_COMGUARD_H_
