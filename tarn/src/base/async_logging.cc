#include "tarn/base/async_logging.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "tarn/base/current_thread.h"
#include "tarn/base/log_file.h"
#include "tarn/base/timestamp.h"

namespace plinth {
namespace {

// The writer's own file: flushed at least every 3 s, day and space checks
// every 1024 blocks.
const int kFileFlushInterval = 3;
const int kFileCheckEveryN = 1024;

}  // namespace

AsyncLogging::AsyncLogging(const std::string& basename, size_t rollSize, int flushInterval,
                           bool notifyPerLine, bool redirect)
    : flushInterval_(flushInterval),
      notifyPerLine_(notifyPerLine),
      redirect_(redirect),
      running_(false),
      flushRequested_(false),
      basename_(basename),
      rollSize_(rollSize),
      thread_([this] { threadFunc(); }, "Logging"),
      latch_(1),
      cond_(mutex_),
      currentBuffer_(newBuffer()),
      nextBuffer_(newBuffer()) {
  buffers_.reserve(16);
}

AsyncLogging::~AsyncLogging() {
  if (running_) stop();
}

AsyncLogging::BufferPtr AsyncLogging::newBuffer() {
  BufferPtr buffer(new Buffer);
  buffer->bzero();
  return buffer;
}

void AsyncLogging::append(const char* logline, int len) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (currentBuffer_->avail() > len) {
    currentBuffer_->append(logline, len);
    if (notifyPerLine_) cond_.notify();
  } else {
    buffers_.push_back(std::move(currentBuffer_));
    if (nextBuffer_) {
      currentBuffer_ = std::move(nextBuffer_);
    } else {
      currentBuffer_.reset(new Buffer);  // rare: the writer fell behind
    }
    currentBuffer_->append(logline, len);
    cond_.notify();
  }
}

void AsyncLogging::flush_notify() {
  std::lock_guard<std::mutex> lock(mutex_);
  // Remembered, so a request made while the writer is busy still makes the
  // next pass start at once instead of after the flush interval.
  flushRequested_ = true;
  cond_.notify();
}

bool AsyncLogging::flush(int timeoutMs) {
  // A forked child must not touch the mutex (a parent's thread may have held
  // it at the fork) and has no writer.
  if (!running_.load() || pid_ != ::getpid() || CurrentThread::tid() == thread_.tid()) {
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(mutex_);
  if (writerStuck_) return false;
  const uint64_t passes = passesDone_;
  const uint64_t ticket = ++flushTaken_;
  flushRequested_ = true;
  cond_.notify();
  const bool done = flushedCond_.wait_until(lock, deadline, [&] {
    return flushDone_ >= ticket || !running_.load();
  }) && flushDone_ >= ticket;
  // Stuck only when no pass ended during the whole wait: a writer that just
  // finished the pass before the one serving this ticket is moving.
  if (!done && running_.load() && passesDone_ == passes) writerStuck_ = true;
  return done;
}

void AsyncLogging::start() {
  pid_ = ::getpid();
  running_.store(true);
  thread_.start();
  latch_.wait();
}

void AsyncLogging::stop() {
  bool wasRunning;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wasRunning = running_.exchange(false);
    cond_.notify();
  }
  if (wasRunning) thread_.join();
  // Waiters of a flush get their lines with the writer's last pass.
  flushedCond_.notify_all();
}

void AsyncLogging::threadFunc() {
  // The first file is open before start() returns, so whatever the starter
  // prints next already lands in it.
  LogFile output(basename_, rollSize_, false, redirect_, kFileFlushInterval, kFileCheckEveryN);
  latch_.countDown();
  BufferPtr newBuffer1 = newBuffer();
  BufferPtr newBuffer2 = newBuffer();
  BufferVector buffersToWrite;
  buffersToWrite.reserve(16);
  bool stopping = false;
  while (!stopping) {
    uint64_t ticket;  // the flushes this pass serves
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (buffers_.empty() && !flushRequested_ && running_.load()) {
        cond_.waitForSeconds(flushInterval_);
      }
      flushRequested_ = false;
      ticket = flushTaken_;
      // Read under the mutex: lines appended before stop() are in the
      // blocks taken below, and this pass is then the last.
      stopping = !running_.load();
      buffers_.push_back(std::move(currentBuffer_));
      currentBuffer_ = std::move(newBuffer1);
      buffersToWrite.swap(buffers_);
      if (!nextBuffer_) nextBuffer_ = std::move(newBuffer2);
    }

    if (buffersToWrite.size() > kMaxBlocksPerPass) {
      char buf[256];
      snprintf(buf, sizeof buf, "Dropped log messages at %s, %zd larger buffers\n",
               Timestamp::now().toFormattedString().c_str(),
               buffersToWrite.size() - kKeepBlocks);
      fputs(buf, stderr);
      output.append(buf, static_cast<int>(strlen(buf)));
      buffersToWrite.resize(kKeepBlocks);
    }

    for (const BufferPtr& buffer : buffersToWrite) {
      output.append(buffer->data(), buffer->length());
    }

    if (buffersToWrite.size() > kKeepBlocks) buffersToWrite.resize(kKeepBlocks);
    if (!newBuffer1) {
      newBuffer1 = std::move(buffersToWrite.back());
      buffersToWrite.pop_back();
      newBuffer1->reset();
    }
    if (!newBuffer2) {
      if (!buffersToWrite.empty()) {
        newBuffer2 = std::move(buffersToWrite.back());
        buffersToWrite.pop_back();
        newBuffer2->reset();
      } else {
        newBuffer2 = newBuffer();
      }
    }
    buffersToWrite.clear();
    output.flush();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      flushDone_ = ticket;
      ++passesDone_;
      writerStuck_ = false;  // it moves again: flushes may wait for it
    }
    flushedCond_.notify_all();
  }
  output.flush();
}

}  // namespace plinth
