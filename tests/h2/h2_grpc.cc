// gRPC over HTTP/2: the content-type, path and status tables, and requests
// written byte for byte that the server must answer with the right
// "grpc-status": served calls, failed calls, requests that cannot be
// served, size limits, an exhausted controller pool, and calls whose client
// goes away before they complete.

#include <zlib.h>

#include <string>
#include <vector>

#include "brpc/policy/gzip_compress.h"
#include "brpc/uri.h"
#include "h2/h2_test_util.h"
#include "support/log_capture.h"
#include "tarn/policy/h2_grpc.h"

namespace h2test {
namespace {

using tarn::H2_FLAGS_END_STREAM;
using tarn::H2_FRAME_DATA;
using tarn::H2_FRAME_PING;
using tarn::H2_FRAME_RST_STREAM;

std::string Gzip(const std::string& data) {
  std::string out;
  EXPECT_TRUE(brpc::policy::GzipCompress(data.data(), data.size(), &out));
  return out;
}

TEST(H2GrpcTables, ContentTypes) {
  struct Case {
    const char* text;
    tarn::H2ContentType type;
    bool grpc;
  };
  const Case cases[] = {
      {"application/grpc", tarn::H2_CONTENT_PROTO, true},
      {"application/grpc;charset=utf-8", tarn::H2_CONTENT_PROTO, true},
      {"application/grpc+proto", tarn::H2_CONTENT_PROTO, true},
      {"application/grpc+json", tarn::H2_CONTENT_JSON, true},
      {"application/grpc+json;x=y", tarn::H2_CONTENT_JSON, true},
      {"application/grpc+thrift", tarn::H2_CONTENT_OTHER, true},
      {"application/grpcx", tarn::H2_CONTENT_OTHER, false},
      {"application/json", tarn::H2_CONTENT_JSON, false},
      {"application/jsonx", tarn::H2_CONTENT_OTHER, false},
      {"application/proto", tarn::H2_CONTENT_PROTO, false},
      {"application/x-protobuf", tarn::H2_CONTENT_PROTO, false},
      {"application/x-protobuf;v=1", tarn::H2_CONTENT_PROTO, false},
      {"Application/json", tarn::H2_CONTENT_OTHER, false},
      {"text/plain", tarn::H2_CONTENT_OTHER, false},
      {"", tarn::H2_CONTENT_OTHER, false},
  };
  for (const Case& c : cases) {
    bool grpc = !c.grpc;
    EXPECT_EQ(tarn::ParseContentType(c.text, &grpc), c.type) << c.text;
    EXPECT_EQ(grpc, c.grpc) << c.text;
  }
}

TEST(H2GrpcTables, Paths) {
  struct Case {
    const char* path;
    const char* service;  // null: not found
    const char* method;
  };
  const Case cases[] = {
      {"/volume.PYXDriverService/CreateSnapshot", "PYXDriverService", "CreateSnapshot"},
      {"/PYXDriverService/CreateSnapshot", "PYXDriverService", "CreateSnapshot"},
      {"/a.b.PYXDriverService/CreateSnapshot", "PYXDriverService", "CreateSnapshot"},
      {"/PYXDriverService//CreateSnapshot/", "PYXDriverService", "CreateSnapshot"},
      {"/PYXDriverService/", nullptr, nullptr},
      {"/PYXDriverService", nullptr, nullptr},
      {"/PYXDriverService/Create/Snapshot", nullptr, nullptr},
      {"//CreateSnapshot", nullptr, nullptr},
      {"PYXDriverService/CreateSnapshot", nullptr, nullptr},
      {"", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    std::string_view service;
    std::string_view method;
    const bool found = tarn::FindMethodPropertyByURI(c.path, &service, &method);
    EXPECT_EQ(found, c.service != nullptr) << c.path;
    if (found && c.service != nullptr) {
      EXPECT_EQ(service, c.service) << c.path;
      EXPECT_EQ(method, c.method) << c.path;
    }
  }
}

TEST(H2GrpcTables, StatusCodesAndNames) {
  const std::vector<std::pair<int, int>> codes = {
      {0, 0},     {1, 7},     {22, 3},    {125, 1},   {1001, 12}, {1002, 12}, {1003, 3},
      {1004, 16}, {1008, 4},  {2003, 14}, {2004, 8},  {-1, 13},   {2, 13},    {-5, 13}};
  for (const auto& c : codes) EXPECT_EQ(tarn::ErrorCodeToGrpcStatus(c.first), c.second) << c.first;
  EXPECT_STREQ(tarn::GrpcStatusToString(0), "GRPC_OK");
  EXPECT_STREQ(tarn::GrpcStatusToString(12), "GRPC_UNIMPLEMENTED");
  EXPECT_STREQ(tarn::GrpcStatusToString(17), "GRPC_MAX");
  EXPECT_STREQ(tarn::GrpcStatusToString(18), "Unknown-GrpcStatus");
  EXPECT_STREQ(tarn::GrpcStatusToString(-1), "Unknown-GrpcStatus");
  EXPECT_STREQ(tarn::H2ErrorToString(tarn::H2_NO_ERROR), "NO_ERROR");
  EXPECT_STREQ(tarn::H2ErrorToString(tarn::H2_ENHANCE_YOUR_CALM), "ENHANCE_YOUR_CALM");
  EXPECT_STREQ(tarn::H2ErrorToString(tarn::H2_HTTP_1_1_REQUIRED), "HTTP_1_1_REQUIRED");
  EXPECT_STREQ(tarn::H2ErrorToString(static_cast<tarn::H2Error>(14)), "Unknown-H2Error");
}

TEST(H2GrpcTables, GunzipStopsAtItsLimit) {
  const std::string data(1 << 20, 'z');
  const std::string packed = Gzip(data);
  std::string out;
  EXPECT_TRUE(brpc::policy::GzipDecompress(packed.data(), packed.size(), data.size(), &out));
  EXPECT_EQ(out, data);
  EXPECT_FALSE(brpc::policy::GzipDecompress(packed.data(), packed.size(), data.size() - 1, &out));
  EXPECT_FALSE(brpc::policy::GzipDecompress(packed.data(), packed.size() - 4, data.size(), &out));
  EXPECT_FALSE(brpc::policy::GzipDecompress("not gzip", 8, 100, &out));
}

class H2Grpc : public H2Test {};

// Requests on one connection, each on a stream of its own; the answer's
// gRPC status, and for served calls what came back.
TEST_F(H2Grpc, RequestsAndTheirStatus) {
  struct Case {
    const char* name;
    std::string path;
    std::string content_type;
    Fields extra;
    std::string body;
    int status;
    std::string expect_body;  // when not empty, the exact response body
  };
  const std::string hello = EchoMessage("hello");
  const std::string hello_answer = [] {
    interop::EchoResponse resp;
    resp.set_payload("hello");
    resp.set_payload_size(5);
    return resp.SerializeAsString();
  }();
  std::string off_by_one = GrpcFrame(hello);
  off_by_one[4]++;
  const Fields gzip = {{"grpc-encoding", "gzip"}};
  const std::vector<Case> cases = {
      {"served", kEchoPath, "application/grpc", {}, GrpcFrame(hello), 0, GrpcFrame(hello_answer)},
      {"package of several parts", "/x.y.interop.EchoService/Echo", "application/grpc", {},
       GrpcFrame(hello), 0, GrpcFrame(hello_answer)},
      {"doubled slash", "/interop.EchoService//Echo", "application/grpc", {}, GrpcFrame(hello), 0,
       GrpcFrame(hello_answer)},
      {"empty body", kEchoPath, "application/grpc", {}, "", 0, GrpcFrame("")},
      {"gzip", kEchoPath, "application/grpc", gzip, GrpcFrame(Gzip(hello), true), 0,
       GrpcFrame(hello_answer)},
      {"compressed with identity", kEchoPath, "application/grpc", {{"grpc-encoding", "identity"}},
       GrpcFrame(hello, true), 0, GrpcFrame(hello_answer)},
      {"protobuf without gRPC", kEchoPath, "application/proto", {}, hello, 0, hello_answer},
      {"JSON without gRPC", kEchoPath, "application/json", {}, R"({"payload":"aGVsbG8="})", 0,
       R"({"payload":"aGVsbG8=","payload_size":"5"})"},
      {"JSON in gRPC", kEchoPath, "application/grpc+json", {},
       GrpcFrame(R"({"payload":"aGVsbG8="})"), 0,
       GrpcFrame(R"({"payload":"aGVsbG8=","payload_size":"5"})")},
      {"unknown method", "/interop.EchoService/Nope", "application/grpc", {}, GrpcFrame(hello),
       12, ""},
      {"unknown service", "/interop.Nope/Echo", "application/grpc", {}, GrpcFrame(hello), 12, ""},
      {"service without method", "/interop.EchoService/", "application/grpc", {},
       GrpcFrame(hello), 12, ""},
      {"unknown grpc-encoding", kEchoPath, "application/grpc", {{"grpc-encoding", "br"}},
       GrpcFrame(hello, true), 12, ""},
      {"prefix length off by one", kEchoPath, "application/grpc", {}, off_by_one, 3, ""},
      {"body shorter than a prefix", kEchoPath, "application/grpc", {}, std::string(2, '\0'), 3,
       ""},
      {"compressed without grpc-encoding", kEchoPath, "application/grpc", {},
       GrpcFrame(hello, true), 3, ""},
      {"damaged gzip", kEchoPath, "application/grpc", gzip, GrpcFrame("not gzip", true), 3, ""},
      {"unparsable protobuf", kEchoPath, "application/grpc", {}, GrpcFrame("\xff\xff\xff"), 3,
       ""},
      {"unparsable JSON", kEchoPath, "application/json", {}, "{nope", 3, ""},
  };
  Client c(port_);
  c.Handshake();
  uint32_t stream = 1;
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    ASSERT_TRUE(c.Send(c.Request(stream, tc.path, tc.body, tc.content_type, tc.extra)));
    Response r;
    ASSERT_TRUE(c.ReadResponse(stream, &r));
    stream += 2;
    EXPECT_EQ(r.Get(":status"), "200");
    EXPECT_EQ(r.grpc_status(), tc.status);
    EXPECT_EQ(r.Get("content-type"), tc.content_type);
    if (tc.status == 0) {
      EXPECT_EQ(r.body, tc.expect_body);
    } else {
      // Answered at once, in one HEADERS frame that ends the stream.
      EXPECT_EQ(r.header_frames, 1u);
      EXPECT_TRUE(r.body.empty());
      EXPECT_FALSE(r.Get("grpc-message").empty());
    }
  }
  EXPECT_TRUE(PoolFull());
}

TEST_F(H2Grpc, FailedCallCarriesANonZeroStatusAndItsText) {
  Client c(port_);
  c.Handshake();
  ASSERT_TRUE(c.Send(c.EchoCall(1, EchoMessage("", "50% done\nnot \xc3\xbc"))));
  Response r;
  ASSERT_TRUE(c.ReadResponse(1, &r));
  EXPECT_EQ(r.grpc_status(), tarn::GRPC_INTERNAL);
  EXPECT_EQ(r.Get("grpc-message"), "50%25 done%0Anot %C3%BC");
  std::string decoded;
  brpc::PercentDecode(r.Get("grpc-message"), &decoded);
  EXPECT_EQ(decoded, "50% done\nnot \xc3\xbc");
  EXPECT_TRUE(r.body.empty());
}

TEST_F(H2Grpc, BodiesBeyondTheLargestMessageAreRefused) {
  Client c(port_);
  // Windows wide open: the answers are large.
  c.Handshake({{4, 0x7fffffff}});
  ASSERT_TRUE(c.Send(FrameBytes(tarn::H2_FRAME_WINDOW_UPDATE, 0, 0, U32(0x7fffffff - 65535))));
  constexpr uint32_t kLimit = 1 << 20;
  ASSERT_TRUE(c.Send(c.EchoCall(1, EchoMessage("", "", 0, "limit:" + std::to_string(kLimit)))));
  Response r;
  ASSERT_TRUE(c.ReadResponse(1, &r));
  ASSERT_EQ(r.grpc_status(), 0);

  // Within the limit once gunzipped: served.
  const std::string fits = EchoMessage(std::string(kLimit / 2, 'f'));
  ASSERT_TRUE(c.Send(c.Request(3, kEchoPath, GrpcFrame(Gzip(fits), true), "application/grpc",
                               {{"grpc-encoding", "gzip"}})));
  ASSERT_TRUE(c.ReadResponse(3, &r));
  EXPECT_EQ(r.grpc_status(), 0);
  // A few KiB that gunzip beyond the limit: refused as a bad body.
  const std::string bomb = EchoMessage(std::string(2 * kLimit, 'b'));
  ASSERT_TRUE(c.Send(c.Request(5, kEchoPath, GrpcFrame(Gzip(bomb), true), "application/grpc",
                               {{"grpc-encoding", "gzip"}})));
  ASSERT_TRUE(c.ReadResponse(5, &r));
  EXPECT_EQ(r.grpc_status(), tarn::GRPC_INVALIDARGUMENT);
  // A body beyond the limit: answered before it ends, and the stream reset.
  ASSERT_TRUE(c.Send(c.EchoCall(7, EchoMessage(std::string(kLimit + kLimit / 2, 'l')))));
  ASSERT_TRUE(c.ReadResponse(7, &r));
  EXPECT_EQ(r.grpc_status(), tarn::GRPC_RESOURCEEXHAUSTED);
  Frame f;
  ASSERT_TRUE(c.ReadType(H2_FRAME_RST_STREAM, &f, 7));
  EXPECT_EQ(ReadU32(f.payload), tarn::H2_NO_ERROR);
  // The connection goes on.
  ASSERT_TRUE(c.Send(c.EchoCall(9, EchoMessage("after"))));
  ASSERT_TRUE(c.ReadResponse(9, &r));
  EXPECT_EQ(r.grpc_status(), 0);
  EXPECT_TRUE(PoolFull());
}

TEST_F(H2Grpc, ExhaustedControllerPoolIsAnswered) {
  TearDown();
  StartServer(1);
  Client c(port_);
  c.Handshake();
  ASSERT_TRUE(c.Send(c.EchoCall(1, EchoMessage("held", "", 1))));
  ASSERT_TRUE(testsupport::WaitFor([this] { return echo_.held() == 1; }));
  ASSERT_TRUE(c.Send(c.EchoCall(3, EchoMessage("no room"))));
  Response r;
  ASSERT_TRUE(c.ReadResponse(3, &r));
  EXPECT_EQ(r.grpc_status(), tarn::GRPC_INTERNAL);
  EXPECT_EQ(echo_.Release(), 1u);
  ASSERT_TRUE(c.ReadResponse(1, &r));
  EXPECT_EQ(r.grpc_status(), 0);
  EXPECT_TRUE(PoolFull());
}

TEST_F(H2Grpc, CallOfAResetStreamIsNotAnswered) {
  Client c(port_);
  c.Handshake();
  ASSERT_TRUE(c.Send(c.EchoCall(1, EchoMessage("held", "", 1))));
  ASSERT_TRUE(testsupport::WaitFor([this] { return echo_.held() == 1; }));
  ASSERT_TRUE(c.Send(FrameBytes(H2_FRAME_RST_STREAM, 0, 1, U32(tarn::H2_CANCEL)) +
                     c.EchoCall(3, EchoMessage("other"))));
  Response r;
  ASSERT_TRUE(c.ReadResponse(3, &r));
  EXPECT_EQ(r.grpc_status(), 0);
  EXPECT_EQ(echo_.Release(), 1u);
  EXPECT_TRUE(PoolFull());
  // Everything the server wrote before the PING's answer: nothing for 1.
  ASSERT_TRUE(c.Send(FrameBytes(H2_FRAME_PING, 0, 0, "12345678")));
  Frame f;
  while (c.Read(&f) && f.type != H2_FRAME_PING) EXPECT_NE(f.stream, 1u);
  EXPECT_EQ(f.type, H2_FRAME_PING);
}

TEST_F(H2Grpc, CallOutlivingItsConnectionCompletesQuietly) {
  testsupport::LogCapture log;
  {
    Client c(port_);
    c.Handshake();
    ASSERT_TRUE(c.Send(c.EchoCall(1, EchoMessage("held", "", 1))));
    ASSERT_TRUE(testsupport::WaitFor([this] { return echo_.held() == 1; }));
  }
  // The client is gone and the server has closed its side; then the call
  // ends, on a connection only the call's controller still holds.
  ASSERT_TRUE(log.WaitForText("close a connection"));
  EXPECT_EQ(echo_.Release(), 1u);
  EXPECT_TRUE(PoolFull());
  Client again(port_);
  again.Handshake();
  ASSERT_TRUE(again.Send(again.EchoCall(1, EchoMessage("new"))));
  Response r;
  ASSERT_TRUE(again.ReadResponse(1, &r));
  EXPECT_EQ(r.grpc_status(), 0);
}

}  // namespace
}  // namespace h2test
