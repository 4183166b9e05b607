#include "tarn/polling/rdma_handshake.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "tarn/base/logging.h"
#include "tarn/connection.h"
#include "tarn/event/tcp_server.h"
#include "tarn/loop.h"
#include "tarn/polling/polling_worker.h"
#include "tarn/polling/rdma_handle.h"
#include "tarn/polling/rdma_queue_pair.h"
#include "tarn/polling/rdma_server.h"
#include "tarn/worker_colony.h"
#include "tarn/worker_life.h"

namespace tarn {

namespace {

// A worker found without a device context (a fatal device event dropped it)
// gets a moment before it is opened again.
constexpr double kReopenPauseSeconds = 1.0;

const char* TypeName(uint8_t type) {
  switch (type) {
    case RdmaHandshakeRecord::kRequest:
      return "request";
    case RdmaHandshakeRecord::kReady:
      return "ready";
    case RdmaHandshakeRecord::kReply:
      return "reply";
    default:
      return "unknown";
  }
}

void SendRecord(const std::shared_ptr<Connection>& tcp, const RdmaHandshakeRecord& record) {
  tcp->SendData(&record, kHandshakeRecordSize);
}

// Whether the worker's device context is still the one qp was made on (by
// generation: a context made later may sit at the old one's address), and
// qp still lives.
bool OwnsQueuePair(PollingWorker* worker, const RdmaQueuePair& qp) {
  const RdmaHandle* handle = worker->rdma_handle();
  return handle != nullptr && handle->generation() == qp.handle_generation() &&
         qp.qp() != nullptr;
}

// Through the gate when there is one.
bool RunVia(HandshakeGate* gate, PollingWorker* worker, const std::function<void()>& fn) {
  return gate != nullptr ? gate->Run(worker, fn) : RunOnWorker(worker, fn);
}

// On the worker: a new queue pair with our sender fields in *record; the
// device is opened first when `open` is set and the worker has none.
std::shared_ptr<RdmaQueuePair> NewQueuePairOnWorker(PollingWorker* worker, bool open,
                                                    RdmaHandshakeRecord* record,
                                                    HandshakeGate* gate = nullptr) {
  std::shared_ptr<RdmaQueuePair> qp;
  RunVia(gate, worker, [&] {
    if (worker->rdma_handle() == nullptr && (!open || !worker->InitRdma())) return;
    qp = worker->NewQueuePair();
    if (qp) FillSenderFields(*qp, record);
  });
  return qp;
}

}  // namespace

void FillSenderFields(const RdmaQueuePair& qp, RdmaHandshakeRecord* record) {
  record->lid = qp.lid();
  record->qp_num = qp.qp_num();
  const ibv_gid gid = qp.gid();
  std::memcpy(record->gid, gid.raw, sizeof(record->gid));
  record->max_recv_size = qp.max_msg_size();
}

void TakePeerFields(const RdmaHandshakeRecord& peer, RdmaHandshakeRecord* own) {
  own->peer_lid = peer.lid;
  own->peer_qp_num = peer.qp_num;
  std::memcpy(own->peer_gid, peer.gid, sizeof(own->peer_gid));
}

bool RunOnWorker(PollingWorker* worker, const std::function<void()>& fn) {
  return worker->loop()->RunInLoop(fn, false) == 0;
}

// One wait of Run: queued, running on the worker, then ran; or dropped
// unrun (the worker's loop went with it still queued); or given up by its
// waiter while still queued.
struct HandshakeGate::Call {
  enum State { kQueued, kRunning, kRan, kDropped, kAbandoned };
  State state = kQueued;
  bool counted = false;  // in queued_ while kQueued
};

void HandshakeGate::Leave(Call* call, int state) {
  if (call->counted) {
    call->counted = false;
    --queued_;
  }
  call->state = static_cast<Call::State>(state);
}

HandshakeGate::~HandshakeGate() {
  for (Watch& w : watches_) w.life->Unwatch(w.id);
}

void HandshakeGate::WatchWorker(PollingWorker* worker) {
  std::lock_guard<std::mutex> watch_lock(watch_mutex_);
  for (const Watch& w : watches_) {
    if (w.worker == worker) return;
  }
  std::shared_ptr<WorkerLife> life = worker->life();
  // The watcher names the worker only by its pointer, never followed.
  const uint64_t id = life->Watch([this, worker] {
    std::lock_guard<std::mutex> lock(mutex_);
    MarkGoneLocked(worker);
  });
  if (id == 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    MarkGoneLocked(worker);
    return;
  }
  watches_.push_back(Watch{worker, std::move(life), id});
}

bool HandshakeGate::GoneLocked(const PollingWorker* worker) const {
  return std::find(gone_.begin(), gone_.end(), worker) != gone_.end();
}

void HandshakeGate::MarkGoneLocked(const PollingWorker* worker) {
  if (!GoneLocked(worker)) gone_.push_back(worker);
}

bool HandshakeGate::WithWorker(PollingWorker* worker, const std::function<void()>& fn) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (GoneLocked(worker)) return false;
  // Its own thread runs this: the worker cannot go meanwhile.
  if (worker->loop()->IsInLoopThread()) lock.unlock();
  fn();
  return true;
}

bool HandshakeGate::Run(PollingWorker* worker, const std::function<void()>& fn) {
  std::unique_lock<std::mutex> lock(mutex_);
  // A worker that has gone is not even asked for its loop.
  if (closed_ || GoneLocked(worker)) return false;
  if (worker->loop()->IsInLoopThread()) {
    lock.unlock();
    fn();
    return true;
  }
  auto call = std::make_shared<Call>();
  // The waiter stays until the call has run or was dropped unless it gave
  // it up while queued, and then fn is never touched: the task may borrow
  // it.
  const std::function<void()>* borrowed = &fn;
  std::shared_ptr<HandshakeGate> self = shared_from_this();
  // Settles the call however the task ends: ran, or released unrun (a
  // refused post, or a loop that went without running it).
  auto finish = std::shared_ptr<void>(nullptr, [self, call](void*) {
    std::lock_guard<std::mutex> lock(self->mutex_);
    if (call->state == Call::kRunning) {
      call->state = Call::kRan;
    } else if (call->state == Call::kQueued) {
      self->Leave(call.get(), Call::kDropped);
    }
    self->changed_.notify_all();
  });
  // Posted under the lock: a watched worker that begins to go meanwhile
  // waits for the post to be done before its loop goes (and drops the
  // task then).
  const int ret = worker->loop()->RunInLoop(
      [self, call, borrowed, finish] {
        {
          std::lock_guard<std::mutex> lock(self->mutex_);
          if (call->state != Call::kQueued) return;
          self->Leave(call.get(), Call::kRunning);
        }
        (*borrowed)();
      },
      true);
  lock.unlock();
  finish.reset();
  lock.lock();
  if (ret != 0) {
    call->state = Call::kAbandoned;
    return false;
  }
  if (call->state == Call::kQueued) {
    call->counted = true;
    ++queued_;
  }
  changed_.wait(lock, [&] {
    return call->state == Call::kRan || call->state == Call::kDropped ||
           (closed_ && call->state == Call::kQueued);
  });
  if (call->state == Call::kRan) return true;
  if (call->state == Call::kQueued) Leave(call.get(), Call::kAbandoned);
  // Accepted, then released unrun: the loop went, and its worker with it.
  // Only the pointer is kept, never followed.
  if (call->state == Call::kDropped) MarkGoneLocked(worker);
  return false;
}

void HandshakeGate::Pause(double seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return closed_; });
}

void HandshakeGate::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  changed_.notify_all();
}

bool HandshakeGate::closed() {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

bool HandshakeGate::gone(const PollingWorker* worker) {
  std::lock_guard<std::mutex> lock(mutex_);
  return GoneLocked(worker);
}

size_t HandshakeGate::queued() {
  std::lock_guard<std::mutex> lock(mutex_);
  return queued_;
}

void DestroyOrphanQueuePair(PollingWorker* worker, const std::shared_ptr<RdmaQueuePair>& qp,
                            HandshakeGate* gate) {
  if (!qp) return;
  if (gate != nullptr) {
    gate->WithWorker(worker, [worker, &qp] { DestroyOrphanQueuePair(worker, qp); });
    return;
  }
  // Not waited for: the worker may be the one waiting for this thread (a
  // server destroyed there). A loop that has ended runs nothing more; the
  // worker's teardown destroys every queue pair of its context, this one
  // included (destroying it here would race with that teardown).
  std::shared_ptr<RdmaQueuePair> orphan = qp;
  worker->loop()->RunInLoop(
      [worker, orphan] {
        if (OwnsQueuePair(worker, *orphan)) worker->DestroyOrphanQp(orphan);
      },
      true);
}

int BringUpQueuePair(PollingWorker* worker, const std::shared_ptr<RdmaQueuePair>& qp,
                     const RdmaHandshakeRecord& peer, HandshakeGate* gate) {
  int ret = -1;
  RunVia(gate, worker, [&] {
    if (!OwnsQueuePair(worker, *qp)) {
      LOG_ERROR << "device context of qp gone during handshake, qp_num: " << qp->qp_num();
      return;
    }
    qp->set_peer_lid(peer.lid);
    qp->set_peer_qp_num(peer.qp_num);
    ibv_gid gid;
    std::memcpy(gid.raw, peer.gid, sizeof(gid.raw));
    qp->set_peer_gid(gid);
    qp->set_peer_max_recv_size(peer.max_recv_size);
    if (qp->ModifyQpToRts() != 0) return;  // logged by the queue pair
    worker->set_cached_gid(qp->gid());
    // On this loop the handle posts the receives at once.
    worker->rdma_handle()->PostQpRecvWr(qp);
    ret = 0;
  });
  return ret;
}

// ---- Server side ----

namespace {

RdmaServerHandshake* ContextOf(const std::shared_ptr<Connection>& conn) {
  return static_cast<RdmaServerHandshake*>(conn->context());
}

// Drops the context (the handshake no longer counts as pending).
void DropContext(RdmaServer* server, const std::shared_ptr<Connection>& conn,
                 RdmaServerHandshake* ctx) {
  conn->worker()->loop()->CancelTimer(ctx->deadline);
  conn->set_context(nullptr);
  delete ctx;
  server->HandshakeEnded();
}

// Drops the context and lets the inner server close the TCP connection.
void Detach(RdmaServer* server, TcpServer* inner, const std::shared_ptr<Connection>& conn,
            RdmaServerHandshake* ctx) {
  DropContext(server, conn, ctx);
  inner->RemoveConnection(conn);
}

// After a bad record or a failed transition. A queue pair that an RDMA
// connection already owns is that connection's to tear down (destroying it
// here would pull it from under a live connection); only an orphan is
// destroyed, and not by a worker that has gone (its teardown does it).
// Either way the TCP connection closes, so the peer is not left waiting.
void CleanUp(RdmaServer* server, TcpServer* inner, const std::shared_ptr<Connection>& conn,
             RdmaServerHandshake* ctx) {
  if (ctx->conn_id >= 0) {
    server->OnAbortedConnection(ctx->conn_id, ctx->qp, ctx->worker);
  } else {
    DestroyOrphanQueuePair(ctx->worker, ctx->qp, server->handshake_gate());
  }
  Detach(server, inner, conn, ctx);
}

// The handshake accepted as `serial` has not completed in time: closed like
// a bad record, its queue pair destroyed (or its RDMA connection closed).
void EnforceServerDeadline(RdmaServer* server, TcpServer* inner,
                           const std::weak_ptr<Connection>& weak, uint64_t serial) {
  std::shared_ptr<Connection> conn = weak.lock();
  if (conn == nullptr) return;
  RdmaServerHandshake* ctx = ContextOf(conn);
  if (ctx == nullptr || ctx->serial != serial) return;  // completed or cleaned up
  LOG_ERROR << "rdma handshake not completed in time, closed, qp_num: " << ctx->qp->qp_num()
            << ", conn_id: " << ctx->conn_id << ", peer addr: " << conn->peer_addr().ToString();
  CleanUp(server, inner, conn, ctx);
}

// The request: our queue pair to RTS, the RDMA connection created and
// registered, then the reply. false when the handshake cannot go on.
bool AcceptRequest(RdmaServer* server, const std::shared_ptr<Connection>& conn,
                   RdmaServerHandshake* ctx, const RdmaHandshakeRecord& request) {
  TakePeerFields(request, &ctx->record);
  if (BringUpQueuePair(ctx->worker, ctx->qp, request, server->handshake_gate()) != 0) return false;
  ctx->conn_id =
      server->OnNewConnection(ctx->qp, ctx->worker, conn->peer_addr(), conn->local_addr());
  if (ctx->conn_id < 0) return false;
  ctx->stage = RdmaServerHandshake::kAwaitReady;
  ctx->record.type = RdmaHandshakeRecord::kReply;
  ctx->record.version = RdmaHandshakeRecord::kVersion;
  SendRecord(conn, ctx->record);
  return true;
}

}  // namespace

void SocketServer::ConnectionSuccessHandle(RdmaServer* server, TcpServer* inner,
                                           const std::shared_ptr<Connection>& conn) {
  if (!server->TryStartHandshake()) {
    const uint64_t refused = server->CountRefusedHandshake();
    if (refused == 1 || refused % kRefusalLogEvery == 0) {
      LOG_WARN << "too many rdma handshakes in progress, refused, peer addr: "
               << conn->peer_addr().ToString() << ", refused so far: " << refused;
    }
    inner->RemoveConnection(conn);
    return;
  }
  WorkerColony* colony = server->worker_colony();
  auto* worker =
      colony != nullptr ? static_cast<PollingWorker*>(colony->GetWorker()) : nullptr;
  if (worker == nullptr) {
    LOG_ERROR << "no polling worker for rdma handshake, peer addr: "
              << conn->peer_addr().ToString();
    server->HandshakeEnded();
    inner->RemoveConnection(conn);
    return;
  }
  auto* ctx = new RdmaServerHandshake;
  ctx->worker = worker;
  HandshakeGate* gate = server->handshake_gate();
  ctx->qp = NewQueuePairOnWorker(worker, false, &ctx->record, gate);
  if (!ctx->qp) {
    bool has_device = true;
    gate->Run(worker, [&] { has_device = worker->rdma_handle() != nullptr; });
    if (!has_device) {
      LOG_WARN << "rdma_handle is NULL, worker: " << worker->name();
      gate->Pause(kReopenPauseSeconds);
      ctx->qp = NewQueuePairOnWorker(worker, true, &ctx->record, gate);
    }
  }
  if (!ctx->qp) {
    LOG_ERROR << "no queue pair for rdma handshake, peer addr: " << conn->peer_addr().ToString();
    delete ctx;
    server->HandshakeEnded();
    inner->RemoveConnection(conn);
    return;
  }
  ctx->serial = NextRdmaGeneration();
  conn->set_context(ctx);
  // Runs on this (the inner server's) loop, which ends before the server
  // goes.
  std::weak_ptr<Connection> weak = conn;
  const uint64_t serial = ctx->serial;
  ctx->deadline =
      conn->worker()->loop()->RunAfter(server->handshake_deadline(), [server, inner, weak, serial] {
        EnforceServerDeadline(server, inner, weak, serial);
      });
}

void SocketServer::ConnectionClosedHandle(RdmaServer* server, TcpServer* inner,
                                          const std::shared_ptr<Connection>& conn) {
  inner->RemoveConnection(conn);
  RdmaServerHandshake* ctx = ContextOf(conn);
  if (ctx == nullptr) {
    LOG_DEBUG << "rdma connection already established or destroyed";
    return;
  }
  LOG_WARN << "rdma connection already submitted to rdma server, "
           << "but further negotiation failed, clean up dirty connection, "
           << "qp_num: " << ctx->qp->qp_num() << ", conn_id: " << ctx->conn_id;
  server->OnAbortedConnection(ctx->conn_id, ctx->qp, ctx->worker);
  DropContext(server, conn, ctx);
}

void SocketServer::MessageReadHandle(RdmaServer* server, TcpServer* inner,
                                     const std::shared_ptr<Connection>& conn) {
  while (conn->ReadableLength() > 2) {
    RdmaServerHandshake* ctx = ContextOf(conn);
    if (ctx == nullptr) return;  // finished or given up: the close follows
    uint8_t head[2];
    conn->ReceiveData(head, sizeof(head));
    if (head[1] != RdmaHandshakeRecord::kVersion) {
      LOG_ERROR << "unknown handshake message, version: " << static_cast<int>(head[1]);
      CleanUp(server, inner, conn, ctx);
      return;
    }
    if (conn->ReadableLength() < kHandshakeRecordSize) return;
    RdmaHandshakeRecord record;
    conn->RemoveData(&record, kHandshakeRecordSize);
    const uint32_t magic = record.magic;
    if (magic != RdmaHandshakeRecord::kMagic) {
      LOG_ERROR << "magic invalid, " << magic;
      CleanUp(server, inner, conn, ctx);
      return;
    }
    const uint8_t expected = ctx->stage == RdmaServerHandshake::kAwaitRequest
                                 ? RdmaHandshakeRecord::kRequest
                                 : RdmaHandshakeRecord::kReady;
    if (record.type != expected) {
      LOG_ERROR << "unexpected handshake message, type: " << static_cast<int>(record.type)
                << " (" << TypeName(record.type) << "), expected: " << TypeName(expected)
                << ", peer addr: " << conn->peer_addr().ToString();
      CleanUp(server, inner, conn, ctx);
      return;
    }
    if (record.type == RdmaHandshakeRecord::kRequest) {
      if (!AcceptRequest(server, conn, ctx, record)) {
        CleanUp(server, inner, conn, ctx);
        return;
      }
      continue;
    }
    // The ready record: the client has posted its receives. The connection
    // was registered with its worker before the reply went out, so the
    // worker finds it.
    server->SetConnectionPeerReady(ctx->worker, ctx->qp->qp_num());
    Detach(server, inner, conn, ctx);
    return;
  }
}

// ---- Client side ----

RdmaClientHandshake::RdmaClientHandshake(PollingWorker* worker, ConnectCallback on_connect,
                                         DisconnectCallback on_disconnect)
    : worker_(worker),
      on_connect_(std::move(on_connect)),
      on_disconnect_(std::move(on_disconnect)) {
  qp_ = NewQueuePairOnWorker(worker_, false, &record_);
}

void RdmaClientHandshake::OnEstablished(const std::shared_ptr<Connection>& tcp) {
  if (!qp_) {
    tcp->ForceClose();
    return;
  }
  record_.type = RdmaHandshakeRecord::kRequest;
  SendRecord(tcp, record_);
}

void RdmaClientHandshake::OnMessage(const std::shared_ptr<Connection>& tcp) {
  while (!closed_ && tcp->ReadableLength() >= kHandshakeRecordSize) {
    RdmaHandshakeRecord record;
    tcp->RemoveData(&record, kHandshakeRecordSize);
    const uint32_t magic = record.magic;
    if (record.version != RdmaHandshakeRecord::kVersion ||
        magic != RdmaHandshakeRecord::kMagic || record.type != RdmaHandshakeRecord::kReply ||
        replied_ || !qp_) {
      LOG_ERROR << "unexpected handshake message from server, type: "
                << static_cast<int>(record.type) << ", version: "
                << static_cast<int>(record.version) << ", magic: " << magic
                << ", replied: " << replied_ << ", peer addr: " << tcp->peer_addr().ToString();
      tcp->ForceClose();
      return;
    }
    TakePeerFields(record, &record_);
    if (BringUpQueuePair(worker_, qp_, record) != 0) {
      tcp->ForceClose();
      return;
    }
    replied_ = true;
    record_.type = RdmaHandshakeRecord::kReady;
    record_.version = RdmaHandshakeRecord::kVersion;
    SendRecord(tcp, record_);
    if (on_connect_) on_connect_(qp_, tcp->local_addr());
  }
}

void RdmaClientHandshake::OnClosed() {
  if (closed_) return;
  closed_ = true;
  if (qp_ && on_disconnect_) on_disconnect_(qp_);
}

void RdmaClientHandshake::Silence() {
  on_connect_ = nullptr;
  on_disconnect_ = nullptr;
}

}  // namespace tarn
