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

#include <cstdint>
#include <functional>
#include <string>

#include "server_fuzz_support.h"
#include "tarn/policy/tarn_proto.h"

namespace {

constexpr uint32_t kPoolSize = 16;

// Answers Write at once, echoing the request's attachment; Read at once
// with `size` bytes of attachment (at most 64 KiB); LeaseRoute on the next
// loop pass; LoadPlane after holding the controller past the response. Every
// other method fails at once (the generated default).
class FuzzBlockServer : public fuzzsupport::DeferringBlockServer {
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
};

using ServerHarness = fuzzsupport::ServerHarness<tarn::TarnProto, FuzzBlockServer>;

ServerHarness* Harness() {
  static ServerHarness* h =
      fuzzsupport::NewServerHarness<tarn::TarnProto, FuzzBlockServer>("fuzzsrv-", "fuzz_server",
                                                                      kPoolSize);
  return h;
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
  fuzzsupport::ServeInput(Harness(), "fuzz-connection", data, size, fuzzsupport::CheckReplies);
  return 0;
}
