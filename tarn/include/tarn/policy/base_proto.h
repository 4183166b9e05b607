// A server-side protocol: reads a connection's input and serves what it
// recognises.
//
// The RPC server offers each connection's bytes to its protocols in order and
// latches the first that claims them (answers other than kNotThisProto); the
// latched protocol is asked first from then on.
#ifndef TARN_POLICY_BASE_PROTO_H_
#define TARN_POLICY_BASE_PROTO_H_

#include <memory>

namespace tarn {

class Connection;
class RpcServer;

class BaseProto {
 public:
  // Results of ParseTcp and ParseRdma.
  enum Result : int {
    kParseDone = 0,     // every complete message served, or waiting for more
    kNotThisProto = 1,  // not this protocol; nothing consumed
    kNeedMore = 2,      // too few bytes to recognise (or an RDMA length error)
    kBadState = 4,      // the connection is in a bad state; it is closed
    kFatal = 5,         // fatal; the connection is being closed
  };

  explicit BaseProto(RpcServer* server) : server_(server) {}

  virtual int ParseTcp(const std::shared_ptr<Connection>& conn) = 0;
  virtual int ParseRdma(const std::shared_ptr<Connection>& conn) = 0;

  RpcServer* server() const { return server_; }

 protected:
  // Protocols are owned and deleted by the RPC server through their
  // concrete type.
  ~BaseProto() = default;

  RpcServer* server_;
};

}  // namespace tarn

#endif  // TARN_POLICY_BASE_PROTO_H_
