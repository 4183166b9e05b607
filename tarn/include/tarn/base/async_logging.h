// The asynchronous log writer: callers copy finished lines into a large
// in-memory block under one mutex; the "Logging" thread writes full blocks
// to a rolling LogFile at least once per flush interval.
#ifndef TARN_BASE_ASYNC_LOGGING_H_
#define TARN_BASE_ASYNC_LOGGING_H_

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tarn/base/condition.h"
#include "tarn/base/count_down_latch.h"
#include "tarn/base/log_stream.h"
#include "tarn/base/thread.h"

namespace plinth {

class AsyncLogging {
 public:
  // A pass that finds more blocks than this writes only the first kKeepBlocks.
  static const size_t kMaxBlocksPerPass = 25;
  static const size_t kKeepBlocks = 2;

  AsyncLogging(const std::string& basename, size_t rollSize, int flushInterval = 1,
               bool notifyPerLine = false, bool redirect = true);
  // Stops the writer if it still runs, writing what was appended.
  ~AsyncLogging();
  AsyncLogging(const AsyncLogging&) = delete;
  AsyncLogging& operator=(const AsyncLogging&) = delete;

  // Any thread. Copies the line and returns.
  void append(const char* logline, int len);
  // Wakes the writer; does not wait for the write.
  void flush_notify();
  // Waits until every line appended before the call is in the file and the
  // file is flushed, at most `timeoutMs`; true when it is. Returns false at
  // once where no writer can do it: before start() or after stop(), on the
  // writer's own thread, and in a child forked after start() (the writer
  // thread stayed in the parent). Returns false at once, too, while the
  // writer is stuck: once a flush has timed out without the writer
  // finishing a single pass meanwhile, later flushes do not wait until the
  // writer has finished a pass again. The flushes on the way out
  // of a process (a FATAL line, shut-down, exit) thus share one deadline
  // instead of each waiting in full for a disk that does not take lines.
  bool flush(int timeoutMs);

  // Starts the writer; returns once its first file is open (and, with the
  // redirect flag, standard output and error point at it).
  void start();
  // Writes everything appended before the call, then ends the writer.
  void stop();

 private:
  typedef detail::FixedBuffer<detail::kLargeBuffer> Buffer;
  typedef std::unique_ptr<Buffer> BufferPtr;
  typedef std::vector<BufferPtr> BufferVector;

  static BufferPtr newBuffer();
  void threadFunc();

  const int flushInterval_;
  const bool notifyPerLine_;
  const bool redirect_;
  std::atomic<bool> running_;
  bool flushRequested_;  // guarded by mutex_
  // Flush tickets: taken by flush(), and the last one whose lines the
  // writer has put on disk. Guarded by mutex_.
  uint64_t flushTaken_ = 0;
  uint64_t flushDone_ = 0;
  // Passes the writer has finished. Guarded by mutex_.
  uint64_t passesDone_ = 0;
  // A flush timed out and the writer has not finished a pass since.
  // Guarded by mutex_.
  bool writerStuck_ = false;
  std::condition_variable flushedCond_;
  pid_t pid_ = 0;  // the process that started the writer
  const std::string basename_;
  const size_t rollSize_;
  Thread thread_;
  CountDownLatch latch_;
  std::mutex mutex_;
  Condition cond_;
  BufferPtr currentBuffer_;
  BufferPtr nextBuffer_;
  BufferVector buffers_;
};

}  // namespace plinth

#endif  // TARN_BASE_ASYNC_LOGGING_H_
