// Python's stock gRPC client (Debian's python3-grpcio, run by the system
// Python) against the framework's RpcServer: unary calls from an empty to a
// 4 MiB message, gzip-compressed requests (and deflate ones refused),
// unknown methods, a failed call, 100 calls open at once on one connection,
// 32 concurrent uploads of 100 KiB, 24 and 32 concurrent answers of 4 MiB,
// 700 held calls (more than the stream limit) on one connection, ordinary
// calls after calls whose deadline expired while the service held them,
// and the framework's own frame protocol served on the same port alongside.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "h2/interop_fixture.h"
#include "support/worker.h"
#include "tarn/rpc/rpc_client.h"

namespace interoptest {
namespace {

const char kPython[] = "/usr/bin/python3";

class PythonGrpc : public InteropTest {
 protected:
  static void SetUpTestSuite() {
    const testsupport::ChildResult probe = RunClient({kPython, "-c", "import grpc"});
    have_grpcio_ = probe.ok();
    probe_output_ = probe.output;
  }

  void SetUp() override {
    ASSERT_TRUE(have_grpcio_) << kPython << " cannot import grpc: the Debian package "
                              << "python3-grpcio brings it (scripts/setup.sh installs it)\n"
                              << probe_output_;
    InteropTest::SetUp();
  }

  // Runs interop_client.py with these checks on one channel.
  void ExpectChecksPass(const std::vector<std::string>& checks) {
    std::vector<std::string> argv = {kPython, std::string(INTEROP_DIR) + "/interop_client.py",
                                     std::to_string(port_)};
    argv.insert(argv.end(), checks.begin(), checks.end());
    const testsupport::ChildResult result = RunClient(argv);
    EXPECT_TRUE(result.ok()) << testsupport::Describe(result);
  }

  static bool have_grpcio_;
  static std::string probe_output_;
};

bool PythonGrpc::have_grpcio_ = false;
std::string PythonGrpc::probe_output_;

TEST_F(PythonGrpc, UnaryCallsFromEmptyToFourMebibytes) {
  ExpectChecksPass({"echo=0", "echo=1024", "echo=102400", "echo=4194304"});
  EXPECT_EQ(service_.calls(), 4u);
}

// gzip is taken; deflate, which the server does not offer, is refused.
TEST_F(PythonGrpc, CompressedRequests) {
  ExpectChecksPass({"gzip=1024", "gzip=102400", "deflate"});
  EXPECT_EQ(service_.calls(), 3u);
}

TEST_F(PythonGrpc, UnknownMethodAndServiceEndUnimplemented) {
  ExpectChecksPass({"unknown"});
  EXPECT_EQ(service_.calls(), 0u);
}

TEST_F(PythonGrpc, FailedCallBringsStatusAndMessage) { ExpectChecksPass({"fail"}); }

TEST_F(PythonGrpc, HundredCallsOpenAtOnceOnOneConnection) {
  ExpectChecksPass({"concurrent=100"});
  EXPECT_EQ(service_.calls(), 100u);
  EXPECT_EQ(service_.connections().size(), 1u);
}

// 32 uploads of 100 KiB at once: together far more than the connection
// window, which must keep coming back while no call is complete.
TEST_F(PythonGrpc, ConcurrentUploadsOnOneConnection) {
  ExpectChecksPass({"upload=32:102400"});
  EXPECT_EQ(service_.calls(), 32u);
  EXPECT_EQ(service_.connections().size(), 1u);
}

// Many large answers at once to a client that reads as fast as it can:
// every one is answered, however far they pass the bound on answers held
// for a client that does not take them.
TEST_F(PythonGrpc, ManyLargeAnswersToAFastReader) {
  ExpectChecksPass({"large=24:4194304", "large=32:4194304"});
  EXPECT_EQ(service_.calls(), 56u);
  EXPECT_EQ(service_.connections().size(), 1u);
}

// More large answers asked at once than the server holds for a connection,
// the last one waited for first: the calls past the held bound wait until
// the client has taken earlier answers, which it does whatever it waits on.
TEST_F(PythonGrpc, LargeAnswersWaitedForLastFirst) {
  ExpectChecksPass({"last-first=48:4194304"});
  EXPECT_EQ(service_.calls(), 48u);
  EXPECT_EQ(service_.connections().size(), 1u);
}

// More calls than the server's stream limit, each held a while by the
// service: the client queues the excess and every call is served on the
// one connection.
TEST_F(PythonGrpc, MoreCallsThanTheStreamLimitQueueInTheClient) {
  ExpectChecksPass({"held=700:20"});
  EXPECT_EQ(service_.calls(), 700u);
  EXPECT_EQ(service_.connections().size(), 1u);
}

// Calls whose deadline expires while the service still runs them leave the
// stream count at once, as the client counts them closed: the ordinary
// calls after them (fewer, and many more, than the stream limit) are all
// served on the one connection, and so is a long call beside them.
TEST_F(PythonGrpc, ExpiredCallsStillRunningLeaveTheStreamCount) {
  ExpectChecksPass({"expired=50"});
  EXPECT_EQ(service_.connections().size(), 1u);
}

TEST_F(PythonGrpc, ManyCallsAfterExpiredCallsStillRunning) {
  ExpectChecksPass({"expired=1100"});
  EXPECT_EQ(service_.connections().size(), 1u);
}

// A framework client and a gRPC client share the server's port: each
// connection keeps the protocol it started with.
TEST_F(PythonGrpc, FrameProtocolServedOnTheSamePort) {
  testsupport::WorkerOnThread client_thread("interop-cli");
  tarn::Worker* worker = client_thread.worker();
  ASSERT_NE(worker, nullptr);
  std::unique_ptr<tarn::RpcClient> client;
  int connected = -1;
  ASSERT_TRUE(client_thread.RunSync([&] {
    client.reset(new tarn::RpcClient(tarn::kTcp, worker,
                                     tarn::SockAddress("127.0.0.1", port_, false),
                                     "interop_client"));
    client->set_timeout_ms(30000);
    connected = client->Connect();
  }));
  ASSERT_EQ(connected, 0);
  auto frame_call = [&](const std::string& text) {
    tarn::RpcController* ctrl = nullptr;
    ASSERT_TRUE(client_thread.RunSync([&] { ctrl = new tarn::RpcController(client->conn()); }));
    interop::EchoRequest request;
    interop::EchoResponse response;
    request.set_text(text);
    request.set_payload(Pattern(4096));
    tarn::RpcController::DoSyncCall(
        [&] {
          interop::EchoService_Stub stub(client.get());
          stub.Echo(ctrl, &request, &response, ctrl->done());
        },
        ctrl, worker);
    EXPECT_FALSE(ctrl->Failed()) << ctrl->ErrorText();
    EXPECT_EQ(response.text(), text);
    EXPECT_EQ(response.payload(), request.payload());
    delete ctrl;
  };

  frame_call("before");
  ExpectChecksPass({"echo=1024", "concurrent=8"});
  frame_call("after");
  EXPECT_EQ(service_.connections().size(), 2u);
  EXPECT_EQ(service_.calls(), 11u);
  ASSERT_TRUE(client_thread.RunSync([&] { client.reset(); }));
}

}  // namespace
}  // namespace interoptest
