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
// What a peer can make the server hold is bounded (the kH2Max* figures
// below): a header block and its decoded header list, open streams, unsent
// output, answers held for a client that does not take them (and for how
// long), frames that make no progress, a request body and its gunzipped
// form (the connection's largest message), and request bytes buffered
// across a connection's streams (the same). Responses honour the client's stream and
// connection windows: what does not fit waits for WINDOW_UPDATE.
//
// A connection error is answered with GOAWAY and closes the connection;
// nothing after the offending frame is read. Everything runs on the loop
// thread of the connection's worker; the service may finish on any thread.
#ifndef TARN_POLICY_H2_PROTO_H_
#define TARN_POLICY_H2_PROTO_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "tarn/policy/base_proto.h"

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

// Bounds on what one client can make the server hold, per connection (the
// figures are stated in README.md). A client that passes one of the
// connection bounds is sent GOAWAY ENHANCE_YOUR_CALM and closed.
//
// A header block, and its decoded header list.
constexpr size_t kH2MaxHeaderListBytes = 64 * 1024;
// HEADERS and CONTINUATION frames of one header block: a 64 KiB block takes
// 5 frames of the default frame size, so 32 leave a client room to cut its
// blocks small, and empty CONTINUATION frames cannot run on.
constexpr size_t kH2MaxHeaderBlockFrames = 32;
// Streams not yet answered (and not yet forgotten); the server's SETTINGS
// advertise it as SETTINGS_MAX_CONCURRENT_STREAMS, so a compliant client
// queues its calls above it. Streams beyond it are refused (REFUSED_STREAM);
// those refused before the client acknowledged the SETTINGS (up to
// kH2MaxUnproductiveFrames of them) are not held against it.
constexpr size_t kH2MaxOpenStreams = 128;
// Calls still running for streams that were reset (the client cancelled
// them or let their deadline expire, or this end reset them): such a stream
// leaves the count of open streams at once, as the client counts it closed,
// while its call runs on. While this many such calls run, the server reads
// nothing more from the connection until one of them completes: a client
// whose deadlines expire is never refused for them, and a peer that resets
// streams as fast as it opens them is slowed to the pace its calls end.
constexpr size_t kH2MaxResetCallsRunning = 2 * kH2MaxOpenStreams;
// Bytes queued on the connection and not yet taken by the socket: the
// server's control frames (SETTINGS and PING ACKs, RST_STREAM,
// WINDOW_UPDATE, GOAWAY) and the responses' frames. A client that makes the
// server queue more, because it does not read, is closed.
constexpr size_t kH2MaxUnsentOutput = 4 * 1024 * 1024;
// Response DATA is framed only while the unsent output is below this; the
// rest of a response waits in its stream, so that a slow reader's control
// frames keep room under kH2MaxUnsentOutput. This is the server's own
// pacing: while the client takes bytes, what waits for it is not held
// against the client.
constexpr size_t kH2ResponseOutputBytes = 1024 * 1024;
// Answers held for the client: the response bytes of answers whose stream
// window the client never opened (it was at or below zero when the answer
// came and has stayed so), counted at once; and every response byte
// waiting once the client has taken no answer byte for a whole progress
// span (it does not read). Past this new streams are refused
// (REFUSED_STREAM), and a finished call whose answer would be held past it
// is answered with RESOURCE_EXHAUSTED instead, unless it is the only
// answer held: so a zero-window client makes the server hold at most this
// plus one answer. A client that takes nothing for the progress span while
// more than this waits behind more than one answer is closed.
constexpr size_t kH2MaxHeldResponseBytes = 64 * 1024 * 1024;
// Frames that cost the server work but carry the connection no further:
// SETTINGS and PING (each answered), frames answered with RST_STREAM,
// RST_STREAM from the client (but for a stream whose call runs: those
// calls have kH2MaxResetCallsRunning), DATA without data or END_STREAM, and empty
// CONTINUATION frames. More than this many with no call answered in
// between, within one kH2DefaultUnproductiveWindowS, ends the connection. The
// window lets an idle connection live on keepalive PINGs for ever, while a
// flood still ends after at most kH2MaxUnproductiveFrames answers. Frames on
// a stream the server has reset itself are ignored and not counted.
constexpr uint32_t kH2MaxUnproductiveFrames = 1000;
constexpr double kH2DefaultUnproductiveWindowS = 10.0;
// How often a connection holding answers checks that the client took an
// answer byte (read it out of the socket) since the last check.
constexpr double kH2DefaultHeldCheckS = 1.0;
// The span over which a client that takes no answer byte is judged to take
// nothing. The client's taking is seen through its kernel's
// acknowledgements, which a receiver sends only once it has freed a
// sizeable piece of its buffer: up to about 98 KiB, measured over loopback
// with its own segments and with 1448-byte ones (a 1500-byte MTU) alike.
// A steady reader of 10 KB/s is seen to move at least every 10 s (13 s
// measured for a reader that falls a little behind its pace), within the
// span with room to spare.
constexpr double kH2DefaultProgressSpanS = 20.0;
// A connection holding answers of which the client has taken no byte for
// this long (no window opened, nothing read) is closed; any byte taken, at
// whatever rate, keeps it.
constexpr double kH2DefaultStalledAnswerTimeoutS = 30.0;

// The stalled-answer timeout in force for new checks (process-wide; tests
// shorten it).
double H2StalledAnswerTimeout();
void SetH2StalledAnswerTimeout(double seconds);
// The held-answer check interval (process-wide; tests shorten it). The
// interval in force is at most the progress span.
void SetH2HeldCheckInterval(double seconds);
// The progress span (process-wide; tests shorten it). The span in force is
// at most the stalled-answer timeout.
void SetH2ProgressSpan(double seconds);
// The window in which frames without progress are counted (process-wide;
// tests shorten it).
void SetH2UnproductiveWindow(double seconds);

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
