#include "tarn/base/thread.h"

#include <sys/prctl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "tarn/base/current_thread.h"
#include "tarn/base/exception.h"
#include "tarn/base/logging.h"

namespace plinth {
namespace {

// What the new thread needs; owned by the new thread once it runs.
struct ThreadData {
  Thread::ThreadFunc func;
  std::string name;
  pid_t* tid;
  CountDownLatch* latch;

  void runInThread() {
    *tid = CurrentThread::tid();
    tid = nullptr;
    latch->countDown();  // the starter may return (and free *tid) from here on
    latch = nullptr;

    CurrentThread::t_threadName = name.c_str();
    ::prctl(PR_SET_NAME, CurrentThread::t_threadName);
    try {
      func();
      CurrentThread::t_threadName = "finished";
    } catch (const Exception& ex) {
      CurrentThread::t_threadName = "crashed";
      fprintf(stderr, "exception caught in Thread %s\n", name.c_str());
      fprintf(stderr, "reason: %s\n", ex.what());
      fprintf(stderr, "stack trace: %s\n", ex.stackTrace());
      abort();
    } catch (const std::exception& ex) {
      CurrentThread::t_threadName = "crashed";
      fprintf(stderr, "exception caught in Thread %s\n", name.c_str());
      fprintf(stderr, "reason: %s\n", ex.what());
      abort();
    } catch (...) {
      CurrentThread::t_threadName = "crashed";
      fprintf(stderr, "unknown exception caught in Thread %s\n", name.c_str());
      throw;
    }
  }
};

void* startThread(void* obj) {
  ThreadData* data = static_cast<ThreadData*>(obj);
  data->runInThread();
  delete data;
  return nullptr;
}

}  // namespace

std::atomic<int> Thread::numCreated_{0};

Thread::Thread(ThreadFunc func, const std::string& name)
    : started_(false),
      joined_(false),
      pthreadId_(0),
      tid_(0),
      func_(std::move(func)),
      name_(name),
      latch_(1) {
  int num = numCreated_.fetch_add(1);
  if (name_.empty()) {
    char buf[32];
    snprintf(buf, sizeof buf, "Thread%d", num);
    name_ = buf;
  }
}

Thread::~Thread() {
  if (started_ && !joined_) pthread_detach(pthreadId_);
}

void Thread::start() {
  started_ = true;
  ThreadData* data = new ThreadData{func_, name_, &tid_, &latch_};
  int err = pthread_create(&pthreadId_, nullptr, &startThread, data);
  if (err != 0) {
    started_ = false;
    delete data;
    errno = err;  // pthread_create reports through its result, not errno
    LOG_SYSFATAL << "Failed in pthread_create";
  } else {
    latch_.wait();
  }
}

int Thread::join() {
  joined_ = true;
  return pthread_join(pthreadId_, nullptr);
}

}  // namespace plinth
