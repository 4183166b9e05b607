#include "tarn/base/current_thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace plinth {
namespace CurrentThread {

__thread int t_cachedTid = 0;
__thread char t_tidString[32];
__thread int t_tidStringLength = 6;
__thread const char* t_threadName = "unknown";
__thread uint32_t t_cachedTno = UINT32_MAX;

namespace {

std::atomic<uint32_t> g_threadNo{0};

pid_t gettid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// A forked child is a new process with one thread: forget the parent's tid.
void afterFork() {
  t_cachedTid = 0;
  t_threadName = "main";
  tid();
}

struct MainThreadInitializer {
  MainThreadInitializer() {
    t_threadName = "main";
    tid();
    pthread_atfork(nullptr, nullptr, &afterFork);
  }
};

MainThreadInitializer g_mainThreadInit;

}  // namespace

void cacheTid() {
  if (t_cachedTid == 0) {
    t_cachedTid = gettid();
    t_tidStringLength = snprintf(t_tidString, sizeof t_tidString, "%5d ", t_cachedTid);
  }
}

uint32_t cacheTno() {
  t_cachedTno = g_threadNo.fetch_add(1);
  return t_cachedTno;
}

bool isMainThread() { return tid() == ::getpid(); }

void sleepUsec(int64_t usec) {
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(usec / 1000000);
  ts.tv_nsec = static_cast<long>(usec % 1000000 * 1000);
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace CurrentThread
}  // namespace plinth
