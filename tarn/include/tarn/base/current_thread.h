// Identity of the calling thread: kernel tid (and its "%5d " text), name and
// a process-wide thread number. All state is thread-local; the first call on
// a thread fills the cache.
#ifndef TARN_BASE_CURRENT_THREAD_H_
#define TARN_BASE_CURRENT_THREAD_H_

#include <cstdint>

namespace plinth {
namespace CurrentThread {

extern __thread int t_cachedTid;
extern __thread char t_tidString[32];
extern __thread int t_tidStringLength;
extern __thread const char* t_threadName;
extern __thread uint32_t t_cachedTno;

void cacheTid();
uint32_t cacheTno();

inline int tid() {
  if (__builtin_expect(t_cachedTid == 0, 0)) cacheTid();
  return t_cachedTid;
}

// "%5d " of tid(); valid after tid() has been called once on this thread.
inline const char* tidString() { return t_tidString; }
inline int tidStringLength() { return t_tidStringLength; }

// "main" for the main thread, the Thread's name for threads started by
// plinth::Thread, "unknown" for any other thread.
inline const char* name() { return t_threadName; }

// Small dense number taken on first use; stays with the thread.
inline uint32_t tno() {
  if (__builtin_expect(t_cachedTno == UINT32_MAX, 0)) return cacheTno();
  return t_cachedTno;
}

bool isMainThread();
void sleepUsec(int64_t usec);

}  // namespace CurrentThread
}  // namespace plinth

#endif  // TARN_BASE_CURRENT_THREAD_H_
