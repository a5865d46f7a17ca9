#include <algorithm>
#include <cstddef>
#include <new>

#include "json/node.h"

namespace velmar::json::detail {

Arena* Arena::Create() {
  // The first chunk holds the arena itself, room for text and lists behind it, and a page of
  // nodes: a small reply needs nothing more.
  constexpr std::size_t kFirstChunk = 2 * kPageBytes;
  char* chunk = static_cast<char*>(::operator new (kFirstChunk, std::align_val_t{kPageBytes}));
  auto* head = reinterpret_cast<PageHead*>(chunk);
  auto* arena = new (chunk + sizeof(PageHead)) Arena();
  head->arena = arena;
  head->nextChunk = nullptr;
  head->chunkBytes = kFirstChunk;
  arena->next_ = reinterpret_cast<char*>(arena + 1);
  arena->left_ = static_cast<std::size_t>(chunk + kPageBytes - arena->next_);
  ASAN_POISON_MEMORY_REGION(arena->next_, kFirstChunk - (arena->next_ - chunk));
  arena->blockSize_ = 4096;
  arena->freePages_ = chunk + kPageBytes;
  arena->chunkEnd_ = chunk + kFirstChunk;
  arena->chunkBytes_ = kFirstChunk;
  return arena;
}

Arena::~Arena() {
  while (blocks_ != nullptr) {
    Block* next = blocks_->next;
    ASAN_UNPOISON_MEMORY_REGION(blocks_, blocks_->bytes);
    ::operator delete(blocks_);
    blocks_ = next;
  }
  while (chunks_ != nullptr) {
    PageHead* next = chunks_->nextChunk;
    ASAN_UNPOISON_MEMORY_REGION(chunks_, chunks_->chunkBytes);
    ::operator delete (chunks_, std::align_val_t{kPageBytes});
    chunks_ = next;
  }
}

void Arena::Destroy(Arena* arena) noexcept {
  // The first chunk, which holds the arena, goes last.
  char* first = reinterpret_cast<char*>(arena) - sizeof(PageHead);
  arena->~Arena();
  ASAN_UNPOISON_MEMORY_REGION(first, reinterpret_cast<PageHead*>(first)->chunkBytes);
  ::operator delete (first, std::align_val_t{kPageBytes});
}

void* Arena::NewBlock(std::size_t bytes) {
  auto* block = static_cast<Block*>(::operator new(sizeof(Block) + bytes));
  block->next = blocks_;
  block->bytes = sizeof(Block) + bytes;
  blocks_ = block;
  ASAN_POISON_MEMORY_REGION(block + 1, bytes);
  return block + 1;
}

void* Arena::AllocateSlow(std::size_t size, std::size_t used) {
  void* at;
  if (size >= blockSize_ / 2) {
    // Something as large as half a block has a block of its own; the current one stays open.
    at = NewBlock(size);
  } else {
    // Blocks double up to 1 MiB: a large reply takes a few large blocks, which the heap
    // learns to keep for the next one.
    next_ = static_cast<char*>(NewBlock(blockSize_));
    left_ = blockSize_;
    blockSize_ = std::min<std::size_t>(blockSize_ * 2, 1 << 20);
    at = next_;
    next_ += size;
    left_ -= size;
  }
  ASAN_UNPOISON_MEMORY_REGION(at, used);
  return at;
}

void Arena::NewNodePage() {
  if (freePages_ == chunkEnd_) {
    // Chunks double up to 1 MiB, like the blocks.
    chunkBytes_ = std::min<std::size_t>(chunkBytes_ * 2, 1 << 20);
    char* chunk = static_cast<char*>(::operator new (chunkBytes_, std::align_val_t{kPageBytes}));
    auto* head = reinterpret_cast<PageHead*>(chunk);
    head->nextChunk = chunks_;
    head->chunkBytes = chunkBytes_;
    chunks_ = head;
    freePages_ = chunk;
    chunkEnd_ = chunk + chunkBytes_;
    ASAN_POISON_MEMORY_REGION(chunk + sizeof(PageHead), chunkBytes_ - sizeof(PageHead));
  }
  auto* head = reinterpret_cast<PageHead*>(freePages_);
  ASAN_UNPOISON_MEMORY_REGION(head, sizeof(PageHead));
  head->arena = this;
  nodeNext_ = freePages_ + sizeof(PageHead);
  nodeLeft_ = kPageBytes - sizeof(PageHead);
  freePages_ += kPageBytes;
}

void Arena::Seal() noexcept {
  Release(kParserHold - created_);
}

void Arena::Release(std::int64_t count) noexcept {
  if (live_.fetch_sub(count, std::memory_order_acq_rel) == count) Destroy(this);
}

}  // namespace velmar::json::detail
