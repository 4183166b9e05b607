#include "tarn/event/tcp_server.h"

#include "tarn/base/logging.h"
#include "tarn/event/acceptor.h"
#include "tarn/event/event_loop.h"
#include "tarn/event/event_worker.h"
#include "tarn/event/event_worker_colony.h"
#include "tarn/event/tcp_connection.h"

namespace tarn {

TcpServer::TcpServer(EventWorker* acceptor, const SockAddress& listen, const std::string& name,
                     const WorkerOption& option, WorkerColony* colony)
    : Server(acceptor, listen, name, option, colony), alive_(std::make_shared<int>(0)) {}

TcpServer::~TcpServer() {
  // Settle everything on the acceptor loop: stop accepting, close the
  // connections, and expire the token so that tasks and blacklist timers
  // still queued there leave this server alone. A loop that has ended runs
  // nothing any more, so then it is done here.
  auto settle = [this] {
    if (started()) StopInLoop();
    alive_.reset();
  };
  if (acceptor_->loop()->RunInLoop(settle, false) != 0) settle();
  // Nothing on the acceptor loop touches the map any more. Wait for every
  // close on its connection's loop: an outside colony outlives the server,
  // and a closed callback run later would call back into a server gone.
  for (auto& entry : conn_map_) {
    std::shared_ptr<Connection> conn = entry.second;
    auto* tcp = static_cast<TcpConnection*>(conn.get());
    if (tcp->loop()->RunInLoop([conn] { conn->ForceClose(); }, false) != 0) {
      // Its loop has ended (an outside colony stopped first, as it should):
      // nothing runs there any more, so the close runs here.
      tcp->CloseAfterLoopEnded();
    }
  }
  processor_.reset();
  if (own_colony_) {
    // The closes posted to the workers run before their loops stop.
    if (own_colony_->started()) own_colony_->Stop();
    own_colony_.reset();
  }
  conn_map_.clear();
}

void TcpServer::PostToAcceptor(std::function<void()> fn) {
  std::weak_ptr<int> alive = alive_;
  acceptor_->loop()->RunInLoop(
      [alive, fn = std::move(fn)] {
        if (alive.lock()) fn();
      },
      true);
}

int TcpServer::Start() {
  if (started()) {
    LOG_ERROR << "server has started";
    return -1;
  }
  if (colony_ == nullptr) {
    if (worker_num_ == 0) worker_num_ = 1;
    own_colony_.reset(new EventWorkerColony(worker_num_, option_, create_user_handle_cb_));
    own_colony_->Start();
    colony_ = own_colony_.get();
  }
  if (!colony_->started()) {
    LOG_ERROR << "worker colony is not started!";
    return -1;
  }
  processor_.reset(new Processor(this, acceptor_));
  int ret = processor_->Bind(listen_addr_);
  if (ret == 0) {
    // Port 0 asks the system for a port: from now on the address is the
    // one actually bound.
    listen_addr_ = processor_->bound_addr();
    ret = processor_->Start();
  }
  if (ret != 0) {
    LOG_SYSERR << "server bind error";
    processor_->Stop();
    processor_.reset();
    if (own_colony_) {
      own_colony_->Stop();
      own_colony_.reset();
      colony_ = nullptr;
    }
    return ret < 0 ? ret : -1;
  }
  started_.store(true, std::memory_order_release);
  return 0;
}

int TcpServer::Stop() {
  PostToAcceptor([this] { StopInLoop(); });
  return 0;
}

void TcpServer::StopInLoop() {
  if (processor_) processor_->Stop();
  for (auto& entry : conn_map_) entry.second->ForceClose();
}

int TcpServer::RemoveConnection(const std::shared_ptr<Connection>& conn) {
  PostToAcceptor([this, conn] {
    auto it = conn_map_.find(conn->id());
    if (it != conn_map_.end()) {
      LOG_DEBUG << "server name: " << name_ << ", connection name: " << conn->name()
                << ", connection id: " << conn->id();
      conn_map_.erase(it);
      conn->ForceClose();
    } else {
      LOG_DEBUG << "Connection has been removed, conn id: " << conn->id()
                << ", peer addr: " << conn->peer_addr().ToString();
    }
  });
  return 0;
}

int TcpServer::RemoveConnectionBySrcIp(const std::string& ip) {
  PostToAcceptor([this, ip] {
    for (auto it = conn_map_.begin(); it != conn_map_.end();) {
      if (it->second->peer_addr().ToIpString() == ip) {
        LOG_INFO << "RemoveConnection by peer_address: " << ip << ", connection id: " << it->first;
        std::shared_ptr<Connection> conn = it->second;
        it = conn_map_.erase(it);
        conn->ForceClose();
      } else {
        ++it;
      }
    }
  });
  return 0;
}

int TcpServer::AddBlacklist(const std::string& ip, uint32_t seconds) {
  uint64_t generation = blacklist_generation_.fetch_add(1) + 1;
  PostToAcceptor([this, ip, generation] {
    if (!blacklist_.insert(ip).second) {
      LOG_WARN << "client ip has exist in blacklist, ip: " << ip;
    }
    // A timed entry ends with the latest addition of that address, so a
    // later permanent addition is not lifted by an earlier timer.
    blacklist_owner_[ip] = generation;
  });
  RemoveConnectionBySrcIp(ip);
  if (seconds > 0) {
    std::weak_ptr<int> alive = alive_;
    acceptor_->loop()->RunAfter(seconds, [this, alive, ip, generation] {
      if (!alive.lock()) return;
      auto owner = blacklist_owner_.find(ip);
      if (owner == blacklist_owner_.end() || blacklist_.count(ip) == 0) {
        LOG_ERROR << "client ip not exist in blacklist, ip: " << ip;
        return;
      }
      if (owner->second != generation) return;  // added again since
      blacklist_.erase(ip);
      blacklist_owner_.erase(owner);
    });
  } else {
    LOG_WARN << "add into blacklist permanently, client ip: " << ip;
  }
  return 0;
}

int TcpServer::RemoveBlacklist(const std::string& ip) {
  PostToAcceptor([this, ip] {
    blacklist_owner_.erase(ip);
    if (blacklist_.erase(ip) == 0) {
      LOG_WARN << "client ip not exist in blacklist, ip: " << ip;
    }
  });
  return 0;
}

bool TcpServer::VerifySrcIp(const std::string& ip) { return blacklist_.count(ip) == 0; }

void TcpServer::CreateConnection(EventWorker* worker,
                                 const std::shared_ptr<ConnectedSocket>& socket,
                                 const SockAddress& peer) {
  PostToAcceptor([this, worker, socket, peer] {
    int64_t id = g_conn_id.fetch_add(1);
    std::string conn_name = name_ + "-connection-" + std::to_string(id);
    auto conn = std::make_shared<TcpConnection>(worker, conn_name, id, peer);
    conn->set_local_addr(listen_addr_);
    InstallCallbacks(conn.get());
    conn->Init();
    // Mapped before Accept: on a worker sharing this loop the connection is
    // established inline, and its callbacks may already remove it.
    conn_map_.emplace(id, conn);
    conn->Accept(socket);
  });
}

}  // namespace tarn
