// Lets threads wait until a count reaches zero.
#ifndef TARN_BASE_COUNT_DOWN_LATCH_H_
#define TARN_BASE_COUNT_DOWN_LATCH_H_

#include <mutex>

#include "tarn/base/condition.h"

namespace plinth {

class CountDownLatch {
 public:
  explicit CountDownLatch(int count);
  CountDownLatch(const CountDownLatch&) = delete;
  CountDownLatch& operator=(const CountDownLatch&) = delete;

  // Blocks while the count is above zero.
  void wait();
  // Wakes every waiter when the count reaches zero.
  void countDown();
  int getCount() const;

 private:
  mutable std::mutex mutex_;
  Condition condition_;
  int count_;
};

}  // namespace plinth

#endif  // TARN_BASE_COUNT_DOWN_LATCH_H_
