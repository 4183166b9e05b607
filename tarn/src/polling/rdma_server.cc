#include "tarn/polling/rdma_server.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <unordered_map>
#include <utility>

#include "tarn/base/logging.h"
#include "tarn/event/event_worker.h"
#include "tarn/event/tcp_server.h"
#include "tarn/loop.h"
#include "tarn/polling/polling_worker.h"
#include "tarn/polling/polling_worker_colony.h"
#include "tarn/polling/rdma_connection.h"
#include "tarn/polling/rdma_handshake.h"
#include "tarn/polling/rdma_queue_pair.h"

namespace tarn {

RdmaServer::RdmaServer(EventWorker* acceptor, const SockAddress& listen, const std::string& name,
                       const WorkerOption& option, WorkerColony* colony)
    : Server(acceptor, listen, name, option, colony),
      gate_(std::make_shared<HandshakeGate>()),
      alive_(std::make_shared<int>(0)),
      alive_weak_(alive_),
      handshake_deadline_(kHandshakeDeadlineSeconds),
      max_pending_(kMaxPendingHandshakes) {
  WorkerOption inner_option;
  inner_option.name_prefix = "inner_ew-";
  inner_.reset(new TcpServer(acceptor, listen, "tcp_server_for_rdma", inner_option, nullptr));
  TcpServer* inner = inner_.get();
  inner_->set_connection_success_cb([this, inner](const std::shared_ptr<Connection>& conn) {
    SocketServer::ConnectionSuccessHandle(this, inner, conn);
  });
  inner_->set_connection_closed_cb([this, inner](const std::shared_ptr<Connection>& conn) {
    SocketServer::ConnectionClosedHandle(this, inner, conn);
  });
  inner_->set_message_read_cb([this, inner](const std::shared_ptr<Connection>& conn) {
    SocketServer::MessageReadHandle(this, inner, conn);
  });
}

RdmaServer::~RdmaServer() {
  // First, before waiting for the acceptor: a handshake waiting for a
  // worker whose thread is this one gives up, so the acceptor's stop can
  // end the inner server's thread.
  gate_->Close();
  // Settle on the acceptor loop: stop (which aborts the handshakes still
  // running and closes the connections) and expire the token, so tasks
  // still queued there leave this server alone. A loop that has ended runs
  // nothing any more, so then it is done here.
  auto settle = [this] {
    if (started()) StopInLoop();
    AdoptIncoming();
    alive_.reset();
  };
  if (acceptor_->loop()->RunInLoop(settle, false) != 0) settle();
  inner_.reset();
  // Wait for every close on its worker: an outside colony outlives the
  // server, and a callback run later (a closed callback, or a message that
  // was already in the completion queue) would call back into whoever owns
  // the server, which is going away with it.
  CutMadeConnections();
  if (own_colony_) {
    if (own_colony_->started()) own_colony_->Stop();
    own_colony_.reset();
  }
  conn_map_.clear();
}

void RdmaServer::RememberMade(const std::shared_ptr<RdmaConnection>& conn) {
  std::lock_guard<std::mutex> lock(incoming_mutex_);
  if (made_.size() >= prune_made_at_) {
    made_.erase(std::remove_if(made_.begin(), made_.end(),
                               [](const std::weak_ptr<RdmaConnection>& w) { return w.expired(); }),
                made_.end());
    prune_made_at_ = std::max(kFirstMadePrune, 2 * made_.size());
  }
  made_.push_back(conn);
}

void RdmaServer::CutMadeConnections() {
  std::unordered_map<PollingWorker*, std::vector<std::shared_ptr<RdmaConnection>>> by_worker;
  {
    std::lock_guard<std::mutex> lock(incoming_mutex_);
    for (const auto& weak : made_) {
      std::shared_ptr<RdmaConnection> conn = weak.lock();
      if (conn != nullptr) by_worker[conn->polling_worker()].push_back(std::move(conn));
    }
    made_.clear();
  }
  for (auto& entry : by_worker) {
    std::vector<std::shared_ptr<RdmaConnection>>& conns = entry.second;
    // A loop that has ended runs nothing any more: nothing to cut there.
    entry.first->loop()->RunInLoop(
        [&conns] {
          for (auto& conn : conns) {
            conn->ForceCloseInLoop();
            conn->CutCallbacks();
          }
        },
        false);
  }
  // The sends still outstanding (answers on their way) complete into their
  // own callbacks, which belong to the owner too: let the workers take
  // their flushes while the owner is still whole, for a while; what has not
  // come by then completes as the queue pair is destroyed here. A worker
  // whose own thread destroys the server cannot take them meanwhile, and
  // must not wait for them (it may be inside a completion callback, whose
  // poll's batch is still being handled): there they complete now and the
  // queue pairs are destroyed (once that batch is handled, inside one).
  const auto deadline = std::chrono::steady_clock::now() + kSendDrainWait;
  for (auto& entry : by_worker) {
    PollingWorker* worker = entry.first;
    std::vector<std::shared_ptr<RdmaConnection>>& conns = entry.second;
    if (worker->loop()->IsInLoopThread()) {
      for (auto& conn : conns) worker->SettleSendsNow(conn);
      conns.clear();
      continue;
    }
    for (bool drained = false; !drained;) {
      const bool late = std::chrono::steady_clock::now() >= deadline;
      const int ret = worker->loop()->RunInLoop(
          [&] {
            drained = true;
            for (auto& conn : conns) {
              const std::shared_ptr<RdmaQueuePair>& qp = conn->queue_pair();
              if (qp == nullptr || qp->qp() == nullptr || qp->outstanding_sends() == 0) continue;
              if (late) {
                worker->DestroyConnectionNow(conn);
              } else {
                drained = false;
              }
            }
          },
          false);
      if (ret != 0) break;
      if (!drained) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Dropped here, not on the worker: the worker's table may hold the
    // last reference by now, which is fine either way.
    conns.clear();
  }
}

void RdmaServer::PostToAcceptor(std::function<void()> fn) {
  std::weak_ptr<int> alive = alive_weak_;
  acceptor_->loop()->RunInLoop(
      [alive, fn = std::move(fn)] {
        if (alive.lock()) fn();
      },
      true);
}

int RdmaServer::Start() {
  if (started()) {
    LOG_ERROR << "server has started";
    return -1;
  }
  // Stopped (before a start too): its handshakes are shut for good, and a
  // failed start would take down the colony its connections still run on.
  if (inner_->started() || gate_->closed()) {
    LOG_ERROR << "server has been stopped, a server starts once, server name: " << name_;
    return -1;
  }
  if (colony_ == nullptr) {
    if (worker_num_ == 0) worker_num_ = 1;
    own_colony_.reset(new PollingWorkerColony(worker_num_, option_, create_user_handle_cb_));
    LOG_INFO << "spdk nvme dev size: " << spdk_devs_.size();
    // The colony hands them to its workers only once the SPDK environment
    // is up.
    HandSpdkDevices(own_colony_.get());
    own_colony_->Start();
    colony_ = own_colony_.get();
  }
  if (!colony_->started()) {
    LOG_ERROR << "worker colony is not started!";
    return -1;
  }
  if (inner_->Start() != 0) {
    LOG_ERROR << "inner tcp server starts failed!";
    if (own_colony_) {
      own_colony_->Stop();
      own_colony_.reset();
      colony_ = nullptr;
    }
    return -1;
  }
  // Port 0 asked the system for one: the address is the one bound.
  listen_addr_ = inner_->listen_addr();
  // Handshakes run on the colony's workers from now on; the gate learns
  // when one of them goes, so that no later step reaches for it.
  for (Worker* worker : colony_->GetAllWorkers()) {
    gate_->WatchWorker(static_cast<PollingWorker*>(worker));
  }
  started_.store(true, std::memory_order_release);
  return 0;
}

int RdmaServer::Stop() {
  PostToAcceptor([this] { StopInLoop(); });
  return 0;
}

void RdmaServer::StopInLoop() {
  if (stopped_) return;
  stopped_ = true;
  gate_->Close();
  // First close the handshake connections, then end their loop: the closes
  // queued there still run and abort the handshakes they belong to, so no
  // queue pair is left behind.
  inner_->Stop();
  WorkerColony* inner_colony = inner_->worker_colony();
  if (inner_colony != nullptr && inner_colony->started()) inner_colony->Stop();
  // No handshake runs any more: every connection it made is in the map now.
  AdoptIncoming();
  for (auto& entry : conn_map_) entry.second->ForceClose();
  started_.store(false, std::memory_order_release);
}

int RdmaServer::RemoveConnection(const std::shared_ptr<Connection>& conn) {
  PostToAcceptor([this, conn] {
    auto it = conn_map_.find(conn->id());
    if (it != conn_map_.end() && it->second == conn) {
      LOG_DEBUG << "server name: " << name_ << ", connection name: " << conn->name()
                << ", connection id: " << conn->id();
      conn_map_.erase(it);
      conn->ForceClose();
    } else {
      LOG_INFO << "Invalid Connection, conn id: " << conn->id()
               << ", peer addr: " << conn->peer_addr().ToString();
    }
  });
  return 0;
}

int RdmaServer::RemoveConnectionBySrcIp(const std::string& ip) {
  PostToAcceptor([this, ip] {
    for (auto it = conn_map_.begin(); it != conn_map_.end();) {
      if (it->second->peer_addr().ToIpString() == ip) {
        std::shared_ptr<Connection> conn = it->second;
        LOG_INFO << "RemoveConnection by peer_address: " << conn->peer_addr().ToString()
                 << ", connection_id: " << it->first;
        it = conn_map_.erase(it);
        conn->ForceClose();
      } else {
        ++it;
      }
    }
  });
  return 0;
}

int RdmaServer::AddBlacklist(const std::string& ip, uint32_t seconds) {
  inner_->AddBlacklist(ip, seconds);
  return RemoveConnectionBySrcIp(ip);
}

int RdmaServer::RemoveBlacklist(const std::string& ip) { return inner_->RemoveBlacklist(ip); }

int64_t RdmaServer::OnNewConnection(const std::shared_ptr<RdmaQueuePair>& qp,
                                    PollingWorker* worker, const SockAddress& peer,
                                    const SockAddress& local) {
  const int64_t id = g_conn_id.fetch_add(1);
  std::shared_ptr<RdmaConnection> conn;
  // Created and registered on its worker before the caller sends the reply:
  // the client's ready record and its first message both need the worker
  // to know the queue pair.
  // Through the gate: a server being destroyed on `worker` does not wait
  // for this thread to get in there.
  bool ran = gate_->Run(worker, [&] {
    conn = std::make_shared<RdmaConnection>(worker, "rdma-conn", id, peer,
                                            worker->option().rdma_option);
    InstallCallbacks(conn.get());
    conn->Init();
    conn->set_state(kAccepted);
    conn->set_local_addr(local);
    conn->set_queue_pair(qp);
    worker->AddConnection(conn);
  });
  if (conn != nullptr) RememberMade(conn);
  // Not run (refused, dropped or given up): nothing was made.
  if (!ran || conn == nullptr) {
    LOG_ERROR << "polling worker has stopped, rdma connection not created, peer addr: "
              << peer.ToString();
    return -1;
  }
  {
    std::lock_guard<std::mutex> lock(incoming_mutex_);
    incoming_.push_back(conn);
  }
  PostToAcceptor([this] { AdoptIncoming(); });
  return id;
}

void RdmaServer::AdoptIncoming() {
  std::vector<std::shared_ptr<Connection>> incoming;
  {
    std::lock_guard<std::mutex> lock(incoming_mutex_);
    incoming.swap(incoming_);
  }
  for (auto& conn : incoming) {
    // Closed before it got here: its closed callback's removal has already
    // come and gone, so it must not enter the map.
    if (conn->state() == kDisconnected) continue;
    conn_map_.emplace(conn->id(), conn);
  }
}

void RdmaServer::OnAbortedConnection(int64_t id, const std::shared_ptr<RdmaQueuePair>& qp,
                                     PollingWorker* worker) {
  if (id < 0) {
    LOG_WARN << "cannot find dirty connection, conn_id: " << id;
    // Destroyed on the worker that made it; a caller that does not name the
    // worker leaves it to its device context, which destroys it when it
    // goes (never from this thread: the context is the worker's).
    if (worker != nullptr) DestroyOrphanQueuePair(worker, qp, gate_.get());
    return;
  }
  PostToAcceptor([this, id] {
    auto it = conn_map_.find(id);
    if (it == conn_map_.end()) {
      // Already closed and removed: its queue pair is its own teardown's.
      LOG_WARN << "cannot find dirty connection, conn_id: " << id;
      return;
    }
    LOG_INFO << "abort connection, server name: " << name_
             << ", connection name: " << it->second->name() << ", connection id: " << id;
    it->second->ForceClose();
  });
}

bool RdmaServer::TryStartHandshake() {
  const int before = pending_handshakes_.fetch_add(1, std::memory_order_relaxed);
  if (before < max_pending_handshakes()) return true;
  pending_handshakes_.fetch_sub(1, std::memory_order_relaxed);
  return false;
}

void RdmaServer::SetConnectionPeerReady(PollingWorker* worker, uint32_t qp_num) {
  // Nothing for a worker that has gone: its connections went with it.
  gate_->WithWorker(worker, [worker, qp_num] { worker->SetConnectionPeerReady(qp_num); });
}

}  // namespace tarn
