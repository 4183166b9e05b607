// A named POSIX thread. start() returns once the new thread knows its tid;
// a thread that is neither joined nor finished is detached by the destructor.
#ifndef TARN_BASE_THREAD_H_
#define TARN_BASE_THREAD_H_

#include <pthread.h>

#include <atomic>
#include <functional>
#include <string>

#include "tarn/base/count_down_latch.h"

namespace plinth {

class Thread {
 public:
  typedef std::function<void()> ThreadFunc;

  // An empty name becomes "Thread<n>", n being this thread's creation number.
  explicit Thread(ThreadFunc func, const std::string& name = std::string());
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  void start();
  int join();  // pthread_join's result

  bool started() const { return started_; }
  pid_t tid() const { return tid_; }
  const std::string& name() const { return name_; }

  static int numCreated() { return numCreated_.load(); }

 private:
  bool started_;
  bool joined_;
  pthread_t pthreadId_;
  pid_t tid_;
  ThreadFunc func_;
  std::string name_;
  CountDownLatch latch_;

  static std::atomic<int> numCreated_;
};

}  // namespace plinth

#endif  // TARN_BASE_THREAD_H_
