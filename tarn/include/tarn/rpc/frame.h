// The framework's frame: one request or one response of a call.
//
//   offset  size  field
//   0       4     magic "TARN"
//   4       4     total length (the whole frame, attachments included)
//   8       2     service name length
//   10      2     method name length
//   12      4     header length (serialised tarn::RpcHeader)
//   16      4     body length (serialised request or response)
//   20      ...   service name, method name, header, body,
//                 zero padding to a multiple of 4 bytes      <- end of "main"
//   main    ...   the attachments back to back (total - main bytes)
//
// Head integers are big-endian. main = 20 + ((names + header + body + 3)
// rounded down to a multiple of 4). Responses carry empty names.
//
// Lengths that arrive from the network are never trusted: FrameHead::Check
// sums them in 64 bits and accepts a head only when 20 <= total <= the
// receiver's limit and 20 + names + header + body <= main <= total.
#ifndef TARN_RPC_FRAME_H_
#define TARN_RPC_FRAME_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tarn/connection.h"
#include "tarn/rpc/attachment.h"

namespace google {
namespace protobuf {
class MessageLite;
}  // namespace protobuf
}  // namespace google

namespace tarn {

class Connection;
class Worker;

constexpr size_t kFrameHeadSize = 20;
constexpr char kFrameMagic[4] = {'T', 'A', 'R', 'N'};

// The size of a frame's main part for the given lengths, in 64 bits (it
// cannot wrap for any 16/32-bit inputs).
inline uint64_t FrameMainSize(uint64_t service_len, uint64_t method_len, uint64_t header_len,
                              uint64_t body_len) {
  return kFrameHeadSize + ((service_len + method_len + header_len + body_len + 3) & ~uint64_t{3});
}

struct FrameHead {
  uint32_t total = 0;
  uint16_t service_len = 0;
  uint16_t method_len = 0;
  uint32_t header_len = 0;
  uint32_t body_len = 0;

  uint64_t main_size() const {
    return FrameMainSize(service_len, method_len, header_len, body_len);
  }

  // Writes the 20 head bytes (magic included) to out.
  void Encode(char* out) const;
  // Reads the 20 head bytes; false when the magic is wrong.
  bool Decode(const char* in);
  // 0 when the lengths are consistent and total <= limit; otherwise -1
  // (total below the head or above the limit) or -2 (main above total).
  int Check(uint64_t limit) const;
};

// Writes a frame's main part into out, which holds head.main_size() bytes:
// the head, the names, the header and the body, then zero padding (never
// whatever the buffer held before). ByteSizeLong() of header and body must
// have been taken already and match head.header_len and head.body_len.
void WriteFrameMain(char* out, const FrameHead& head, const char* service, const char* method,
                    const google::protobuf::MessageLite& header,
                    const google::protobuf::MessageLite& body);

// Frames up to this many bytes leave over TCP as one piece: their
// attachments are copied behind the main part, which costs less than one
// more write to the socket each. Larger attachments are sent from where
// they lie.
constexpr uint64_t kTcpGatherLimit = 65536;

// Bytes to take for a frame's buffer: the whole frame when it will be
// gathered, else the main part alone.
inline uint64_t TcpFrameBufferSize(uint64_t main_size, uint64_t total) {
  return total <= kTcpGatherLimit ? total : main_size;
}

// SendTcpFrame's result when the connection already holds so much unsent
// output that this frame would take it past the largest message: the peer
// is not reading, and buffering more would grow without bound.
constexpr int kSendBacklogFull = -3;

// Sends a frame over TCP: the main part in buf, which holds buf_size bytes
// (see TcpFrameBufferSize), and the attachments. 0, kSendBacklogFull (nothing
// sent), or the first SendData failure (the rest is then not sent).
int SendTcpFrame(Connection* conn, char* buf, uint64_t main_size, uint64_t buf_size,
                 const std::vector<AttachmentEntry>& attachments);

// Bytes received from a peer as text for a log line: anything unprintable
// (and the backslash) becomes \xNN, so that a peer cannot end our line and
// forge lines of its own. Only the first max_len bytes are shown; a longer
// run ends in "...(N bytes)" with its full length, so that what follows on
// the line (the peer's address) always fits.
constexpr size_t kMaxLoggedPeerBytes = 128;
std::string PrintableBytes(const char* data, size_t len, size_t max_len = kMaxLoggedPeerBytes);

// True when the first min(len, 4) bytes could start a frame.
bool MatchesFrameMagic(const char* data, size_t len);

// Big-endian total length taken from the first 8 bytes of a frame.
uint32_t FrameTotalFromPrefix(const char* first8);

// One received frame. The main buffer holds the frame without its 20-byte
// head (names, header, body, padding); the attachment block holds
// total - main bytes, or is null.
//
// TCP: main and the attachment block are two buffers of the connection's
// worker and message is null. RDMA: the frame is parsed in place, so message
// is the received buffer (head included), main points 20 bytes into it and
// the attachment block lies inside it too. Whoever receives a frame frees
// its buffers on that worker (ReleaseFrame).
struct ReceivedFrame {
  void* message = nullptr;
  char* main = nullptr;
  uint16_t service_len = 0;
  uint16_t method_len = 0;
  uint32_t header_len = 0;
  uint32_t body_len = 0;
  char* attachment = nullptr;
  uint32_t attachment_len = 0;

  const char* service() const { return main; }
  const char* method() const { return main + service_len; }
  const char* header() const { return main + service_len + method_len; }
  const char* body() const { return header() + header_len; }
};

// Frees the buffers of a frame nobody keeps, on its connection's worker.
void ReleaseFrame(Worker* worker, const ReceivedFrame& frame);

// Receives the frames a TcpFrameReader takes out of a connection.
class FrameSink {
 public:
  // Owns the frame's buffers from here on. Returns false when reading must
  // stop (the receiver went away or closed the connection).
  virtual bool OnFrame(const std::shared_ptr<Connection>& conn, const ReceivedFrame& frame) = 0;

 protected:
  ~FrameSink() = default;
};

// Results of one pass over a TCP connection's input.
enum class FrameReadResult {
  kDone,      // every complete frame delivered; the rest waits for more bytes
  kNotFrame,  // the input does not start with a frame; nothing consumed
  kNeedMore,  // too few bytes to recognise a frame; nothing consumed
  kClosed,    // the connection was closed (bad lengths, no memory, receiver)
};

// On the connection's loop thread: delivers every complete frame buffered in
// conn, in order, until the connection holds back its reading (ReadingHeld:
// the rest stays buffered, kDone). A frame is touched only once all its
// bytes are buffered.
// A head with inconsistent lengths, or a total above the connection's
// receive limit (its max_send_size), is logged at ERROR and closes the
// connection. A wrong magic is logged at ERROR; close_on_bad_magic decides
// whether it also closes the connection (client) or is reported as
// kNotFrame with nothing consumed (server, which may try another protocol).
FrameReadResult ReadTcpFrames(const std::shared_ptr<Connection>& conn, FrameSink* sink,
                              bool close_on_bad_magic);

// Results of reading one message of a message transport (RDMA) as a frame.
// Every result but kFrame and kNone has logged an ERROR, freed the message
// and closed the connection.
enum class RdmaFrameResult {
  kFrame,        // *frame holds the message's frame
  kNone,         // there was no message to take
  kNotFrame,     // the message does not start with the magic
  kLengthError,  // shorter than a head, or its total is not its length
  kInvalid,      // the head's main part is larger than its total
};

// On the connection's loop thread, inside its message-read callback: takes
// the connection's current message (ReceiveDataZeroCopy; the caller owns it
// from here on) and checks it as exactly one frame. Nothing is read past the
// message: its total must equal its length, and the names, header, body and
// padding must end within it; the rest is the attachment block.
RdmaFrameResult ReadRdmaFrame(const std::shared_ptr<Connection>& conn, ReceivedFrame* frame);

// Scatter-gather entries of one RDMA frame: the frame's own main part and
// one per attachment (the transport's message header takes one more).
constexpr uint32_t kMaxRdmaFrameSges = 63;

// Sends a frame over RDMA as one message: the main part in buf (main_size
// bytes, kept alive by the caller until done runs) and the attachments from
// where they lie, with their keys when they have them. done runs exactly
// once with 0 or the transport's negative code; the return value is the
// transport's (kept only for logging: every outcome also reaches done).
int SendRdmaFrame(Connection* conn, char* buf, uint64_t main_size,
                  const std::vector<AttachmentEntry>& attachments, SendCompleteCallback done);

}  // namespace tarn

#endif  // TARN_RPC_FRAME_H_
