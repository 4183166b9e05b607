// Shared pieces of the server-side fuzz targets: a block-server service
// whose calls end later or after a hold, the harness around an RpcServer's
// controller pool, and the run of one input through a real TcpConnection on
// the fuzzing thread's event worker.
//
// The connection's reads go to the protocol under test exactly as the RPC
// server routes them; after every input the server's controllers must all be
// back in their pool.
#ifndef TESTS_FUZZ_SERVER_FUZZ_SUPPORT_H_
#define TESTS_FUZZ_SERVER_FUZZ_SUPPORT_H_

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "frame_fuzz_support.h"
#include "tarn/event/tcp_connection.h"
#include "tarn/event/tcp_socket.h"
#include "tarn/loop.h"
#include "tarn/policy/base_proto.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/rpc/rpc_server.h"

namespace fuzzsupport {

// LeaseRoute answers on the next loop pass; LoadPlane after holding the
// controller past the answer. Targets add the methods they answer at once;
// every other method fails at once (the generated default).
class DeferringBlockServer : public vovorav::BlockServerService {
 public:
  void LeaseRoute(google::protobuf::RpcController* base,
                  const vovorav::BlockServerLeaseRouteRequest*,
                  vovorav::BlockServerLeaseRouteResponse*,
                  google::protobuf::Closure* done) override {
    auto* ctrl = static_cast<tarn::RpcController*>(base);
    ctrl->conn()->worker()->loop()->RunNextLoop([done] { done->Run(); });
  }

  void LoadPlane(google::protobuf::RpcController* base, const vovorav::BlockServerLoadPlaneRequest*,
                 vovorav::BlockServerLoadPlaneResponse*, google::protobuf::Closure* done) override {
    auto* ctrl = static_cast<tarn::RpcController*>(base);
    ctrl->set_user_hold(true);
    done->Run();
    ctrl->conn()->worker()->loop()->RunNextLoop([ctrl] { ctrl->set_user_hold(false); });
  }
};

template <typename Proto, typename Service>
struct ServerHarness {
  tarn::EventWorker* worker = nullptr;
  Service service;
  tarn::RpcServer* server = nullptr;
  Proto* proto = nullptr;
  uint32_t pool_size = 0;
};

// The harness of a server target, kept for the life of the process. The
// server's own colony only hosts the controller pool (worker index 0, the
// index of the fuzzing worker too); its connections are never used: the
// harness makes its own on the fuzzing worker.
template <typename Proto, typename Service>
ServerHarness<Proto, Service>* NewServerHarness(const char* name_prefix, const char* server_name,
                                                uint32_t pool_size) {
  auto* harness = new ServerHarness<Proto, Service>;
  harness->worker = FuzzWorker();
  harness->pool_size = pool_size;
  tarn::WorkerOption option;
  option.name_prefix = name_prefix;
  option.report_interval = 0;
  option.obj_pool_size = pool_size;
  harness->server = new tarn::RpcServer(tarn::kTcp, harness->worker,
                                        tarn::SockAddress("127.0.0.1", 0, false), server_name,
                                        option, nullptr);
  if (harness->server->AddService(&harness->service) != 0 || harness->server->Start() != 0) {
    fprintf(stderr, "rpc server did not start\n");
    abort();
  }
  harness->proto = new Proto(harness->server);
  return harness;
}

// The RPC server's read path with `proto` as its only protocol: a refusal
// or a fatal result closes the connection.
template <typename Proto>
void OnMessageRead(Proto* proto, const std::shared_ptr<tarn::Connection>& conn) {
  switch (proto->ParseTcp(conn)) {
    case tarn::BaseProto::kNotThisProto:
    case tarn::BaseProto::kBadState:
    case tarn::BaseProto::kFatal:
      conn->ForceClose();
      break;
    default:
      break;
  }
}

// Feeds one input to a fresh connection accepted over a local socket pair,
// closes it, hands what the server wrote back to check_replies and checks
// that every controller is back in the pool.
template <typename Proto, typename Service, typename CheckReplies>
void ServeInput(ServerHarness<Proto, Service>* h, const char* conn_name, const uint8_t* data,
                size_t size, CheckReplies check_replies) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) {
    perror("socketpair");
    abort();
  }
  const tarn::SockAddress peer("127.0.0.1", 40000, false);
  auto conn = std::make_shared<tarn::TcpConnection>(h->worker, conn_name,
                                                    tarn::g_conn_id.fetch_add(1), peer);
  Proto* proto = h->proto;
  conn->set_message_read_cb(
      [proto](const std::shared_ptr<tarn::Connection>& c) { OnMessageRead(proto, c); });
  conn->Init();
  conn->Accept(std::make_shared<tarn::ConnectedSocket>(fds[0], peer, tarn::kAccepted));

  std::string replies;
  FeedAndClose(h->worker, fds[1], data, size, [&conn] { return conn->IsClosed(); }, &replies);
  // Answers and releases queued for later passes: they meet a closed
  // connection, which is part of what is tested.
  for (int i = 0; i < 4; ++i) RunPass(h->worker);
  Drain(fds[1], &replies);
  conn.reset();
  ::close(fds[1]);

  if (Verbose()) fprintf(stderr, "server wrote %zu bytes back\n", replies.size());
  check_replies(replies);
  const int left = h->server->FreeControllerCount(0);
  if (left != static_cast<int>(h->pool_size)) {
    fprintf(stderr, "controllers not returned to the pool: %d of %u free\n", left, h->pool_size);
    abort();
  }
}

}  // namespace fuzzsupport

#endif  // TESTS_FUZZ_SERVER_FUZZ_SUPPORT_H_
