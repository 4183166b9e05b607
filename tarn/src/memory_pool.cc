#include "tarn/memory_pool.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "tarn/base/logging.h"
#include "tarn/base/time_cycle.h"
#include "tarn/polling/spdk_rte.h"
#include "spdk/env.h"

namespace tarn {

namespace {

// Whether the SPDK environment is up, so that pool memory must be DMA-safe.
// The flag is set by library start-up (or by a host that runs SPDK itself).
bool SpdkEnvUp() { return g_spdk_env_inited.load(std::memory_order_acquire); }

// Where pool memory comes from: DMA-safe SPDK memory (no physical address
// wanted, any socket) or ordinary aligned heap memory. A pool fixes its
// choice at Init so that every block goes back to the allocator it came from.
void* AllocAligned(uint64_t size, uint64_t align, bool dma) {
  if (dma) {
    void* p = spdk_zmalloc(size, align, nullptr, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA);
    if (p == nullptr) {
      if (errno == 0) errno = ENOMEM;
      LOG_SYSERR << "spdk malloc failed, pool_size: " << size;
    }
    return p;
  }
  void* p = nullptr;
  const int ret = posix_memalign(&p, align, size);
  if (ret != 0) {
    errno = ret;  // posix_memalign reports through its result, not errno
    LOG_SYSERR << "posix_memalign failed, pool_size: " << size;
    return nullptr;
  }
  return p;
}

void FreeAligned(void* p, bool dma) {
  if (dma) {
    spdk_free(p);
  } else {
    free(p);
  }
}

uint64_t RoundUp(uint64_t n, uint64_t align) { return (n + align - 1) / align * align; }

}  // namespace

MemoryPool::MemoryPool() : dma_(SpdkEnvUp()) {}

MemoryPool::~MemoryPool() {
  for (uint64_t addr : large_) FreeAligned(reinterpret_cast<void*>(addr), dma_);
  large_.clear();
  FreeTables();
}

void MemoryPool::FreeTables() {
  slabs_.clear();
  slab_starts_.clear();
  chunk_sizes_.clear();
  if (base_ != 0) FreeAligned(reinterpret_cast<void*>(base_), dma_);
  base_ = 0;
  size_ = 0;
}

bool MemoryPool::Init(const std::map<uint32_t, uint32_t>& sizeMap) {
  if (inited_) {
    LOG_ERROR << "memory pool has been inited, base: " << base_ptr();
    return false;
  }
  last_use_tsc_ = plinth::rdtsc();

  // (chunk size, chunk count, offset) of every slab to build.
  struct Plan {
    uint64_t size, count, offset;
  };
  std::vector<Plan> plans;
  uint64_t total = 0;
  for (const auto& [size, count] : sizeMap) {
    if (size == 0 || count == 0) {
      LOG_WARN << "skip empty slab, chunk_size: " << size << ", chunk_count: " << count;
      continue;
    }
    const uint64_t bytes = RoundUp(uint64_t{size} * count, kRegionAlign);
    constexpr uint64_t kMaxTotal = UINT64_MAX / 2;
    if (bytes > kMaxTotal || total > kMaxTotal - bytes) {
      LOG_ERROR << "memory pool size overflow, chunk_size: " << size << ", chunk_count: " << count;
      return false;
    }
    LOG_INFO << "[slab]chunk_size: " << size << ", chunk_count: " << count
             << ", slab_size: " << bytes;
    plans.push_back({size, count, total});
    total += bytes;
  }
  if (plans.empty()) {
    alignment_ = kSmallAlign;
    max_chunk_size_ = 0;
    inited_ = true;
    return true;
  }

  alignment_ = kRegionAlign;
  max_chunk_size_ = plans.back().size;
  LOG_INFO << "[pool]create memory pool, pool_size: " << total;
  void* region = AllocAligned(total, alignment_, dma_);
  if (region == nullptr) {
    max_chunk_size_ = 0;
    return false;
  }
  base_ = reinterpret_cast<uint64_t>(region);
  size_ = total;

  for (const Plan& plan : plans) {
    auto slab = MemorySlab::Make(base_ + plan.offset, plan.size, plan.count);
    if (!slab) {
      LOG_ERROR << "AddSlab failed, size: " << plan.size << ", count: " << plan.count;
      FreeTables();
      max_chunk_size_ = 0;
      return false;
    }
    slab_starts_.push_back(slab->base());
    chunk_sizes_.push_back(plan.size);
    slabs_.push_back(std::move(slab));
  }
  slab_starts_.push_back(base_ + size_);
  inited_ = true;
  return true;
}

void* MemoryPool::Malloc(size_t len) {
  if (!inited_) return nullptr;  // a pool whose Init failed serves nothing
  last_use_tsc_ = plinth::rdtsc();
  // A zero-length request still gets a real, distinct chunk of its own.
  if (len == 0) len = 1;

  if (len > max_chunk_size_) {
    void* p = AllocAligned(len, alignment_, dma_);
    if (p != nullptr) large_.insert(reinterpret_cast<uint64_t>(p));
    return p;
  }

  const size_t n = chunk_sizes_.size();
  size_t i = std::lower_bound(chunk_sizes_.begin(), chunk_sizes_.end(), len) - chunk_sizes_.begin();
  if (i >= n) return nullptr;
  if (void* p = slabs_[i]->Malloc()) return p;
  if (i + 1 < n) return slabs_[i + 1]->Malloc();
  return nullptr;
}

int MemoryPool::Free(void* ptr) {
  if (ptr == nullptr) return -1;
  if (InRegion(ptr)) {
    const uint64_t addr = reinterpret_cast<uint64_t>(ptr);
    // The last slab whose start is <= addr; the sentinel end is excluded.
    auto it = std::upper_bound(slab_starts_.begin(), slab_starts_.end() - 1, addr);
    MemorySlab* slab = slabs_[(it - slab_starts_.begin()) - 1].get();
    // Padding after a slab's chunks and addresses inside a chunk were never
    // handed out; taking them back would hand overlapping memory out later.
    if (slab->GetIndex(ptr) < 0) {
      LOG_ERROR << "free a ptr that is not a chunk of this pool, ptr: " << ptr;
      return -1;
    }
    if (!slab->Free(ptr)) {
      LOG_ERROR << "double free, every chunk is free, ptr: " << ptr;
      return -1;
    }
    return 0;
  }
  auto it = large_.find(reinterpret_cast<uint64_t>(ptr));
  if (it == large_.end()) return -1;
  large_.erase(it);
  FreeAligned(ptr, dma_);
  return 0;
}

bool MemoryPool::CheckIdleInner() const {
  if (!large_.empty()) return false;
  for (const auto& slab : slabs_) {
    if (!slab->AllFree()) return false;
  }
  return true;
}

bool MemoryPool::CheckIdle() const { return CheckIdle(plinth::rdtsc()); }

bool MemoryPool::CheckIdle(uint64_t nowTsc) const {
  if (!CheckIdleInner()) return false;
  // A clock reading from before the last use (another core's TSC, or a
  // caller's stale value) must not wrap into "idle for ages".
  if (nowTsc <= last_use_tsc_) return false;
  const uint64_t mhz = std::max<uint64_t>(plinth::TimeCycle::tsc_rate_mhz_, 1);
  return (nowTsc - last_use_tsc_) / mhz > idle_threshold_us_;
}

void MemoryPool::Release() {
  if (!CheckIdleInner()) {
    LOG_FATAL << "memory pool is not idle, cannot release";
    return;
  }
  FreeTables();
  max_chunk_size_ = 0;
  inited_ = false;
}

void MemoryPool::Report(ReportMap* out) const {
  for (const auto& slab : slabs_) {
    (*out)[slab->chunk_size()] = {slab->chunk_count(), slab->free_count()};
  }
}

}  // namespace tarn
