// A protocol-buffer channel over one client connection to one server
// address, owned by one worker and used only on that worker's loop thread.
//
//   // on worker's loop thread
//   RpcClient client(kTcp, worker, SockAddress("10.0.0.2", 6000, false), "bs");
//   client.set_depth(64);
//   client.Connect();
//   auto* ctrl = new RpcController(client.conn());
//   vovorav::BlockServerService_Stub stub(&client);
//   stub.Write(ctrl, &req, &resp, done);   // done runs exactly once
//
// Generated stubs call CallMethod. The client numbers each call (the first
// gets 1; numbers keep rising across reconnections), frames it and hands it
// to the connection, or queues it while `depth` calls are in flight (a
// queued call keeps a copy of its request, so the caller may drop its own).
// Responses are matched by sequence number; a 5 ms sweep expires calls whose
// budget ran out (-5), and a 2 s check closes a connection idle for longer
// than the idle limit. A call is never retried. A closed connection is
// reopened by the next call; calls in flight on it end with -5 at their
// budget, and a late response is dropped with the connection kept.
//
// Closures of successful calls run on the reading stack; failures run on a
// later loop pass, never inside CallMethod. A closure may delete the client.
#ifndef TARN_RPC_RPC_CLIENT_H_
#define TARN_RPC_RPC_CLIENT_H_

#include <google/protobuf/service.h>

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

#include "tarn/rpc/frame.h"
#include "tarn/sock_address.h"
#include "tarn/timer_queue.h"
#include "tarn/types.h"

namespace tarn {

class Client;
class Connection;
class RpcController;
class Worker;

class RpcClient : public google::protobuf::RpcChannel, private FrameSink {
 public:
  static constexpr uint32_t kNoDepthLimit = 0xFFFFFFFF;
  static constexpr uint64_t kNeverIdle = ~uint64_t{0};
  static constexpr uint32_t kSweepMs = 5;

  // On worker's loop thread. Does not connect.
  RpcClient(Transport transport, Worker* worker, const SockAddress& peer, const std::string& name);
  // On the loop thread. Calls still in flight or queued are abandoned: their
  // closures never run.
  ~RpcClient() override;

  RpcClient(const RpcClient&) = delete;
  RpcClient& operator=(const RpcClient&) = delete;

  void set_timeout_ms(uint32_t ms);
  uint32_t timeout_ms() const { return timeout_ms_; }
  // Most calls in flight (kNoDepthLimit or 0: none); lowered to the
  // connection's own limit when it connects. A depth of 0 would hold every
  // call back until it timed out.
  void set_depth(uint32_t depth) { depth_ = depth == 0 ? kNoDepthLimit : depth; }
  uint32_t depth() const { return depth_; }
  // Seconds without calls or responses after which the connection is
  // closed; idle time counts from the connect.
  void set_idle_limit_s(uint64_t seconds) { idle_limit_s_ = seconds; }

  // Starts the connection; 0 or the transport's error code.
  int Connect();
  // On the next loop pass: closes the connection (the next call reopens it).
  void DisConnect();
  // Reconnects when needed; callers build their controllers with it.
  const std::shared_ptr<Connection>& conn();

  // The connection's limits on request attachments (0 without a connection).
  uint32_t GetMaxSendDataSize() const;
  uint32_t GetMaxSendDataSge() const;

  // controller must be a tarn::RpcController built with conn(); done must
  // not be null (RpcController::DoSyncCall gives the waiting form).
  void CallMethod(const google::protobuf::MethodDescriptor* method,
                  google::protobuf::RpcController* controller,
                  const google::protobuf::Message* request, google::protobuf::Message* response,
                  google::protobuf::Closure* done) override;

  // Loop thread: calls sent and not completed, calls waiting for a slot, and
  // the last sequence number given out.
  size_t inflight_count() const { return inflight_.size(); }
  size_t pending_count() const { return pending_.size(); }
  uint64_t last_seq_no() const { return seq_; }
  Worker* worker() const { return worker_; }
  Transport transport() const { return transport_; }

 private:
  void OnEstablished(const std::shared_ptr<Connection>& conn);
  void OnClosed(const std::shared_ptr<Connection>& conn);
  void OnMessageRead(const std::shared_ptr<Connection>& conn);
  bool OnFrame(const std::shared_ptr<Connection>& conn, const ReceivedFrame& frame) override;

  void Dispatch(RpcController* ctrl);
  void DispatchPending();
  void SweepTimeouts();
  void CheckIdle();
  void WarnUnfinished() const;

  Transport transport_;
  Worker* worker_;
  std::unique_ptr<Client> client_;
  uint64_t seq_ = 0;
  std::unordered_map<uint64_t, RpcController*> inflight_;
  std::list<RpcController*> pending_;
  uint32_t depth_ = kNoDepthLimit;
  uint32_t timeout_ms_ = 3000;
  uint64_t last_activity_ = 0;
  uint64_t idle_limit_s_ = kNeverIdle;
  TimerId sweep_timer_;
  TimerId idle_timer_;
  // Expires with the client: code on the stack after a closure, and tasks
  // posted earlier, check it before touching the client again.
  std::shared_ptr<bool> alive_;
};

}  // namespace tarn

#endif  // TARN_RPC_RPC_CLIENT_H_
