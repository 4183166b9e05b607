#include "tarn/rpc/call_table.h"

#include "tarn/base/logging.h"

namespace tarn {

void RpcCallList::PushBack(RpcController* ctrl) {
  if (ctrl->call_hook_.linked()) {
    LOG_FATAL << "rpc call entered twice, seq_no: " << ctrl->seq_no();
    return;
  }
  list_.PushBack(ctrl);
}

void RpcInflightCalls::Insert(RpcController* ctrl, bool sent) {
  if (order_.size() >= slots_.size()) Grow();
  order_.PushBack(ctrl);
  ctrl->call_sent_ = sent;
  RpcController*& slot = slots_[SlotOf(ctrl->seq_no())];
  ctrl->call_chain_ = slot;
  slot = ctrl;
}

RpcController* RpcInflightCalls::Find(uint64_t seq) const {
  if (slots_.empty()) return nullptr;
  for (RpcController* c = slots_[SlotOf(seq)]; c != nullptr; c = c->call_chain_) {
    if (c->seq_no() == seq) return c;
  }
  return nullptr;
}

void RpcInflightCalls::Remove(RpcController* ctrl) {
  RpcController** link = &slots_[SlotOf(ctrl->seq_no())];
  while (*link != ctrl) link = &(*link)->call_chain_;
  *link = ctrl->call_chain_;
  ctrl->call_chain_ = nullptr;
  order_.Remove(ctrl);
}

void RpcInflightCalls::Clear() {
  while (!order_.empty()) Remove(order_.front());
}

void RpcInflightCalls::Grow() {
  const size_t n = slots_.empty() ? kFirstSlots : slots_.size() * 2;
  slots_.assign(n, nullptr);
  for (RpcController* c = order_.front(); c != nullptr; c = RpcCallList::next(c)) {
    RpcController*& slot = slots_[SlotOf(c->seq_no())];
    c->call_chain_ = slot;
    slot = c;
  }
}

}  // namespace tarn
