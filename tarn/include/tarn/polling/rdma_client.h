// A client over one RDMA connection to one RDMA server, owned by one polling
// worker, and the process-wide negotiation thread that runs the client side
// of every handshake.
//
// Connecting never blocks the worker: Connect creates the RdmaConnection at
// once in state 2 (connecting), so sends can already be queued on it (they
// are replayed in order once it is established), and hands the handshake to
// RdmaClientHelper. There one job per attempt makes the queue pair on the
// client's worker, the worker attaches it to the connection (if that is still
// the client's current one) and registers it, and only then does the job's
// TCP connection to the server open. The handshake ends either in on_connect
// (the worker establishes the connection) or, when the TCP connection closes
// before that, in on_disconnect (a connection still connecting is closed; the
// RPC layer's next TryConnect starts a fresh attempt with a new id).
//
// A handshake that gets no reply within the deadline (a server that accepts
// TCP but never answers, a connect the network swallows) is closed like any
// failed attempt, so the connection does not stay in state 2 for ever.
//
// Thread affinity: RdmaClient's operations run on its worker's thread (a
// client destroyed elsewhere has its teardown run there, waiting for it).
// RdmaClientHelper's SubmitJob, ExecuteJob and RemoveJob may be called from
// any thread and only post; its job table lives on the negotiation thread.
// Jobs name their polling worker by pointer: a polling worker being
// destroyed calls ForgetWorker first, so no job reaches it afterwards.
#ifndef TARN_POLLING_RDMA_CLIENT_H_
#define TARN_POLLING_RDMA_CLIENT_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "tarn/client.h"
#include "tarn/event/tcp_client.h"
#include "tarn/polling/rdma_handshake.h"

namespace tarn {

class EventWorker;
class PollingWorker;
class RdmaConnection;
class RdmaQueuePair;
class WorkerThread;

// One handshake request.
struct RdmaClientJob {
  SockAddress peer;
  int64_t conn_id = -1;  // the RDMA connection waiting for the handshake
  PollingWorker* worker = nullptr;  // owns that connection; makes the queue pair
  // The job's queue pair exists (empty when the worker could not make one).
  std::function<void(const std::shared_ptr<RdmaQueuePair>&, int64_t conn_id, int job_id)>
      on_conn_init;
  RdmaClientHandshake::ConnectCallback on_connect;
  RdmaClientHandshake::DisconnectCallback on_disconnect;
};

class RdmaClient : public Client {
 public:
  RdmaClient(PollingWorker* worker, const SockAddress& peer, const std::string& name);
  ~RdmaClient() override;

  // Starts an attempt unless the client holds a connection: a new
  // RdmaConnection "rdma-conn-<id>" in state 2 and a job for the negotiation
  // thread. 0.
  int Connect() override;
  // Lets go for good: closes (when open) and drops the current connection,
  // whose callbacks then run no more (what it still receives is freed
  // unread), and cuts the callbacks of the connections reconnects replaced.
  void DisConnect() override;
  // Opens the worker's device when it has none (after a one-second pause;
  // gives up until the next call when that fails), then connects when there
  // is no connection or it is closed. A closed connection replaced here
  // keeps its callbacks: messages it received before the close (answers to
  // calls still waiting) still reach the owner, until DisConnect or the
  // client's end. 0.
  int TryConnect() override;

  // The job's three callbacks. OnConnInit runs on the worker's loop: the
  // queue pair is attached and registered, and the job's TCP connect started,
  // only when conn_id is still the client's open connection; otherwise the
  // job is dropped and its queue pair destroyed.
  void OnConnInit(const std::shared_ptr<RdmaQueuePair>& qp, int64_t conn_id, int job_id);
  // Any thread; they only post to the worker.
  static void OnConnect(PollingWorker* worker, const std::shared_ptr<RdmaQueuePair>& qp,
                        const SockAddress& local);
  static void OnDisConnect(PollingWorker* worker, const std::shared_ptr<RdmaQueuePair>& qp);

  PollingWorker* worker() const { return worker_; }

 private:
  bool InLoopThread() const;
  void Teardown();
  // Drops the current (closed) connection without cutting its callbacks,
  // and remembers it.
  void Replace();

  PollingWorker* worker_;
  // Expires when the client goes (on its worker's thread); jobs that call
  // back later find it gone.
  std::shared_ptr<int> alive_;
  // Closed connections a reconnect replaced that may still exist (draining
  // on the worker), loop thread; expired entries are dropped at the next
  // replacement.
  std::vector<std::weak_ptr<RdmaConnection>> replaced_;
};

class RdmaClientHelper {
 public:
  // One job's TCP client on the negotiation thread, named
  // "tcp_client_for_rdma-<job id>", with its handshake context. The queue
  // pair is made on the job's polling worker by the constructor; the TCP
  // connection opens on ExecuteJob.
  class SocketClient : public TcpClient {
   public:
    SocketClient(EventWorker* worker, int job_id, const RdmaClientJob& job,
                 RdmaClientHelper* helper);
    // Closes the TCP connection first, reporting nothing more.
    ~SocketClient() override;

    void ConnectionSuccessHandle(const std::shared_ptr<Connection>& conn);
    void ConnectionClosedHandle(const std::shared_ptr<Connection>& conn);
    void MessageReadHandle(const std::shared_ptr<Connection>& conn);

    int job_id() const { return job_id_; }
    const RdmaClientJob& job() const { return job_; }
    RdmaClientHandshake* handshake() { return &handshake_; }

   private:
    int job_id_;
    RdmaClientJob job_;
    RdmaClientHelper* helper_;
    RdmaClientHandshake handshake_;
  };

  // The process-wide helper, created on first use and destroyed at exit.
  static RdmaClientHelper& Instance();

  // Any thread, posting to the negotiation thread. SubmitJob numbers the job
  // (0, 1, ... in submission order), makes its SocketClient and calls
  // on_conn_init. ExecuteJob starts the job's TCP connect. RemoveJob drops
  // the job on a later pass, so a job is never destroyed inside one of its
  // own callbacks; unknown ids are ignored.
  void SubmitJob(const RdmaClientJob& job);
  void ExecuteJob(int job_id);
  void RemoveJob(int job_id);

  // Jobs in the table (waits for the negotiation thread).
  size_t JobCount();
  EventWorker* worker() const { return worker_; }

  // Drops, silenced, every job whose polling worker is `worker`, and returns
  // once they are gone. For the worker's destructor, after its loop has
  // ended (the negotiation thread's waits on that loop then fail at once
  // instead of blocking) and before its loop and device context go. Does
  // nothing when the helper was never created.
  static void ForgetWorker(PollingWorker* worker);

  // How long a job may wait for the server's reply, from its TCP connect
  // (default 10 s). Any thread; applies to jobs connected afterwards.
  void set_handshake_deadline(double seconds);

 private:
  RdmaClientHelper();
  ~RdmaClientHelper();
  RdmaClientHelper(const RdmaClientHelper&) = delete;
  RdmaClientHelper& operator=(const RdmaClientHelper&) = delete;

  // Negotiation thread: closes the job's TCP connection when it has had no
  // reply by now.
  void EnforceDeadline(int job_id, const SocketClient* client);

  std::unique_ptr<WorkerThread> thread_;
  EventWorker* worker_ = nullptr;
  // Negotiation thread only.
  std::unordered_map<int, std::shared_ptr<SocketClient>> jobs_;
  int job_counter_ = 0;
  std::atomic<double> handshake_deadline_{kHandshakeDeadlineSeconds};
};

}  // namespace tarn

#endif  // TARN_POLLING_RDMA_CLIENT_H_
