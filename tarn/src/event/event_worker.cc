#include "tarn/event/event_worker.h"

#include <sys/prctl.h>

#include "tarn/base/current_thread.h"
#include "tarn/base/logging.h"
#include "tarn/utils.h"

namespace tarn {

EventWorker::EventWorker(uint32_t index, const WorkerOption& option,
                         const Loop::UserHandleFactory& create)
    : Worker(index, option, create) {}

EventWorker::~EventWorker() {
  delete loop_;
  loop_ = nullptr;
  ReleaseMemoryPools();
}

EventLoop* EventWorker::event_loop() const { return static_cast<EventLoop*>(loop_); }

int EventWorker::Init() {
  if (IsInited() || loop_ != nullptr) LOG_FATAL << "worker has been inited";
  int pinned = option_.core_mask.empty() ? AffinitizeThread(g_numa_id)
                                          : AffinitizeThread(option_.core_mask, index_);
  if (pinned != 0) {
    LOG_ERROR << "pin worker thread failed, worker index: " << index_
              << ", core_mask: " << option_.core_mask << ", numa id: " << g_numa_id
              << ", ret: " << pinned;
  }
  BindToThread();
  CreateFirstMemoryPool();
  EventLoop* loop = new EventLoop(this, create_user_handle_);
  loop_ = loop;
  if (loop->Init() != 0) LOG_FATAL << "loop init fail";
  LOG_INFO << "loop init in worker: " << static_cast<const void*>(this)
           << ", loop: " << static_cast<const void*>(loop_);
  loop_->CreateUserHandle();
  ScheduleReports();
  return 0;
}

void EventWorker::Start(const std::string& name) {
  if (loop_ == nullptr) {
    LOG_ERROR << "worker not inited, cannot run for name: " << name;
    return;
  }
  loop_->AssertInLoopThread();
  if (state() == kRunning) {
    LOG_WARN << "woker is running for name: " << name_
             << ", can not repeated runing for name: " << name;
    return;
  }
  name_ = name;
  SetState(kRunning);
  plinth::CurrentThread::t_threadName = name_.c_str();
  ::prctl(PR_SET_NAME, name_.c_str());
  if (g_enable_metrics) EnableThreadUtilMetric();
  loop_->Start();
  SetState(kStopping);
}

void EventWorker::Stop() {
  if (loop_ == nullptr) {
    SetState(kStopping);
    return;
  }
  loop_->RunInLoop(
      [this] {
        SetState(kStopping);
        loop_->Stop();
      },
      true);
}

int EventWorker::GetMrKey(void*, uint32_t* lkey, uint32_t* rkey) {
  loop_->AssertInLoopThread();
  *lkey = 0;
  *rkey = 0;
  return 0;
}

int EventWorker::RegisterMr(void*, size_t) {
  loop_->AssertInLoopThread();
  return 0;
}

int EventWorker::UnregisterMr(void*, size_t) {
  loop_->AssertInLoopThread();
  return 0;
}

}  // namespace tarn
