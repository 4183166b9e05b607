#include "tarn/worker_life.h"

#include <algorithm>

namespace tarn {

uint64_t WorkerLife::Watch(std::function<void()> on_end) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ended_) return 0;
  const uint64_t id = next_id_++;
  watchers_.emplace_back(id, std::move(on_end));
  return id;
}

void WorkerLife::Unwatch(uint64_t id) {
  // Under the lock: a watcher that End is running holds it.
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find_if(watchers_.begin(), watchers_.end(),
                         [id](const auto& w) { return w.first == id; });
  if (it != watchers_.end()) watchers_.erase(it);
}

bool WorkerLife::ended() {
  std::lock_guard<std::mutex> lock(mutex_);
  return ended_;
}

void WorkerLife::End() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ended_) return;
  ended_ = true;
  for (auto& w : watchers_) w.second();
  watchers_.clear();
}

}  // namespace tarn
