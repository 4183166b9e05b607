// The HTTP/2 connection layer, driven with raw bytes from loopback sockets:
// the preface and the opening frames, framing across reads, frame size
// limits, PING, connection and stream errors, bounds on what a client can
// make the server hold, and flow control in both directions.

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "h2/h2_test_util.h"
#include "support/frames.h"
#include "tarn/policy/h2_grpc.h"

namespace h2test {
namespace {

using tarn::H2_FLAGS_ACK;
using tarn::H2_FLAGS_END_HEADERS;
using tarn::H2_FLAGS_END_STREAM;
using tarn::H2_FLAGS_PADDED;
using tarn::H2_FLAGS_PRIORITY;
using tarn::H2_FRAME_CONTINUATION;
using tarn::H2_FRAME_DATA;
using tarn::H2_FRAME_GOAWAY;
using tarn::H2_FRAME_HEADERS;
using tarn::H2_FRAME_PING;
using tarn::H2_FRAME_PRIORITY;
using tarn::H2_FRAME_PUSH_PROMISE;
using tarn::H2_FRAME_RST_STREAM;
using tarn::H2_FRAME_SETTINGS;
using tarn::H2_FRAME_WINDOW_UPDATE;

// The payload of an echo response body (gRPC prefix first).
std::string EchoPayload(const Response& r) {
  interop::EchoResponse resp;
  if (r.body.size() < 5 || !resp.ParseFromString(r.body.substr(5))) return "<unparsable>";
  return resp.payload();
}

class H2Connection : public H2Test {};

TEST_F(H2Connection, OpeningFramesFollowTheWholePrefaceOnly) {
  Client c(port_);
  const std::string preface = tarn::kH2ConnectionPreface;
  ASSERT_TRUE(c.Send(preface.substr(0, 10)));
  Frame f;
  EXPECT_FALSE(c.Read(&f, 0.3)) << "answered a partial preface";
  ASSERT_TRUE(c.Send(preface.substr(10)));
  std::string got;
  ASSERT_TRUE(testsupport::RecvExact(c.fd(), 9 + 18 + 13, &got));
  // ENABLE_PUSH 0, MAX_CONCURRENT_STREAMS 128, INITIAL_WINDOW_SIZE 262144.
  const std::string settings = std::string("\0\2", 2) + U32(0) + std::string("\0\3", 2) +
                               U32(tarn::kH2MaxOpenStreams) + std::string("\0\4", 2) +
                               U32(262144);
  EXPECT_EQ(got, FrameBytes(H2_FRAME_SETTINGS, 0, 0, settings) +
                     FrameBytes(H2_FRAME_WINDOW_UPDATE, 0, 0, U32(983041)));
}

TEST_F(H2Connection, FrameProtocolIsServedOnTheSamePort) {
  const int fd = testsupport::RawConnect(port_);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(testsupport::SendAll(fd, testsupport::WriteRequestFrame(7, 42)));
  tarn::RpcHeader header;
  vovorav::BlockServerWriteResponse resp;
  ASSERT_TRUE(testsupport::ReadResponse(fd, &header, &resp));
  EXPECT_EQ(header.seq_no(), 7u);
  EXPECT_EQ(resp.offset_in_extent(), 42u);
  ::close(fd);
}

TEST_F(H2Connection, FramesSplitAcrossReadsAreServed) {
  Client c(port_);
  c.Handshake();
  const std::string bytes = c.EchoCall(1, EchoMessage("split"));
  for (size_t i = 0; i < bytes.size(); i += 7) {
    ASSERT_TRUE(c.Send(bytes.substr(i, 7)));
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  Response r;
  ASSERT_TRUE(c.ReadResponse(1, &r));
  EXPECT_EQ(r.grpc_status(), 0);
  EXPECT_EQ(EchoPayload(r), "split");
}

TEST_F(H2Connection, FrameSizeLimitBeforeAndAfterTheSettingsAck) {
  for (bool ack : {false, true}) {
    SCOPED_TRACE(ack ? "after ACK" : "before ACK");
    Client c(port_);
    c.Handshake({}, ack);
    // A frame of the largest size is read (and its unknown stream refused).
    ASSERT_TRUE(c.Send(FrameBytes(H2_FRAME_DATA, 0, 1, std::string(16384, 'x'))));
    Frame f;
    ASSERT_TRUE(c.ReadType(H2_FRAME_RST_STREAM, &f, 1));
    EXPECT_EQ(ReadU32(f.payload), tarn::H2_STREAM_CLOSED);
    ASSERT_TRUE(c.Send(FrameBytes(H2_FRAME_DATA, 0, 3, std::string(16385, 'x'))));
    ASSERT_TRUE(c.ReadType(H2_FRAME_GOAWAY, &f));
    EXPECT_EQ(ReadU32(f.payload, 0), 0u) << "no stream was opened";
    EXPECT_EQ(ReadU32(f.payload, 4), tarn::H2_FRAME_SIZE_ERROR);
    EXPECT_TRUE(c.Closes());
  }
}

TEST_F(H2Connection, PingIsEchoedAndPingAckIgnored) {
  Client c(port_);
  c.Handshake();
  ASSERT_TRUE(c.Send(FrameBytes(H2_FRAME_PING, H2_FLAGS_ACK, 0, "zzzzzzzz") +
                     FrameBytes(H2_FRAME_PING, 0, 0, "abcdefgh")));
  Frame f;
  ASSERT_TRUE(c.ReadType(H2_FRAME_PING, &f));
  EXPECT_EQ(f.flags, H2_FLAGS_ACK);
  EXPECT_EQ(f.payload, "abcdefgh");
}

// Frames that break the protocol: each is answered with GOAWAY carrying the
// last stream the client opened and the error, the connection is closed,
// and nothing sent after the frame is served.
TEST_F(H2Connection, ConnectionErrorsEndWithGoAwayAndClose) {
  struct Case {
    const char* name;
    bool open_stream_first;  // stream 1 is served before the bad frame
    std::function<std::string(Client&)> bad;
    uint32_t error;
    uint32_t last;  // the last stream id the GOAWAY names
  };
  const std::vector<Case> cases = {
      {"even stream id", false, [](Client& c) { return c.Headers(2, kEchoPath); },
       tarn::H2_PROTOCOL_ERROR, 0},
      {"even stream id after stream 1", true, [](Client& c) { return c.Headers(4, kEchoPath); },
       tarn::H2_PROTOCOL_ERROR, 1},
      {"HEADERS on stream 0", false, [](Client& c) { return c.Headers(0, kEchoPath); },
       tarn::H2_PROTOCOL_ERROR, 0},
      {"DATA on stream 0", false,
       [](Client&) { return FrameBytes(H2_FRAME_DATA, 0, 0, "abc"); }, tarn::H2_PROTOCOL_ERROR, 0},
      {"RST_STREAM on stream 0", false,
       [](Client&) { return FrameBytes(H2_FRAME_RST_STREAM, 0, 0, U32(8)); },
       tarn::H2_PROTOCOL_ERROR, 0},
      {"PUSH_PROMISE", true,
       [](Client&) { return FrameBytes(H2_FRAME_PUSH_PROMISE, 4, 1, U32(2)); },
       tarn::H2_PROTOCOL_ERROR, 1},
      {"padding longer than the payload", true,
       [](Client&) { return FrameBytes(H2_FRAME_DATA, H2_FLAGS_PADDED, 1, "\x05" "abc"); },
       tarn::H2_FRAME_SIZE_ERROR, 1},
      {"a frame inside a header block", false,
       [](Client& c) {
         const std::string block = c.Block({{":method", "POST"}, {":path", kEchoPath}});
         return FrameBytes(H2_FRAME_HEADERS, 0, 1, block) +
                FrameBytes(H2_FRAME_PING, 0, 0, "abcdefgh");
       },
       tarn::H2_PROTOCOL_ERROR, 1},
      {"CONTINUATION without HEADERS", false,
       [](Client&) { return FrameBytes(H2_FRAME_CONTINUATION, H2_FLAGS_END_HEADERS, 1, ""); },
       tarn::H2_PROTOCOL_ERROR, 0},
      {"undecodable header block", false,
       [](Client&) {
         return FrameBytes(H2_FRAME_HEADERS, H2_FLAGS_END_HEADERS, 1, std::string(4, '\xff'));
       },
       tarn::H2_COMPRESSION_ERROR, 1},
      {"zero window increment", false,
       [](Client&) { return FrameBytes(H2_FRAME_WINDOW_UPDATE, 0, 0, U32(0)); },
       tarn::H2_PROTOCOL_ERROR, 0},
      {"connection window beyond 2^31-1", false,
       [](Client&) { return FrameBytes(H2_FRAME_WINDOW_UPDATE, 0, 0, U32(0x7fffffff)); },
       tarn::H2_FLOW_CONTROL_ERROR, 0},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    const size_t calls_before = echo_.calls();
    Client c(port_);
    c.Handshake();
    if (tc.open_stream_first) {
      ASSERT_TRUE(c.Send(c.EchoCall(1, EchoMessage("first"))));
      Response r;
      ASSERT_TRUE(c.ReadResponse(1, &r));
    }
    // A good call right behind the bad frame must never be served.
    ASSERT_TRUE(c.Send(tc.bad(c) + c.EchoCall(31, EchoMessage("after"))));
    std::vector<Frame> seen;
    EXPECT_TRUE(c.Closes(&seen));
    bool goaway = false;
    for (const Frame& f : seen) {
      EXPECT_NE(f.stream, 31u) << "a frame after the error was served";
      if (f.type != H2_FRAME_GOAWAY) continue;
      goaway = true;
      EXPECT_EQ(ReadU32(f.payload, 0), tc.last);
      EXPECT_EQ(ReadU32(f.payload, 4), tc.error);
    }
    EXPECT_TRUE(goaway);
    EXPECT_EQ(echo_.calls(), calls_before + (tc.open_stream_first ? 1 : 0));
  }
}

TEST_F(H2Connection, PriorityAndUnknownFrameTypesAreIgnored) {
  Client c(port_);
  c.Handshake();
  // A HEADERS frame with padding and a priority block, as browsers send.
  const std::string block = c.Block({{":method", "POST"},
                                     {":scheme", "http"},
                                     {":path", kEchoPath},
                                     {"content-type", "application/grpc"}});
  const std::string headers =
      FrameBytes(H2_FRAME_HEADERS, H2_FLAGS_END_HEADERS | H2_FLAGS_PADDED | H2_FLAGS_PRIORITY, 1,
                 std::string(1, 2) + U32(0) + std::string(1, 16) + block + std::string(2, 0));
  ASSERT_TRUE(c.Send(FrameBytes(H2_FRAME_PRIORITY, 0, 1, U32(0) + std::string(1, 16)) +
                     FrameBytes(10, 0, 0, "extension") + FrameBytes(0xfe, 0xff, 1, "x") +
                     headers + FrameBytes(H2_FRAME_PRIORITY, 0, 3, U32(1) + "x") +
                     FrameBytes(H2_FRAME_DATA, H2_FLAGS_END_STREAM, 1,
                                GrpcFrame(EchoMessage("still here")))));
  Response r;
  ASSERT_TRUE(c.ReadResponse(1, &r));
  EXPECT_EQ(r.grpc_status(), 0);
  EXPECT_EQ(EchoPayload(r), "still here");
}

TEST_F(H2Connection, DataOnUnknownStreamIsRefusedAndReturnsItsCredit) {
  Client c(port_);
  c.Handshake();
  std::string bytes;
  for (int i = 0; i < 8; ++i) bytes += FrameBytes(H2_FRAME_DATA, 0, 5, std::string(16384, 'd'));
  ASSERT_TRUE(c.Send(bytes));
  int resets = 0;
  int updates = 0;
  Frame f;
  while ((resets < 8 || updates < 1) && c.Read(&f)) {
    if (f.type == H2_FRAME_RST_STREAM && f.stream == 5) {
      EXPECT_EQ(ReadU32(f.payload), tarn::H2_STREAM_CLOSED);
      resets++;
    }
    if (f.type == H2_FRAME_WINDOW_UPDATE) {
      // Granted back once half the window (after the ACK: 262144) is used.
      EXPECT_EQ(f.stream, 0u);
      EXPECT_EQ(ReadU32(f.payload), 131072u);
      updates++;
    }
  }
  EXPECT_EQ(resets, 8);
  ASSERT_TRUE(c.Send(c.EchoCall(7, EchoMessage("ok"))));
  Response r;
  ASSERT_TRUE(c.ReadResponse(7, &r));
  EXPECT_EQ(r.grpc_status(), 0);
}

TEST_F(H2Connection, PaddedDataReturnsTheWholePayloadToTheWindows) {
  Client c(port_);
  c.Handshake();
  ASSERT_TRUE(c.Send(c.Headers(1, kEchoPath)));
  // 8 frames of 16384 payload bytes, 255 of them padding each: the credit
  // due is 131072 (half the stream window), not the 129024 data bytes.
  const std::string payload =
      std::string(1, static_cast<char>(255)) + std::string(16384 - 256, 'p') + std::string(255, 0);
  std::string bytes;
  for (int i = 0; i < 8; ++i) bytes += FrameBytes(H2_FRAME_DATA, H2_FLAGS_PADDED, 1, payload);
  ASSERT_TRUE(c.Send(bytes));
  Frame f;
  ASSERT_TRUE(c.ReadType(H2_FRAME_WINDOW_UPDATE, &f, 1));
  EXPECT_EQ(ReadU32(f.payload), 131072u);
  ASSERT_TRUE(c.ReadType(H2_FRAME_WINDOW_UPDATE, &f, 0));
  EXPECT_EQ(ReadU32(f.payload), 131072u);
}

TEST_F(H2Connection, StreamsBeyondTheOpenLimitAreRefused) {
  Client c(port_);
  c.Handshake();
  std::string bytes;
  for (uint32_t i = 0; i < tarn::kH2MaxOpenStreams; ++i) bytes += c.Headers(1 + 2 * i, kEchoPath);
  const uint32_t excess = 1 + 2 * static_cast<uint32_t>(tarn::kH2MaxOpenStreams);
  bytes += c.Headers(excess, kEchoPath);
  ASSERT_TRUE(c.Send(bytes));
  Frame f;
  ASSERT_TRUE(c.ReadType(H2_FRAME_RST_STREAM, &f, 0, true));
  EXPECT_EQ(f.stream, excess);
  EXPECT_EQ(ReadU32(f.payload), tarn::H2_REFUSED_STREAM);
  // Finishing one request makes room for another.
  ASSERT_TRUE(c.Send(FrameBytes(H2_FRAME_DATA, H2_FLAGS_END_STREAM, 1,
                                GrpcFrame(EchoMessage("one")))));
  Response r;
  ASSERT_TRUE(c.ReadResponse(1, &r));
  EXPECT_EQ(EchoPayload(r), "one");
  ASSERT_TRUE(c.Send(c.EchoCall(excess + 2, EchoMessage("two"))));
  ASSERT_TRUE(c.ReadResponse(excess + 2, &r));
  EXPECT_EQ(EchoPayload(r), "two");
}

TEST_F(H2Connection, OversizedHeaderListIsRefusedAndTheDecoderStaysInStep) {
  Client c(port_);
  c.Handshake();
  // 40 references to one 2000-byte field: a small block, a decoded list of
  // about 80 KiB.
  Fields big(40, {"x-big", std::string(2000, 'b')});
  ASSERT_TRUE(c.Send(c.Request(1, kEchoPath, GrpcFrame(EchoMessage("refused")),
                               "application/grpc", big)));
  Response r;
  ASSERT_TRUE(c.ReadResponse(1, &r));
  EXPECT_TRUE(r.reset);
  EXPECT_EQ(r.reset_code, tarn::H2_REFUSED_STREAM);
  // The next block refers to the field the refused one put in the table.
  ASSERT_TRUE(c.Send(c.Request(3, kEchoPath, GrpcFrame(EchoMessage("served")),
                               "application/grpc", Fields(1, big[0]))));
  ASSERT_TRUE(c.ReadResponse(3, &r));
  EXPECT_EQ(r.grpc_status(), 0);
  EXPECT_EQ(EchoPayload(r), "served");
}

TEST_F(H2Connection, EndlessHeaderBlockIsAnsweredWithEnhanceYourCalm) {
  Client c(port_);
  c.Handshake();
  Fields fields = {{":method", "POST"}, {":path", kEchoPath}};
  for (int i = 0; i < 70; ++i) fields.push_back({"x-h" + std::to_string(i), Noise(2000, i)});
  const std::string block = c.Block(fields);
  ASSERT_GT(block.size(), tarn::kH2MaxHeaderListBytes);
  std::string bytes;
  for (size_t off = 0; off < block.size(); off += 16384) {
    const bool last = off + 16384 >= block.size();
    bytes += FrameBytes(off == 0 ? H2_FRAME_HEADERS : H2_FRAME_CONTINUATION,
                        last ? H2_FLAGS_END_HEADERS : 0, 1, block.substr(off, 16384));
  }
  ASSERT_TRUE(c.Send(bytes));
  Frame f;
  ASSERT_TRUE(c.ReadType(H2_FRAME_GOAWAY, &f));
  EXPECT_EQ(ReadU32(f.payload, 4), tarn::H2_ENHANCE_YOUR_CALM);
  EXPECT_TRUE(c.Closes());
}

// A response larger than the client's windows leaves as credit arrives;
// meanwhile other streams are answered and every header block decodes in
// the order it travels.
TEST_F(H2Connection, LargeResponseWaitsForCredit) {
  for (bool by_settings : {false, true}) {
    SCOPED_TRACE(by_settings ? "credit from SETTINGS" : "credit from WINDOW_UPDATE");
    Client c(port_);
    c.Handshake();
    ASSERT_TRUE(c.Send(FrameBytes(H2_FRAME_WINDOW_UPDATE, 0, 0, U32(1 << 20))));
    const std::string payload = Noise(100000, 7);
    ASSERT_TRUE(c.Send(c.EchoCall(1, EchoMessage(payload))));
    // The stream window of 65535 bytes, then nothing.
    std::string body;
    Fields headers;
    Frame f;
    while (body.size() < 65535 && c.Read(&f)) {
      if (f.type == H2_FRAME_HEADERS && f.stream == 1) {
        ASSERT_TRUE(c.Decode(f.payload, &headers));
      }
      if (f.type == H2_FRAME_DATA && f.stream == 1) body += f.payload;
    }
    ASSERT_EQ(body.size(), 65535u);
    while (c.Read(&f, 0.3)) EXPECT_NE(f.stream, 1u) << "sent beyond the stream window";
    ASSERT_TRUE(c.Send(c.EchoCall(3, EchoMessage("small"))));
    Response small;
    ASSERT_TRUE(c.ReadResponse(3, &small));
    EXPECT_EQ(EchoPayload(small), "small");
    ASSERT_TRUE(c.Send(by_settings ? Settings({{4, 1 << 20}})
                                   : FrameBytes(H2_FRAME_WINDOW_UPDATE, 0, 1, U32(1 << 20))));
    Response rest;
    ASSERT_TRUE(c.ReadResponse(1, &rest));
    EXPECT_EQ(rest.grpc_status(), 0);
    rest.body = body + rest.body;
    EXPECT_EQ(EchoPayload(rest), payload);
  }
}

TEST_F(H2Connection, BodyLeavesInFramesOfTheClientsFrameSize) {
  Client c(port_);
  c.Handshake();
  // 39987 payload bytes make a response body of exactly 40000 bytes.
  ASSERT_TRUE(c.Send(c.EchoCall(1, EchoMessage(std::string(39987, 'x')))));
  Response r;
  ASSERT_TRUE(c.ReadResponse(1, &r));
  EXPECT_EQ(r.data_sizes, (std::vector<size_t>{16384, 16384, 7232}));
  EXPECT_EQ(r.grpc_status(), 0);
  EXPECT_EQ(r.Get("content-type"), "application/grpc");
  EXPECT_EQ(r.header_frames, 2u) << "headers, then trailers after the body";
}

// Several large answers framed together leave in frames of the client's
// size, or smaller where its windows allow less, and arrive intact
// whatever mix of frame sizes the windows make.
TEST_F(H2Connection, LargeBodiesArriveIntactWhateverTheFramesAndWindows) {
  struct Case {
    const char* name;
    uint32_t max_frame;       // the client's SETTINGS_MAX_FRAME_SIZE
    uint32_t initial_window;  // the client's stream windows; below 1 GiB: trickled
  };
  const Case cases[] = {
      {"default frames, windows open", 16384, 1u << 30},
      {"1 MiB frames, windows open", 1u << 20, 1u << 30},
      {"largest frames, windows open", 16777215, 1u << 30},
      {"default frames, windows trickled", 16384, 5000},
      {"largest frames, windows trickled", 16777215, 5000},
  };
  // Window increments, cycled: frames below and above a few KiB.
  const uint32_t increments[] = {1000, 7000, 20000, 3000, 300000};
  const std::vector<uint32_t> ids = {1, 3, 5};
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    const bool trickled = tc.initial_window < (1u << 30);
    Client c(port_);
    std::vector<std::pair<uint16_t, uint32_t>> settings = {{4, tc.initial_window}};
    if (tc.max_frame != 16384) settings.push_back({5, tc.max_frame});
    c.Handshake(settings);
    ASSERT_TRUE(c.Send(FrameBytes(H2_FRAME_WINDOW_UPDATE, 0, 0, U32(1u << 30))));
    std::map<uint32_t, std::string> want;
    std::map<uint32_t, Response> got;
    std::map<uint32_t, int64_t> window;
    std::string calls;
    for (uint32_t id : ids) {
      want[id] = Noise(200000, id);
      window[id] = tc.initial_window;
      calls += c.EchoCall(id, EchoMessage(want[id], "", static_cast<uint32_t>(ids.size())));
    }
    ASSERT_TRUE(c.Send(calls));
    ASSERT_TRUE(testsupport::WaitFor([&] { return echo_.held() == ids.size(); }));
    echo_.Release();
    size_t ended = 0;
    size_t step = 0;
    size_t largest = 0;
    Frame f;
    while (ended < ids.size() && c.Read(&f)) {
      ASSERT_NE(f.type, H2_FRAME_RST_STREAM);
      if (f.type == H2_FRAME_HEADERS && (f.flags & H2_FLAGS_END_STREAM) != 0) ++ended;
      if (f.type != H2_FRAME_DATA) continue;
      EXPECT_LE(f.payload.size(), tc.max_frame);
      largest = std::max(largest, f.payload.size());
      got[f.stream].body += f.payload;
      window[f.stream] -= static_cast<int64_t>(f.payload.size());
      ASSERT_GE(window[f.stream], 0) << "sent beyond the stream window";
      if (trickled && window[f.stream] == 0) {
        const uint32_t inc = increments[step++ % (sizeof(increments) / sizeof(increments[0]))];
        ASSERT_TRUE(c.Send(FrameBytes(H2_FRAME_WINDOW_UPDATE, 0, f.stream, U32(inc))));
        window[f.stream] += inc;
      }
    }
    ASSERT_EQ(ended, ids.size());
    for (uint32_t id : ids) EXPECT_TRUE(EchoPayload(got[id]) == want[id]) << id;
    if (!trickled) {
      EXPECT_EQ(largest, std::min<size_t>(tc.max_frame, got[1].body.size()));
    }
  }
}

// A pipelining client's streams and the buffers its answers were
// serialised in are reused call after call: answers of mixed sizes, small
// and large, after one another in the same buffers, arrive each with its
// own bytes, round after round, and what the connection keeps between the
// rounds stays within its budget (1 MiB of recycled stream buffers, and
// scratch below 2 MiB in all).
TEST_F(H2Connection, ReusedStreamsAndAnswerBuffersKeepEachAnswerApart) {
  TearDown();
  StartServer(256);
  Client c(port_);
  c.Handshake({{4, 1u << 30}});
  ASSERT_TRUE(c.Send(FrameBytes(H2_FRAME_WINDOW_UPDATE, 0, 0, U32(1u << 30))));
  const size_t sizes[] = {0, 1, 63, 4095, 4096, 4097, 16385, 65535, 65537, 100000, 10, 60000};
  constexpr size_t kSizes = sizeof(sizes) / sizeof(sizes[0]);
  constexpr uint32_t kCalls = 96;  // within the open-stream limit, past the recycled streams
  uint32_t next_id = 1;
  std::shared_ptr<tarn::Connection> conn;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    std::map<uint32_t, std::string> want;
    std::vector<uint32_t> ids;
    std::string calls;
    for (uint32_t i = 0; i < kCalls; ++i) {
      const uint32_t id = next_id;
      next_id += 2;
      ids.push_back(id);
      want[id] = Noise(sizes[(i + static_cast<uint32_t>(round)) % kSizes], id);
      calls += c.EchoCall(id, EchoMessage(want[id]));
    }
    ASSERT_TRUE(c.Send(calls));
    std::map<uint32_t, Response> got;
    ASSERT_TRUE(c.ReadResponses(ids, &got));
    for (uint32_t id : ids) {
      EXPECT_EQ(got[id].grpc_status(), 0) << id;
      EXPECT_TRUE(EchoPayload(got[id]) == want[id]) << id << " of " << want[id].size();
    }
    if (conn == nullptr) conn = echo_.last_connection();
    ASSERT_NE(conn, nullptr);
    tarn::H2Footprint f;
    ASSERT_TRUE(ReadFootprint(conn, &f));
    EXPECT_EQ(f.streams, 0u);
    EXPECT_EQ(f.held_answers, 0u);
    EXPECT_LT(f.retained, 2u << 20);
  }
}

// Streams are recycled with what their request headers allocated; a
// client sending header lists near the largest allowed, on as many streams
// as are recycled, leaves the connection keeping no more than its budget of
// recycled buffers (the large headers are let go), and the streams reused
// after them carry each call's own headers.
TEST_F(H2Connection, RecycledStreamsKeepNoLargeHeaders) {
  TearDown();
  StartServer(256);
  Client c(port_);
  c.Handshake();
  constexpr uint32_t kCalls = 64;
  std::string calls;
  std::vector<uint32_t> ids;
  for (uint32_t i = 0; i < kCalls; ++i) {
    const uint32_t id = 1 + 2 * i;
    ids.push_back(id);
    const Fields fields = {{":method", "POST"},          {":scheme", "http"},
                           {":path", kEchoPath},         {":authority", "127.0.0.1"},
                           {"content-type", "application/grpc"}, {"te", "trailers"},
                           {"x-pad", Noise(60000, id)}};
    const std::string block = c.Block(fields);
    for (size_t off = 0; off < block.size(); off += 16384) {
      const size_t n = std::min<size_t>(16384, block.size() - off);
      const uint8_t flags = off + n == block.size() ? H2_FLAGS_END_HEADERS : 0;
      calls += FrameBytes(off == 0 ? H2_FRAME_HEADERS : H2_FRAME_CONTINUATION, flags, id,
                          block.substr(off, n));
    }
    // Held until all have come, so that every stream is in use at once.
    calls += FrameBytes(H2_FRAME_DATA, H2_FLAGS_END_STREAM, id,
                        GrpcFrame(EchoMessage("x", "", 1)));
  }
  ASSERT_TRUE(c.Send(calls));
  ASSERT_TRUE(testsupport::WaitFor([&] { return echo_.held() == kCalls; }));
  echo_.Release();
  std::map<uint32_t, Response> got;
  ASSERT_TRUE(c.ReadResponses(ids, &got));
  for (uint32_t id : ids) EXPECT_EQ(got[id].grpc_status(), 0) << id;
  std::shared_ptr<tarn::Connection> conn = echo_.last_connection();
  ASSERT_NE(conn, nullptr);
  tarn::H2Footprint f;
  ASSERT_TRUE(ReadFootprint(conn, &f));
  EXPECT_EQ(f.streams, 0u);
  EXPECT_LT(f.retained, 2u << 20);
  // The recycled streams serve ordinary calls again.
  ASSERT_TRUE(c.Send(c.EchoCall(1 + 2 * kCalls, EchoMessage("again"))));
  Response r;
  ASSERT_TRUE(c.ReadResponse(1 + 2 * kCalls, &r));
  EXPECT_EQ(r.grpc_status(), 0);
  EXPECT_EQ(EchoPayload(r), "again");
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' allocators count for themselves (their runtime has it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

// Bytes the process's heap has handed out and not yet taken back.
size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return __sanitizer_get_current_allocated_bytes();
#else
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
#endif
}

// Recycled streams keep only small buffers, and count every one they keep:
// 64 calls open at once, failing one after another with texts of 60 KiB,
// leave the connection
// keeping within its budget, and what it frees when it goes is what it
// said it kept (retained) and its own connection buffers, nothing more.
TEST_F(H2Connection, RecycledStreamsKeepNoLargeMessagesAndCountWhatTheyKeep) {
  TearDown();
  StartServer(256);
  constexpr uint32_t kCalls = 64;
  const std::string text(60 * 1024, 'm');
  std::shared_ptr<tarn::Connection> conn;
  tarn::H2Footprint f;
  size_t before = 0;
  {
    Client c(port_);
    c.Handshake();
    // Every stream is opened before any call ends, then the calls end one
    // by one (so that the output never grows far).
    std::string opened;
    for (uint32_t i = 0; i < kCalls; ++i) opened += c.Headers(1 + 2 * i, kEchoPath);
    ASSERT_TRUE(c.Send(opened));
    for (uint32_t i = 0; i < kCalls; ++i) {
      const uint32_t id = 1 + 2 * i;
      const std::string body = GrpcFrame(EchoMessage("x", text));
      std::string data;
      for (size_t off = 0; off < body.size(); off += 16384) {
        const size_t n = std::min<size_t>(16384, body.size() - off);
        data += FrameBytes(H2_FRAME_DATA, off + n == body.size() ? H2_FLAGS_END_STREAM : 0, id,
                           body.substr(off, n));
      }
      ASSERT_TRUE(c.Send(data));
      Response r;
      ASSERT_TRUE(c.ReadResponse(id, &r));
      EXPECT_NE(r.grpc_status(), 0) << id;
      EXPECT_EQ(r.Get("grpc-message").size(), text.size()) << id;
    }
    conn = echo_.last_connection();
    ASSERT_NE(conn, nullptr);
    ASSERT_TRUE(ReadFootprint(conn, &f));
    EXPECT_EQ(f.streams, 0u);
    EXPECT_LT(f.retained, 2u << 20);
    before = HeapInUse();
  }
  // The client has gone: the connection goes with everything it kept.
  std::weak_ptr<tarn::Connection> weak = conn;
  conn.reset();
  ASSERT_TRUE(testsupport::WaitFor([&] { return weak.expired(); }));
  const size_t after = HeapInUse();
  const size_t freed = before > after ? before - after : 0;
  // Its input and output rings and the context itself, besides.
  constexpr size_t kOwnBuffers = 512 * 1024;
  EXPECT_LE(freed, f.retained + kOwnBuffers) << "retained " << f.retained;
}

TEST_F(H2Connection, TrailersLargerThanAFrameAreContinued) {
  Client c(port_);
  c.Handshake();
  std::string text = Noise(30000, 3);
  for (char& ch : text) {
    if (ch == '%') ch = '#';  // kept as it is by percent-encoding
  }
  ASSERT_TRUE(c.Send(c.EchoCall(1, EchoMessage("", text))));
  Response r;
  ASSERT_TRUE(c.ReadResponse(1, &r));
  EXPECT_EQ(r.grpc_status(), tarn::GRPC_INTERNAL);
  EXPECT_EQ(r.Get("grpc-message"), text);
  EXPECT_GE(r.header_frames, 3u);
}

TEST_F(H2Connection, EncoderKeepsToTheClientsHeaderTableSize) {
  Client c(port_);
  c.Handshake({{1, 0}});
  // The client's decoder now refuses any block that does not first bring
  // its table down to 0 bytes, or that adds to it.
  ASSERT_EQ(nghttp2_hd_inflate_change_table_size(c.inflater(), 0), 0);
  for (uint32_t id : {1u, 3u}) {
    ASSERT_TRUE(c.Send(c.EchoCall(id, EchoMessage("t"))));
    Response r;
    ASSERT_TRUE(c.ReadResponse(id, &r));
    EXPECT_EQ(r.grpc_status(), 0);
  }
}

}  // namespace
}  // namespace h2test
