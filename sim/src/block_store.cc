#include "block_store.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

#include "pyxsim/cluster.h"

namespace pyxsim {

namespace {
constexpr uint64_t kChunkBytes = BlockStore::kBlocksPerChunk * kBlockSize;

// A chunk's blocks: address space only until pages are written. Huge pages
// would give a 2 MiB page to one written block.
char* MapChunk() {
  void* p = mmap(nullptr, kChunkBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS |
                 MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  madvise(p, kChunkBytes, MADV_NOHUGEPAGE);
  return static_cast<char*>(p);
}
}  // namespace

BlockStore::Chunk::~Chunk() {
  if (blocks != nullptr) munmap(blocks, kChunkBytes);
}

bool MemoryBudget::Take(uint64_t bytes) {
  if (limit_ == 0) {
    used_.fetch_add(bytes, std::memory_order_relaxed);
    return true;
  }
  uint64_t cur = used_.load(std::memory_order_relaxed);
  do {
    if (bytes > limit_ - std::min(cur, limit_)) return false;
  } while (!used_.compare_exchange_weak(cur, cur + bytes, std::memory_order_relaxed));
  return true;
}

BlockStore::BlockStore(uint64_t size, MemoryBudget* budget)
    : size_(size),
      budget_(budget),
      chunk_count_((size + kChunkBytes - 1) / kChunkBytes),
      chunks_(new std::atomic<Chunk*>[chunk_count_]) {
  for (uint64_t i = 0; i < chunk_count_; ++i) chunks_[i].store(nullptr, std::memory_order_relaxed);
}

BlockStore::~BlockStore() {
  if (budget_ != nullptr) budget_->Give(written_.load(std::memory_order_relaxed) * kBlockSize);
  for (uint64_t i = 0; i < chunk_count_; ++i) {
    delete chunks_[i].load(std::memory_order_relaxed);
  }
}

BlockStore::Chunk* BlockStore::GetChunk(uint64_t index) const {
  return chunks_[index].load(std::memory_order_acquire);
}

BlockStore::Chunk* BlockStore::GetOrMakeChunk(uint64_t index) {
  Chunk* chunk = GetChunk(index);
  if (chunk != nullptr) return chunk;
  Chunk* fresh = new Chunk;
  if (chunks_[index].compare_exchange_strong(chunk, fresh, std::memory_order_acq_rel)) {
    return fresh;
  }
  delete fresh;  // another writer made it first; chunk holds theirs
  return chunk;
}

bool BlockStore::Write(uint64_t offset, const char* data, uint64_t len) {
  uint64_t block = offset / kBlockSize;
  const uint64_t end = (offset + len) / kBlockSize;
  while (block < end) {
    const uint64_t index = block / kBlocksPerChunk;
    const uint64_t stop = std::min(end, (index + 1) * kBlocksPerChunk);
    Chunk* chunk = GetOrMakeChunk(index);
    uint64_t fresh = 0;
    {
      std::lock_guard<std::mutex> lock(chunk->mutex);
      // The blocks this chunk's part adds, taken from the budget under the
      // chunk's lock, so that no other writer adds them meanwhile.
      if (budget_ != nullptr) {
        uint64_t absent = 0;
        for (uint64_t b = block; b < stop; ++b) absent += !chunk->Has(b % kBlocksPerChunk);
        if (absent != 0 && !budget_->Take(absent * kBlockSize)) return false;
        // Address space the system will not give fails the write as a
        // spent budget does.
        if (chunk->blocks == nullptr && (chunk->blocks = MapChunk()) == nullptr) {
          budget_->Give(absent * kBlockSize);
          return false;
        }
      } else if (chunk->blocks == nullptr && (chunk->blocks = MapChunk()) == nullptr) {
        return false;
      }
      for (; block < stop; ++block, data += kBlockSize) {
        const uint64_t i = block % kBlocksPerChunk;
        if (!chunk->Has(i)) {
          chunk->written[i / 64] |= uint64_t{1} << (i % 64);
          ++fresh;
        }
        memcpy(chunk->blocks + i * kBlockSize, data, kBlockSize);
      }
    }
    if (fresh != 0) written_.fetch_add(fresh, std::memory_order_relaxed);
  }
  return true;
}

uint64_t BlockStore::Read(uint64_t offset, uint64_t len, char* out) const {
  uint64_t block = offset / kBlockSize;
  const uint64_t end = (offset + len) / kBlockSize;
  uint64_t found = 0;
  while (block < end) {
    const uint64_t index = block / kBlocksPerChunk;
    const uint64_t stop = std::min(end, (index + 1) * kBlocksPerChunk);
    Chunk* chunk = GetChunk(index);
    if (chunk == nullptr) {
      memset(out, 0, (stop - block) * kBlockSize);
      out += (stop - block) * kBlockSize;
      block = stop;
      continue;
    }
    std::lock_guard<std::mutex> lock(chunk->mutex);
    for (; block < stop; ++block, out += kBlockSize) {
      const uint64_t i = block % kBlocksPerChunk;
      if (!chunk->Has(i)) {
        memset(out, 0, kBlockSize);
      } else {
        memcpy(out, chunk->blocks + i * kBlockSize, kBlockSize);
        ++found;
      }
    }
  }
  return found;
}

}  // namespace pyxsim
