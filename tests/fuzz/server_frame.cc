// Fuzzes the server side of the frame protocol: the input is what a client
// wrote on one connection.
//
// The connection is a real TcpConnection on the fuzzing thread's event
// worker over a local socket pair; the input goes into the other end,
// followed by the end of the stream, and the loop is turned until the
// connection has closed. Its reads go to TarnProto::ParseTcp exactly as the
// RPC server routes them (a refusal or a fatal result closes the
// connection), and the frames reach TarnProto::Process, an RpcServer's
// controller pool and a block-server service that answers at once, on a
// later loop pass, or after holding its controller. After every input the
// server's controllers must all be back in their pool and every complete
// response written back must have a sound head.

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "frame_fuzz_support.h"
#include "tarn/event/tcp_connection.h"
#include "tarn/event/tcp_socket.h"
#include "tarn/loop.h"
#include "tarn/policy/tarn_proto.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/rpc/rpc_server.h"

namespace {

constexpr uint32_t kPoolSize = 16;

// Answers Write at once, echoing the request's attachment; Read at once
// with `size` bytes of attachment (at most 64 KiB); LeaseRoute on the next
// loop pass; LoadPlane after holding the controller past the response. Every
// other method fails at once (the generated default).
class FuzzBlockServer : public vovorav::BlockServerService {
 public:
  void Write(google::protobuf::RpcController* base, const vovorav::BlockServerWriteRequest* req,
             vovorav::BlockServerWriteResponse* resp, google::protobuf::Closure* done) override {
    auto* ctrl = static_cast<tarn::RpcController*>(base);
    for (const tarn::AttachmentEntry& a : ctrl->request_attachments()) {
      ctrl->AppendResponseAttachment(a.data, a.len, false);
    }
    resp->set_offset_in_extent(req->lba());
    done->Run();
  }

  void Read(google::protobuf::RpcController* base, const vovorav::BlockServerReadRequest* req,
            vovorav::BlockServerReadResponse* resp, google::protobuf::Closure* done) override {
    static char data[65536];
    auto* ctrl = static_cast<tarn::RpcController*>(base);
    const uint64_t size = req->size() < sizeof(data) ? req->size() : sizeof(data);
    if (size > 0) ctrl->AppendResponseAttachment(data, static_cast<uint32_t>(size), false);
    resp->set_size(size);
    done->Run();
  }

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

struct ServerHarness {
  tarn::EventWorker* worker = nullptr;
  FuzzBlockServer service;
  tarn::RpcServer* server = nullptr;
  tarn::TarnProto* proto = nullptr;
};

ServerHarness* Harness() {
  static ServerHarness* h = [] {
    auto* harness = new ServerHarness;
    harness->worker = fuzzsupport::FuzzWorker();
    tarn::WorkerOption option;
    option.name_prefix = "fuzzsrv-";
    option.report_interval = 0;
    option.obj_pool_size = kPoolSize;
    // The server's own colony only hosts the controller pool (worker index
    // 0, the index of the fuzzing worker too); its connections are never
    // used: the harness makes its own on the fuzzing worker.
    harness->server = new tarn::RpcServer(tarn::kTcp, harness->worker,
                                          tarn::SockAddress("127.0.0.1", 0, false),
                                          "fuzz_server", option, nullptr);
    if (harness->server->AddService(&harness->service) != 0 || harness->server->Start() != 0) {
      fprintf(stderr, "rpc server did not start\n");
      abort();
    }
    harness->proto = new tarn::TarnProto(harness->server);
    return harness;
  }();
  return h;
}

// The RPC server's read path with the frame protocol as its only protocol.
void OnMessageRead(tarn::TarnProto* proto, const std::shared_ptr<tarn::Connection>& conn) {
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

void MakeSeeds(const std::function<void(const std::string&, const std::string&)>& put) {
  using fuzzsupport::BuildFrame;
  using fuzzsupport::RequestHeader;
  vovorav::BlockServerWriteRequest write;
  write.mutable_vdi()->set_id("vdisk-1");
  write.set_lba(4096);
  write.set_size(4096);
  write.set_dgs(3);
  const std::string write_frame = BuildFrame("BlockServerService", "Write", RequestHeader(1, 0),
                                             write.SerializeAsString(), std::string(4096, 'd'));
  put("write_with_attachment", write_frame);

  vovorav::BlockServerReadRequest read;
  read.set_lba(8192);
  read.set_size(512);
  put("read", BuildFrame("BlockServerService", "Read", RequestHeader(2, 1),
                         read.SerializeAsString(), ""));
  put("lease_route_later",
      BuildFrame("BlockServerService", "LeaseRoute", RequestHeader(3, 2), "", ""));
  put("load_plane_user_hold",
      BuildFrame("BlockServerService", "LoadPlane", RequestHeader(4, 3), "", ""));
  put("unimplemented_method",
      BuildFrame("BlockServerService", "Compact", RequestHeader(5, 4), "", ""));
  // The method found by name when its index disagrees.
  put("index_mismatch", BuildFrame("BlockServerService", "Read", RequestHeader(6, 0),
                                   read.SerializeAsString(), ""));
  put("two_frames_and_a_partial",
      write_frame + BuildFrame("BlockServerService", "Read", RequestHeader(7, 1),
                               read.SerializeAsString(), "") +
          write_frame.substr(0, 30));
  put("unknown_service", BuildFrame("NoSuchService", "Write", RequestHeader(8, 0), "", ""));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::WriteSeedsIfAsked(MakeSeeds);
  Harness();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ServerHarness* h = Harness();
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) {
    perror("socketpair");
    abort();
  }
  const tarn::SockAddress peer("127.0.0.1", 40000, false);
  auto conn = std::make_shared<tarn::TcpConnection>(h->worker, "fuzz-connection",
                                                    tarn::g_conn_id.fetch_add(1), peer);
  tarn::TarnProto* proto = h->proto;
  conn->set_message_read_cb(
      [proto](const std::shared_ptr<tarn::Connection>& c) { OnMessageRead(proto, c); });
  conn->Init();
  conn->Accept(std::make_shared<tarn::ConnectedSocket>(fds[0], peer, tarn::kAccepted));

  std::string replies;
  fuzzsupport::FeedAndClose(h->worker, fds[1], data, size, [&conn] { return conn->IsClosed(); },
                            &replies);
  // Answers and releases queued for later passes: they meet a closed
  // connection, which is part of what is tested.
  for (int i = 0; i < 4; ++i) fuzzsupport::RunPass(h->worker);
  fuzzsupport::Drain(fds[1], &replies);
  conn.reset();
  ::close(fds[1]);

  if (fuzzsupport::Verbose()) fprintf(stderr, "server wrote %zu bytes back\n", replies.size());
  fuzzsupport::CheckReplies(replies);
  const int left = h->server->FreeControllerCount(0);
  if (left != static_cast<int>(kPoolSize)) {
    fprintf(stderr, "controllers not returned to the pool: %d of %u free\n", left, kPoolSize);
    abort();
  }
  return 0;
}
