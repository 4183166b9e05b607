// The engine of one worker thread: its loop, its memory pools, the object-pool
// statistics and a load counter used to place new connections.
//
// A worker belongs to exactly one thread for its whole life. Init() runs on
// that thread (making it the loop's thread), Start(name) runs the loop there
// until Stop() is asked from any thread. Everything but the state, the load
// and Stop() is touched only on the worker's own thread.
//
// Subclasses: EventWorker (TCP, libevent) and the polling worker (RDMA).
#ifndef TARN_WORKER_H_
#define TARN_WORKER_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tarn/loop.h"
#include "tarn/types.h"
#include "tarn/worker_life.h"

namespace tarn {

class MemoryPool;
class SpdkNvmeDevice;
class Worker;
struct ThreadUtilMetric;

// The worker of the calling thread; set by the worker's Init.
extern thread_local Worker* tl_worker;

class Worker {
 public:
  enum State : uint32_t {
    kNew = 0,
    kInited = 1,    // Init done on its own thread
    kRunning = 2,   // inside Start
    kStopping = 4,  // Stop asked
    kFailed = 8,    // Init failed; the worker's thread has ended
  };

  Worker(uint32_t index, const WorkerOption& option, const Loop::UserHandleFactory& create);
  virtual ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // On the worker's own thread: pins it, builds the loop and the first pool.
  // 0, or -1 after an ERROR line when the machine cannot give the worker
  // what it needs (a loop's descriptors, pool memory, an RDMA device); the
  // worker is then only fit to be destroyed.
  virtual int Init() = 0;
  // On the worker's own thread after Init: names the thread and runs the loop
  // until Stop().
  virtual void Start(const std::string& name) = 0;
  // Any thread: asks the loop to end.
  virtual void Stop() = 0;
  // On the worker's own thread, before Init: takes the name and gives it to
  // the thread, so that whoever waits for the start finds it named.
  void TakeName(const std::string& name);
  // Memory registration for RDMA; 0 on success. TCP workers do nothing.
  virtual int GetMrKey(void* addr, uint32_t* lkey, uint32_t* rkey) = 0;
  virtual int RegisterMr(void* addr, size_t len) = 0;
  virtual int UnregisterMr(void* addr, size_t len) = 0;

  // State: InitDone marks the worker initialised and wakes the waiters;
  // InitFailed marks a failed Init and wakes them too.
  void InitDone();
  void InitFailed();
  // True from Init done on (also while running and stopping), never after a
  // failed Init.
  bool IsInited();
  // Blocks while the worker is new.
  void WaitForInited();
  uint32_t state();

  // Worker memory, on the worker's thread only (asserted). Malloc returns
  // null when no pool can serve `len` even after one extension. Free of a
  // pointer that is not this worker's ends the process.
  void* Malloc(size_t len);
  void Free(void* ptr);
  // Any thread, once the worker's loop has ended (it refuses tasks): ptr,
  // this worker's memory that nothing uses any more, goes back to its pool
  // when the worker is destroyed, after its thread.
  void FreeAfterLoop(void* ptr);
  // Adds a pool for the chunk sizes that run short (4 % or less free).
  void ExtendMemoryPool();
  // Gives back at most one idle extra pool (never the first), judging
  // idleness at TSC time `now_tsc` (the no-argument form reads the TSC).
  void ShrinkMemoryPool();
  void ShrinkMemoryPool(uint64_t now_tsc);
  // Chunk size -> (total chunks, free chunks) over all pools.
  void GetMemPoolStat(std::map<uint64_t, std::pair<uint64_t, uint64_t>>* stat);
  std::string ReportMemPoolInfo();
  // The pool size map built from the option (empty when pools are off).
  void ConstructMemPoolSizeMap(std::map<uint32_t, uint32_t>* size_map) const;
  size_t mem_pool_num() const { return mem_pools_.size(); }
  // Pool i of the list (the first is built at Init); for tools and tests.
  MemoryPool* mem_pool(size_t i) const { return i < mem_pools_.size() ? mem_pools_[i] : nullptr; }

  // Registers an SPDK NVMe device under its id before the worker's Init
  // (the colony hands its devices over here); an id registered twice ends
  // the process.
  void AddSpdkNvmeDevice(const std::shared_ptr<SpdkNvmeDevice>& dev);
  const std::map<uint32_t, std::shared_ptr<SpdkNvmeDevice>>& spdk_devs() const {
    return spdk_devs_;
  }

  // Object-pool statistics, reported by the pools' owners.
  void AddObjPoolInfo(const std::string& name, int total, int left);
  std::string ReportObjPoolInfo();
  // INFO lines with the memory-pool and object-pool reports.
  void Report();
  // Turns the busy and idle cycle sums into the thread utilisation.
  void ReportThreadUtil();

  // Cycle accounting around every event handler: the time since the last
  // handler is idle, the handler's own time is busy.
  void AddIdleCycles(uint64_t cycles) { idle_cycles_ += cycles; }
  void AddBusyCycles(uint64_t cycles) { busy_cycles_ += cycles; }
  uint64_t last_tsc() const { return last_tsc_; }
  void set_last_tsc(uint64_t tsc) { last_tsc_ = tsc; }
  uint64_t thread_util() const { return thread_util_value_; }

  // Connections placed on this worker; read without locks by selection.
  int load() const { return load_.load(std::memory_order_relaxed); }
  void IncreaseLoad(int n = 1) { load_.fetch_add(n, std::memory_order_relaxed); }
  void DecreaseLoad(int n = 1) { load_.fetch_sub(n, std::memory_order_relaxed); }

  // Any thread, while the worker is alive: its life, which tells watchers
  // when the worker goes (tarn/worker_life.h) and outlives it.
  const std::shared_ptr<WorkerLife>& life() const { return life_; }

  Loop* loop() const { return loop_; }
  uint32_t index() const { return index_; }
  const std::string& name() const { return name_; }
  const WorkerOption& option() const { return option_; }

 protected:
  // Sets the state and wakes the waiters.
  void SetState(uint32_t state);
  // Subclass Init: pins the thread to the option's core mask (by index) or,
  // with no mask, to the NUMA node; a failure is logged, not fatal.
  void PinThread();
  // Subclass Init: makes `this` the thread's worker; FATAL when the thread
  // already has one.
  void BindToThread();
  // Subclass Init: adopts `loop` as the worker's loop and initialises it;
  // FATAL on failure.
  // False after an ERROR line when the loop cannot start (it stays, for
  // the destructor).
  bool InitLoop(Loop* loop);
  // Subclass Start, once the checks pass: takes the name (see TakeName),
  // marks the worker running and names its metric with metrics on.
  void EnterRunning(const std::string& name);
  // Subclass Init: builds the first memory pool from the option; FATAL on
  // failure.
  bool CreateFirstMemoryPool();
  // Subclass destructor: releases and deletes every pool. A pool whose
  // memory is still handed out is logged and left allocated, since late
  // users may still touch it.
  void ReleaseMemoryPools();
  // Subclass Start with metrics on: exposes "tarn_<name>_thread_util".
  void EnableThreadUtilMetric();
  // Subclass Init: the periodic shrink, and the reports with metrics on.
  void ScheduleReports();
  // Subclass destructor, first: the worker's watchers learn it is going
  // while its loop, memory and device are still whole.
  void EndLife() { life_->End(); }

  std::string name_;
  uint32_t index_;
  uint32_t state_ = kNew;  // under mutex_
  Loop::UserHandleFactory create_user_handle_;
  WorkerOption option_;
  std::atomic<int> load_{0};
  std::mutex mutex_;
  std::condition_variable cond_;
  Loop* loop_ = nullptr;
  std::vector<MemoryPool*> mem_pools_;
  // FreeAfterLoop's pointers, freed by ReleaseMemoryPools.
  std::mutex after_loop_mutex_;
  std::vector<void*> after_loop_frees_;
  std::unordered_map<std::string, std::pair<int, int>> obj_pool_info_;
  // SPDK NVMe devices handed to this worker, by device id.
  std::map<uint32_t, std::shared_ptr<SpdkNvmeDevice>> spdk_devs_;
  ThreadUtilMetric* thread_util_ = nullptr;  // with metrics on
  uint64_t thread_util_value_ = 0;
  uint64_t idle_cycles_ = 0;
  uint64_t busy_cycles_ = 0;
  uint64_t last_tsc_ = 0;
  const std::shared_ptr<WorkerLife> life_ = std::make_shared<WorkerLife>();
};

// Accounts one event handler's run to its worker: construct on entry,
// destroy on exit. A loop without a worker (nullptr) accounts nothing.
class CycleScope {
 public:
  explicit CycleScope(Worker* worker);
  ~CycleScope();
  CycleScope(const CycleScope&) = delete;
  CycleScope& operator=(const CycleScope&) = delete;

 private:
  Worker* worker_;
  uint64_t enter_;
};

}  // namespace tarn

#endif  // TARN_WORKER_H_
