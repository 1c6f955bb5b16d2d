// CS3DataArena: the memory a parsed record file's nodes and value texts live
// in (see cs3data.h, which includes this header).
#ifndef S3_CS3DATA_ARENA_H_
#define S3_CS3DATA_ARENA_H_

#include <stddef.h>
#include <stdint.h>

// Bump allocator in blocks for nodes and value texts. Release frees every
// block at once; nothing is freed individually.
class CS3DataArena {
 public:
  CS3DataArena() = default;
  ~CS3DataArena() { Release(); }
  CS3DataArena(const CS3DataArena&) = delete;
  CS3DataArena& operator=(const CS3DataArena&) = delete;

  // `n` bytes aligned to `align` (a power of two up to alignof(max_align_t)),
  // uninitialised; null when memory runs out or the limit would be passed.
  // Inline while the current block has room: a parse allocates once a field.
  void* Allocate(size_t n, size_t align) {
    uintptr_t p = reinterpret_cast<uintptr_t>(ptr_);
    uintptr_t aligned = (p + align - 1) & ~static_cast<uintptr_t>(align - 1);
    if (ptr_ != nullptr && aligned <= reinterpret_cast<uintptr_t>(end_) &&
        n <= reinterpret_cast<uintptr_t>(end_) - aligned) {
      ptr_ = reinterpret_cast<char*>(aligned + n);
      return reinterpret_cast<void*>(aligned);
    }
    return AllocateBlockFor(n, align);
  }
  // Grows the allocation [p, p + oldSize) to newSize bytes where it stands,
  // when it is the last allocation of the current block and the block has
  // room; true: the first oldSize bytes are kept and newSize bytes are usable
  // at p. False (nothing changed) otherwise, also for oldSize 0 and for a
  // block of its own. REQUIRES: p and oldSize describe one whole live
  // allocation of this arena (or p is null), newSize >= oldSize.
  bool TryExtend(void* p, size_t oldSize, size_t newSize) {
    char* c = static_cast<char*>(p);
    if (c == nullptr || oldSize == 0 || ptr_ == nullptr) return false;
    // The byte before ptr_ belongs to the current block, so an allocation
    // ending at ptr_ is that block's last one, whichever block blocks_ heads.
    if (c + oldSize != ptr_) return false;
    if (newSize - oldSize > static_cast<size_t>(end_ - ptr_)) return false;
    ptr_ = c + newSize;
    return true;
  }
  // The unallocated rest of the current block, [Top(), Limit()) (both null
  // before the first block). A caller that learns how much it needs only
  // while it writes may write there first and then allocate the bytes it
  // used with Claim. REQUIRES (Claim): Top() <= to <= Limit().
  char* Top() const { return ptr_; }
  char* Limit() const { return end_; }
  void Claim(char* to) { ptr_ = to; }
  // Frees every block; the limit stays.
  void Release();
  // Caps the bytes of blocks held at once (0: no cap).
  void SetLimit(size_t bytes) { limit_ = bytes; }
  // Bytes of blocks currently held.
  size_t Held() const { return held_; }

  // Released blocks of the five largest sizes (64 KB to 1 MB) are kept per
  // thread, up to 64 MB of the largest and four blocks of each other size,
  // for the next parse of a large file. TrimPool returns them to the
  // system; a long-lived process may call it after parsing large files.
  static void TrimPool();

  // A point to return to: Rewind(mark) frees everything allocated after
  // GetMark() returned it. REQUIRES: nothing allocated since the mark is still
  // referenced, and no Release() in between.
  struct Block;
  struct Mark {
    Block* blocks;
    char* ptr;
    char* end;
  };
  Mark GetMark() const { return Mark{blocks_, ptr_, end_}; }
  void Rewind(const Mark& mark);

  struct Block {
    Block* next;
    size_t size;
    bool mapped;  // from MapBlock, else from malloc
  };

 private:
  // Allocate's path when the current block is full: a new block.
  void* AllocateBlockFor(size_t n, size_t align);

  Block* blocks_ = nullptr;
  char* ptr_ = nullptr;
  char* end_ = nullptr;
  size_t nextBlockSize_ = 0;
  size_t held_ = 0;
  size_t limit_ = 0;
};

#endif  // S3_CS3DATA_ARENA_H_
