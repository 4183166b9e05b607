// Linux native asynchronous I/O (libaio) on one event loop: the back end of
// the disk I/O front's reads and writes by file descriptor.
//
// Each request is one record from a fixed pool, submitted with io_submit.
// The kernel signals completions on an eventfd registered with the loop's
// libevent driver, so callbacks run on the loop's thread like any other
// event handler.
//
// Every submission ends in exactly one callback:
//   - the requested length, when the kernel transferred all of it;
//   - -2 at once when no record is free (the pool bounds the requests in
//     flight on the loop);
//   - -3 at once when io_submit refuses the request (a closed descriptor, a
//     full kernel queue), or later when the request completes with anything
//     but the full length (a short read past the end of a file, an error of
//     the kernel such as an unaligned O_DIRECT buffer).
// Records return to the pool before their callback runs, so a callback may
// submit again. Loop thread only.
#ifndef TARN_EVENT_AIO_CONTEXT_H_
#define TARN_EVENT_AIO_CONTEXT_H_

#include <libaio.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "tarn/base/obj_pool.h"

namespace tarn {

class EventLoop;

// One request in flight.
struct AioData {
  struct iocb cb;  // data points back at this record
  std::function<void(int)> done;
  bool is_write = false;
  uint64_t expect_len = 0;
};

class AioContext {
 public:
  using Callback = std::function<void(int)>;

  // Records in the pool: the bound on requests in flight on one loop.
  static constexpr int kMaxRequests = 16384;
  // Events of the kernel context (io_queue_init); each context counts this
  // much against the machine-wide limit fs.aio-max-nr.
  static constexpr int kQueueDepth = 2048;

  // Builds the record pool; Init does the rest.
  explicit AioContext(EventLoop* loop, int max_requests = kMaxRequests,
                      int queue_depth = kQueueDepth);
  // Disables and frees the completion event, closes the eventfd, waits for
  // the requests still in flight and destroys the kernel context (which
  // waits for any request still running): on return the kernel no longer
  // touches any request's buffer. Those requests are dropped without a
  // callback: their owners go away with the loop.
  ~AioContext();
  AioContext(const AioContext&) = delete;
  AioContext& operator=(const AioContext&) = delete;

  // Loop thread: the eventfd, the kernel context and the completion event.
  // 0, or a negative errno when any of them is refused (ERROR logged; the
  // kernel refuses a context with -EAGAIN once fs.aio-max-nr is used up).
  // A context whose Init failed must not be used: delete it.
  int Init();

  // 0 submitted (the callback runs on completion), -2 no free record, -3
  // refused by the kernel; on -2 and -3 the callback has already run once
  // with that code.
  int SubmitRead(int fd, void* buf, uint64_t offset, uint64_t len, const Callback& cb);
  int SubmitWrite(int fd, void* buf, uint64_t offset, uint64_t len, const Callback& cb);

  // The completion event's handler.
  static void ReadEventCb(int fd, short what, void* ctx);
  // Reaps the completions that have arrived and runs their callbacks;
  // returns how many, or -1 when the eventfd could not be read. Where the
  // kernel's completion ring can be read from user space (every kernel of
  // this decade) completions are reaped from it without a system call and
  // the eventfd, edge-triggered, is never read; elsewhere the eventfd's
  // count says how many to reap with io_getevents.
  int SomethingDone();

  // Creates a kernel context of `nr_events` events: 0, or a negative errno
  // (io_queue_init's contract, which is the default).
  using SetupFn = int (*)(int nr_events, io_context_t* ctx);
  // Tests only: every context initialised from now on is created with `fn`
  // (null: io_queue_init again). A test of loops refused their context
  // refuses them here rather than by using up fs.aio-max-nr, which every
  // AIO user of the machine shares. Any thread; returns the previous one.
  static SetupFn SetSetupForTest(SetupFn fn);

  // Requests submitted and not yet called back.
  int in_flight() const { return pool_.capacity() - pool_.left(); }
  int max_requests() const { return pool_.capacity(); }

 private:
  int Submit(bool is_write, int fd, void* buf, uint64_t offset, uint64_t len,
             const Callback& cb);
  // Reaps the completions in the kernel's ring straight from user space.
  int ReapRing();
  void Complete(const struct io_event& ev);
  void DropInFlight();

  EventLoop* loop_;
  plinth::ObjPool<AioData> pool_;
  int queue_depth_;
  io_context_t ctx_ = nullptr;
  bool ctx_ready_ = false;
  bool ring_ = false;  // completions reaped from the mapped ring
  int event_fd_ = -1;
  int event_idx_ = -1;
  std::unique_ptr<struct io_event[]> events_;  // reaping buffer, queue_depth_
};

}  // namespace tarn

#endif  // TARN_EVENT_AIO_CONTEXT_H_
