// The calls of one RpcClient, kept in the controllers themselves: entering a
// call in either list, finding it by sequence number and taking it out cost
// no allocation.
//
//   RpcCallList       first in, first out: the calls waiting for a slot.
//   RpcInflightCalls  the calls sent and not yet completed, in the order
//                     they were sent, with an index by sequence number.
//
// A controller is on at most one list at a time. Both are used on the
// client's loop thread only.
#ifndef TARN_RPC_CALL_TABLE_H_
#define TARN_RPC_CALL_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tarn/base/intrusive_list.h"
#include "tarn/rpc/rpc_controller.h"

namespace tarn {

class RpcCallList {
 public:
  RpcCallList() = default;
  RpcCallList(const RpcCallList&) = delete;
  RpcCallList& operator=(const RpcCallList&) = delete;

  // A call already on a list (pending or in flight) ends the process.
  void PushBack(RpcController* ctrl);
  void Remove(RpcController* ctrl) { list_.Remove(ctrl); }
  // Takes every call off the list (abandoned: nobody completes them).
  void Clear() { list_.Clear(); }

  RpcController* front() const { return list_.front(); }
  static RpcController* next(const RpcController* ctrl) { return List::next(ctrl); }
  bool empty() const { return list_.empty(); }
  size_t size() const { return list_.size(); }

 private:
  using List = plinth::IntrusiveList<RpcController, &RpcController::call_hook_>;
  List list_;
};

class RpcInflightCalls {
 public:
  RpcInflightCalls() = default;

  // Enters a call under its seq_no(); `sent` as the transport stands.
  void Insert(RpcController* ctrl, bool sent);
  // The call with this sequence number, or null.
  RpcController* Find(uint64_t seq) const;
  void Remove(RpcController* ctrl);
  void Clear();

  // Whether the transport had finished with the request; kept after Remove.
  static bool sent(const RpcController* ctrl) { return ctrl->call_sent_; }
  static void set_sent(RpcController* ctrl) { ctrl->call_sent_ = true; }

  // In sending order; a call may be removed while walking once its
  // successor has been read.
  RpcController* front() const { return order_.front(); }
  static RpcController* next(const RpcController* ctrl) { return RpcCallList::next(ctrl); }
  bool empty() const { return order_.empty(); }
  size_t size() const { return order_.size(); }
  // Index slots (for tests: grows only when more calls are in flight than
  // it has slots).
  size_t slot_count() const { return slots_.size(); }

 private:
  static constexpr size_t kFirstSlots = 64;

  size_t SlotOf(uint64_t seq) const { return static_cast<size_t>(seq) & (slots_.size() - 1); }
  void Grow();

  RpcCallList order_;
  // slots_[seq & (size - 1)] heads a chain through call_chain_. Sequence
  // numbers of calls in flight are mostly consecutive, so chains stay short
  // while there are at least as many slots as calls.
  std::vector<RpcController*> slots_;
};

}  // namespace tarn

#endif  // TARN_RPC_CALL_TABLE_H_
