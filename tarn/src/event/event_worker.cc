#include "tarn/event/event_worker.h"

#include "tarn/base/logging.h"

namespace tarn {

EventWorker::EventWorker(uint32_t index, const WorkerOption& option,
                         const Loop::UserHandleFactory& create)
    : Worker(index, option, create) {}

EventWorker::~EventWorker() {
  EndLife();
  delete loop_;
  loop_ = nullptr;
  ReleaseMemoryPools();
}

EventLoop* EventWorker::event_loop() const { return static_cast<EventLoop*>(loop_); }

int EventWorker::Init() {
  if (IsInited() || loop_ != nullptr) LOG_FATAL << "worker has been inited";
  PinThread();
  BindToThread();
  if (!CreateFirstMemoryPool()) return -1;
  if (!InitLoop(new EventLoop(this, create_user_handle_))) return -1;
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
  EnterRunning(name);
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
