// gRPC's C++ client (Debian's libgrpc++) against the framework's RpcServer:
// unary calls from an empty to a 4 MiB message, gzip-compressed requests,
// an unknown method, a failed call, and asynchronous calls open at once on
// one channel.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "h2/interop_fixture.h"

#ifndef INTEROP_NO_GRPCPP
#include <grpcpp/grpcpp.h>

#include "interop_grpc.grpc.pb.h"
#endif

namespace interoptest {
namespace {

#ifdef INTEROP_NO_GRPCPP

TEST(GrpcCpp, ClientIsBuilt) {
  FAIL() << "this program was built without gRPC C++: the Debian packages libgrpc++-dev and "
            "protobuf-compiler-grpc bring it (scripts/setup.sh installs them)";
}

#else

constexpr int kDeadlineS = 30;

class GrpcCpp : public InteropTest {
 protected:
  void SetUp() override {
    InteropTest::SetUp();
    grpc::ChannelArguments args;
    args.SetMaxReceiveMessageSize(16 << 20);
    args.SetMaxSendMessageSize(16 << 20);
    args.SetInt(GRPC_ARG_ENABLE_HTTP_PROXY, 0);
    args.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
    channel_ = grpc::CreateCustomChannel("127.0.0.1:" + std::to_string(port_),
                                         grpc::InsecureChannelCredentials(), args);
    stub_ = interop_grpc::EchoService::NewStub(channel_);
  }

  void TearDown() override {
    stub_.reset();
    channel_.reset();
    InteropTest::TearDown();
  }

  static void SetDeadline(grpc::ClientContext* context) {
    context->set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(kDeadlineS));
  }

  grpc::Status Echo(const interop::EchoRequest& request, interop::EchoResponse* response,
                    grpc_compression_algorithm compression = GRPC_COMPRESS_NONE) {
    grpc::ClientContext context;
    SetDeadline(&context);
    context.set_compression_algorithm(compression);
    return stub_->Echo(&context, request, response);
  }

  // A call whose request message is exactly size bytes comes back whole.
  void ExpectEcho(size_t size, grpc_compression_algorithm compression = GRPC_COMPRESS_NONE) {
    SCOPED_TRACE("message of " + std::to_string(size) + " bytes");
    interop::EchoRequest request;
    // One tag byte and the length's varint precede the payload.
    size_t payload = size;
    while (payload > 0) {
      request.set_payload(Pattern(payload));
      if (request.ByteSizeLong() <= size) break;
      payload--;
    }
    ASSERT_EQ(request.ByteSizeLong(), size);
    interop::EchoResponse response;
    const grpc::Status status = Echo(request, &response, compression);
    ASSERT_TRUE(status.ok()) << status.error_code() << " " << status.error_message();
    EXPECT_EQ(response.payload_size(), request.payload().size());
    EXPECT_TRUE(response.payload() == request.payload());
  }

  std::shared_ptr<grpc::Channel> channel_;
  std::unique_ptr<interop_grpc::EchoService::Stub> stub_;
};

TEST_F(GrpcCpp, UnaryCallsFromEmptyToFourMebibytes) {
  for (size_t size : {0, 1024, 100 * 1024, 4 << 20}) ExpectEcho(size);
  EXPECT_EQ(service_.calls(), 4u);
  EXPECT_EQ(service_.connections().size(), 1u);
}

TEST_F(GrpcCpp, GzipCompressedRequests) {
  ExpectEcho(1024, GRPC_COMPRESS_GZIP);
  ExpectEcho(100 * 1024, GRPC_COMPRESS_GZIP);
}

TEST_F(GrpcCpp, UnknownMethodEndsUnimplemented) {
  grpc::ClientContext context;
  SetDeadline(&context);
  interop::EchoRequest request;
  request.set_text("nobody serves this");
  interop::EchoResponse response;
  const grpc::Status status = stub_->Missing(&context, request, &response);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::UNIMPLEMENTED) << status.error_message();
  EXPECT_EQ(service_.calls(), 0u);
}

TEST_F(GrpcCpp, FailedCallBringsStatusAndMessage) {
  interop::EchoRequest request;
  request.set_fail_text("echo failed: 100% on purpose");
  interop::EchoResponse response;
  const grpc::Status status = Echo(request, &response);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INTERNAL);
  EXPECT_EQ(status.error_message(), request.fail_text());

  // The connection still serves calls.
  request.Clear();
  request.set_text("after");
  ASSERT_TRUE(Echo(request, &response).ok());
  EXPECT_EQ(response.text(), "after");
}

TEST_F(GrpcCpp, AsynchronousCallsOpenAtOnceOnOneChannel) {
  constexpr int kCalls = 64;
  struct Call {
    grpc::ClientContext context;
    interop::EchoResponse response;
    grpc::Status status;
    std::unique_ptr<grpc::ClientAsyncResponseReader<interop::EchoResponse>> reader;
  };
  grpc::CompletionQueue cq;
  std::vector<std::unique_ptr<Call>> calls;
  for (int i = 0; i < kCalls; ++i) {
    calls.emplace_back(new Call);
    Call* call = calls.back().get();
    SetDeadline(&call->context);
    interop::EchoRequest request;
    request.set_text("call-" + std::to_string(i));
    request.set_gather(kCalls);  // none is answered before all have arrived
    call->reader = stub_->AsyncEcho(&call->context, request, &cq);
    call->reader->Finish(&call->response, &call->status, call);
  }
  for (int done = 0; done < kCalls; ++done) {
    void* tag = nullptr;
    bool ok = false;
    ASSERT_TRUE(cq.Next(&tag, &ok));
    EXPECT_TRUE(ok);
  }
  for (int i = 0; i < kCalls; ++i) {
    EXPECT_TRUE(calls[i]->status.ok()) << i << ": " << calls[i]->status.error_message();
    EXPECT_EQ(calls[i]->response.text(), "call-" + std::to_string(i));
  }
  cq.Shutdown();
  void* tag = nullptr;
  bool ok = false;
  while (cq.Next(&tag, &ok)) {
  }
  EXPECT_EQ(service_.connections().size(), 1u);
}

#endif  // INTEROP_NO_GRPCPP

}  // namespace
}  // namespace interoptest
