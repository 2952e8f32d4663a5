// Record pools: chunks of 2 MiB aligned to 2 MiB, so that each can be one huge page.
#include "RecPool.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <new>

#include "UCommon.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define RECPOOL_PASS_THROUGH 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RECPOOL_PASS_THROUGH 1
#endif
#endif
#ifndef RECPOOL_PASS_THROUGH
#define RECPOOL_PASS_THROUGH 0
#endif

void RecPool_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "RecPool");
  if (!init) return;
  UCommon_Init();
}

namespace {

// A free record holds the link to the next one, so it is never smaller than a pointer.
std::size_t Rounded(std::size_t n, std::size_t alignment) {
  alignment = std::max(alignment, alignof(void*));
  n = std::max(n, sizeof(void*));
  return (n + alignment - 1) / alignment * alignment;
}

}  // namespace

RecPool::RecPool(std::size_t recordSize, std::size_t alignment)
    : size_(Rounded(recordSize, alignment)) {}

RecPool::~RecPool() {
  for (void* chunk : chunks_) std::free(chunk);
}

bool RecPool::NewChunk() {
  void* chunk = std::aligned_alloc(kChunkBytes, kChunkBytes);
  if (chunk == nullptr) return false;
  try {
    chunks_.push_back(chunk);
  } catch (const std::bad_alloc&) {
    std::free(chunk);
    return false;
  }
  // Only advice: where the system has no huge pages the chunk is paged as usual.
  ::madvise(chunk, kChunkBytes, MADV_HUGEPAGE);
  next_ = static_cast<char*>(chunk);
  end_ = next_ + kChunkBytes / size_ * size_;
  return true;
}

void* RecPool::Take() {
  if (RECPOOL_PASS_THROUGH) {
    void* p = std::malloc(size_);
    if (p != nullptr) ++inUse_;
    return p;
  }
  void* p = nullptr;
  if (free_ != nullptr) {
    p = free_;
    free_ = free_->next;
  } else {
    if (next_ == end_ && !NewChunk()) return nullptr;
    p = next_;
    next_ += size_;
  }
  ++inUse_;
  return p;
}

void RecPool::Give(void* record) {
  if (record == nullptr) return;
  --inUse_;
  if (RECPOOL_PASS_THROUGH) {
    std::free(record);
    return;
  }
  auto* f = static_cast<FreeRecord*>(record);
  f->next = free_;
  free_ = f;
}
