// A server over RDMA connections. It owns no listening socket of its own: an
// inner TCP server ("tcp_server_for_rdma", one event worker "inner_ew-0")
// listens on the server's address and runs the server side of the handshake
// (rdma_handshake.h) for every incoming client. Each completed request yields
// one RdmaConnection on a polling worker of the server's colony, registered
// with that worker before the reply goes out, so neither the client's ready
// record nor its first message can overtake it.
//
// The connection map lives on the acceptor worker's loop: every operation on
// it is handed there (at once when called there), so any thread may call the
// public operations except Start. The blacklist is the inner server's: a
// refused client never gets a queue pair.
#ifndef TARN_POLLING_RDMA_SERVER_H_
#define TARN_POLLING_RDMA_SERVER_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tarn/server.h"

namespace tarn {

class HandshakeGate;
class PollingWorker;
class PollingWorkerColony;
class RdmaConnection;
class RdmaQueuePair;
class TcpServer;

class RdmaServer : public Server {
 public:
  // The inner TCP server gets the same acceptor and address, a default
  // option with the thread-name prefix "inner_ew-" and a colony of its own.
  RdmaServer(EventWorker* acceptor, const SockAddress& listen, const std::string& name,
             const WorkerOption& option, WorkerColony* colony);
  // Stops a server still running (handshakes in progress are aborted, RDMA
  // connections force-closed), then frees the inner server and the server's
  // own colony. Every connection it ever made that still exists (in the map
  // or not: one closed earlier may still be draining on its worker) is
  // closed and has its callbacks cut on its worker's loop before this
  // returns, so that nothing it still receives reaches the owner, which
  // goes with the server; the sends still outstanding on them (answers)
  // complete before it returns too (flushed, or at the latest after
  // kSendDrainWait as their queue pairs are destroyed; on a worker whose
  // own thread destroys the server, at once with -1, without polling).
  //
  // Any thread but the acceptor's, the inner server's and those of the
  // server's own colony may destroy it; a worker of an outside colony may,
  // from a completion callback or a task alike. Handshakes waiting for that
  // worker are given up (their clients see the TCP connection close)
  // rather than waited for.
  ~RdmaServer() override;

  // Without a colony, builds and starts a polling colony of the worker count
  // (0 taken as 1); then starts the inner server. 0 on success; -1 (logged)
  // when started already or stopped, a stop before any start included (a
  // server starts once), when the colony is not running or when the inner
  // server cannot listen. A listen address with port 0 becomes the bound
  // one.
  int Start() override;
  // Handed to the acceptor loop: stops the inner server (aborting the
  // handshakes in progress) and its colony, force-closes every RDMA
  // connection. Returns at once; the closed callbacks follow on the workers.
  int Stop() override;
  // Erases the connection from the map and force-closes it; one not in the
  // map only logs "Invalid Connection, conn id: ".
  int RemoveConnection(const std::shared_ptr<Connection>& conn) override;
  int RemoveConnectionBySrcIp(const std::string& ip) override;
  // The inner server refuses ip (for `seconds`, 0 for ever) and the RDMA
  // connections from ip are closed.
  int AddBlacklist(const std::string& ip, uint32_t seconds) override;
  int RemoveBlacklist(const std::string& ip) override;

  // ---- Called by the handshake (inner server's thread) ----
  // A request was processed and qp is at RTS: creates the RDMA connection
  // (state 1, the server's callbacks) on `worker`, registers it there, enters
  // it in the map and returns its id; -1, with nothing made, when the
  // worker's loop has ended, or went without running the creation (the
  // worker is going), or the gate closed first.
  // `local` names the server's end (the handshake's TCP connection's local
  // address), so both ends of a call print the same uuid.
  int64_t OnNewConnection(const std::shared_ptr<RdmaQueuePair>& qp, PollingWorker* worker,
                          const SockAddress& peer, const SockAddress& local = SockAddress());
  // The handshake ended before its ready record. id -1: no connection owns
  // qp, which is destroyed on `worker`, the one that made it (without it,
  // or when that worker has gone, when its device context goes).
  // Otherwise the connection is force-closed; its own teardown drains and
  // destroys qp, which is never destroyed here.
  void OnAbortedConnection(int64_t id, const std::shared_ptr<RdmaQueuePair>& qp,
                           PollingWorker* worker = nullptr);
  // The peer's ready record: the worker establishes the connection of
  // qp_num (nothing for a worker the gate knows has gone).
  void SetConnectionPeerReady(PollingWorker* worker, uint32_t qp_num);

  // Handshakes accepted and not yet completed or given up (kept by the
  // handshake, on the inner server's thread; readable anywhere).
  int pending_handshakes() const { return pending_handshakes_.load(std::memory_order_relaxed); }
  // Takes one of the max_pending_handshakes() places, or answers false when
  // all are taken; exact whatever the number of threads that ask at once
  // (the count is raised first, and lowered again on a refusal). A place
  // taken is given back with HandshakeEnded.
  bool TryStartHandshake();
  void HandshakeEnded() { pending_handshakes_.fetch_sub(1, std::memory_order_relaxed); }
  // Connections refused for too many handshakes, this one included.
  uint64_t CountRefusedHandshake() {
    return refused_handshakes_.fetch_add(1, std::memory_order_relaxed) + 1;
  }
  // How long an accepted handshake may take (kHandshakeDeadlineSeconds).
  double handshake_deadline() const {
    return handshake_deadline_.load(std::memory_order_relaxed);
  }
  // Tests only: a shorter deadline for handshakes accepted afterwards.
  void set_handshake_deadline_for_test(double seconds) {
    handshake_deadline_.store(seconds, std::memory_order_relaxed);
  }
  // How many handshakes may run at once (kMaxPendingHandshakes); tests
  // only may lower it.
  int max_pending_handshakes() const { return max_pending_.load(std::memory_order_relaxed); }
  void set_max_pending_handshakes_for_test(int n) {
    max_pending_.store(n, std::memory_order_relaxed);
  }

  // What the handshake waits for workers through; closed once the server
  // stops or goes.
  HandshakeGate* handshake_gate() const { return gate_.get(); }

  TcpServer* inner_server() const { return inner_.get(); }
  // Number of RDMA connections in the map (acceptor loop only).
  size_t connection_count() const { return conn_map_.size(); }

 private:
  // Runs fn on the acceptor loop unless the server is gone by then.
  void PostToAcceptor(std::function<void()> fn);
  void StopInLoop();
  // Acceptor loop: moves the connections the handshake made into the map.
  void AdoptIncoming();
  // Any thread: made_ gains conn, losing the entries that expired.
  void RememberMade(const std::shared_ptr<RdmaConnection>& conn);
  // Closes and cuts every connection still alive, each on its worker's
  // loop, waiting for it.
  void CutMadeConnections();

  static constexpr size_t kFirstMadePrune = 64;
  // How long the destructor lets the workers take the flushes of sends
  // still outstanding on its connections.
  static constexpr std::chrono::milliseconds kSendDrainWait{5000};

  std::unique_ptr<PollingWorkerColony> own_colony_;
  const std::shared_ptr<HandshakeGate> gate_;
  std::unique_ptr<TcpServer> inner_;
  // Expires (on the acceptor loop) when the server is destroyed. Other
  // threads only copy the weak handle, which never changes.
  std::shared_ptr<int> alive_;
  const std::weak_ptr<int> alive_weak_;
  bool stopped_ = false;  // acceptor loop
  std::atomic<int> pending_handshakes_{0};
  std::atomic<uint64_t> refused_handshakes_{0};
  std::atomic<double> handshake_deadline_;
  std::atomic<int> max_pending_;
  // Connections made by the handshake thread, not yet in the map.
  std::mutex incoming_mutex_;
  std::vector<std::shared_ptr<Connection>> incoming_;
  // Every connection made and not yet destroyed (expired entries are
  // pruned as new ones come), under incoming_mutex_.
  std::vector<std::weak_ptr<RdmaConnection>> made_;
  size_t prune_made_at_ = kFirstMadePrune;
};

}  // namespace tarn

#endif  // TARN_POLLING_RDMA_SERVER_H_
