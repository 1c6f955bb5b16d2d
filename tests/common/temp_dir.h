// A fresh directory for one test (mkdtemp under $TMPDIR or /tmp), removed
// with everything in it when the object goes out of scope; a child process
// that holds something (a lock) for a test; and small file, tree and text
// helpers for tests.
#ifndef TESTS_COMMON_TEMP_DIR_H_
#define TESTS_COMMON_TEMP_DIR_H_

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

class TempDir {
 public:
  TempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/sched-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp " << pattern << " failed";
      return;
    }
    path_ = name.data();
  }
  ~TempDir() {
    if (path_.empty()) return;
    // First make every directory writable and searchable (a test may have
    // taken the permissions away), then remove bottom-up.
    nftw(path_.c_str(), MakeRemovable, 16, FTW_PHYS);
    nftw(path_.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  const char* c_str() const { return path_.c_str(); }
  // path() + "/" + relative.
  std::string Path(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  static int MakeRemovable(const char* p, const struct stat*, int type, struct FTW*) {
    if (type == FTW_D || type == FTW_DNR) chmod(p, 0700);
    return 0;
  }
  static int RemoveOne(const char* p, const struct stat*, int, struct FTW*) {
    remove(p);
    return 0;
  }

  std::string path_;
};

// A child process that runs `hold` and, when it returns true, stays alive
// with what it took (a lock it holds, objects it keeps in statics) until
// End() or the end of the scope. held(): `hold` returned true. Without
// `release` End() kills the child; with it, End() has the child run
// `release` (a rollback that a kill would skip) and exit, and tells whether
// the child got that far.
class HoldingChild {
 public:
  explicit HoldingChild(const std::function<bool()>& hold,
                        const std::function<void()>& release = nullptr)
      : release_(release != nullptr) {
    int ready[2];
    if (pipe(ready) != 0 || pipe2(go_, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      char byte;
      const bool held = hold() && write(ready[1], "x", 1) == 1 && read(go_[0], &byte, 1) == 1;
      if (held && release) release();
      _exit(held ? 0 : 1);
    }
    close(ready[1]);
    char byte;
    held_ = pid_ > 0 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
  }
  ~HoldingChild() { End(); }
  HoldingChild(const HoldingChild&) = delete;
  HoldingChild& operator=(const HoldingChild&) = delete;
  bool held() const { return held_; }
  pid_t pid() const { return pid_; }
  // Ends and reaps the child; what it held is free again.
  bool End() {
    if (pid_ <= 0) return false;
    const bool told = release_ ? write(go_[1], "x", 1) == 1 : kill(pid_, SIGKILL) == 0;
    int status = 0;
    const bool reaped = waitpid(pid_, &status, 0) == pid_;
    pid_ = 0;
    close(go_[0]);
    close(go_[1]);
    return told && reaped && (!release_ || (WIFEXITED(status) && WEXITSTATUS(status) == 0));
  }

 private:
  pid_t pid_ = -1;
  int go_[2] = {-1, -1};
  bool release_;
  bool held_ = false;
};

// The whole content of a file, or "<missing>" when it cannot be opened.
inline std::string ReadFile(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return "<missing>";
  std::string data;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof(buf), f)) > 0;) data.append(buf, n);
  fclose(f);
  return data;
}

// Creates or replaces a file with `data`.
inline void WriteFile(const std::string& path, const std::string& data) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  fwrite(data.data(), 1, data.size(), f);
  fclose(f);
}

inline bool PathExists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

// Every file below `root` with its bytes and, with `dirs`, every directory as
// "<dir>", by path relative to `root`; the top-level entry `skip` and all
// below it are left out. Links are listed, never followed.
inline std::map<std::string, std::string> Snapshot(std::string root, bool dirs = true,
                                                   const std::string& skip = "") {
  namespace fs = std::filesystem;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  std::map<std::string, std::string> tree;
  for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
    const std::string path = it->path().string().substr(root.size() + 1);
    if (it.depth() == 0 && path == skip) {
      it.disable_recursion_pending();
    } else if (!fs::is_directory(it->symlink_status())) {
      tree[path] = ReadFile(it->path().string());
    } else if (dirs) {
      tree[path] = "<dir>";
    }
  }
  return tree;
}

// A heap copy of `text` in exactly strlen + 1 bytes: the sanitizer build
// catches any read past the terminator.
inline std::unique_ptr<char[]> Exact(const std::string& text) {
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  memcpy(copy.get(), text.c_str(), text.size() + 1);
  return copy;
}

#endif  // TESTS_COMMON_TEMP_DIR_H_
