// Internal state of the emulated verbs device.  Every verbs object is a
// record whose first member is the public libibverbs struct, so the pointer
// handed to the caller and the record are the same address.  One mutex
// guards the whole fabric; the few lock-free reads are atomics.
#ifndef VERBS_EMU_FABRIC_H_
#define VERBS_EMU_FABRIC_H_

#include <infiniband/verbs.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "verbs_emu/verbs_emu.h"

namespace verbs_emu {
namespace internal {

using Clock = std::chrono::steady_clock;

struct Context;

struct Qp;

struct Device {
  ibv_device dev;  // first member: ibv_device* is a Device*
  DeviceConfig config;
  std::vector<std::vector<ibv_gid>> gids;  // [port - 1][index], parsed table
  bool listed = true;
  // Queue-pair numbers are the device's own, as on real adapters: two
  // devices hand out the same numbers.
  std::unordered_map<uint32_t, Qp*> qps;  // live ones, by qp_num
  uint32_t next_qp_num = 0x11;
};

struct Pd {
  ibv_pd pd;
  Context* ctx = nullptr;
  int users = 0;  // MRs, QPs and SRQs made on it
};

struct Mr {
  ibv_mr mr;
  Pd* pd = nullptr;
  int access = 0;
};

struct CqEntry {
  ibv_wc wc;
  bool send_slot = false;  // polling it frees a send-queue slot of wc.qp_num
  bool recv_slot = false;  // polling it frees a receive-queue slot of wc.qp_num
};

// A flush completion on its way: real adapters write flushes some time after
// the move to ERROR, so it becomes visible only on a later poll.
struct DeferredCqe {
  uint64_t ready_at = 0;  // the poll (Cq::polls) from which it is visible
  CqEntry entry;
};

struct Cq {
  ibv_cq cq;
  Context* ctx = nullptr;
  int capacity = 0;
  std::deque<CqEntry> entries;
  std::deque<DeferredCqe> deferred;  // in the order they were flushed
  uint64_t polls = 0;                // polls that took the lock
  std::atomic<int> size{0};  // entries.size(), readable without the lock
  int users = 0;             // queue pairs using it
};

struct RecvWqe {
  uint64_t wr_id = 0;
  std::vector<ibv_sge> sges;
};

struct Srq {
  ibv_srq srq;
  Pd* pd = nullptr;
  uint32_t max_wr = 0;
  uint32_t max_sge = 0;
  std::deque<RecvWqe> wqes;
  int users = 0;
};

struct SendWqe {
  uint64_t wr_id = 0;
  ibv_wr_opcode opcode = IBV_WR_SEND;
  bool signaled = false;
  uint32_t imm = 0;
  uint64_t remote_addr = 0;
  uint32_t rkey = 0;
  std::vector<ibv_sge> sges;
  std::vector<char> inline_data;  // IBV_SEND_INLINE: the data, copied at post
  bool is_inline = false;
  // Time-driven transport state of the WR at the head of the send queue.
  bool waiting_peer = false;  // no responder: retry timer armed
  Clock::time_point peer_deadline;
  bool waiting_rnr = false;  // responder had no receive: RNR timer armed
  Clock::time_point rnr_deadline;
};

struct Qp {
  ibv_qp qp;
  Pd* pd = nullptr;
  Cq* send_cq = nullptr;
  Cq* recv_cq = nullptr;
  Srq* srq = nullptr;
  ibv_qp_cap cap{};
  int sq_sig_all = 0;
  ibv_qp_attr attr{};  // the attributes set so far
  std::deque<SendWqe> sq;  // posted, not yet executed
  uint32_t sq_outstanding = 0;  // posted, completion not yet polled
  std::deque<RecvWqe> rq;
  uint32_t rq_outstanding = 0;
  bool last_wqe_reported = false;
  std::map<int, ModifyRecord> modifies;  // by target state
};

struct Context {
  ibv_context ctx;  // first member: ibv_context* is a Context*
  Device* device = nullptr;
  std::deque<ibv_async_event> events;
  uint64_t stale_tokens = 0;  // eventfd counts whose event was withdrawn
};

// The whole fabric.  Every member is guarded by mu except where said.
struct Fabric {
  std::mutex mu;
  std::vector<std::unique_ptr<Device>> devices;  // every device ever defined
  std::unordered_set<Context*> contexts;
  std::unordered_set<Pd*> pds;
  std::unordered_set<Cq*> cqs;
  std::unordered_set<Srq*> srqs;
  std::unordered_set<Qp*> qp_set;
  // Destroyed queue pairs are kept, not freed: libibverbs lets a reader that
  // took an asynchronous event naming a queue pair read it until the event is
  // acknowledged, and here destruction does not wait for that.
  std::vector<std::unique_ptr<Qp>> retired_qps;
  std::unordered_map<uint32_t, Mr*> lkeys;
  std::unordered_map<uint32_t, Mr*> rkeys;
  std::unordered_set<Qp*> busy;  // queue pairs with work in their send queue
  std::atomic<int> busy_count{0};
  // Flush completions not yet visible, over every CQ (readable without the
  // lock: a poll with none anywhere may skip it).
  std::atomic<int> deferred_count{0};
  std::map<std::string, std::deque<int>> failures;
  std::atomic<int> armed_failures{0};  // failures' total, readable without the lock
  double time_scale = 0.001;
  double rnr_time_scale = 1.0;
  uint32_t next_key = 0x1000;
  uint32_t next_handle = 1;
};

Fabric& fabric();

inline Context* ContextOf(ibv_context* c) { return reinterpret_cast<Context*>(c); }
inline Qp* QpOf(ibv_qp* q) { return reinterpret_cast<Qp*>(q); }
inline Cq* CqOf(ibv_cq* c) { return reinterpret_cast<Cq*>(c); }
inline Srq* SrqOf(ibv_srq* s) { return reinterpret_cast<Srq*>(s); }
inline Pd* PdOf(ibv_pd* p) { return reinterpret_cast<Pd*>(p); }
inline Mr* MrOf(ibv_mr* m) { return reinterpret_cast<Mr*>(m); }
inline Device* DeviceOf(ibv_device* d) { return reinterpret_cast<Device*>(d); }

// Consumes one armed failure of `verb`; true and *err set when there was one.
// Callers hold no lock.
bool TakeFailure(const char* verb, int* err);

// The failure return of the verbs that hand back an object: errno set, null.
template <typename T>
T* FailNull(int err) {
  errno = err;
  return nullptr;
}

// The rest runs under fabric().mu.
Device* ListedDevice(const std::string& name);
const PortConfig* PortOf(const Device* dev, uint8_t port);
void QueueEvent(Context* ctx, const ibv_async_event& ev);
void QueueDeviceEvent(Device* dev, ibv_event_type type, int port);
void QueueQpEvent(Qp* qp, ibv_event_type type);
// The live queue pair numbered qp_num: on the named device, or (empty name)
// the only one of that number on any device; null when none or ambiguous.
Qp* FindQp(uint32_t qp_num, const std::string& device = std::string());
// The live queue pair of that number on the device, or null.
Qp* FindQpOn(const Device* dev, uint32_t qp_num);
void WithdrawEvents(Context* ctx, const void* element);
void PushCqe(Cq* cq, const CqEntry& e);
// A flush completion, visible from the CQ's second poll on.
void PushDeferredCqe(Cq* cq, const CqEntry& e);
// Moves the flushes due by this poll into the CQ (after counting the poll).
void RevealDeferred(Cq* cq);
// Drops every completion of the queue pair still queued or on its way, as
// adapters clean a destroyed (or reset) queue pair out of its CQs.
void DiscardCompletions(Qp* qp);
// Drops whatever the CQ still holds (the CQ is going away).
void DropCqContents(Cq* cq);

// Transport (transport.cc).
void MarkBusy(Qp* qp);
void Progress(Clock::time_point now);
void AdvanceQp(Qp* qp, Clock::time_point now);
void EnterError(Qp* qp);
void FlushSend(Qp* qp, const SendWqe& w);
void FlushRecv(Qp* qp, const RecvWqe& w);
ibv_wc_opcode SendCompletionOpcode(ibv_wr_opcode op);

// Destruction of queue pairs (ibv_destroy_qp, ibv_close_device).
void DestroyQpLocked(Qp* qp);

}  // namespace internal
}  // namespace verbs_emu

#endif  // VERBS_EMU_FABRIC_H_
