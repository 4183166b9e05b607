// The blocks of one simulated disk, in memory, within the cluster's memory
// budget.
//
// Sparse: a 4 KiB block takes memory once it is first written. Blocks are
// grouped in chunks of 256 (1 MiB of the disk); each chunk has its own mutex,
// held while bytes are copied in or out, so reads and writes of different
// megabytes never meet and a block is never read half written.
//
// A chunk's blocks lie in one mapping of 1 MiB made at its first write, of
// which the kernel gives memory to the pages written only: a written block
// costs its 4 KiB and its page-table entry, whatever the writes' sizes and
// threads (blocks from the allocator, one by one, cost 4 to 12 % more, as
// freed I/O buffers of many threads scatter them).
#ifndef PYXSIM_BLOCK_STORE_H_
#define PYXSIM_BLOCK_STORE_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace pyxsim {

// Bytes of written blocks that the disks of one cluster may hold together,
// so that a cluster asked to store more than the machine has refuses the
// writes instead of growing until the kernel's out-of-memory killer picks a
// process. Thread-safe.
class MemoryBudget {
 public:
  // 0: no bound.
  explicit MemoryBudget(uint64_t limit) : limit_(limit) {}
  // Takes `bytes` of the budget; false (nothing taken) when they would pass it.
  bool Take(uint64_t bytes);
  void Give(uint64_t bytes) { used_.fetch_sub(bytes, std::memory_order_relaxed); }
  uint64_t limit() const { return limit_; }
  uint64_t used() const { return used_.load(std::memory_order_relaxed); }

 private:
  const uint64_t limit_;
  std::atomic<uint64_t> used_{0};
};

class BlockStore {
 public:
  static constexpr uint64_t kBlocksPerChunk = 256;

  // `budget` (not owned, may be null: no bound) outlives the store.
  BlockStore(uint64_t size, MemoryBudget* budget);
  ~BlockStore();
  BlockStore(const BlockStore&) = delete;
  BlockStore& operator=(const BlockStore&) = delete;

  uint64_t size() const { return size_; }

  // offset and len multiples of 4 KiB, inside the disk (the caller checks).
  // False when the blocks it would add pass the budget: nothing of the
  // megabyte (chunk) where that happens is stored, the range's earlier
  // megabytes may be (as a failed write may or may not leave its data).
  bool Write(uint64_t offset, const char* data, uint64_t len);
  // Copies [offset, offset + len) into out, zeros for blocks never written;
  // returns how many blocks of the range were written. offset and len
  // multiples of 4 KiB, inside the disk.
  uint64_t Read(uint64_t offset, uint64_t len, char* out) const;
  uint64_t written_blocks() const { return written_.load(std::memory_order_relaxed); }

 private:
  struct Chunk {
    ~Chunk();
    bool Has(uint64_t i) const { return (written[i / 64] >> (i % 64)) & 1; }
    std::mutex mutex;
    char* blocks = nullptr;  // kBlocksPerChunk blocks, mapped at the first write
    uint64_t written[kBlocksPerChunk / 64] = {};
  };

  Chunk* GetChunk(uint64_t index) const;
  Chunk* GetOrMakeChunk(uint64_t index);

  uint64_t size_;
  MemoryBudget* budget_;
  uint64_t chunk_count_;
  std::unique_ptr<std::atomic<Chunk*>[]> chunks_;
  std::atomic<uint64_t> written_{0};
};

}  // namespace pyxsim

#endif  // PYXSIM_BLOCK_STORE_H_
