// Fuzzes the client side of the frame protocol: the input is what a server
// wrote back on the RPC client's connection.
//
// For every input a fresh RpcClient on the fuzzing thread's event worker
// connects to a local listening socket of the harness and issues eight calls
// (sequence numbers 1 to 8, Write on odd numbers, Read on even ones), so
// responses can match calls in flight. The harness accepts the connection,
// writes the input into it, then ends the stream, and turns the loop until
// the client's connection has closed. The client then goes (abandoning what
// is still in flight) and the harness frees the calls' controllers and
// responses, which must hold whatever the reader handed them.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "frame_fuzz_support.h"
#include "tarn/rpc/rpc_client.h"
#include "tarn/rpc/rpc_controller.h"

namespace {

constexpr int kCalls = 8;

// A closure that outlives every call: the client may run a failed call's
// closure on a later loop pass.
class CountingClosure : public google::protobuf::Closure {
 public:
  void Run() override { ++runs_; }
  uint64_t runs() const { return runs_; }

 private:
  uint64_t runs_ = 0;
};

struct ClientHarness {
  tarn::EventWorker* worker = nullptr;
  std::string path;
  int listen_fd = -1;
  CountingClosure done;
};

void RemoveSocketFile();

ClientHarness* Harness() {
  static ClientHarness* h = [] {
    auto* harness = new ClientHarness;
    harness->worker = fuzzsupport::FuzzWorker();
    harness->path = "/tmp/tarn-fuzz-client-" + std::to_string(getpid()) + ".sock";
    ::unlink(harness->path.c_str());
    harness->listen_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", harness->path.c_str());
    if (harness->listen_fd < 0 ||
        ::bind(harness->listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(harness->listen_fd, 16) != 0) {
      perror("listen on local socket");
      abort();
    }
    atexit(RemoveSocketFile);
    return harness;
  }();
  return h;
}

void RemoveSocketFile() { ::unlink(Harness()->path.c_str()); }

struct Call {
  tarn::RpcController* ctrl = nullptr;
  google::protobuf::Message* response = nullptr;
};

void MakeSeeds(const std::function<void(const std::string&, const std::string&)>& put) {
  using fuzzsupport::BuildFrame;
  using fuzzsupport::ResponseHeader;
  vovorav::BlockServerWriteResponse write;
  write.mutable_rc()->set_retcode(0);
  write.set_offset_in_extent(4096);
  const std::string seq7 = BuildFrame("", "", ResponseHeader(7), write.SerializeAsString(), "");
  put("write_response_seq7", seq7);

  vovorav::BlockServerReadResponse read;
  read.mutable_rc()->set_retcode(0);
  read.set_size(4096);
  const std::string seq2 =
      BuildFrame("", "", ResponseHeader(2), read.SerializeAsString(), std::string(4096, 'r'));
  put("read_response_seq2_with_attachment", seq2);
  put("unknown_seq", BuildFrame("", "", ResponseHeader(99), write.SerializeAsString(), ""));
  put("bad_body", BuildFrame("", "", ResponseHeader(1), "\xff\xff\xff", ""));
  put("several_responses", seq7 + seq2 +
                               BuildFrame("", "", ResponseHeader(3), write.SerializeAsString(),
                                          std::string(100, 'w')) +
                               seq7.substr(0, 25));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::WriteSeedsIfAsked(MakeSeeds);
  Harness();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ClientHarness* h = Harness();
  tarn::EventWorker* worker = h->worker;
  auto* client = new tarn::RpcClient(tarn::kTcp, worker, tarn::SockAddress(h->path), "fuzz");
  // Budgets never run out while an input is read: the sweep must not make
  // the outcome depend on time.
  client->set_timeout_ms(3600 * 1000);
  if (client->Connect() != 0) {
    fprintf(stderr, "rpc client did not connect\n");
    abort();
  }
  const int peer = ::accept4(h->listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (peer < 0) {
    perror("accept");
    abort();
  }
  std::shared_ptr<tarn::Connection> conn = client->conn();
  for (int pass = 0; conn->state() != tarn::kConnected; ++pass) {
    if (pass == fuzzsupport::kMaxPasses || conn->IsClosed()) {
      fprintf(stderr, "rpc client connection not established\n");
      abort();
    }
    fuzzsupport::RunPass(worker);
  }

  vovorav::BlockServerService_Stub stub(client);
  Call calls[kCalls];
  for (int i = 0; i < kCalls; ++i) {
    calls[i].ctrl = new tarn::RpcController(conn);
    if (i % 2 == 0) {  // sequence numbers 1, 3, 5, 7
      vovorav::BlockServerWriteRequest req;
      req.set_lba(static_cast<uint64_t>(i) * 4096);
      auto* resp = new vovorav::BlockServerWriteResponse;
      calls[i].response = resp;
      stub.Write(calls[i].ctrl, &req, resp, &h->done);
    } else {
      vovorav::BlockServerReadRequest req;
      req.set_lba(static_cast<uint64_t>(i) * 4096);
      req.set_size(4096);
      auto* resp = new vovorav::BlockServerReadResponse;
      calls[i].response = resp;
      stub.Read(calls[i].ctrl, &req, resp, &h->done);
    }
  }

  fuzzsupport::FeedAndClose(worker, peer, data, size, [&conn] { return conn->IsClosed(); },
                            nullptr);
  if (fuzzsupport::Verbose()) {
    fprintf(stderr, "closures run so far: %llu, in flight: %zu\n",
            static_cast<unsigned long long>(h->done.runs()), client->inflight_count());
  }
  delete client;
  // Closures of failed calls queued for a later pass.
  for (int i = 0; i < 4; ++i) fuzzsupport::RunPass(worker);
  for (Call& c : calls) {
    delete c.ctrl;
    delete c.response;
  }
  conn.reset();
  ::close(peer);
  return 0;
}
