// The server side of the framework's frame protocol: reads request frames,
// calls the service method on the connection's loop and sends the response
// frame back on that loop.
//
// A malformed request (bad header, unknown service or method, bad body)
// closes the connection without an answer. Over RDMA a request is served in
// its receive buffer: the request attachment points into it, and the
// controller keeps the buffer until it goes back to its pool; the response
// leaves as one zero-copy send and the controller is released when that
// send completes. An exhausted controller pool
// drops the request with an ERROR line and keeps the connection. Once the
// server stops admitting calls, a request is dropped without an answer
// (this wire cannot carry a refusal); the server's stop closes the
// connection (tarn/rpc/rpc_server.h).
#ifndef TARN_POLICY_TARN_PROTO_H_
#define TARN_POLICY_TARN_PROTO_H_

#include <cstdint>
#include <memory>

#include "tarn/policy/base_proto.h"
#include "tarn/rpc/frame.h"
#include "tarn/types.h"

namespace tarn {

class RpcController;

class TarnProto final : public BaseProto, private FrameSink {
 public:
  explicit TarnProto(RpcServer* server) : BaseProto(server) {}
  ~TarnProto() = default;

  // Connection's loop thread. kParseDone, kNotThisProto (wrong magic,
  // nothing consumed), kNeedMore (5 to 8 bytes of a possible frame) or
  // kFatal (the connection is being closed).
  int ParseTcp(const std::shared_ptr<Connection>& conn) override;
  // One received RDMA message, served in place. kParseDone, kNotThisProto
  // (wrong magic), kNeedMore (a message shorter than a head, or whose total
  // is not its length) or kFatal (a head whose parts exceed its total); on
  // every result but kParseDone the message has been freed and the
  // connection is being closed.
  int ParseRdma(const std::shared_ptr<Connection>& conn) override;

  // One request frame (buffers from the connection's worker, now owned
  // here): takes a controller and calls the service method at once.
  void Process(const std::shared_ptr<Connection>& conn, void* buf, uint16_t service_len,
               uint16_t method_len, uint32_t header_len, uint32_t body_len, void* attachment,
               uint32_t attachment_len, Transport transport);
  // The completion closure of a served call; any thread. Sends the response
  // on the connection's loop and releases the framework's hold.
  void Response(RpcController* ctrl);
  // Completion of a response's RDMA send: releases the framework's hold.
  void SendResponseCb(int code, RpcController* ctrl);

 private:
  // What the done closure runs: Response, or for a call cut off from its
  // server (proto may be gone then), the end of the call without it.
  static void Finish(TarnProto* proto, RpcController* ctrl);
  // SendResponseCb without the protocol, which the send may outlive.
  static void ResponseSent(int code, RpcController* ctrl);
  bool OnFrame(const std::shared_ptr<Connection>& conn, const ReceivedFrame& frame) override;
  void SendResponse(RpcController* ctrl);
};

}  // namespace tarn

#endif  // TARN_POLICY_TARN_PROTO_H_
