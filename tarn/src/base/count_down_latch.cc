#include "tarn/base/count_down_latch.h"

namespace plinth {

CountDownLatch::CountDownLatch(int count) : condition_(mutex_), count_(count) {}

void CountDownLatch::wait() {
  std::lock_guard<std::mutex> lock(mutex_);
  while (count_ > 0) condition_.wait();
}

void CountDownLatch::countDown() {
  std::lock_guard<std::mutex> lock(mutex_);
  --count_;
  if (count_ == 0) condition_.notifyAll();
}

int CountDownLatch::getCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

}  // namespace plinth
