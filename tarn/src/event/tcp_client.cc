#include "tarn/event/tcp_client.h"

#include "tarn/base/logging.h"
#include "tarn/event/event_loop.h"
#include "tarn/event/event_worker.h"
#include "tarn/event/tcp_connection.h"

namespace tarn {

TcpClient::TcpClient(EventWorker* worker, const SockAddress& peer, const std::string& name)
    : Client(peer, name), worker_(worker) {}

// The connection is closed on its loop before the client goes, so none of
// its callbacks can run after the client (and the owner it calls back) is
// gone. A loop that has ended runs nothing any more.
TcpClient::~TcpClient() {
  if (InLoopThread()) {
    DisConnectInLoop();
  } else {
    worker_->loop()->RunInLoop([this] { DisConnectInLoop(); }, false);
  }
}

bool TcpClient::InLoopThread() const { return worker_->loop()->IsInLoopThread(); }

int TcpClient::Connect() {
  if (InLoopThread()) return ConnectInLoop();
  int ret = -1;
  worker_->loop()->RunInLoop([this, &ret] { ret = ConnectInLoop(); }, false);
  return ret;
}

void TcpClient::DisConnect() {
  if (InLoopThread()) {
    DisConnectInLoop();
    return;
  }
  worker_->loop()->RunInLoop([this] { DisConnectInLoop(); }, false);
}

int TcpClient::TryConnect() {
  auto try_connect = [this] {
    if (!conn_) {
      ConnectInLoop();
    } else if (conn_->IsClosed()) {
      DisConnectInLoop();
      ConnectInLoop();
    }
  };
  if (InLoopThread()) {
    try_connect();
  } else {
    worker_->loop()->RunInLoop(try_connect, false);
  }
  return 0;
}

int TcpClient::ConnectInLoop() {
  if (conn_) return 0;
  LOG_INFO << "tcp client will connect to, peer addr: " << peer_addr_.ToString();
  int64_t id = g_conn_id.fetch_add(1);
  auto conn = std::make_shared<TcpConnection>(worker_, name_, id, peer_addr_);
  conn_ = conn;
  InstallCallbacks(conn.get());
  conn->Init();
  int ret = conn->Connect();
  LOG_DEBUG << "connect to peer address: " << peer_addr_.ToString();
  return ret;
}

void TcpClient::DisConnectInLoop() {
  if (!conn_) return;
  LOG_INFO << "tcp client will be disconnected, peer addr: " << peer_addr_.ToString();
  // On the loop ForceClose runs the close at once.
  if (!conn_->IsClosed()) conn_->ForceClose();
  conn_.reset();
}

}  // namespace tarn
