// Stock HTTP/2 tools against the framework's RpcServer: nghttp (which opens
// with PRIORITY frames, and here also pads its frames or forbids a dynamic
// header table) and h2load posting gRPC bodies, plain and gzip-compressed,
// and curl with prior knowledge posting JSON and protocol-buffer bodies.
#include <string>
#include <vector>

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include "h2/interop_fixture.h"

namespace interoptest {
namespace {

const char kEchoPath[] = "/interop.EchoService/Echo";

class Http2Tools : public InteropTest {
 protected:
  // nghttp -v posting body as a gRPC request; its whole output.
  std::string Nghttp(const std::string& path, const std::string& body,
                     const std::vector<std::string>& headers = {},
                     const std::vector<std::string>& options = {}) {
    const std::string file = WriteScratch("nghttp.body", body);
    std::vector<std::string> argv = {"nghttp", "-v", "-d", file, "-H",
                                     "content-type: application/grpc", "-H", "te: trailers"};
    argv.insert(argv.end(), options.begin(), options.end());
    for (const std::string& h : headers) {
      argv.push_back("-H");
      argv.push_back(h);
    }
    argv.push_back(Url(path));
    const testsupport::ChildResult result = RunClient(argv);
    EXPECT_TRUE(result.ok()) << testsupport::Describe(result);
    return result.output;
  }

  // curl with prior knowledge posting body; the answer's body lands in
  // answer_, the verbose output (headers and trailers) is returned.
  std::string Curl(const std::string& content_type, const std::string& body) {
    const std::string file = WriteScratch("curl.body", body);
    const std::string out = scratch_ + "/curl.answer";
    const testsupport::ChildResult result = RunClient(
        {"curl", "-sS", "-v", "--noproxy", "*", "--http2-prior-knowledge", "--max-time", "60",
         "-H", "content-type: " + content_type, "--data-binary", "@" + file, "-o", out,
         Url(kEchoPath)});
    EXPECT_TRUE(result.ok()) << testsupport::Describe(result);
    answer_ = ReadScratch("curl.answer");
    return result.output;
  }

  static interop::EchoRequest Request(const std::string& text, size_t payload) {
    interop::EchoRequest request;
    request.set_text(text);
    request.set_payload(Pattern(payload));
    return request;
  }

  // What the service answers to request, as a gRPC body.
  static std::string ExpectedBody(const interop::EchoRequest& request) {
    interop::EchoResponse response;
    response.set_payload(request.payload());
    response.set_text(request.text());
    response.set_payload_size(request.payload().size());
    return GrpcFrame(Serialize(response));
  }

  std::string answer_;
};

bool Contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

TEST_F(Http2Tools, NghttpGrpcCall) {
  INTEROP_REQUIRE_PROGRAM("nghttp", "nghttp2-client");
  const interop::EchoRequest request = Request("nghttp-plain", 1024);
  const std::string output = Nghttp(kEchoPath, GrpcFrame(Serialize(request)));
  EXPECT_TRUE(Contains(output, "send PRIORITY frame")) << output;  // nghttp's opening
  EXPECT_TRUE(Contains(output, ":status: 200")) << output;
  EXPECT_TRUE(Contains(output, "grpc-status: 0")) << output;
  EXPECT_TRUE(Contains(output, ExpectedBody(request))) << output;
  EXPECT_EQ(service_.calls(), 1u);
}

TEST_F(Http2Tools, NghttpGzipCompressedGrpcCall) {
  INTEROP_REQUIRE_PROGRAM("nghttp", "nghttp2-client");
  const interop::EchoRequest request = Request("nghttp-gzip", 100 * 1024);
  const std::string compressed = Gzip(Serialize(request));
  ASSERT_FALSE(compressed.empty());
  ASSERT_LT(compressed.size(), request.payload().size());
  const std::string output =
      Nghttp(kEchoPath, GrpcFrame(compressed, true), {"grpc-encoding: gzip"});
  EXPECT_TRUE(Contains(output, "grpc-status: 0")) << output.substr(0, 4096);
  // The answer went out uncompressed and whole: its text and size show in it.
  EXPECT_TRUE(Contains(output, "nghttp-gzip")) << output.substr(0, 4096);
  EXPECT_EQ(service_.calls(), 1u);
}

size_t Count(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + 1)) {
    n++;
  }
  return n;
}

// Padded HEADERS and DATA frames, calls one after another on a connection.
TEST_F(Http2Tools, NghttpPaddedFrames) {
  INTEROP_REQUIRE_PROGRAM("nghttp", "nghttp2-client");
  const interop::EchoRequest request = Request("nghttp-padded", 4096);
  const std::string output =
      Nghttp(kEchoPath, GrpcFrame(Serialize(request)), {}, {"--padding=255", "--multiply=3"});
  EXPECT_TRUE(Contains(output, "padlen=")) << output;
  EXPECT_EQ(Count(output, "grpc-status: 0"), 3u) << output;
  EXPECT_EQ(service_.calls(), 3u);
}

// A client that allows no dynamic header table: every answer's header block
// must decode without one.
TEST_F(Http2Tools, NghttpHeaderTableOfZero) {
  INTEROP_REQUIRE_PROGRAM("nghttp", "nghttp2-client");
  const interop::EchoRequest request = Request("nghttp-no-table", 64);
  const std::string output = Nghttp(kEchoPath, GrpcFrame(Serialize(request)), {},
                                    {"--header-table-size=0", "--multiply=3"});
  EXPECT_TRUE(Contains(output, "SETTINGS_HEADER_TABLE_SIZE(0x01):0")) << output;
  EXPECT_EQ(Count(output, "grpc-status: 0"), 3u) << output;
  EXPECT_FALSE(Contains(output, "COMPRESSION_ERROR")) << output;
}

TEST_F(Http2Tools, NghttpUnknownMethodEndsUnimplemented) {
  INTEROP_REQUIRE_PROGRAM("nghttp", "nghttp2-client");
  const std::string body = GrpcFrame(Serialize(Request("nobody", 16)));
  EXPECT_TRUE(Contains(Nghttp("/interop.EchoService/Missing", body), "grpc-status: 12"));
  EXPECT_TRUE(Contains(Nghttp("/interop.NoSuchService/Echo", body), "grpc-status: 12"));
  EXPECT_EQ(service_.calls(), 0u);
}

// h2load keeps 100 streams open on one connection; every answer arrives
// whole (the data bytes add up to every expected body).
TEST_F(Http2Tools, H2loadHundredStreamsOnOneConnection) {
  INTEROP_REQUIRE_PROGRAM("h2load", "nghttp2-client");
  constexpr int kCalls = 1000;
  const interop::EchoRequest request = Request("h2load", 1024);
  const std::string file = WriteScratch("h2load.body", GrpcFrame(Serialize(request)));
  const testsupport::ChildResult result = RunClient(
      {"h2load", "-n", std::to_string(kCalls), "-c", "1", "-m", "100", "-d", file, "-H",
       "content-type: application/grpc", "-H", "te: trailers", Url(kEchoPath)},
      120.0);
  ASSERT_TRUE(result.ok()) << testsupport::Describe(result);
  const std::string n = std::to_string(kCalls);
  EXPECT_TRUE(Contains(result.output, n + " succeeded, 0 failed, 0 errored, 0 timeout"))
      << result.output;
  EXPECT_TRUE(Contains(result.output, "status codes: " + n + " 2xx")) << result.output;
  const std::string data_bytes = std::to_string(kCalls * ExpectedBody(request).size());
  EXPECT_TRUE(Contains(result.output, "(" + data_bytes + ") data")) << result.output;
  EXPECT_EQ(service_.calls(), static_cast<size_t>(kCalls));
  EXPECT_EQ(service_.connections().size(), 1u);
}

TEST_F(Http2Tools, CurlPostsJson) {
  INTEROP_REQUIRE_PROGRAM("curl", "curl");
  const std::string verbose =
      Curl("application/json", R"({"text": "curl-json", "payload": "aGVsbG8="})");
  EXPECT_TRUE(Contains(verbose, "< HTTP/2 200")) << verbose;
  EXPECT_TRUE(Contains(verbose, "< grpc-status: 0")) << verbose;
  interop::EchoResponse response;
  ASSERT_TRUE(google::protobuf::util::JsonStringToMessage(answer_, &response).ok()) << answer_;
  EXPECT_EQ(response.text(), "curl-json");
  EXPECT_EQ(response.payload(), "hello");
  EXPECT_EQ(response.payload_size(), 5u);
}

TEST_F(Http2Tools, CurlJsonCallThatFails) {
  INTEROP_REQUIRE_PROGRAM("curl", "curl");
  const std::string verbose = Curl("application/json", R"({"failText": "jsonfailed"})");
  EXPECT_TRUE(Contains(verbose, "< grpc-status: 13")) << verbose;
  EXPECT_TRUE(Contains(verbose, "< grpc-message: jsonfailed")) << verbose;
}

TEST_F(Http2Tools, CurlPostsProtocolBuffer) {
  INTEROP_REQUIRE_PROGRAM("curl", "curl");
  const interop::EchoRequest request = Request("curl-proto", 100 * 1024);
  const std::string verbose = Curl("application/x-protobuf", Serialize(request));
  EXPECT_TRUE(Contains(verbose, "< grpc-status: 0")) << verbose;
  interop::EchoResponse response;
  ASSERT_TRUE(response.ParseFromString(answer_)) << answer_.size() << " bytes";
  EXPECT_EQ(response.text(), "curl-proto");
  EXPECT_TRUE(response.payload() == request.payload());
}

}  // namespace
}  // namespace interoptest
