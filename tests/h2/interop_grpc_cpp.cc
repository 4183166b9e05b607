// gRPC's C++ client (Debian's libgrpc++, in the program of
// interop_grpc_client/, built without sanitizers) against the framework's
// RpcServer: unary calls from an empty to a 4 MiB message, gzip-compressed
// requests, an unknown method, a failed call, asynchronous calls open at
// once on one channel, 32 concurrent uploads of 100 KiB, 24 and 32
// concurrent answers of 4 MiB, and 700 held calls (more than the stream
// limit) on one channel, and ordinary calls after calls whose deadline
// expired while the service held them.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "h2/interop_fixture.h"

namespace interoptest {
namespace {

class GrpcCpp : public InteropTest {
 protected:
  // Runs the gRPC C++ client with these checks on one channel.
  void ExpectChecksPass(const std::vector<std::string>& checks) {
#ifdef INTEROP_GRPC_CLIENT
    std::vector<std::string> argv = {INTEROP_GRPC_CLIENT, std::to_string(port_)};
    argv.insert(argv.end(), checks.begin(), checks.end());
    const testsupport::ChildResult result = RunClient(argv);
    EXPECT_TRUE(result.ok()) << testsupport::Describe(result);
#else
    (void)checks;
    FAIL() << "the gRPC C++ client was not built: the Debian packages libgrpc++-dev and "
              "protobuf-compiler-grpc bring what it needs (scripts/setup.sh installs them)";
#endif
  }
};

TEST_F(GrpcCpp, UnaryCallsFromEmptyToFourMebibytes) {
  ExpectChecksPass({"echo=0", "echo=1024", "echo=102400", "echo=4194304"});
  EXPECT_EQ(service_.calls(), 4u);
  EXPECT_EQ(service_.connections().size(), 1u);
}

TEST_F(GrpcCpp, GzipCompressedRequests) { ExpectChecksPass({"gzip=1024", "gzip=102400"}); }

TEST_F(GrpcCpp, UnknownMethodEndsUnimplemented) {
  ExpectChecksPass({"unknown"});
  EXPECT_EQ(service_.calls(), 0u);
}

TEST_F(GrpcCpp, FailedCallBringsStatusAndMessage) { ExpectChecksPass({"fail"}); }

TEST_F(GrpcCpp, AsynchronousCallsOpenAtOnceOnOneChannel) {
  ExpectChecksPass({"concurrent=64"});
  EXPECT_EQ(service_.calls(), 64u);
  EXPECT_EQ(service_.connections().size(), 1u);
}

// 32 uploads of 100 KiB at once: together far more than the connection
// window, which must keep coming back while no call is complete.
TEST_F(GrpcCpp, ConcurrentUploadsOnOneChannel) {
  ExpectChecksPass({"upload=32:102400"});
  EXPECT_EQ(service_.calls(), 32u);
  EXPECT_EQ(service_.connections().size(), 1u);
}

// Many large answers at once to a client that reads as fast as it can:
// every one is answered.
TEST_F(GrpcCpp, ManyLargeAnswersToAFastReader) {
  ExpectChecksPass({"large=24:4194304", "large=32:4194304"});
  EXPECT_EQ(service_.calls(), 56u);
  EXPECT_EQ(service_.connections().size(), 1u);
}

// More calls than the server's stream limit, each held a while: the client
// queues the excess above the advertised limit and all are served.
TEST_F(GrpcCpp, MoreCallsThanTheStreamLimitQueueInTheClient) {
  ExpectChecksPass({"held=700:20"});
  EXPECT_EQ(service_.calls(), 700u);
  EXPECT_EQ(service_.connections().size(), 1u);
}

// Calls whose deadline expires while the service still runs them leave the
// stream count at once: many more ordinary calls than the stream limit
// after them are all served on the one channel, and a long call beside
// them too.
TEST_F(GrpcCpp, ManyCallsAfterExpiredCallsStillRunning) {
  ExpectChecksPass({"expired=1100"});
  EXPECT_EQ(service_.connections().size(), 1u);
}

}  // namespace
}  // namespace interoptest
