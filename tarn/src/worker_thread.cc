#include "tarn/worker_thread.h"

#include "tarn/base/logging.h"
#include "tarn/event/event_worker.h"
#include "tarn/polling/polling_worker.h"

namespace tarn {

WorkerThread::WorkerThread(const std::string& name, const Loop::UserHandleFactory& create,
                           const WorkerOption& option, bool polling)
    : name_(name), create_(create), option_(option), polling_(polling) {}

WorkerThread::~WorkerThread() {
  if (thread_.joinable()) Stop();
  delete worker_;
}

Worker* WorkerThread::Start() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (worker_ != nullptr) LOG_FATAL << "worker has been started";
    // A start that failed before leaves no trace on this one.
    failed_ = false;
  }
  thread_ = std::thread(&WorkerThread::ThreadBody, this);
  std::unique_lock<std::mutex> lock(mutex_);
  cond_.wait(lock, [this] { return worker_ != nullptr || failed_; });
  if (failed_) {
    lock.unlock();
    thread_.join();
    return nullptr;
  }
  return worker_;
}

void WorkerThread::ThreadBody() {
  Worker* worker = polling_ ? static_cast<Worker*>(new PollingWorker(0, create_, option_))
                            : new EventWorker(0, option_, create_);
  worker->TakeName(name_);
  if (worker->Init() != 0) {
    LOG_ERROR << "worker " << name_ << " failed to start";
    worker->InitFailed();
    delete worker;
    std::lock_guard<std::mutex> lock(mutex_);
    failed_ = true;
    cond_.notify_all();
    return;
  }
  worker->InitDone();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    worker_ = worker;
    cond_.notify_all();
  }
  worker->Start(name_);
}

void WorkerThread::Stop() {
  Worker* worker;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    worker = worker_;
  }
  if (worker != nullptr) worker->Stop();
  if (thread_.joinable()) thread_.join();
}

}  // namespace tarn
