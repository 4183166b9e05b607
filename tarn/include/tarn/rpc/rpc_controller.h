// Per-call state of one remote procedure call, on both sides.
//
// Client side: the caller builds a controller with the RPC client's
// connection (RpcClient::conn()), may append request attachments (memory
// from Malloc() or its own), and passes it to a generated stub. The call ends
// exactly once through CallDone(): a success runs the closure at once, a
// failure on a later loop pass (never inside CallMethod). The caller deletes
// the controller from its closure or after it; a controller serves one call.
//
// Hot callers take client controllers from a per-thread pool instead:
// Acquire(conn) gives one as a new controller would be, Recycle(ctrl) takes
// it back once its call has completed, releasing what the call held (frames,
// owned attachments and messages) and keeping only the storage of its
// vectors and strings for the next call.
//
// Server side: the frame protocol takes a controller from its worker's pool
// with the "tarn hold" set and hands it to the service. The service may set
// the "user hold" (any thread) to keep the controller past its response; the
// controller goes back to the pool when both holds are released. A call
// still held when its server is deleted is cut off from it: its done and
// hold changes then end it alone, and the controller, its connection and
// its messages stay valid until both holds are released (see RpcServer).
//
// Error codes (client side):
//   -1 "response ParseFromArray error"   the response body did not parse
//   -2 attachment too large / too many    request beyond the connection's limits
//   -3 "memory malloc failed"             no worker memory for the frame
//   -4 "conn send data error"             the connection refused the bytes
//   -5 "rpc timeout"                      the time budget ran out
//   -6 "conn connect error"               the send was aborted by a close
//
// Everything except set_user_hold, DoSyncCall and EndWaitting runs on the
// loop thread of the connection's worker. The destructor may run on any
// thread: worker memory it still holds is handed back on the worker's loop.
#ifndef TARN_RPC_RPC_CONTROLLER_H_
#define TARN_RPC_RPC_CONTROLLER_H_

#include <google/protobuf/service.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tarn/base/intrusive_list.h"
#include "tarn/rpc/attachment.h"

namespace google {
namespace protobuf {
class Closure;
class Message;
class MethodDescriptor;
}  // namespace protobuf
}  // namespace google

namespace tarn {

class Connection;
class RpcServer;
class ServerCalls;
class Worker;

enum RpcErrorCode : int {
  kRpcOk = 0,
  kRpcResponseParseError = -1,
  kRpcAttachmentLimit = -2,
  kRpcNoMemory = -3,
  kRpcSendError = -4,
  kRpcTimeout = -5,
  kRpcConnectError = -6,
};

class RpcController : public google::protobuf::RpcController {
 public:
  static constexpr uint32_t kDefaultTimeoutMs = 3000;

  // Client controllers kept per thread by Recycle for Acquire.
  static constexpr size_t kPooledPerThread = 1024;

  explicit RpcController(const std::shared_ptr<Connection>& conn);
  ~RpcController() override;

  // A client controller on conn, exactly as a new one: from the calling
  // thread's pool when it has one, else made with new.
  static RpcController* Acquire(const std::shared_ptr<Connection>& conn);
  // Ends a controller whose call has completed (or was never made): what it
  // holds is released as by the destructor, and the controller goes to the
  // calling thread's pool (deleted when the pool is full). Null is ignored.
  // A controller still queued or in flight in an RpcClient ends the
  // process: its client would complete it later.
  static void Recycle(RpcController* ctrl);
  // Controllers in the calling thread's pool.
  static size_t PooledOnThisThread();

  RpcController(const RpcController&) = delete;
  RpcController& operator=(const RpcController&) = delete;

  // google::protobuf::RpcController. Reset, StartCancel, IsCanceled and
  // NotifyOnCancel are not supported and end the process.
  void Reset() override;
  bool Failed() const override { return failed_; }
  std::string ErrorText() const override { return error_text_; }
  void StartCancel() override;
  // Sets failed and the text; the error code keeps its value.
  void SetFailed(const std::string& reason) override;
  bool IsCanceled() const override;
  void NotifyOnCancel(google::protobuf::Closure* callback) override;

  int error_code() const { return error_code_; }

  // Memory of the connection's worker; loop thread only.
  void* Malloc(uint32_t len);
  void Free(void* p);

  // The connection's limits on attachments.
  uint32_t GetMaxAttachmentSize() const;
  uint32_t GetMaxAttachmentCnt() const;

  // Attachments. An owned block is freed through the connection's worker
  // when the controller goes.
  void AppendRequestAttachment(void* data, uint32_t len, bool owned = false);
  void AppendResponseAttachment(void* data, uint32_t len, bool owned = false);
  void AppendRequestAttachment(const AttachmentEntry& entry);
  void AppendResponseAttachment(const AttachmentEntry& entry);
  const std::vector<AttachmentEntry>& request_attachments() const { return request_attachments_; }
  const std::vector<AttachmentEntry>& response_attachments() const {
    return response_attachments_;
  }
  uint64_t request_attachment_bytes() const { return request_attachment_bytes_; }
  uint64_t response_attachment_bytes() const { return response_attachment_bytes_; }

  // The call's identity for log lines; built once, with the sequence number
  // current at that moment:
  //   client: local:my_qp-peer:peer_qp-seq   server: peer:peer_qp-local:my_qp-seq
  const std::string& uuid();

  uint64_t seq_no() const { return seq_no_; }
  void set_seq_no(uint64_t seq) { seq_no_ = seq; }

  // TSC stamps and the latency between them (0 unless end > begin).
  void Begin();
  void End();
  uint64_t LatencyUs() const;
  uint64_t LatencyNs() const;

  // Completes a client call (loop thread): success runs the closure now,
  // -6 about 0.1 s later, any other failure on the next loop pass.
  void CallDone(bool failed, int code, const std::string& text);

  // Server-side release protocol.
  void set_tarn_hold(bool hold);
  // Any thread: posted to the connection's loop.
  void set_user_hold(bool hold);
  bool tarn_hold() const { return tarn_hold_; }
  bool user_hold() const { return user_hold_; }
  // Returns a server-side controller to its pool.
  void DestroyMyself();

  // Runs fn on worker's loop, where it is expected to issue the call with
  // ctrl, and waits until that call has completed. Not on worker's own loop
  // thread (that would wait forever: the process ends instead).
  static void DoSyncCall(std::function<void()> fn, RpcController* ctrl, Worker* worker);
  // The closure of a synchronous call: wakes the waiter.
  void EndWaitting();

  // Framework state of the call.
  const std::shared_ptr<Connection>& conn() const { return conn_; }
  const google::protobuf::MethodDescriptor* method() const { return method_; }
  void set_method(const google::protobuf::MethodDescriptor* m) { method_ = m; }
  const google::protobuf::Message* request() const { return request_; }
  google::protobuf::Message* response() const { return response_; }
  // With owns true the controller deletes the message.
  void set_request(const google::protobuf::Message* m, bool owns);
  void set_response(google::protobuf::Message* m, bool owns);
  google::protobuf::Closure* done() const { return done_; }
  void set_done(google::protobuf::Closure* done) { done_ = done; }
  RpcServer* rpc_server() const { return rpc_server_; }
  void set_rpc_server(RpcServer* server) { rpc_server_ = server; }
  // The calls of the server whose pool this controller came from; null on
  // the client side.
  ServerCalls* server_calls() const { return calls_; }

  // The received request (server) or the written request (client); freed
  // through the worker with the controller.
  void* request_frame() const { return request_frame_; }
  void set_request_frame(void* p) { request_frame_ = p; }
  // The received response (client) or the written response (server).
  void* second_frame() const { return second_frame_; }
  void set_second_frame(void* p) { second_frame_ = p; }
  // Frees the frames now (loop thread).
  void ReleaseRequestFrame();
  void ReleaseSecondFrame();

  // Time budget in milliseconds, counted down by the client's sweep.
  uint32_t timeout_ms() const { return timeout_ms_; }
  void set_timeout_ms(uint32_t ms) { timeout_ms_ = ms; }

  // Free for the caller; the RPC layer never reads or frees it.
  void* user_data() const { return user_data_; }
  void set_user_data(void* data) { user_data_ = data; }

  // Run first by the destructor.
  void set_destroy_hook(std::function<void()> hook) { destroy_hook_ = std::move(hook); }

 private:
  friend class RpcCallList;
  friend class RpcInflightCalls;
  friend class ServerCalls;

  // What the destructor releases: hook, frames, owned attachments, owned
  // messages. Leaves the vectors empty (with their storage).
  void ReleaseResources();
  // Server side, loop thread: the worker memory of the request (the frame
  // and owned request attachments), and once the answer has left that of
  // the response's attachments, goes back now.
  void ReleaseWorkerMemory();
  // Every field back to its initial value, the connection dropped.
  void ResetFields();
  // Frees worker memory on the worker's loop thread, handing it there when
  // called from another thread.
  void FreeOnWorker(void* p);
  void FreeAttachments(std::vector<AttachmentEntry>* entries);

  std::shared_ptr<Connection> conn_;
  void* request_frame_ = nullptr;
  void* second_frame_ = nullptr;
  std::vector<AttachmentEntry> request_attachments_;
  uint64_t request_attachment_bytes_ = 0;
  std::vector<AttachmentEntry> response_attachments_;
  uint64_t response_attachment_bytes_ = 0;
  std::string uuid_;
  uint64_t seq_no_ = 0;
  const google::protobuf::MethodDescriptor* method_ = nullptr;
  const google::protobuf::Message* request_ = nullptr;
  google::protobuf::Message* response_ = nullptr;
  google::protobuf::Closure* done_ = nullptr;
  bool owns_request_ = false;
  bool owns_response_ = false;
  RpcServer* rpc_server_ = nullptr;
  // Set by the pool the controller came from; outlives the server while
  // the call is held.
  ServerCalls* calls_ = nullptr;
  // Server side: the loop thread of the connection's worker, where the
  // controller was taken, by its process-wide thread number (UINT32_MAX:
  // none). Neither a std::thread::id nor a kernel thread id: once the loop
  // has ended, a thread started later may be given either (kernel ids come
  // round after pid_max of them), and would pass for the loop.
  uint32_t loop_thread_ = UINT32_MAX;
  // Server side: the index of the pool it came from (UINT32_MAX: none),
  // which names its worker without touching it.
  uint32_t pool_index_ = UINT32_MAX;
  uint32_t timeout_ms_ = kDefaultTimeoutMs;
  bool failed_ = false;
  std::string error_text_;
  int error_code_ = 0;
  void* user_data_ = nullptr;
  bool tarn_hold_ = false;
  bool user_hold_ = false;
  std::function<void()> destroy_hook_;
  uint64_t begin_ = 0;
  uint64_t end_ = 0;
  // Synchronous calls: the waiter's condition and the flag it waits on.
  std::mutex sync_mutex_;
  std::condition_variable* sync_cond_ = nullptr;
  bool sync_waiting_ = false;
  // An RpcClient's bookkeeping of the call, so that queueing it or putting
  // it in flight allocates nothing: its place on the list it is on (pending
  // or in flight), the sequence-number chain of the in-flight index, and
  // whether the transport has finished with its request.
  plinth::ListHook<RpcController> call_hook_;
  bool call_sent_ = false;
  RpcController* call_chain_ = nullptr;
};

}  // namespace tarn

#endif  // TARN_RPC_RPC_CONTROLLER_H_
