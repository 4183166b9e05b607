#include "tarn/worker.h"

#include <sys/prctl.h>

#include <sstream>

#include "loop_metrics.h"
#include "tarn/base/current_thread.h"
#include "tarn/base/logging.h"
#include "tarn/base/time_cycle.h"
#include "tarn/polling/spdk_nvme_device.h"
#include "tarn/utils.h"

namespace tarn {

thread_local Worker* tl_worker = nullptr;

Worker::Worker(uint32_t index, const WorkerOption& option, const Loop::UserHandleFactory& create)
    : index_(index), create_user_handle_(create), option_(option), last_tsc_(plinth::rdtsc()) {}

Worker::~Worker() {
  EndLife();
  if (thread_util_ != nullptr) DeleteThreadUtilMetric(thread_util_);
  if (tl_worker == this) tl_worker = nullptr;
}

void Worker::SetState(uint32_t state) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_ = state;
  cond_.notify_all();
}

void Worker::InitDone() { SetState(kInited); }

void Worker::InitFailed() { SetState(kFailed); }

bool Worker::IsInited() {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_ >= kInited && state_ != kFailed;
}

void Worker::WaitForInited() {
  std::unique_lock<std::mutex> lock(mutex_);
  cond_.wait(lock, [this] { return state_ != kNew; });
}

uint32_t Worker::state() {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

void Worker::PinThread() {
  int pinned = option_.core_mask.empty() ? AffinitizeThread(g_numa_id)
                                          : AffinitizeThread(option_.core_mask, index_);
  if (pinned != 0) {
    LOG_ERROR << "pin worker thread failed, worker index: " << index_
              << ", core_mask: " << option_.core_mask << ", numa id: " << g_numa_id
              << ", ret: " << pinned;
  }
}

void Worker::BindToThread() {
  if (tl_worker != nullptr) {
    LOG_FATAL << "this thread has a worker: " << static_cast<const void*>(tl_worker);
  }
  tl_worker = this;
}

bool Worker::InitLoop(Loop* loop) {
  loop_ = loop;
  if (loop_->Init() != 0) {
    LOG_ERROR << "loop init fail";
    return false;
  }
  LOG_INFO << "loop init in worker: " << static_cast<const void*>(this)
           << ", loop: " << static_cast<const void*>(loop_);
  return true;
}

void Worker::TakeName(const std::string& name) {
  name_ = name;
  plinth::CurrentThread::t_threadName = name_.c_str();
  ::prctl(PR_SET_NAME, name_.c_str());
}

void Worker::EnterRunning(const std::string& name) {
  // Named before it is seen running: whoever waited for the start then finds
  // the thread under its name.
  if (name != name_) TakeName(name);
  SetState(kRunning);
  if (g_enable_metrics) EnableThreadUtilMetric();
}

void Worker::ScheduleReports() {
  loop_->RunEvery(60.0, [this] { ShrinkMemoryPool(); });
  if (g_enable_metrics && option_.report_interval != 0) {
    loop_->RunEvery(option_.report_interval, [this] { Report(); });
    loop_->RunEvery(0.01, [this] { ReportThreadUtil(); });
  }
}

void Worker::EnableThreadUtilMetric() {
  if (thread_util_ == nullptr) thread_util_ = NewThreadUtilMetric(name_);
}

void Worker::AddSpdkNvmeDevice(const std::shared_ptr<SpdkNvmeDevice>& dev) {
  if (!spdk_devs_.emplace(dev->dev_id(), dev).second) {
    LOG_FATAL << "this dev id has added, dev_id: " << dev->dev_id();
  }
}

void Worker::AddObjPoolInfo(const std::string& name, int total, int left) {
  obj_pool_info_[name] = std::make_pair(total, left);
}

std::string Worker::ReportObjPoolInfo() {
  std::ostringstream os;
  for (const auto& entry : obj_pool_info_) {
    os << "name:\t" << entry.first << ",\ttotal cnt:\t" << entry.second.first
       << ",\tleft cnt:\t" << entry.second.second << "\n";
  }
  return os.str();
}

void Worker::Report() {
  LOG_INFO << "\nworker: " << name_ << "\n========== MemoryPool Info===========\n"
           << ReportMemPoolInfo();
  LOG_INFO << "\nworker: " << name_ << "\n========== ObjPool Info===========\n"
           << ReportObjPoolInfo();
}

void Worker::ReportThreadUtil() {
  if (thread_util_ == nullptr) return;
  uint64_t total = busy_cycles_ + idle_cycles_;
  if (total == 0) return;
  thread_util_value_ = busy_cycles_ * 100 / total;
  RecordThreadUtil(thread_util_, thread_util_value_);
  busy_cycles_ = 0;
  idle_cycles_ = 0;
}

CycleScope::CycleScope(Worker* worker) : worker_(worker), enter_(plinth::rdtsc()) {
  if (worker_ == nullptr) return;
  uint64_t last = worker_->last_tsc();
  if (enter_ > last) worker_->AddIdleCycles(enter_ - last);
}

CycleScope::~CycleScope() {
  if (worker_ == nullptr) return;
  uint64_t now = plinth::rdtsc();
  if (now > enter_) worker_->AddBusyCycles(now - enter_);
  worker_->set_last_tsc(now);
}

}  // namespace tarn
