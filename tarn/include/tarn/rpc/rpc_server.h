// Hosts protocol-buffer services on a TCP server (transport 0) or an RDMA
// server (transport 1: connections on the polling workers of its colony,
// set up by a handshake on the listen address; HTTP/2 never claims them).
//
//   RpcServer server(kTcp, acceptor, SockAddress("0.0.0.0", 7000, false),
//                    "pyxdriver_server", option, nullptr);
//   server.AddService(&snapshot_service);
//   server.SetWorkerNum(1);
//   server.Start();
//
// Every worker of the server's colony gets a fixed pool of controllers
// (the option's obj_pool_size). For each connection the server picks the
// protocol that reads it: the protocols are asked in list order and the
// first that claims the bytes is latched and asked first from then on. A
// connection whose bytes no protocol claims is closed. Services run on the
// connection's loop; they may finish on any thread.
//
// With metrics on, each method records its latency (from taking the
// controller to building the response) as
// "tarn_rpc_" + server name + "_" + service + "_" + method.
//
// A frame-protocol client over TCP that does not read its answers is held
// back, not buffered for: while more than kRpcOutputHighWater bytes of
// answers wait for its socket, the server reads none of its requests (not
// even those already received), so the kernel's buffers fill and TCP flow
// control stops the client; it reads again once the answers have drained to
// kRpcOutputLowWater. A connection held for kRpcOutputStallTimeoutS without
// taking a single byte (none acknowledged by the client's kernel) is
// closed. HTTP/2 connections pace their answers by their own windows and
// bounds (tarn/policy/h2_proto.h) and are never held.
//
// Shutting down: from the moment Stop() (or the destructor) begins, no new
// call is admitted. An HTTP/2 client is sent GOAWAY (NO_ERROR) naming the
// last stream it opened, and every request completed from then on is
// refused with RST_STREAM(REFUSED_STREAM): not processed, so the client may
// send it again elsewhere. A frame-protocol request is not taken (the wire
// has no status to refuse it with; an answer would read as a success): the
// connection is closed once the stop's wait ends, and the client's call
// ends with its transport's error (the RPC client's "rpc timeout" at its
// budget, or a send error), which the driver retries. Stop() then waits,
// up to the stop deadline (kRpcStopDeadlineS unless set otherwise), only
// for the calls admitted before: until each has ended (its service ran
// done, its answer was handed to the transport, any user hold was
// released) and every connection has handed its answers on: an HTTP/2
// answer still waiting for the client's windows, and output queued or
// unacknowledged in the socket, are waited for while the client takes them
// (a client the HTTP/2 bounds judge stalled is not). The connections stay
// open and are read meanwhile (window updates, pings). It returns as soon
// as that is done; then Stop() stops the transport server, which closes
// every connection: the clients of calls still held learn of it at once.
// A call still held when the server is deleted is cut off: its done, run
// later from any thread, frees it without the server, its protocols or its
// loops, and sends nothing. Its controller, request and response stay
// valid until then. The worker memory the call holds (the request's frame
// and attachments, and the response's attachments once the answer has
// left) goes back to its worker: with an outside colony when the call
// ends, or as that worker is destroyed if that comes first (once its loop
// has ended, the worker frees what it is handed as it goes); with the
// server's own colony, which goes with the server, while the server is
// deleted. A service must not read a cut-off call's request attachments
// once its worker may have taken them back.
// Neither waits when called on one of the server's own workers (its calls
// could not end).
//
// A server starts once: Start() after a successful Start() or once a
// Stop() has begun fails (-1, with an ERROR line) and changes nothing; to
// serve again, delete the server and make a new one.
//
// With an outside colony, stop the colony before deleting the server: its
// connections call back into the server until then. The colony may then be
// deleted whether or not calls cut off from the server are still held.
#ifndef TARN_RPC_RPC_SERVER_H_
#define TARN_RPC_RPC_SERVER_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tarn/base/obj_pool.h"
#include "tarn/connection.h"
#include "tarn/sock_address.h"
#include "tarn/timer_queue.h"
#include "tarn/types.h"

namespace google {
namespace protobuf {
class MethodDescriptor;
class Service;
}  // namespace protobuf
}  // namespace google

namespace bvar {
class LatencyRecorder;
}  // namespace bvar

namespace tarn {

class BaseProto;
class Connection;
class EventWorker;
class H2Proto;
class Loop;
class RpcController;
class Server;
class ServerCalls;
class TarnProto;
class WorkerColony;

// The output hold of frame-protocol connections over TCP (figures stated in
// README.md). One connection holds at most the high-water mark, plus the
// answer that crossed it, plus the answers of calls its services were
// already serving then, plus what the kernel buffers.
constexpr size_t kRpcOutputHighWater = 4 * 1024 * 1024;
constexpr size_t kRpcOutputLowWater = 1024 * 1024;
constexpr double kRpcOutputStallTimeoutS = 30.0;

// How long Stop() and the destructor wait for held calls to end.
constexpr double kRpcStopDeadlineS = 5.0;

class RpcServer {
 public:
  using ControllerPool = plinth::ObjPool<RpcController>;

  RpcServer(Transport transport, EventWorker* acceptor, const SockAddress& listen,
            const std::string& name, const WorkerOption& option, WorkerColony* colony);
  // Admits no new call, waits for held calls and their answers (up to the
  // stop deadline), cuts off the calls still held, stops the transport
  // server (closing its connections) and frees it, the latency recorders
  // and the protocols; the controller pools go once the last cut-off call
  // has ended. Services are not deleted.
  ~RpcServer();

  RpcServer(const RpcServer&) = delete;
  RpcServer& operator=(const RpcServer&) = delete;

  // Before Start. 0, or -1 when a service of that short name is present.
  int AddService(google::protobuf::Service* service);
  void SetWorkerNum(uint32_t n);
  void SetCreateUserHandleCb(const std::function<UserHandle*(Loop*)>& cb);
  WorkerColony* worker_colony() const;
  // Before Start: how frame-protocol connections over TCP are held back
  // (the defaults above; tests shorten the stall timeout).
  void set_output_hold(const OutputHold& hold) { output_hold_ = hold; }
  const OutputHold& output_hold() const { return output_hold_; }
  // How long Stop() and the destructor wait for held calls (seconds; 0
  // waits not at all), together: the destructor after a Stop() waits only
  // for what Stop() left of it. Tests shorten it.
  void set_stop_deadline(double seconds) { stop_deadline_s_ = seconds; }
  double stop_deadline() const { return stop_deadline_s_; }

  // Builds the controller pools and starts the transport server; 0 or its
  // error code (after a failure a later Start may try again). -1, with
  // nothing touched, once it has started or a Stop() has begun: a server
  // starts once.
  int Start();
  // Admits no new call from now on, waits for the calls admitted before
  // and for their answers to be handed on (up to the stop deadline, counted
  // once from the first Stop()), then stops the transport server, which
  // closes every connection.
  int Stop();
  int AddBlacklist(const std::string& ip, uint32_t seconds);
  int RemoveBlacklist(const std::string& ip);

  // Connection's loop thread: a controller from the pool of conn's worker,
  // null when that pool is exhausted.
  RpcController* NewRpcController(const std::shared_ptr<Connection>& conn);
  // Connection's loop thread: destroys ctrl in place and returns it to its
  // worker's pool (alone, once the server has cut it off).
  void DestroyRpcController(RpcController* ctrl);

  // The service of that short name, or null.
  google::protobuf::Service* FindService(std::string_view name) const;

  void ReportRpcLatency(const std::string& service, const std::string& method,
                        uint64_t latency_us);
  void ReportRpcLatency(const google::protobuf::MethodDescriptor* method, uint64_t latency_us);

  // Connection's loop thread: whether a new call may be taken; false from
  // the moment Stop() or the destructor begins, for good.
  bool admitting() const { return admitting_.load(std::memory_order_acquire); }

  // Any thread: free controllers of worker i's pool, read on that worker's
  // loop; -1 when there is no such pool.
  int FreeControllerCount(uint32_t worker_index);

  Transport transport() const { return transport_; }
  const std::string& name() const { return name_; }
  Server* server() const { return server_; }

 private:
  void OnEstablished(const std::shared_ptr<Connection>& conn);
  void OnClosed(const std::shared_ptr<Connection>& conn);
  void OnMessageRead(const std::shared_ptr<Connection>& conn);
  int Parse(BaseProto* proto, const std::shared_ptr<Connection>& conn);
  void StartPoolReports();
  // No new call is admitted from now on; HTTP/2 connections are sent
  // GOAWAY.
  void StopAdmitting();
  // Any thread but the server's workers: until no call is held and every
  // connection has handed its answers on, or the stop deadline has passed.
  void WaitForHeldCalls();
  bool NoCallHeld();
  // The connections of the transport server now (read on the acceptor's
  // loop; none once that loop has ended).
  std::vector<std::shared_ptr<Connection>> Connections() const;
  // Every connection has handed its answers on (ConnectionSettled, on the
  // connection's loop).
  bool ConnectionsSettled() const;
  // Connection's loop thread: conn holds no answer or output its client
  // still takes. Also sends an HTTP/2 connection its GOAWAY, once.
  static bool ConnectionSettled(const std::shared_ptr<Connection>& conn);
  // Destructor: cuts off the calls still held.
  void LetGoOfCalls();

  std::string name_;
  std::map<std::string, google::protobuf::Service*, std::less<>> services_;
  // Owned; by service short name + "_" + method name, and by method.
  std::unordered_map<std::string, bvar::LatencyRecorder*> latency_recorders_;
  std::unordered_map<const google::protobuf::MethodDescriptor*, bvar::LatencyRecorder*>
      method_recorders_;
  Transport transport_;
  // Owned. A plain pointer: it stays usable while the server is being
  // deleted and its connections report their closes.
  Server* server_ = nullptr;
  // Set once destruction begins; closes then leave the connection map alone.
  std::atomic<bool> destroying_{false};
  // The controller pools (by worker index) and the held calls; made by the
  // first Start attempt. Owned until the destructor hands it to the calls
  // it cut off.
  ServerCalls* calls_ = nullptr;
  // Set by the one Start that succeeded.
  bool started_ = false;
  // Cleared for good when a stop begins.
  std::atomic<bool> admitting_{true};
  double stop_deadline_s_ = kRpcStopDeadlineS;
  // One deadline per shut-down: set by the first wait, so a second Stop()
  // or the destructor after a Stop() waits only for what is left of it.
  bool stop_begun_ = false;
  std::chrono::steady_clock::time_point stop_by_;
  bool stop_warned_ = false;
  std::vector<std::pair<Loop*, TimerId>> report_timers_;
  // In the order they are offered a new connection: HTTP/2, then the frame
  // protocol.
  std::unique_ptr<H2Proto> h2_proto_;
  std::unique_ptr<TarnProto> tarn_proto_;
  std::vector<BaseProto*> protocols_;
  OutputHold output_hold_{kRpcOutputHighWater, kRpcOutputLowWater, kRpcOutputStallTimeoutS};
};

}  // namespace tarn

#endif  // TARN_RPC_RPC_SERVER_H_
