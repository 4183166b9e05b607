#include "tarn/worker_colony.h"

#include <sched.h>

#include <string>
#include <system_error>

#include "tarn/base/logging.h"
#include "tarn/polling/spdk_nvme_device.h"
#include "tarn/polling/spdk_rte.h"
#include "tarn/utils.h"
#include "tarn/worker.h"

namespace tarn {

WorkerColony::WorkerColony(uint32_t worker_num, const WorkerOption& option)
    : worker_num_(worker_num), option_(option) {
  if (worker_num_ == 0) LOG_FATAL << "worker_num should not be 0!";
  if (!option_.core_mask.empty() &&
      GetNumCores(option_.core_mask) != static_cast<int>(worker_num_)) {
    LOG_FATAL << "core binding must match worker num, worker_num: " << worker_num_
              << ", core_mask: " << option_.core_mask;
  }
  // RDMA needs registered pool memory.
  if (option_.enable_rdma) option_.enable_memory_pool = 1;
  workers_.reserve(worker_num_);
  threads_.resize(worker_num_);
}

WorkerColony::~WorkerColony() {
  if (state_.load() == kStarted) Stop();
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
  for (Worker* worker : workers_) delete worker;
  workers_.clear();
}

void WorkerColony::ThreadBody(uint32_t i) {
  Worker* worker = workers_[i];
  const std::string name = option_.name_prefix + std::to_string(i);
  // Named before Start returns: a colony counts as started once every worker
  // is initialised, before any of them runs.
  worker->TakeName(name);
  if (worker->Init() != 0) {
    LOG_ERROR << "worker " << name << " failed to start";
    worker->InitFailed();
    return;
  }
  worker->InitDone();
  worker->Start(name);
}

bool WorkerColony::Start() {
  std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
  int state = state_.load();
  if (state == kStarted) {
    LOG_WARN << "worker colony has been started";
    return true;
  }
  if (state == kStopped) {
    LOG_ERROR << "worker colony has been stopped, cannot start again";
    return false;
  }
  bool ok = true;
  uint32_t launched = 0;
  for (; launched < workers_.size(); ++launched) {
    const uint32_t i = launched;
    if (workers_[i]->IsInited()) {
      LOG_WARN << "worker has been Inited, worker id: " << i;
      continue;
    }
    if (g_spdk_env_inited.load() && !spdk_devs_.empty()) {
      for (const auto& entry : spdk_devs_) workers_[i]->AddSpdkNvmeDevice(entry.second);
    }
    try {
      threads_[i] = std::thread(&WorkerColony::ThreadBody, this, i);
    } catch (const std::system_error& e) {
      LOG_ERROR << "cannot create the thread of worker " << i << ": " << e.what();
      ok = false;
      break;
    }
  }
  for (uint32_t i = 0; i < launched; ++i) {
    workers_[i]->WaitForInited();
    if (workers_[i]->state() == Worker::kFailed) ok = false;
  }
  if (ok) {
    state_.store(kStarted, std::memory_order_seq_cst);
    return true;
  }
  // A colony that cannot have every worker has none: the ones that came up
  // stop, and the colony counts as stopped.
  for (uint32_t i = 0; i < launched; ++i) {
    if (workers_[i]->state() != Worker::kFailed) workers_[i]->Stop();
    if (threads_[i].joinable()) threads_[i].join();
  }
  state_.store(kStopped, std::memory_order_seq_cst);
  LOG_ERROR << "worker colony " << option_.name_prefix << " failed to start";
  return false;
}

void WorkerColony::Stop() {
  std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
  if (state_.load() == kStopped) {
    LOG_WARN << "worker colony has been stopped";
    return;
  }
  for (uint32_t i = 0; i < workers_.size(); ++i) {
    workers_[i]->Stop();
    if (threads_[i].joinable()) threads_[i].join();
  }
  state_.store(kStopped, std::memory_order_seq_cst);
}

void WorkerColony::AddSpdkNvmeDevice(const std::shared_ptr<SpdkNvmeDevice>& dev) {
  std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
  if (state_.load() != kBuilt) {
    LOG_WARN << "worker colony has been started, spdk dev not handed to workers, dev_id: "
             << dev->dev_id();
  }
  if (!spdk_devs_.emplace(dev->dev_id(), dev).second) {
    LOG_FATAL << "this dev id has added, dev_id: " << dev->dev_id();
  }
}

bool WorkerColony::WaitStarted() {
  for (;;) {
    int state = state_.load(std::memory_order_acquire);
    if (state == kStarted) return true;
    if (state == kStopped) {
      LOG_ERROR << "worker colony has been stopped, no worker to select";
      return false;
    }
    sched_yield();
  }
}

Worker* WorkerColony::GetWorker() {
  if (!WaitStarted()) return nullptr;
  switch (option_.select_policy) {
    case kNextInTurn:
      return GetNextWorker();
    case kFirstIdle:
      return GetEmptyWorker();
    case kLeastLoaded:
      return GetLightestWorker();
    default:
      LOG_ERROR << "unknown worker select policy: " << option_.select_policy
                << ", next worker in turn used";
      return GetNextWorker();
  }
}

Worker* WorkerColony::GetWorker(uint32_t i) {
  if (!WaitStarted()) return nullptr;
  if (i >= workers_.size()) {
    LOG_ERROR << "worker index out of range: " << i << ", worker_num: " << workers_.size();
    return nullptr;
  }
  return workers_[i];
}

Worker* WorkerColony::GetHashWorker(uint64_t key) {
  if (!WaitStarted() || workers_.empty()) return nullptr;
  return workers_[key % workers_.size()];
}

Worker* WorkerColony::GetNextWorker() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (workers_.empty()) return nullptr;
  Worker* worker = workers_[next_];
  next_ = (next_ + 1 == workers_.size()) ? 0 : next_ + 1;
  return worker;
}

namespace {

Worker* Lightest(const std::vector<Worker*>& workers) {
  Worker* best = nullptr;
  for (Worker* worker : workers) {
    if (best == nullptr || worker->load() < best->load()) best = worker;
  }
  return best;
}

}  // namespace

Worker* WorkerColony::GetEmptyWorker() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (uint32_t i = 0; i < workers_.size(); ++i) {
    if (workers_[i]->load() == 0) {
      LOG_INFO << "loop index: " << i << " will be used";
      return workers_[i];
    }
  }
  // Nobody idle: callers need a worker, so place the work where it weighs
  // least.
  return Lightest(workers_);
}

Worker* WorkerColony::GetLightestWorker() {
  std::lock_guard<std::mutex> lock(mutex_);
  return Lightest(workers_);
}

}  // namespace tarn
