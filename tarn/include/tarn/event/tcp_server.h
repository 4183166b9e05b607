// A server over TCP connections: listens on one address through its acceptor,
// spreads accepted connections over the event workers of a colony (its own
// or one given from outside), keeps them in a map by connection id and
// refuses client addresses on its blacklist, permanently or for a while.
//
// The connection map and the blacklist live on the acceptor worker's loop.
// Every public operation except Start hands its work to that loop (at once
// when called there, queued from any other thread). Start may be called from
// any thread but the acceptor's.
#ifndef TARN_EVENT_TCP_SERVER_H_
#define TARN_EVENT_TCP_SERVER_H_

#include <atomic>
#include <map>
#include <memory>
#include <string>

#include "tarn/event/tcp_socket.h"
#include "tarn/server.h"

namespace tarn {

class EventWorker;
class EventWorkerColony;
class Processor;

class TcpServer : public Server {
 public:
  TcpServer(EventWorker* acceptor, const SockAddress& listen, const std::string& name,
            const WorkerOption& option, WorkerColony* colony);
  // Stops the server when it still runs and frees what it started: the
  // acceptor, and its own colony. Returns once every connection of the map
  // has been closed on its loop, so no closed callback runs after it. Do not
  // destroy a server from a thread its connections' loops may wait on.
  ~TcpServer() override;

  // Starts the colony (when the server owns it) and the acceptor. 0 on
  // success; -1 when started already (also once stopped: a server starts
  // once) or when an outside colony is not started; a negative result when
  // the address cannot be bound or listened on (the host process goes on).
  // A listen address with port 0 becomes the address actually bound.
  int Start() override;
  // Stops accepting and closes every connection; they stay in the map.
  int Stop() override;
  int RemoveConnection(const std::shared_ptr<Connection>& conn) override;
  int RemoveConnectionBySrcIp(const std::string& ip) override;
  // Refuses ip (and closes its connections): for `seconds`, or until
  // RemoveBlacklist when 0. Adding an address again replaces its duration.
  int AddBlacklist(const std::string& ip, uint32_t seconds) override;
  int RemoveBlacklist(const std::string& ip) override;

  // On the acceptor loop: whether ip (without port) may connect.
  bool VerifySrcIp(const std::string& ip);
  // On the acceptor loop: makes the connection for an accepted socket on
  // worker and enters it in the map.
  void CreateConnection(EventWorker* worker, const std::shared_ptr<ConnectedSocket>& socket,
                        const SockAddress& peer);

  // Number of connections in the map (acceptor loop only).
  size_t connection_count() const { return conn_map_.size(); }

 private:
  // Runs fn on the acceptor loop unless the server is gone by then.
  void PostToAcceptor(std::function<void()> fn);
  void StopInLoop();

  std::unique_ptr<Processor> processor_;
  std::unique_ptr<EventWorkerColony> own_colony_;
  // Expires (on the acceptor loop) when the server is destroyed; tasks and
  // timers posted earlier check it before touching the server.
  std::shared_ptr<int> alive_;
  // Which addition of an address (numbered by blacklist_generation_) its
  // blacklist entry belongs to; acceptor loop only.
  std::map<std::string, uint64_t> blacklist_owner_;
  std::atomic<uint64_t> blacklist_generation_{0};
};

}  // namespace tarn

#endif  // TARN_EVENT_TCP_SERVER_H_
