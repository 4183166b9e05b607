#include "tarn/polling/rdma_client.h"

#include <unistd.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "tarn/base/logging.h"
#include "tarn/event/event_worker.h"
#include "tarn/loop.h"
#include "tarn/polling/polling_worker.h"
#include "tarn/polling/rdma_connection.h"
#include "tarn/polling/rdma_queue_pair.h"
#include "tarn/worker_thread.h"

namespace tarn {

namespace {

// A worker found without a device context (a fatal device event dropped it)
// gets a moment before it is opened again.
constexpr useconds_t kReopenPauseUs = 1000000;

// The helper once it exists; polling workers being destroyed look here so
// that they never create it just to say goodbye.
std::atomic<RdmaClientHelper*> g_helper{nullptr};

// A job whose client is gone, or whose connection was replaced, before its
// queue pair was ready: nothing waits for it any more.
void DropJob(PollingWorker* worker, const std::shared_ptr<RdmaQueuePair>& qp, int64_t conn_id,
             int job_id) {
  LOG_WARN << "previous connection has been destroyed, conn_id: " << conn_id
           << ", job_id: " << job_id << ", qp_num: " << (qp ? qp->qp_num() : 0);
  RdmaClientHelper::Instance().RemoveJob(job_id);
  DestroyOrphanQueuePair(worker, qp);
}

}  // namespace

// ---- RdmaClient ----

RdmaClient::RdmaClient(PollingWorker* worker, const SockAddress& peer, const std::string& name)
    : Client(peer, name), worker_(worker), alive_(std::make_shared<int>(0)) {}

RdmaClient::~RdmaClient() {
  // The jobs of this client check the token on the worker's loop, so it
  // expires there; a loop that has ended runs nothing any more.
  if (InLoopThread() || worker_->loop()->RunInLoop([this] { Teardown(); }, false) != 0) {
    Teardown();
  }
}

bool RdmaClient::InLoopThread() const { return worker_->loop()->IsInLoopThread(); }

void RdmaClient::Teardown() {
  DisConnect();
  alive_.reset();
}

int RdmaClient::Connect() {
  if (!InLoopThread()) {
    int ret = 0;
    worker_->loop()->RunInLoop([this, &ret] { ret = Connect(); }, false);
    return ret;
  }
  if (conn_) return 0;
  LOG_INFO << "rdma client will connect to, peer addr: " << peer_addr_.ToString();
  const int64_t id = g_conn_id.fetch_add(1);
  auto conn = std::make_shared<RdmaConnection>(worker_, "rdma-conn-" + std::to_string(id), id,
                                               peer_addr_, worker_->option().rdma_option);
  conn_ = conn;
  InstallCallbacks(conn.get());
  conn->Init();
  conn->set_state(kConnecting);

  RdmaClientJob job;
  job.peer = peer_addr_;
  job.conn_id = id;
  job.worker = worker_;
  std::weak_ptr<int> alive = alive_;
  PollingWorker* worker = worker_;
  // The comparison with the current connection and the attaching of the
  // queue pair happen on the worker's loop, where the client lives; the
  // negotiation thread only hands them over.
  job.on_conn_init = [this, alive, worker](const std::shared_ptr<RdmaQueuePair>& qp,
                                           int64_t conn_id, int job_id) {
    auto task = [this, alive, worker, qp, conn_id, job_id] {
      if (alive.lock()) {
        OnConnInit(qp, conn_id, job_id);
      } else {
        DropJob(worker, qp, conn_id, job_id);
      }
    };
    if (worker->loop()->RunInLoop(task, true) != 0) DropJob(worker, qp, conn_id, job_id);
  };
  job.on_connect = [worker](const std::shared_ptr<RdmaQueuePair>& qp, const SockAddress& local) {
    OnConnect(worker, qp, local);
  };
  job.on_disconnect = [worker](const std::shared_ptr<RdmaQueuePair>& qp) {
    OnDisConnect(worker, qp);
  };
  LOG_INFO << "submit job to negotiation-thread, conn_id: " << id;
  RdmaClientHelper::Instance().SubmitJob(job);
  return 0;
}

void RdmaClient::DisConnect() {
  if (!InLoopThread()) {
    worker_->loop()->RunInLoop([this] { DisConnect(); }, false);
    return;
  }
  // The connections a reconnect replaced may still hold answers for this
  // owner: they stop calling back too.
  for (const std::weak_ptr<RdmaConnection>& weak : replaced_) {
    if (std::shared_ptr<RdmaConnection> old = weak.lock()) old->CutCallbacks();
  }
  replaced_.clear();
  if (!conn_) return;
  LOG_INFO << "rdma client will be disconnected, peer addr: " << peer_addr_.ToString();
  // On the loop ForceClose closes at once. Then the connection no longer
  // calls back: messages still queued for it on the device would otherwise
  // reach an owner that may be about to go (a client destroyed now).
  if (!conn_->IsClosed()) conn_->ForceClose();
  static_cast<RdmaConnection*>(conn_.get())->CutCallbacks();
  conn_.reset();
}

void RdmaClient::Replace() {
  // Closed here, not let go: what it received before the close (answers to
  // calls still waiting) still reaches this owner, until the owner goes or
  // disconnects for good.
  replaced_.erase(std::remove_if(replaced_.begin(), replaced_.end(),
                                 [](const std::weak_ptr<RdmaConnection>& w) { return w.expired(); }),
                  replaced_.end());
  replaced_.push_back(std::static_pointer_cast<RdmaConnection>(conn_));
  conn_.reset();
}

int RdmaClient::TryConnect() {
  if (!InLoopThread()) {
    worker_->loop()->RunInLoop([this] { TryConnect(); }, false);
    return 0;
  }
  if (worker_->rdma_handle() == nullptr) {
    LOG_WARN << "rdma_handle is NULL";
    usleep(kReopenPauseUs);
    if (!worker_->InitRdma()) return 0;
  }
  if (!conn_) {
    Connect();
  } else if (conn_->IsClosed()) {
    LOG_INFO << "rdma client will be disconnected, peer addr: " << peer_addr_.ToString();
    Replace();
    Connect();
  }
  return 0;
}

void RdmaClient::OnConnInit(const std::shared_ptr<RdmaQueuePair>& qp, int64_t conn_id,
                            int job_id) {
  worker_->loop()->AssertInLoopThread();
  auto conn = std::static_pointer_cast<RdmaConnection>(conn_);
  if (!conn || conn->id() != conn_id || conn->state() != kConnecting) {
    DropJob(worker_, qp, conn_id, job_id);
    return;
  }
  // A queue pair destroyed meanwhile (its worker dropped its device) is as
  // good as none.
  if (!qp || qp->qp() == nullptr) {
    LOG_ERROR << "no queue pair for rdma connection, conn_id: " << conn_id
              << ", job_id: " << job_id << ", peer addr: " << peer_addr_.ToString();
    RdmaClientHelper::Instance().RemoveJob(job_id);
    conn->ForceClose();
    return;
  }
  // Attached and registered before the handshake's TCP connection opens, so
  // on_connect and on_disconnect always find it in the worker's table.
  conn->set_queue_pair(qp);
  worker_->AddConnection(conn);
  RdmaClientHelper::Instance().ExecuteJob(job_id);
}

void RdmaClient::OnConnect(PollingWorker* worker, const std::shared_ptr<RdmaQueuePair>& qp,
                           const SockAddress& local) {
  worker->UpdateConnectionWithQueuePair(qp, false, local);
}

void RdmaClient::OnDisConnect(PollingWorker* worker, const std::shared_ptr<RdmaQueuePair>& qp) {
  if (qp) worker->UpdateConnectionWithQueuePair(qp, true, SockAddress());
}

// ---- RdmaClientHelper::SocketClient ----

RdmaClientHelper::SocketClient::SocketClient(EventWorker* worker, int job_id,
                                             const RdmaClientJob& job, RdmaClientHelper* helper)
    : TcpClient(worker, job.peer, "tcp_client_for_rdma-" + std::to_string(job_id)),
      job_id_(job_id),
      job_(job),
      helper_(helper),
      handshake_(job.worker, job.on_connect, job.on_disconnect) {
  set_connection_success_cb(
      [this](const std::shared_ptr<Connection>& conn) { ConnectionSuccessHandle(conn); });
  set_connection_closed_cb(
      [this](const std::shared_ptr<Connection>& conn) { ConnectionClosedHandle(conn); });
  set_message_read_cb(
      [this](const std::shared_ptr<Connection>& conn) { MessageReadHandle(conn); });
}

RdmaClientHelper::SocketClient::~SocketClient() {
  // Close while this object is whole: the closed callback calls back here.
  handshake_.Silence();
  DisConnect();
}

void RdmaClientHelper::SocketClient::ConnectionSuccessHandle(
    const std::shared_ptr<Connection>& conn) {
  handshake_.OnEstablished(conn);
}

void RdmaClientHelper::SocketClient::ConnectionClosedHandle(const std::shared_ptr<Connection>&) {
  handshake_.OnClosed();
  helper_->RemoveJob(job_id_);
}

void RdmaClientHelper::SocketClient::MessageReadHandle(const std::shared_ptr<Connection>& conn) {
  handshake_.OnMessage(conn);
}

// ---- RdmaClientHelper ----

RdmaClientHelper& RdmaClientHelper::Instance() {
  static RdmaClientHelper helper;
  return helper;
}

RdmaClientHelper::RdmaClientHelper()
    : thread_(new WorkerThread("inner_client", nullptr, WorkerOption(), false)) {
  worker_ = static_cast<EventWorker*>(thread_->Start());
  if (worker_ == nullptr) LOG_FATAL << "negotiation thread inner_client failed to start";
  g_helper.store(this, std::memory_order_release);
}

RdmaClientHelper::~RdmaClientHelper() {
  LOG_INFO << "destruct RdmaClientHelper, ptr: " << static_cast<const void*>(this);
  g_helper.store(nullptr, std::memory_order_release);
  // The jobs' TCP clients belong to the negotiation loop: drop them there,
  // without reporting to polling workers that may be gone by now.
  worker_->loop()->RunInLoop(
      [this] {
        for (auto& entry : jobs_) entry.second->handshake()->Silence();
        jobs_.clear();
      },
      false);
  thread_->Stop();
  thread_.reset();
}

void RdmaClientHelper::SubmitJob(const RdmaClientJob& job) {
  int ret = worker_->loop()->RunInLoop(
      [this, job] {
        const int job_id = job_counter_++;
        auto client = std::make_shared<SocketClient>(worker_, job_id, job, this);
        jobs_.emplace(job_id, client);
        if (job.on_conn_init) job.on_conn_init(client->handshake()->qp(), job.conn_id, job_id);
      },
      true);
  // The negotiation thread is gone (process exit): the attempt fails at once.
  if (ret != 0 && job.on_conn_init) job.on_conn_init(nullptr, job.conn_id, -1);
}

void RdmaClientHelper::ExecuteJob(int job_id) {
  worker_->loop()->RunInLoop(
      [this, job_id] {
        auto it = jobs_.find(job_id);
        if (it == jobs_.end()) return;
        const SocketClient* client = it->second.get();
        it->second->Connect();
        worker_->loop()->RunAfter(handshake_deadline_.load(std::memory_order_relaxed),
                                  [this, job_id, client] { EnforceDeadline(job_id, client); });
      },
      true);
}

void RdmaClientHelper::EnforceDeadline(int job_id, const SocketClient* client) {
  auto it = jobs_.find(job_id);
  // Gone, or replied in time: the deadline has nothing left to guard.
  if (it == jobs_.end() || it->second.get() != client || it->second->handshake()->replied()) {
    return;
  }
  LOG_ERROR << "rdma handshake got no reply in time, job_id: " << job_id
            << ", conn_id: " << client->job().conn_id
            << ", peer addr: " << client->job().peer.ToString();
  // The closed callback reports the attempt failed and removes the job.
  it->second->DisConnect();
}

void RdmaClientHelper::ForgetWorker(PollingWorker* worker) {
  RdmaClientHelper* helper = g_helper.load(std::memory_order_acquire);
  if (helper == nullptr) return;
  helper->worker_->loop()->RunInLoop(
      [helper, worker] {
        auto& jobs = helper->jobs_;
        for (auto it = jobs.begin(); it != jobs.end();) {
          if (it->second->job().worker != worker) {
            ++it;
            continue;
          }
          it->second->handshake()->Silence();
          it = jobs.erase(it);
        }
      },
      false);
}

void RdmaClientHelper::set_handshake_deadline(double seconds) {
  handshake_deadline_.store(seconds, std::memory_order_relaxed);
}

void RdmaClientHelper::RemoveJob(int job_id) {
  // Always a later pass: the job may be the one whose callback is running.
  worker_->loop()->RunNextLoop([this, job_id] { jobs_.erase(job_id); });
}

size_t RdmaClientHelper::JobCount() {
  size_t count = 0;
  worker_->loop()->RunInLoop([this, &count] { count = jobs_.size(); }, false);
  return count;
}

}  // namespace tarn
