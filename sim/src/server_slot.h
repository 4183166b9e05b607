// One simulated server: its role, index, port and service, the RPC server
// that hosts the service while it runs, and what every call goes through
// first (counting, the down mark, the fault verdict) and last (an answer now
// or held back).
#ifndef PYXSIM_SERVER_SLOT_H_
#define PYXSIM_SERVER_SLOT_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "fault_table.h"
#include "pyxsim/cluster.h"
#include "tarn/timer_queue.h"

namespace google {
namespace protobuf {
class Closure;
class Service;
class ServiceDescriptor;
}  // namespace protobuf
}  // namespace google

namespace tarn {
class EventWorker;
class Loop;
class RpcController;
class RpcServer;
}  // namespace tarn

namespace pyxsim {

class ServerSlot {
 public:
  static constexpr int kMaxMethods = 64;

  ServerSlot(Role role, int index, FaultTable* faults);
  ~ServerSlot();
  ServerSlot(const ServerSlot&) = delete;
  ServerSlot& operator=(const ServerSlot&) = delete;

  // Before the first Start; the slot owns the service.
  void set_service(std::unique_ptr<google::protobuf::Service> service);

  // Before Start: serve over RDMA on polling workers of the device that
  // holds the listen address (see ClusterOptions::rdma).
  void set_rdma(bool srq, uint32_t recv_depth);
  bool rdma() const { return rdma_; }

  // Listens on ip:port with `workers` workers (busy-polling loops when
  // busy_poll); port 0 takes a free port (kept for restarts). 0 or -1.
  int Start(tarn::EventWorker* acceptor, const std::string& ip, bool ipv6, uint16_t port,
            int workers, uint32_t pool_size, bool busy_poll = false);
  // Answers held back go out first, then the server and its connections
  // close. 0, or -1 when not running.
  int Stop();
  // Starts again on the same port; -1 when running or never started.
  int Restart();
  bool running() const;

  void set_down(bool down) { down_.store(down); }
  bool down() const { return down_.load(); }

  Role role() const { return role_; }
  int index() const { return index_; }
  uint16_t port() const { return port_.load(); }

  // Calls of method `name` ("" all implemented methods).
  uint64_t CallCount(const std::string& name) const;
  void ResetCounts();

  // First step of every call of method number `method`: counts it and asks
  // the fault table. False when the call was consumed (the server is down,
  // or the verdict drops it or closes its connection): the service returns
  // at once, without touching ctrl, the request or the response again.
  bool Admit(int method, tarn::RpcController* ctrl, google::protobuf::Closure* done,
             Verdict* verdict);
  // Answers now, or after delay_ms on the connection's loop.
  void Answer(tarn::RpcController* ctrl, google::protobuf::Closure* done, int delay_ms);

 private:
  struct Held {
    tarn::Loop* loop;
    tarn::TimerId timer;
    google::protobuf::Closure* done;
  };

  int StartLocked();
  // Ends a call without an answer (loop thread of its connection).
  static void Abandon(tarn::RpcController* ctrl, google::protobuf::Closure* done);
  void ReleaseHeld(uint64_t id);
  // Sends every answer held on `loop` now (that loop's thread).
  void FlushHeld(tarn::Loop* loop);

  const Role role_;
  const int index_;
  FaultTable* faults_;
  std::unique_ptr<google::protobuf::Service> service_;
  const google::protobuf::ServiceDescriptor* descriptor_ = nullptr;

  // Life: Start / Stop / Restart.
  mutable std::mutex life_mutex_;
  std::unique_ptr<tarn::RpcServer> server_;
  tarn::EventWorker* acceptor_ = nullptr;
  std::string ip_;
  bool ipv6_ = false;
  int workers_ = 1;
  uint32_t pool_size_ = 0;
  bool busy_poll_ = false;
  bool rdma_ = false;
  bool rdma_srq_ = true;
  uint32_t rdma_recv_depth_ = 0;
  std::atomic<uint16_t> port_{0};

  std::atomic<bool> down_{false};
  // Set while stopping: answers are no longer held back.
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> counts_[kMaxMethods];

  std::mutex held_mutex_;
  std::unordered_map<uint64_t, Held> held_;
  uint64_t next_held_ = 0;
};

}  // namespace pyxsim

#endif  // PYXSIM_SERVER_SLOT_H_
