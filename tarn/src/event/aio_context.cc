#include "tarn/event/aio_context.h"

#include <event2/event.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "tarn/base/logging.h"
#include "tarn/event/event_loop.h"
#include "tarn/worker.h"

namespace tarn {

namespace {

// The completion ring the kernel maps at the address of an io_context_t:
// a header, then `nr` events. The kernel writes events and then advances
// `tail`; whoever reaps them advances `head`, from user space as well as
// through io_getevents (the kernel reads `head` back from this page).
struct AioRing {
  unsigned id;
  unsigned nr;
  unsigned head;
  unsigned tail;
  unsigned magic;
  unsigned compat_features;
  unsigned incompat_features;
  unsigned header_length;
  struct io_event events[];
};
constexpr unsigned kAioRingMagic = 0xa10a10a1;

// Null: io_queue_init.
std::atomic<AioContext::SetupFn> g_setup_for_test{nullptr};

}  // namespace

AioContext::SetupFn AioContext::SetSetupForTest(SetupFn fn) {
  return g_setup_for_test.exchange(fn, std::memory_order_acq_rel);
}

AioContext::AioContext(EventLoop* loop, int max_requests, int queue_depth)
    : loop_(loop),
      pool_(max_requests, sizeof(AioData), 8),
      queue_depth_(queue_depth > 0 ? queue_depth : 1),
      events_(new struct io_event[static_cast<size_t>(queue_depth_)]) {}

AioContext::~AioContext() {
  if (event_idx_ >= 0) {
    loop_->driver()->DelEvent(event_idx_);
    loop_->driver()->FreeEvent(event_idx_);
  }
  if (event_fd_ >= 0) ::close(event_fd_);
  if (ctx_ready_) {
    DropInFlight();
    io_destroy(ctx_);
  }
}

void AioContext::DropInFlight() {
  // The kernel still owns the buffers of requests in flight: wait for them
  // (local disks answer in milliseconds; give up after a few seconds), then
  // release their records and callbacks without running them.
  struct timespec wait = {1, 0};
  for (int tries = 0; in_flight() > 0 && tries < 5;) {
    long want = std::min<long>(in_flight(), queue_depth_);
    int got = io_getevents(ctx_, 1, want, events_.get(), &wait);
    if (got == -EINTR) continue;
    if (got <= 0) {
      ++tries;
      continue;
    }
    for (int i = 0; i < got; ++i) pool_.Free(static_cast<AioData*>(events_[i].data));
  }
  if (in_flight() > 0) {
    LOG_WARN << "aio context destroyed with " << in_flight() << " requests in flight";
  }
}

int AioContext::Init() {
  loop_->AssertInLoopThread();
  if (pool_.capacity() == 0) {
    LOG_ERROR << "aio_data pool allocation failed";
    return -ENOMEM;
  }
  event_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (event_fd_ < 0) {
    int err = errno;
    LOG_SYSERR << "aio eventfd create failed";
    return -err;
  }
  // libaio hands back a negative errno instead of setting errno.
  const SetupFn setup = g_setup_for_test.load(std::memory_order_acquire);
  int ret = setup != nullptr ? setup(queue_depth_, &ctx_) : io_queue_init(queue_depth_, &ctx_);
  if (ret != 0) {
    errno = -ret;
    LOG_SYSERR << "io_queue_init failed, ret: " << ret << ", nr_events: " << queue_depth_
               << " (machine-wide limit fs.aio-max-nr)";
    return ret < 0 ? ret : -EIO;
  }
  ctx_ready_ = true;
  // Reaping from the mapped ring saves a system call per batch, and with
  // an edge-triggered event the eventfd need not be read either: each
  // completion's signal is a new edge, and every completion is in the ring
  // before its signal. A kernel whose ring does not look as expected is
  // served by reading the eventfd's count and io_getevents.
  const AioRing* ring = reinterpret_cast<const AioRing*>(ctx_);
  ring_ = ring->magic == kAioRingMagic && ring->incompat_features == 0 && ring->nr > 0;
  event_idx_ = loop_->driver()->CreateEvent(event_fd_, ring_ ? EV_READ | EV_ET : EV_READ,
                                            ReadEventCb, this);
  if (event_idx_ < 0 || loop_->driver()->AddEvent(event_idx_) != 0) {
    LOG_ERROR << "aio completion event create failed, fd: " << event_fd_;
    return -EIO;
  }
  return 0;
}

int AioContext::SubmitRead(int fd, void* buf, uint64_t offset, uint64_t len,
                           const Callback& cb) {
  return Submit(false, fd, buf, offset, len, cb);
}

int AioContext::SubmitWrite(int fd, void* buf, uint64_t offset, uint64_t len,
                            const Callback& cb) {
  return Submit(true, fd, buf, offset, len, cb);
}

int AioContext::Submit(bool is_write, int fd, void* buf, uint64_t offset, uint64_t len,
                       const Callback& cb) {
  loop_->AssertInLoopThread();
  AioData* data = pool_.Malloc();
  if (data == nullptr) {
    LOG_ERROR << "aio_data malloc error";
    cb(-2);
    return -2;
  }
  data->done = cb;
  data->is_write = is_write;
  data->expect_len = len;
  struct iocb* iocb = &data->cb;
  if (is_write) {
    io_prep_pwrite(iocb, fd, buf, len, static_cast<long long>(offset));
  } else {
    io_prep_pread(iocb, fd, buf, len, static_cast<long long>(offset));
  }
  io_set_eventfd(iocb, event_fd_);
  iocb->data = data;

  int ret = io_submit(ctx_, 1, &iocb);
  if (ret < 1) {
    errno = ret < 0 ? -ret : EAGAIN;
    LOG_SYSERR << (is_write ? "submit write io error, ret: " : "submit read io error, ret: ")
               << ret;
    pool_.Free(data);
    cb(-3);
    return -3;
  }
  return 0;
}

void AioContext::ReadEventCb(int, short what, void* ctx) {
  if ((what & EV_READ) == 0) return;
  AioContext* self = static_cast<AioContext*>(ctx);
  CycleScope scope(self->loop_->worker());
  self->SomethingDone();
}

int AioContext::SomethingDone() {
  if (ring_) return ReapRing();
  uint64_t count = 0;
  ssize_t n = ::read(event_fd_, &count, sizeof(count));
  if (n != sizeof(count)) return -1;

  // Reap no more than the eventfd counted: every counted completion is in
  // the ring already, and one not yet counted is reaped with its own signal.
  int handled = 0;
  uint64_t remaining = count;
  struct timespec zero = {0, 0};
  while (remaining > 0) {
    long want = static_cast<long>(std::min<uint64_t>(remaining, queue_depth_));
    int got = io_getevents(ctx_, 0, want, events_.get(), &zero);
    if (got == -EINTR) continue;
    if (got < 0) LOG_FATAL << "finish count is less than 0, finish count: " << got;
    if (got == 0) break;
    for (int i = 0; i < got; ++i) Complete(events_[i]);
    handled += got;
    remaining -= static_cast<uint64_t>(got);
  }
  return handled;
}

int AioContext::ReapRing() {
  AioRing* ring = reinterpret_cast<AioRing*>(ctx_);
  const unsigned nr = ring->nr;
  unsigned head = __atomic_load_n(&ring->head, __ATOMIC_RELAXED);
  // Events up to tail are complete once tail is seen; later ones come with
  // an edge of their own.
  const unsigned tail = __atomic_load_n(&ring->tail, __ATOMIC_ACQUIRE);
  int handled = 0;
  while (head != tail) {
    const struct io_event ev = ring->events[head];
    head = head + 1 == nr ? 0 : head + 1;
    // The slot is free for the kernel once the event is copied out, before
    // the callback (which may submit again) runs.
    __atomic_store_n(&ring->head, head, __ATOMIC_RELEASE);
    Complete(ev);
    ++handled;
  }
  return handled;
}

void AioContext::Complete(const struct io_event& ev) {
  AioData* data = static_cast<AioData*>(ev.data);
  // res carries a byte count or a negative errno in an unsigned field.
  const int64_t res = static_cast<int64_t>(ev.res);
  const bool full = res >= 0 && static_cast<uint64_t>(res) == data->expect_len;
  if (res < 0) {
    errno = static_cast<int>(-res);
    LOG_SYSERR << (data->is_write ? "aio write failed, res: " : "aio read failed, res: ")
               << res;
  }
  // The record goes back first: the callback may submit again.
  Callback done = std::move(data->done);
  pool_.Free(data);
  done(full ? static_cast<int>(res) : -3);
}

}  // namespace tarn
