// CS3DataArena: the blocks a parsed record file's nodes and texts live in,
// handed out by bump allocation, freed all at once, and (the larger ones)
// kept per thread for the next parse.
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>

#include "s3/cs3data.h"

namespace {

// Blocks start small (most record files hold one short record) and double up
// to a size at which the per-block overhead no longer matters.
constexpr size_t kFirstBlockSize = 4096;
constexpr size_t kMaxBlockSize = 1 << 20;
constexpr size_t kBlockHeader =
    (sizeof(CS3DataArena::Block) + alignof(max_align_t) - 1) & ~(alignof(max_align_t) - 1);

// Blocks from this size on are mapped with their pages populated at once: a
// parse touches every byte of its blocks, and taking the pages one fault at a
// time costs more than the parse itself (notably on virtual machines). From
// this size on malloc would map (or, after its threshold rose, trim) them
// itself, and the next parse would take their pages anew.
constexpr size_t kMapBlockSize = 64 << 10;

// Released mapped blocks (the sizes from kMapBlockSize up to kMaxBlockSize,
// one list per size) are kept for the next parse, up to a number of bytes per
// list and thread (CS3DataArena::TrimPool gives them back): fresh pages are
// the dominant cost of parsing a large file, and a process that parses one
// large file usually parses more. Only files of more than some ten
// kilobytes reach blocks of these sizes. A parse takes one block of each
// smaller size and then blocks of the largest, so the smaller lists keep four
// blocks each, apart from the largest's 64 MB: a large parse that fills that
// list leaves them their room. (Marking kept blocks MADV_FREE was tried: on
// virtual machines the first write to each such page again costs as much as
// the parse.)
constexpr int kPoolSizes = 5;  // 64 KB to 1 MB
constexpr size_t kPoolLimits[kPoolSizes] = {4 * kMapBlockSize, 4 * 2 * kMapBlockSize,
                                            4 * 4 * kMapBlockSize, 4 * 8 * kMapBlockSize, 64 << 20};
static_assert(kMapBlockSize << (kPoolSizes - 1) == kMaxBlockSize, "one list per mapped size");

// The pool's list for a block of `size` bytes, or -1 when such blocks are not kept.
int PoolList(size_t size) {
  for (int i = 0; i < kPoolSizes; ++i) {
    if (size == kMapBlockSize << i) return i;
  }
  return -1;
}

// Trivially destructible, so that a CS3Data destroyed late in a thread's (or
// the process's) exit still finds it usable; the guard below empties it when
// the thread ends, after which released blocks are unmapped at once.
struct BlockPool {
  CS3DataArena::Block* heads[kPoolSizes];
  size_t bytes[kPoolSizes];
  bool closed;
};

thread_local BlockPool blockPool = {{}, {}, false};

void TrimBlockPool();

struct BlockPoolGuard {
  ~BlockPoolGuard() {
    TrimBlockPool();
    blockPool.closed = true;
  }
};

CS3DataArena::Block* MapBlock(size_t size) {
#ifdef MAP_POPULATE
  constexpr int kFlags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE;
#else
  constexpr int kFlags = MAP_PRIVATE | MAP_ANONYMOUS;
#endif
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, kFlags, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  CS3DataArena::Block* block = static_cast<CS3DataArena::Block*>(p);
  block->mapped = true;
  return block;
}

void UnmapBlock(CS3DataArena::Block* block) {
  // munmap of a whole mapping this process made fails only on invalid
  // arguments; there is nothing to undo if it did.
  (void)munmap(block, block->size);
}

void TrimBlockPool() {
  for (int i = 0; i < kPoolSizes; ++i) {
    while (blockPool.heads[i] != nullptr) {
      CS3DataArena::Block* next = blockPool.heads[i]->next;
      UnmapBlock(blockPool.heads[i]);
      blockPool.heads[i] = next;
    }
    blockPool.bytes[i] = 0;
  }
}

CS3DataArena::Block* AllocateBlock(size_t size) {
  int list = PoolList(size);
  if (list >= 0 && blockPool.heads[list] != nullptr) {
    CS3DataArena::Block* block = blockPool.heads[list];
    blockPool.heads[list] = block->next;
    blockPool.bytes[list] -= size;
    return block;
  }
  if (size >= kMapBlockSize) {
    CS3DataArena::Block* block = MapBlock(size);
    if (block != nullptr) return block;
    // Fall back to malloc: a failed mapping is only a missed optimisation.
  }
  CS3DataArena::Block* block = static_cast<CS3DataArena::Block*>(malloc(size));
  if (block != nullptr) block->mapped = false;
  return block;
}

void FreeBlock(CS3DataArena::Block* block) {
  if (!block->mapped) {
    free(block);
    return;
  }
  int list = PoolList(block->size);
  if (list < 0 || blockPool.closed || blockPool.bytes[list] + block->size > kPoolLimits[list]) {
    UnmapBlock(block);
    return;
  }
  // Constructed on the first pooled block of a thread; destroyed at its end.
  static thread_local BlockPoolGuard guard;
  (void)guard;
  block->next = blockPool.heads[list];
  blockPool.heads[list] = block;
  blockPool.bytes[list] += block->size;
}

}  // namespace

void* CS3DataArena::AllocateBlockFor(size_t n, size_t align) {
  if (n > SIZE_MAX / 2) return nullptr;
  size_t size = nextBlockSize_ == 0 ? kFirstBlockSize : nextBlockSize_;
  // Requests larger than a quarter block get a block of their own, so that the
  // rest of the current block is not wasted.
  bool dedicated = n + align > size / 4;
  if (dedicated) size = kBlockHeader + n + align;
  if (limit_ != 0 && (size > limit_ || held_ > limit_ - size)) return nullptr;
  Block* block = AllocateBlock(size);
  if (block == nullptr) return nullptr;
  block->next = blocks_;
  block->size = size;
  blocks_ = block;
  held_ += size;
  char* start = reinterpret_cast<char*>(block) + kBlockHeader;
  uintptr_t a = reinterpret_cast<uintptr_t>(start);
  a = (a + align - 1) & ~static_cast<uintptr_t>(align - 1);
  if (dedicated) return reinterpret_cast<void*>(a);
  if (nextBlockSize_ < kMaxBlockSize) nextBlockSize_ = size * 2;
  ptr_ = reinterpret_cast<char*>(a + n);
  end_ = reinterpret_cast<char*>(block) + size;
  return reinterpret_cast<void*>(a);
}

void CS3DataArena::Release() {
  while (blocks_ != nullptr) {
    Block* next = blocks_->next;
    FreeBlock(blocks_);
    blocks_ = next;
  }
  ptr_ = end_ = nullptr;
  nextBlockSize_ = 0;
  held_ = 0;
}

void CS3DataArena::TrimPool() {
  TrimBlockPool();
}

void CS3DataArena::Rewind(const Mark& mark) {
  while (blocks_ != nullptr && blocks_ != mark.blocks) {
    Block* next = blocks_->next;
    held_ -= blocks_->size;
    FreeBlock(blocks_);
    blocks_ = next;
  }
  ptr_ = mark.ptr;
  end_ = mark.end;
}
