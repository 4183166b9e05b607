// The server side of HTTP/2 with gRPC framing, over TCP.
//
// H2Proto is the RPC server's first protocol: a connection whose first bytes
// are the HTTP/2 connection preface is served here, one that starts with
// anything else is left to the next protocol. The connection layer
// (tarn/src/policy/h2_context.h) reads frames, keeps the settings, windows
// and streams of each connection and answers protocol errors with RST_STREAM
// or GOAWAY; a complete request stream comes to ProcessHttpRequest, which
// calls the registered service method, and the call's completion comes to
// Response, which writes the answer: HEADERS, DATA and trailers carrying
// "grpc-status" (and "grpc-message" when there is an error text).
//
// What a peer can make the server hold is bounded (the figures of
// tarn/policy/h2_bounds.h): a header block and its decoded header list,
// open streams, unsent output, answers held for a client that does not
// take them (and for how long), frames that make no progress, a request
// body and its gunzipped form (the connection's largest message), and
// request bytes buffered across a connection's streams (the same).
// Responses honour the client's stream and connection windows: what does
// not fit waits for WINDOW_UPDATE.
//
// A connection error is answered with GOAWAY and closes the connection;
// nothing after the offending frame is read. When the server stops, each
// connection is sent GOAWAY (NO_ERROR) naming the last stream its client
// opened, and requests completed from then on are refused with
// RST_STREAM(REFUSED_STREAM) (tarn/rpc/rpc_server.h). Everything runs on the loop
// thread of the connection's worker; the service may finish on any thread.
#ifndef TARN_POLICY_H2_PROTO_H_
#define TARN_POLICY_H2_PROTO_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "tarn/policy/base_proto.h"
#include "tarn/policy/h2_bounds.h"

namespace tarn {

class Connection;
class H2StreamContext;

// The 24 bytes a client opens every HTTP/2 connection with.
constexpr char kH2ConnectionPreface[] = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
constexpr size_t kH2ConnectionPrefaceSize = sizeof(kH2ConnectionPreface) - 1;

constexpr size_t kH2FrameHeadSize = 9;

// Frame types.
enum H2FrameType : uint8_t {
  H2_FRAME_DATA = 0x0,
  H2_FRAME_HEADERS = 0x1,
  H2_FRAME_PRIORITY = 0x2,
  H2_FRAME_RST_STREAM = 0x3,
  H2_FRAME_SETTINGS = 0x4,
  H2_FRAME_PUSH_PROMISE = 0x5,
  H2_FRAME_PING = 0x6,
  H2_FRAME_GOAWAY = 0x7,
  H2_FRAME_WINDOW_UPDATE = 0x8,
  H2_FRAME_CONTINUATION = 0x9,
  H2_FRAME_TYPE_MAX = 0x9,
};

// Frame flags.
constexpr uint8_t H2_FLAGS_END_STREAM = 0x1;   // DATA, HEADERS
constexpr uint8_t H2_FLAGS_ACK = 0x1;          // SETTINGS, PING
constexpr uint8_t H2_FLAGS_END_HEADERS = 0x4;  // HEADERS, CONTINUATION
constexpr uint8_t H2_FLAGS_PADDED = 0x8;       // DATA, HEADERS
constexpr uint8_t H2_FLAGS_PRIORITY = 0x20;    // HEADERS

// A frame's 9-byte head (big-endian on the wire): 24-bit payload length,
// type, flags, 31-bit stream id (the top bit reserved).
struct H2FrameHead {
  uint32_t payload_size = 0;
  uint8_t type = 0;
  uint8_t flags = 0;
  int32_t stream_id = 0;
};

// Writes a frame head into out[0..8].
void SerializeH2FrameHead(char* out, uint32_t payload_size, uint8_t type, uint8_t flags,
                          uint32_t stream_id);

// Error codes of RST_STREAM and GOAWAY.
enum H2Error : uint32_t {
  H2_NO_ERROR = 0x0,
  H2_PROTOCOL_ERROR = 0x1,
  H2_INTERNAL_ERROR = 0x2,
  H2_FLOW_CONTROL_ERROR = 0x3,
  H2_SETTINGS_TIMEOUT = 0x4,
  H2_STREAM_CLOSED = 0x5,
  H2_FRAME_SIZE_ERROR = 0x6,
  H2_REFUSED_STREAM = 0x7,
  H2_CANCEL = 0x8,
  H2_COMPRESSION_ERROR = 0x9,
  H2_CONNECT_ERROR = 0xa,
  H2_ENHANCE_YOUR_CALM = 0xb,
  H2_INADEQUATE_SECURITY = 0xc,
  H2_HTTP_1_1_REQUIRED = 0xd,
};

// "NO_ERROR" ... "HTTP_1_1_REQUIRED"; "Unknown-H2Error" for other values.
const char* H2ErrorToString(H2Error e);

class H2Proto final : public BaseProto {
 public:
  explicit H2Proto(RpcServer* server) : BaseProto(server) {}
  ~H2Proto() = default;

  // Connection's loop thread. kNotThisProto when the first bytes are not
  // the preface (nothing consumed), kNeedMore once every complete frame is
  // served (also while fewer than 24 bytes of a possible preface are
  // there), kBadState when the connection already failed, kFatal when the
  // connection must be closed (a GOAWAY has been queued when the peer
  // broke the protocol). Never kParseDone.
  int ParseTcp(const std::shared_ptr<Connection>& conn) override;
  // HTTP/2 is not offered over RDMA: always kNotThisProto.
  int ParseRdma(const std::shared_ptr<Connection>& conn) override;

  // A complete request (loop thread): maps its path to a service method,
  // parses the body and calls the method. A request that cannot be served
  // is answered at once with "grpc-status" and no message.
  void ProcessHttpRequest(const std::shared_ptr<Connection>& conn, H2StreamContext* stream);
  // The call's completion; any thread. Writes the response on the
  // connection's loop and releases the framework's hold on the controller.
  void Response(H2StreamContext* stream);
  // What a stream's done closure runs: Response, or for a call cut off from
  // its server (proto may be gone then), the end of the call without it.
  static void Finish(H2Proto* proto, H2StreamContext* stream);

 private:
  void SendResponse(H2StreamContext* stream);
};

}  // namespace tarn

#endif  // TARN_POLICY_H2_PROTO_H_
