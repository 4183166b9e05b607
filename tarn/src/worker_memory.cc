// The worker's memory: a list of pools, the first built at Init and never
// given back, extra ones added when chunks of some size run short and given
// back when idle.
#include <sstream>

#include "tarn/base/logging.h"
#include "tarn/base/time_cycle.h"
#include "tarn/memory_pool.h"
#include "tarn/worker.h"

namespace tarn {

namespace {

using PoolStat = std::map<uint64_t, std::pair<uint64_t, uint64_t>>;

// A size with this share of free chunks or less gets a new pool.
constexpr uint64_t kExtendFreePercent = 4;

}  // namespace

void Worker::ConstructMemPoolSizeMap(std::map<uint32_t, uint32_t>* size_map) const {
  size_map->clear();
  if (!option_.enable_memory_pool) return;
  (*size_map)[512] = 10240;
  (*size_map)[4096] = 10240;
  (*size_map)[8192] = 1024;
  (*size_map)[16384] = 1024;
  (*size_map)[32768] = 1024;
  (*size_map)[65536] = 1024;
  (*size_map)[262144] = 512;
  (*size_map)[option_.max_io_chunk_size] = option_.max_io_chunk_count;
  if (option_.enable_rdma) {
    const WorkerOption::RdmaOption& rdma = option_.rdma_option;
    uint32_t size = rdma.max_send_data_size + rdma.max_send_meta_size;
    (*size_map)[size] = rdma.recv_depth * (rdma.use_srq ? 2 : 10);
  }
}

bool Worker::CreateFirstMemoryPool() {
  std::map<uint32_t, uint32_t> size_map;
  ConstructMemPoolSizeMap(&size_map);
  MemoryPool* pool = new MemoryPool();
  if (!pool->Init(size_map)) {
    delete pool;
    LOG_ERROR << "memory pool init fail";
    return false;
  }
  mem_pools_.push_back(pool);
  return true;
}

void Worker::FreeAfterLoop(void* ptr) {
  std::lock_guard<std::mutex> lock(after_loop_mutex_);
  after_loop_frees_.push_back(ptr);
}

void Worker::ReleaseMemoryPools() {
  {
    std::lock_guard<std::mutex> lock(after_loop_mutex_);
    for (void* ptr : after_loop_frees_) {
      bool freed = false;
      for (MemoryPool* pool : mem_pools_) {
        if (pool->Free(ptr) == 0) {
          freed = true;
          break;
        }
      }
      if (!freed) LOG_ERROR << "this ptr does not belong to this worker, ptr: " << ptr;
    }
    after_loop_frees_.clear();
  }
  for (MemoryPool* pool : mem_pools_) {
    if (!pool->CheckIdleInner()) {
      LOG_ERROR << "memory pool of worker " << name_ << " still in use at destruction, base: "
                << pool->base_ptr() << ", left allocated";
      continue;
    }
    pool->Release();
    delete pool;
  }
  mem_pools_.clear();
}

void* Worker::Malloc(size_t len) {
  loop_->AssertInLoopThread();
  bool extended = false;
  if (mem_pools_.empty()) {
    ExtendMemoryPool();
    extended = true;
  }
  for (MemoryPool* pool : mem_pools_) {
    void* ptr = pool->Malloc(len);
    if (ptr != nullptr) return ptr;
  }
  if (!extended) {
    ExtendMemoryPool();
    for (MemoryPool* pool : mem_pools_) {
      void* ptr = pool->Malloc(len);
      if (ptr != nullptr) return ptr;
    }
  }
  LOG_ERROR << "malloc error, len: " << len;
  return nullptr;
}

void Worker::Free(void* ptr) {
  loop_->AssertInLoopThread();
  if (ptr == nullptr) {
    LOG_ERROR << "Free nullptr!";
    return;
  }
  for (MemoryPool* pool : mem_pools_) {
    if (pool->Free(ptr) == 0) return;
  }
  LOG_FATAL << "this ptr does not belong to this worker, ptr: " << ptr
            << ", worker: " << static_cast<const void*>(this);
}

void Worker::GetMemPoolStat(PoolStat* stat) {
  stat->clear();
  for (MemoryPool* pool : mem_pools_) {
    PoolStat one;
    pool->Report(&one);
    for (const auto& entry : one) {
      (*stat)[entry.first].first += entry.second.first;
      (*stat)[entry.first].second += entry.second.second;
    }
  }
}

std::string Worker::ReportMemPoolInfo() {
  PoolStat stat;
  GetMemPoolStat(&stat);
  std::ostringstream os;
  for (const auto& entry : stat) {
    os << "size:\t" << entry.first << ",\ttotal:\t" << entry.second.first << ",\tleft:\t"
       << entry.second.second << "\n";
  }
  return os.str();
}

void Worker::ExtendMemoryPool() {
  PoolStat stat;
  GetMemPoolStat(&stat);
  std::map<uint32_t, uint32_t> size_map;
  for (const auto& entry : stat) {
    uint64_t total = entry.second.first;
    uint64_t left = entry.second.second;
    if (total == 0 || left * 100 / total > kExtendFreePercent) continue;
    size_map[static_cast<uint32_t>(entry.first)] =
        static_cast<uint32_t>(total / mem_pools_.size());
  }
  if (size_map.empty()) return;

  LOG_INFO << "begin extent memory pool for worker: " << name_ << "\n memory pool info: \n"
           << ReportMemPoolInfo();
  MemoryPool* pool = new MemoryPool();
  if (!pool->Init(size_map)) {
    LOG_ERROR << "memory pool init fail";
    delete pool;
    return;
  }
  if (option_.enable_rdma && RegisterMr(pool->base_ptr(), pool->size()) != 0) {
    LOG_ERROR << "register mr error";
    pool->Release();
    delete pool;
    return;
  }
  mem_pools_.push_back(pool);
  LOG_INFO << "end extent memory pool for worker: " << name_ << "\n memory pool info: \n"
           << ReportMemPoolInfo();
}

void Worker::ShrinkMemoryPool() { ShrinkMemoryPool(plinth::rdtsc()); }

void Worker::ShrinkMemoryPool(uint64_t now_tsc) {
  // The first pool is never given back; at most one pool per call.
  size_t i = 1;
  for (; i < mem_pools_.size(); ++i) {
    if (mem_pools_[i]->CheckIdle(now_tsc)) break;
  }
  if (i >= mem_pools_.size()) return;
  MemoryPool* pool = mem_pools_[i];

  LOG_INFO << "begin shrink memory pool for worker: " << name_ << "\n memory pool info: \n"
           << ReportMemPoolInfo();
  if (option_.enable_rdma && UnregisterMr(pool->base_ptr(), pool->size()) != 0) {
    LOG_ERROR << "unregister mr error, ptr: " << pool->base_ptr();
    return;
  }
  pool->Release();
  delete pool;
  mem_pools_.erase(mem_pools_.begin() + static_cast<std::ptrdiff_t>(i));
  LOG_INFO << "end shrink memory pool for worker: " << name_ << "\n memory pool info: \n"
           << ReportMemPoolInfo();
}

}  // namespace tarn
