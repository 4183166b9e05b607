// A condition variable bound to one mutex. Callers hold the mutex around
// wait(), waitForSeconds() and the predicate they re-check.
#ifndef TARN_BASE_CONDITION_H_
#define TARN_BASE_CONDITION_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace plinth {

class Condition {
 public:
  explicit Condition(std::mutex& mutex) : mutex_(mutex) {}
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;

  // The caller holds the mutex; it is held again on return.
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_, std::adopt_lock);
    cond_.wait(lock);
    lock.release();
  }

  // Waits against the real-time clock; true exactly when the time ran out.
  bool waitForSeconds(double seconds) {
    std::unique_lock<std::mutex> lock(mutex_, std::adopt_lock);
    auto deadline = std::chrono::system_clock::now() +
                    std::chrono::duration_cast<std::chrono::system_clock::duration>(
                        std::chrono::duration<double>(seconds));
    bool timedOut = cond_.wait_until(lock, deadline) == std::cv_status::timeout;
    lock.release();
    return timedOut;
  }

  void notify() { cond_.notify_one(); }
  void notifyAll() { cond_.notify_all(); }

 private:
  std::mutex& mutex_;
  std::condition_variable cond_;
};

}  // namespace plinth

#endif  // TARN_BASE_CONDITION_H_
