// The power-cut layer of the tests: it records, through the file helpers'
// seam, every change made below one directory, and builds for any cut point
// the tree that a power cut right there may leave on the disk.
//
// The persistence model (what a power cut may lose, and what it never loses):
//  - Data written to a file (its writes and truncations) since the file's
//    last flush may be lost as a suffix, in order; the last write that
//    survives may be torn at a 512-byte boundary of the file (a sector is
//    written whole or not at all).
//  - Changes of a directory (files created, made, removed or renamed in it)
//    since its last flush may be lost as a suffix, in order. A flush of a
//    file covers its data, not its name; a flush of a directory its entries,
//    not the data of the files they name.
//  - A rename is atomic: both of its directories see it or neither does. A
//    flush of either directory keeps it, and with it what the other
//    directory changed before it.
//  - Whatever a flush covered stays.
//  - Flushes issued together in one round (comIoSyncRound) are independent:
//    at a cut anywhere inside the round, any subset of all of them may have
//    reached the disk, those not yet issued in the recording's order too.
// The tree before the recording starts counts as flushed.
#ifndef TESTS_COMMON_POWER_CUT_H_
#define TESTS_COMMON_POWER_CUT_H_

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <istream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/comfile.h"
#include "common/comfile_seam.h"
#include "tests/common/temp_dir.h"

namespace powercut {

// A tree: path relative to the root -> the file's bytes, or kDir.
using Tree = std::map<std::string, std::string>;
inline const std::string kDir = "<dir>";

// How a cut treats the changes that no flush covered: all kept (what a kill
// of the process leaves), all lost, or a seeded mixture of the two.
enum Loss { kKeepAll, kLoseAll, kMixed };

class Recorder {
 public:
  // Takes the tree below `root` as the starting point: its directories and
  // files as changes that a flush covered, ahead of those recorded.
  explicit Recorder(const std::string& root) : root_(root) {
    for (const auto& [path, bytes] : Snapshot(root_)) {
      Op op{bytes == kDir ? kComIoMkdir : kComIoCreate, 0, 0, path, {}, {}};
      if (bytes != kDir) {
        struct stat st;
        op.id = ++lastId_;
        if (lstat((root_ + "/" + path).c_str(), &st) == 0) ids_[Key(st)] = op.id;
        ops_.push_back(op);
        op.kind = kComIoWrite;
        op.bytes = bytes;
      }
      ops_.push_back(op);
    }
    base_ = ops_.size();
  }
  // An empty recorder, to Load a recording into.
  Recorder() = default;
  ~Recorder() { Stop(); }
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Records from now on (one recorder at a time) / no more.
  void Start() {
    active_ = this;
    comSetIoHooks(&kHooks);
  }
  void Stop() {
    if (active_ != this) return;
    comSetIoHooks(nullptr);
    active_ = nullptr;
  }
  // The changes recorded.
  size_t Size() const { return ops_.size() - base_; }
  // Makes the n-th call of the seam from now on fail (ENOSPC for what takes
  // room, a write after half of its bytes, EIO for the rest), or with `kill`
  // kills the process there; Reached tells whether it came.
  void FailCall(int n, bool kill = false) {
    failIn_ = n;
    kill_ = kill;
  }
  bool Reached() const { return failIn_ == 0; }

  // The starting tree and the changes as text, and back (to hand them from a
  // child to its parent).
  std::string Save() const {
    std::string out = std::to_string(base_) + "\n";
    for (const Op& op : ops_) {
      out += std::to_string(op.kind) + " " + std::to_string(op.id) + " " + std::to_string(op.at) +
             " " + Text(op.path) + Text(op.to) + Text(op.bytes);
    }
    return out;
  }
  void Load(std::istream& in) {
    in >> base_;
    Op op;
    for (int kind; in >> kind >> op.id >> op.at;) {
      op.kind = static_cast<ComIoOp>(kind);
      for (std::string* s : {&op.path, &op.to, &op.bytes}) {
        size_t n = 0;
        in >> n;
        s->assign(n, '\0');
        in.ignore(1).read(&(*s)[0], static_cast<std::streamsize>(n)).ignore(1);
      }
      ops_.push_back(op);
    }
  }

  // The tree a power cut after the first `cut` changes may leave.
  Tree At(size_t cut, Loss loss, unsigned seed) const {
    const size_t end = base_ + cut;
    std::vector<char> keep =
        loss == kKeepAll ? std::vector<char>(end, 1) : Protected(end, loss == kMixed, seed);
    std::vector<long long> tornAt(end, -1);  // a kept write cut short there
    if (loss == kMixed) Mix(end, seed, &keep, &tornAt);
    return Replay(end, keep, tornAt);
  }

  // The state a cut leaves when every change no flush covered stays except
  // that the last such write across a sector boundary is torn at its first
  // one (its file's later changes lost): a tear that random mixes may miss.
  // False when no such write comes before the cut.
  bool Torn(size_t cut, Tree* out) const {
    const size_t end = base_ + cut;
    std::vector<char> keep = Protected(end);
    size_t torn = end;
    for (size_t i = end; i-- > base_ && torn == end;) {
      const Op& op = ops_[i];
      if (!keep[i] && op.kind == kComIoWrite && (op.at / 512 + 1) * 512 < op.at + static_cast<long long>(op.bytes.size())) {
        torn = i;
      }
    }
    if (torn == end) return false;
    const std::vector<std::string> file = Keys(ops_[torn]);
    for (size_t i = base_; i < end; ++i) {
      bool later = false;
      for (const std::string& k : Keys(ops_[i])) later = later || (i > torn && k == file[0]);
      keep[i] = keep[i] || !later;
    }
    std::vector<long long> tornAt(end, -1);
    tornAt[torn] = (ops_[torn].at / 512 + 1) * 512;
    *out = Replay(end, keep, tornAt);
    return true;
  }

  // Makes the tree below `root` exactly `tree`, writing only what differs.
  static void Materialize(const std::string& root, const Tree& tree) {
    const Tree now = Snapshot(root);
    for (auto it = now.rbegin(); it != now.rend(); ++it) {
      auto want = tree.find(it->first);
      if (want == tree.end() || (want->second == kDir) != (it->second == kDir)) {
        std::filesystem::remove_all(root + "/" + it->first);
      }
    }
    for (const auto& [path, bytes] : tree) {
      const std::string full = root + "/" + path;
      auto have = now.find(path);
      if (bytes == kDir) {
        mkdir(full.c_str(), 0755);
      } else if (have == now.end() || have->second != bytes) {
        WriteFile(full, bytes);
      }
    }
  }

 private:
  struct Op {
    ComIoOp kind;
    int id = 0;         // the file of a write, truncation, flush or creation; 0 for mkdir
    long long at = 0;   // where a write starts; the size a truncation sets
    std::string path;   // relative to the root
    std::string to;     // a rename's target
    std::string bytes;  // what a write wrote
  };

  static std::string Text(const std::string& s) {
    return std::to_string(s.size()) + ":" + s + "\n";
  }
  static std::pair<dev_t, ino_t> Key(const struct stat& st) { return {st.st_dev, st.st_ino}; }
  static std::string Parent(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
  }
  static bool IsFlush(const Op& op) { return op.kind == kComIoSync || op.kind == kComIoSyncDir; }
  // The round a cut at `cut` falls into: [begin, end) of its flushes, or
  // begin == end when it falls into none.
  std::pair<size_t, size_t> OpenRound(size_t cut) const {
    size_t begin = SIZE_MAX;
    for (size_t i = base_; i < cut; ++i) {
      if (ops_[i].kind == kComIoRound) begin = i;
      if (ops_[i].kind == kComIoRoundEnd) begin = SIZE_MAX;
    }
    if (begin == SIZE_MAX) return {cut, cut};
    size_t end = begin + 1;
    while (end < ops_.size() && ops_[end].kind != kComIoRoundEnd) ++end;
    return {begin + 1, end};
  }
  // What a change is a change of, or a flush a flush of: its file (as
  // "#<id>") for data, the directories whose entries it changes for names.
  static std::vector<std::string> Keys(const Op& op) {
    if (op.kind == kComIoRound || op.kind == kComIoRoundEnd) return {};
    if (op.kind == kComIoWrite || op.kind == kComIoTruncate || op.kind == kComIoSync) {
      return {"#" + std::to_string(op.id)};
    }
    if (op.kind == kComIoSyncDir) return {op.path};
    if (op.kind == kComIoRename) return {Parent(op.path), Parent(op.to)};
    return {Parent(op.path)};
  }

  // `path` relative to the root; false when it lies elsewhere.
  bool Inside(const char* path, std::string* rel) const {
    const std::string p = path != nullptr ? path : "";
    if (p.size() <= root_.size() + 1 || p.compare(0, root_.size() + 1, root_ + "/") != 0)
      return false;
    *rel = p.substr(root_.size() + 1);
    return true;
  }
  int IdOf(int fd) const {
    struct stat st;
    if (fstat(fd, &st) != 0) return 0;
    auto it = ids_.find(Key(st));
    return it == ids_.end() ? 0 : it->second;
  }

  static int BeforeHook(const ComIoCall& call) {
    Recorder* r = active_;
    if (r->failIn_ > 0 && --r->failIn_ == 0) {
      if (r->kill_) raise(SIGKILL);
      // A write that fails has written half of its bytes, as on a disk that
      // fills up under it.
      if (call.op == kComIoWrite && call.len > 1) {
        ComIoCall half = call;
        half.len = call.len / 2;
        const ssize_t n = half.at >= 0 ? pwrite(call.fd, call.buf, half.len, half.at)
                                       : write(call.fd, call.buf, half.len);
        if (n == static_cast<ssize_t>(half.len)) AfterHook(half, 0);
      }
      const bool room = call.op == kComIoWrite || call.op == kComIoCreate || call.op == kComIoMkdir;
      return room ? ENOSPC : EIO;
    }
    if (call.op == kComIoCreate) r->created_ = access(call.path, F_OK) != 0;
    return 0;
  }
  static void AfterHook(const ComIoCall& call, int result) {
    Recorder* r = active_;
    if (result < 0) return;
    Op op;
    op.kind = call.op;
    switch (call.op) {
      case kComIoWrite:
      case kComIoTruncate:
      case kComIoSync:
        op.id = r->IdOf(call.fd);
        if (op.id == 0) return;
        if (call.op == kComIoWrite) {
          op.bytes.assign(static_cast<const char*>(call.buf), call.len);
          op.at = call.at >= 0 ? call.at
                               : static_cast<long long>(lseek(call.fd, 0, SEEK_CUR)) -
                                     static_cast<long long>(call.len);
        }
        if (call.op == kComIoTruncate) op.at = static_cast<long long>(call.len);
        break;
      case kComIoCreate: {
        if (!r->created_ || !r->Inside(call.path, &op.path)) return;
        struct stat st;
        if (fstat(result, &st) != 0) return;
        op.id = r->ids_[Key(st)] = ++r->lastId_;
        break;
      }
      case kComIoRename:
        if (!r->Inside(call.path, &op.path) || !r->Inside(call.to, &op.to)) return;
        break;
      case kComIoRound:
      case kComIoRoundEnd:
        break;
      case kComIoSyncDir:
        if (call.path == r->root_) break;
        [[fallthrough]];
      default:
        if (!r->Inside(call.path, &op.path)) return;
        break;
    }
    r->ops_.push_back(op);
  }

  // The changes before `cut` that a flush before `cut` covered. Walking back
  // from the cut: a flush covers the earlier changes of its file or
  // directory, and a rename it covers carries the cover to its other
  // directory, for the changes there before the rename.
  // With the cut inside a round, the round's flushes that took effect are a
  // seeded subset with `mixed`, else none.
  std::vector<char> Protected(size_t cut, bool mixed = false, unsigned seed = 0) const {
    std::vector<char> covered(cut, 0);
    std::fill_n(covered.begin(), base_, 1);
    std::set<std::string> flushed;
    const auto [roundBegin, roundEnd] = OpenRound(cut);
    std::mt19937 random(seed ^ 0x5bd1e995u);
    std::vector<char> done(roundEnd - roundBegin, 0);
    for (char& d : done) d = mixed && random() % 2 == 0;
    for (size_t i = cut; i < roundEnd; ++i) {
      if (done[i - roundBegin] && IsFlush(ops_[i])) {
        const std::vector<std::string> keys = Keys(ops_[i]);
        flushed.insert(keys.begin(), keys.end());
      }
    }
    for (size_t i = cut; i-- > base_;) {
      const std::vector<std::string> keys = Keys(ops_[i]);
      const auto inFlushed = [&](const std::string& k) { return flushed.count(k) != 0; };
      const bool inRound = i >= roundBegin && i < roundEnd;
      if (IsFlush(ops_[i]) && inRound && !done[i - roundBegin]) continue;
      if (!IsFlush(ops_[i]) && std::none_of(keys.begin(), keys.end(), inFlushed)) continue;
      covered[i] = 1;
      flushed.insert(keys.begin(), keys.end());
    }
    return covered;
  }

  // Keeps of each file's and each directory's uncovered changes (those not
  // in `keep` yet) a seeded prefix: in order, each change either stays or
  // ends its file's (or its directories') survivors, a write then torn at a
  // sector now and then. A rename dropped in one directory is dropped in both.
  void Mix(size_t cut, unsigned seed, std::vector<char>* keep,
           std::vector<long long>* tornAt) const {
    std::mt19937 random(seed);
    std::set<std::string> stopped;  // the Keys whose survivors ended
    for (size_t i = 0; i < cut; ++i) {
      const Op& op = ops_[i];
      if ((*keep)[i] || IsFlush(op) || op.kind == kComIoRound || op.kind == kComIoRoundEnd) {
        continue;  // covered, or no change
      }
      const std::vector<std::string> keys = Keys(op);
      bool after = false;  // a change before it in its file or directory is lost
      for (const std::string& k : keys) after = after || stopped.count(k) != 0;
      (*keep)[i] = !after && random() % 3 != 0;
      if ((*keep)[i]) continue;
      stopped.insert(keys.begin(), keys.end());
      if (after) continue;
      const long long first = op.at / 512 + 1,
                      end = op.at + static_cast<long long>(op.bytes.size());
      if (op.kind == kComIoWrite && first * 512 < end && random() % 2 == 0) {
        (*tornAt)[i] = (first + random() % ((end - 1) / 512 - first + 1)) * 512;
        (*keep)[i] = true;
      }
    }
  }

  Tree Replay(size_t cut, const std::vector<char>& keep,
              const std::vector<long long>& tornAt) const {
    std::map<std::string, int> names;  // path -> its file's id, 0 for a directory
    std::map<int, std::string> content;
    auto parentIsDir = [&](const std::string& path) {
      const std::string p = Parent(path);
      return p.empty() || (names.count(p) != 0 && names[p] == 0);
    };
    for (size_t i = 0; i < cut; ++i) {
      if (!keep[i]) continue;
      const Op& op = ops_[i];
      switch (op.kind) {
        case kComIoWrite: {
          const size_t n = tornAt[i] < 0 ? op.bytes.size() : static_cast<size_t>(tornAt[i] - op.at);
          std::string& c = content[op.id];
          if (c.size() < static_cast<size_t>(op.at) + n) c.resize(static_cast<size_t>(op.at) + n);
          c.replace(static_cast<size_t>(op.at), n, op.bytes, 0, n);
          break;
        }
        case kComIoTruncate:
          content[op.id].resize(static_cast<size_t>(op.at));
          break;
        case kComIoCreate:
        case kComIoMkdir:
          if (parentIsDir(op.path)) names[op.path] = op.id;
          break;
        case kComIoUnlink:
        case kComIoRmdir:  // with what a lost removal left in it
          names.erase(op.path);
          for (auto it = names.lower_bound(op.path + "/");
               it != names.end() && it->first.compare(0, op.path.size() + 1, op.path + "/") == 0;) {
            it = names.erase(it);
          }
          break;
        case kComIoRename:
          if (names.count(op.path) != 0 && parentIsDir(op.to)) {
            names[op.to] = names[op.path];
            names.erase(op.path);
          }
          break;
        default:
          break;
      }
    }
    Tree tree;
    for (const auto& [path, id] : names) tree[path] = id == 0 ? kDir : content[id];
    return tree;
  }

  static inline Recorder* active_ = nullptr;
  static constexpr ComIoHooks kHooks = {BeforeHook, AfterHook};

  std::string root_;
  size_t base_ = 0;  // the changes that make the starting tree
  std::map<std::pair<dev_t, ino_t>, int> ids_;
  int lastId_ = 0;
  int failIn_ = -1;  // calls until the one that fails; 0 once it came
  bool kill_ = false;
  bool created_ = false;
  std::vector<Op> ops_;
};

}  // namespace powercut

#endif  // TESTS_COMMON_POWER_CUT_H_
