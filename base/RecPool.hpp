// Pools of equal-sized records for structures that hold millions of small records: the
// entries of file lists and the descriptors of dynamic strings. Taking and giving back a
// record is a pointer move; records are carved from large chunks, so a list of a
// million entries costs a few hundred chunk allocations instead of a million, and the
// chunks are offered to the system as huge pages, which keeps the page faults of a large
// fresh list to a few dozen.
//
// Memory given back stays with the pool for the next records of the same size (it is
// returned to the system only when the pool is destroyed). Pools are not shared between
// threads. In builds with AddressSanitizer every record is its own allocation, so the
// sanitizer still sees leaks and uses after give-back of single records.
#pragma once

#include <cstddef>
#include <vector>

void RecPool_Init();

class RecPool {
 public:
  // Records of recordSize bytes, aligned to alignment (a power of two; recordSize is
  // rounded up to a multiple of it).
  explicit RecPool(std::size_t recordSize, std::size_t alignment = alignof(std::max_align_t));
  ~RecPool();
  RecPool(const RecPool&) = delete;
  RecPool& operator=(const RecPool&) = delete;

  // An uninitialised record; nullptr when no memory is left.
  void* Take();
  // Gives back a record of this pool (nullptr is ignored).
  void Give(void* record);

  std::size_t RecordSize() const { return size_; }
  // Records taken and not given back.
  std::size_t InUse() const { return inUse_; }
  // Bytes held from the system in chunks.
  std::size_t ChunkBytes() const { return chunks_.size() * kChunkBytes; }

  static constexpr std::size_t kChunkBytes = std::size_t{2} << 20;

 private:
  struct FreeRecord {
    FreeRecord* next;
  };
  bool NewChunk();

  std::size_t size_;
  std::size_t inUse_ = 0;
  FreeRecord* free_ = nullptr;  // given back, taken first
  char* next_ = nullptr;        // never-used room of the newest chunk
  char* end_ = nullptr;
  std::vector<void*> chunks_;
};
