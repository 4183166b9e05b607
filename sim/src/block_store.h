// The blocks of one simulated disk, in memory.
//
// Sparse: a 4 KiB block takes memory once it is first written. Blocks are
// grouped in chunks of 256 (1 MiB of the disk); each chunk has its own mutex,
// held while bytes are copied in or out, so reads and writes of different
// megabytes never meet and a block is never read half written.
#ifndef PYXSIM_BLOCK_STORE_H_
#define PYXSIM_BLOCK_STORE_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace pyxsim {

class BlockStore {
 public:
  static constexpr uint64_t kBlocksPerChunk = 256;

  explicit BlockStore(uint64_t size);
  ~BlockStore();
  BlockStore(const BlockStore&) = delete;
  BlockStore& operator=(const BlockStore&) = delete;

  uint64_t size() const { return size_; }

  // offset and len multiples of 4 KiB, inside the disk (the caller checks).
  void Write(uint64_t offset, const char* data, uint64_t len);
  // Copies [offset, offset + len) into out, zeros for blocks never written;
  // returns how many blocks of the range were written. offset and len
  // multiples of 4 KiB, inside the disk.
  uint64_t Read(uint64_t offset, uint64_t len, char* out) const;
  uint64_t written_blocks() const { return written_.load(std::memory_order_relaxed); }

 private:
  struct Chunk {
    std::mutex mutex;
    char* blocks[kBlocksPerChunk] = {};
  };

  Chunk* GetChunk(uint64_t index) const;
  Chunk* GetOrMakeChunk(uint64_t index);

  uint64_t size_;
  uint64_t chunk_count_;
  std::unique_ptr<std::atomic<Chunk*>[]> chunks_;
  std::atomic<uint64_t> written_{0};
};

}  // namespace pyxsim

#endif  // PYXSIM_BLOCK_STORE_H_
