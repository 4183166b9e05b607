// The records every RDMA message and work request is made of, all taken from
// the fixed pools of a worker's RdmaHandle:
//
//   RdmaMessageHeader       the 8 bytes in front of every message on the wire
//   RdmaWorkRequest         the wr_id of a send: its header and the callback
//                           that gets the send's result
//   RdmaPostRecvWorkRequest the wr_id of a receive: its header slot and the
//                           buffer the payload lands in
//
// SendCallback is a callable of signature void(int) kept inside the work
// request itself (128 bytes of storage, never a heap allocation), so the send
// path allocates nothing.
#ifndef TARN_POLLING_RDMA_MESSAGE_H_
#define TARN_POLLING_RDMA_MESSAGE_H_

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "tarn/base/intrusive_list.h"

namespace tarn {

// Wire header of every RDMA message, native byte order.
struct RdmaMessageHeader {
  static constexpr uint32_t kData = 4;     // the only type sent
  static constexpr uint32_t kReceive = 5;  // slot of a posted receive

  uint32_t type = 0;
  uint32_t length = 0;  // payload bytes after the header
};
static_assert(sizeof(RdmaMessageHeader) == 8, "the wire header is 8 bytes");

// A move-only void(int) callable stored in place. A callable larger than
// kCapacity bytes, or more strictly aligned than std::max_align_t, does not
// compile. An empty callback tests false and does nothing when called.
class SendCallback {
 public:
  static constexpr size_t kCapacity = 128;

  SendCallback() = default;
  SendCallback(std::nullptr_t) {}  // NOLINT: allows `done = nullptr`

  template <typename F, typename D = std::decay_t<F>,
            typename = std::enable_if_t<!std::is_same<D, SendCallback>::value>>
  SendCallback(F&& f) {  // NOLINT: implicit, like std::function
    static_assert(sizeof(D) <= kCapacity, "callable too large for SendCallback");
    static_assert(alignof(D) <= alignof(std::max_align_t), "callable over-aligned");
    static_assert(std::is_nothrow_move_constructible<D>::value,
                  "callable must move without throwing");
    new (&storage_) D(std::forward<F>(f));
    ops_ = &OpsFor<D>::kOps;
  }

  SendCallback(SendCallback&& other) noexcept { MoveFrom(&other); }
  SendCallback& operator=(SendCallback&& other) noexcept {
    if (this != &other) {
      reset();
      MoveFrom(&other);
    }
    return *this;
  }
  SendCallback(const SendCallback&) = delete;
  SendCallback& operator=(const SendCallback&) = delete;
  ~SendCallback() { reset(); }

  explicit operator bool() const { return ops_ != nullptr; }
  void operator()(int result) {
    if (ops_ != nullptr) ops_->call(&storage_, result);
  }
  // Destroys the held callable without calling it.
  void reset() {
    if (ops_ != nullptr) {
      ops_->destroy(&storage_);
      ops_ = nullptr;
    }
  }

 private:
  struct Ops {
    void (*call)(void*, int);
    void (*move)(void* to, void* from);  // move-construct, then destroy from
    void (*destroy)(void*);
  };
  template <typename D>
  struct OpsFor {
    static void Call(void* p, int r) { (*static_cast<D*>(p))(r); }
    static void Move(void* to, void* from) {
      new (to) D(std::move(*static_cast<D*>(from)));
      static_cast<D*>(from)->~D();
    }
    static void Destroy(void* p) { static_cast<D*>(p)->~D(); }
    static constexpr Ops kOps = {&Call, &Move, &Destroy};
  };

  void MoveFrom(SendCallback* other) {
    if (other->ops_ == nullptr) return;
    other->ops_->move(&storage_, &other->storage_);
    ops_ = other->ops_;
    other->ops_ = nullptr;
  }

  alignas(std::max_align_t) unsigned char storage_[kCapacity];
  const Ops* ops_ = nullptr;
};

// The wr_id of a send. Taken zeroed from the pool. While its send is
// outstanding it is linked into its queue pair's list (RdmaQueuePair), so
// that the send still completes when the queue pair is destroyed before the
// device reported it; `qp_generation` names that queue pair (0: not
// outstanding).
struct RdmaWorkRequest {
  RdmaMessageHeader* header = nullptr;
  SendCallback callback;
  // A registered copy of a send from unregistered memory: the device reads
  // it until the completion is handled (or the queue pair destroyed), so it
  // goes back with the request, not with the callback. Null when none.
  void* copy = nullptr;
  uint64_t qp_generation = 0;
  plinth::ListHook<RdmaWorkRequest> hook;  // in its queue pair's outstanding sends
};

// The wr_id of a receive.
struct RdmaPostRecvWorkRequest {
  RdmaMessageHeader* header = nullptr;
  void* buffer = nullptr;
  // The queue pair whose own receive queue holds it (its generation); 0 on
  // the shared receive queue.
  uint64_t qp_generation = 0;
  // In that queue pair's list of posted receives (RdmaQueuePair) while the
  // device holds it; unlinked when it goes back to the pool.
  plinth::ListHook<RdmaPostRecvWorkRequest> hook;
};

// Reserved wr_ids of every queue pair: the keepalive write and the marker
// posted after the queue pair went to ERROR (its completion is the last).
constexpr uint64_t kKeepAliveWrId = 0;
constexpr uint64_t kLastWqeWrId = 0xdeadbeefdeadbeefULL;

}  // namespace tarn

#endif  // TARN_POLLING_RDMA_MESSAGE_H_
