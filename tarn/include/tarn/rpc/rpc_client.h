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
//
// Over RDMA (transport 1, on a polling worker) a call is one zero-copy send:
// the frame's main part and the attachments stay where they lie until the
// send completes, and a send that fails ends its call at once (-4, or -6
// when the connection closed with the send held back). The timeout never
// drops below the transport's own retry time (RdmaTimeoutFloorMs). A call
// whose budget runs out while its request has not been sent yet closes the
// connection first, so that the request can never leave after its caller
// has taken its buffers back.
#ifndef TARN_RPC_RPC_CLIENT_H_
#define TARN_RPC_RPC_CLIENT_H_

#include <google/protobuf/service.h>

#include <cstdint>
#include <memory>
#include <string>

#include "tarn/rpc/call_table.h"
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

  // The least timeout of an RDMA client: the time the queue pair takes to
  // give up a send (ACK timeout 4.096 us * 2^timeout, retry_cnt times) plus
  // 500 ms. 2110 ms for the defaults (timeout 17, retry_cnt 3).
  static uint32_t RdmaTimeoutFloorMs(const WorkerOption::RdmaOption& option);

  // Over RDMA raised to the floor.
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
  // Loop thread: the connection as it stands, without reconnecting (null
  // before the first connect and after DisConnect).
  const std::shared_ptr<Connection>& current_conn() const;

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
  // The completion of a call's RDMA send.
  void OnRdmaSendDone(uint64_t seq, int code);
  // A call expired with its request unsent: the connection is closed so that
  // the transport lets go of the request's buffers.
  void CloseForUnsentRequest(RpcController* ctrl);

  void Dispatch(RpcController* ctrl);
  // Hands the framed call to the transport; false when it failed at once
  // (the call has been completed).
  bool SendTcp(RpcController* ctrl, char* buf, uint64_t main, uint64_t buf_size);
  void SendRdma(RpcController* ctrl, char* buf, uint64_t main);
  void DispatchPending();
  void SweepTimeouts();
  void CheckIdle();
  void WarnUnfinished() const;

  Transport transport_;
  Worker* worker_;
  std::unique_ptr<Client> client_;
  uint64_t seq_ = 0;
  // Calls sent and not yet completed; a call counts as sent once the
  // transport has finished with its request (at once over TCP, at the send
  // completion over RDMA).
  RpcInflightCalls inflight_;
  RpcCallList pending_;
  uint32_t depth_ = kNoDepthLimit;
  uint32_t timeout_ms_ = 3000;
  uint64_t last_activity_ = 0;
  uint64_t idle_limit_s_ = kNeverIdle;
  TimerId sweep_timer_;
  TimerId idle_timer_;
  // Expires with the client: code on the stack after a closure, and tasks
  // posted earlier, check it before touching the client again.
  std::shared_ptr<bool> alive_;
  // Names this client to its RDMA send completions (see rpc_client.cc).
  uint64_t id_ = 0;
};

}  // namespace tarn

#endif  // TARN_RPC_RPC_CLIENT_H_
