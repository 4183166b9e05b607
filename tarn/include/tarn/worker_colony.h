// A fixed set of workers on their own named, pinned threads, started and
// stopped together, with the policy that picks a worker for new work.
//
// Threads are named the option's name prefix followed by the worker index.
// Selection (any thread) waits until the colony has started; on a colony
// that has been stopped it returns null.
//
// Subclass constructors (EventWorkerColony, the polling colony) create the
// workers in index order.
#ifndef TARN_WORKER_COLONY_H_
#define TARN_WORKER_COLONY_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tarn/types.h"

namespace tarn {

class Worker;
class SpdkNvmeDevice;

class WorkerColony {
 public:
  enum SelectPolicy : uint32_t {
    kNextInTurn = 0,
    kFirstIdle = 1,
    kLeastLoaded = 2,
  };

  // A worker count of 0, or a core mask whose number of CPUs differs from the
  // worker count, ends the process. An RDMA option turns the memory pools on.
  WorkerColony(uint32_t worker_num, const WorkerOption& option);
  // Stops a colony still running, then deletes the workers.
  virtual ~WorkerColony();
  WorkerColony(const WorkerColony&) = delete;
  WorkerColony& operator=(const WorkerColony&) = delete;

  // Starts every worker's thread and returns once all are initialised:
  // true. When a worker cannot start (its Init failed, or its thread could
  // not be created), the others are stopped, the colony counts as stopped
  // and Start returns false after ERROR lines saying why.
  bool Start();
  // Stops and joins the workers in index order. Once only.
  void Stop();

  // By the option's policy: 0 next in turn, 1 first idle (least loaded when
  // none is idle), 2 least loaded (lowest index on ties). An unknown policy
  // is logged and treated as 0. Null when the colony has stopped.
  Worker* GetWorker();
  // Worker i; null (logged) when i is out of range or the colony stopped.
  Worker* GetWorker(uint32_t i);
  // Worker key mod count; null when the colony stopped.
  Worker* GetHashWorker(uint64_t key);
  const std::vector<Worker*>& GetAllWorkers() const { return workers_; }

  // Registers an SPDK NVMe device (before Start): once the SPDK environment
  // is up, Start hands every registered device to every worker, whose Init
  // gives it a queue pair. An id registered twice ends the process.
  void AddSpdkNvmeDevice(const std::shared_ptr<SpdkNvmeDevice>& dev);
  const std::map<uint32_t, std::shared_ptr<SpdkNvmeDevice>>& spdk_devs() const {
    return spdk_devs_;
  }

  uint32_t worker_num() const { return worker_num_; }
  const WorkerOption& option() const { return option_; }
  bool started() const { return state_.load() == kStarted; }

 protected:
  enum ColonyState : int { kBuilt = 0, kStarted = 1, kStopped = 2 };

  // Waits (yielding) until started; false, with an ERROR line, when the
  // colony has stopped.
  bool WaitStarted();
  Worker* GetNextWorker();
  Worker* GetEmptyWorker();
  Worker* GetLightestWorker();
  void ThreadBody(uint32_t i);

  uint32_t worker_num_;
  WorkerOption option_;
  std::atomic<int> state_{kBuilt};
  std::vector<Worker*> workers_;  // index order; filled by the subclass
  uint32_t next_ = 0;             // round-robin index, under mutex_
  // Registered SPDK NVMe devices by device id, handed to every worker.
  std::map<uint32_t, std::shared_ptr<SpdkNvmeDevice>> spdk_devs_;
  std::mutex mutex_;            // selection
  std::mutex lifecycle_mutex_;  // Start and Stop against each other
  std::vector<std::thread> threads_;
};

}  // namespace tarn

#endif  // TARN_WORKER_COLONY_H_
