#include "policy/h2_context.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "brpc/uri.h"
#include "tarn/base/log_limit.h"
#include "tarn/base/logging.h"
#include "tarn/connection.h"
#include "tarn/loop.h"
#include "tarn/worker.h"
#include "tarn/policy/h2_grpc.h"
#include "tarn/rpc/frame.h"

namespace tarn {

namespace {

// Recycled stream contexts kept per connection (enough for the calls a
// pipelining client keeps in flight, so that none is allocated anew per
// call), the largest body buffer a recycled one may keep, and what all of
// them together may keep.
constexpr size_t kMaxFreeStreams = 64;
constexpr size_t kMaxRecycledBody = 64 * 1024;
constexpr size_t kMaxRecycledBytes = 1024 * 1024;
// A recycled stream's request header keeps what its strings allocated; one
// that grew past this (a client may send header lists up to
// kH2MaxHeaderListBytes) is let go, so that only ordinary headers are kept.
constexpr size_t kMaxRecycledHeader = 8 * 1024;
// A recycled stream's answer message (a failed call's text) keeps at most
// this; a longer one is let go, as is a header-block scratch grown past it.
constexpr size_t kMaxRecycledMessage = 1024;
// Scratch buffers above this are released after use. The output scratch
// holds at most the framed-ahead answer bytes and some frames around them,
// and is grown so that it stays below this (released and faulted in again
// for every chunk, a large answer would cost more than its copy).
constexpr size_t kMaxKeptScratch = kH2ResponseOutputBytes + 64 * 1024;
// Response DATA frames of at least this many bytes are written from their
// stream's buffer in one gather send instead of being copied into the
// output scratch (smaller ones cost less to copy than to describe).
constexpr size_t kMinGatheredData = 4096;

uint32_t ReadU32(const char* p) {
  const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
  return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | u[3];
}

uint16_t ReadU16(const char* p) {
  const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint16_t>((u[0] << 8) | u[1]);
}

void PutU32(char* p, uint32_t v) {
  p[0] = static_cast<char>(v >> 24);
  p[1] = static_cast<char>(v >> 16);
  p[2] = static_cast<char>(v >> 8);
  p[3] = static_cast<char>(v);
}

void PutU16(char* p, uint16_t v) {
  p[0] = static_cast<char>(v >> 8);
  p[1] = static_cast<char>(v);
}

void AppendFrameHead(std::string* out, uint32_t len, uint8_t type, uint8_t flags, uint32_t id) {
  char head[kH2FrameHeadSize];
  SerializeH2FrameHead(head, len, type, flags, id);
  out->append(head, sizeof(head));
}

bool IsKnownMethod(std::string_view m) {
  static const std::string_view kMethods[] = {
      "GET",   "POST",    "PUT",     "DELETE", "HEAD",  "OPTIONS", "PATCH", "CONNECT",
      "TRACE", "PROPFIND", "PROPPATCH", "MKCOL", "COPY", "MOVE",    "LOCK",  "UNLOCK",
  };
  for (std::string_view known : kMethods) {
    if (m == known) return true;
  }
  return false;
}

bool IsDecimal(std::string_view v) {
  if (v.empty() || v.size() > 9) return false;
  for (char c : v) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string Printable(std::string_view v) { return PrintableBytes(v.data(), v.size()); }

}  // namespace

void SerializeH2FrameHead(char* out, uint32_t payload_size, uint8_t type, uint8_t flags,
                          uint32_t stream_id) {
  out[0] = static_cast<char>(payload_size >> 16);
  out[1] = static_cast<char>(payload_size >> 8);
  out[2] = static_cast<char>(payload_size);
  out[3] = static_cast<char>(type);
  out[4] = static_cast<char>(flags);
  PutU32(out + 5, stream_id & 0x7fffffffu);
}

const char* H2ErrorToString(H2Error e) {
  static const char* const kNames[] = {
      "NO_ERROR",         "PROTOCOL_ERROR", "INTERNAL_ERROR",    "FLOW_CONTROL_ERROR",
      "SETTINGS_TIMEOUT", "STREAM_CLOSED",  "FRAME_SIZE_ERROR",  "REFUSED_STREAM",
      "CANCEL",           "COMPRESSION_ERROR", "CONNECT_ERROR",  "ENHANCE_YOUR_CALM",
      "INADEQUATE_SECURITY", "HTTP_1_1_REQUIRED",
  };
  if (static_cast<uint32_t>(e) >= sizeof(kNames) / sizeof(kNames[0])) return "Unknown-H2Error";
  return kNames[e];
}

bool AddWindow(int64_t* window, int64_t delta) {
  const int64_t sum = *window + delta;
  if (sum > static_cast<int64_t>(brpc::H2Settings::MAX_WINDOW_SIZE) ||
      sum < -static_cast<int64_t>(brpc::H2Settings::MAX_WINDOW_SIZE)) {
    return false;
  }
  *window = sum;
  return true;
}

bool ParseH2Settings(brpc::H2Settings* out, const char* data, size_t len) {
  if (len % 6 != 0) {
    LOG_ERROR_LIMITED << "Invalid payload_size=" << len;
    return false;
  }
  for (size_t off = 0; off < len; off += 6) {
    const uint16_t id = ReadU16(data + off);
    const uint32_t value = ReadU32(data + off + 2);
    switch (id) {
      case brpc::H2_SETTINGS_HEADER_TABLE_SIZE:
        out->header_table_size = value;
        break;
      case brpc::H2_SETTINGS_ENABLE_PUSH:
        if (value > 1) {
          LOG_ERROR_LIMITED << "Invalid value=" << value << " for ENABLE_PUSH";
          return false;
        }
        out->enable_push = value != 0;
        break;
      case brpc::H2_SETTINGS_MAX_CONCURRENT_STREAMS:
        out->max_concurrent_streams = value;
        break;
      case brpc::H2_SETTINGS_STREAM_WINDOW_SIZE:
        if (value > brpc::H2Settings::MAX_WINDOW_SIZE) {
          LOG_ERROR_LIMITED << "Invalid stream_window_size=" << value;
          return false;
        }
        out->stream_window_size = value;
        break;
      case brpc::H2_SETTINGS_MAX_FRAME_SIZE:
        if (value < brpc::H2Settings::DEFAULT_MAX_FRAME_SIZE ||
            value > brpc::H2Settings::MAX_OF_MAX_FRAME_SIZE) {
          LOG_ERROR_LIMITED << "Invalid max_frame_size=" << value;
          return false;
        }
        out->max_frame_size = value;
        break;
      case brpc::H2_SETTINGS_MAX_HEADER_LIST_SIZE:
        out->max_header_list_size = value;
        break;
      default:
        break;  // unknown settings are ignored
    }
  }
  return true;
}

size_t SerializeH2Settings(const brpc::H2Settings& s, char* out) {
  size_t n = 0;
  auto put = [&](uint16_t id, uint32_t value) {
    PutU16(out + n, id);
    PutU32(out + n + 2, value);
    n += 6;
  };
  if (s.header_table_size != brpc::H2Settings::DEFAULT_HEADER_TABLE_SIZE) {
    put(brpc::H2_SETTINGS_HEADER_TABLE_SIZE, s.header_table_size);
  }
  // The protocol's default is push on: off has to be said.
  put(brpc::H2_SETTINGS_ENABLE_PUSH, s.enable_push ? 1 : 0);
  if (s.max_concurrent_streams != brpc::H2Settings::UNLIMITED) {
    put(brpc::H2_SETTINGS_MAX_CONCURRENT_STREAMS, s.max_concurrent_streams);
  }
  if (s.stream_window_size != brpc::H2Settings::DEFAULT_INITIAL_WINDOW_SIZE) {
    put(brpc::H2_SETTINGS_STREAM_WINDOW_SIZE, s.stream_window_size);
  }
  if (s.max_frame_size != brpc::H2Settings::DEFAULT_MAX_FRAME_SIZE) {
    put(brpc::H2_SETTINGS_MAX_FRAME_SIZE, s.max_frame_size);
  }
  if (s.max_header_list_size != brpc::H2Settings::UNLIMITED) {
    put(brpc::H2_SETTINGS_MAX_HEADER_LIST_SIZE, s.max_header_list_size);
  }
  return n;
}

// ---------------------------------------------------------------------------
// H2StreamContext

H2StreamContext::H2StreamContext(H2Context* conn_ctx, H2Proto* proto)
    : conn_ctx_(conn_ctx), proto_(proto), done_(this) {}

void H2StreamContext::Reset(int32_t id, int64_t send_window) {
  stream_id_ = id;
  state_ = kReceiving;
  reset_ = false;
  remote_window_left_ = send_window;
  request_parked_ = false;
  deferred_window_update_ = 0;
  header_.Clear();
  body_.clear();
  ctrl_ = nullptr;
  pending_.clear();
  pending_off_ = 0;
  pending_status_ = 0;
  pending_message_.clear();
}

void H2StreamContext::Done::Run() { H2Proto::Finish(stream_->proto_, stream_); }

// ---------------------------------------------------------------------------
// H2Context: set-up

H2Context::H2Context(Connection* conn, H2Proto* proto) : conn_(conn), proto_(proto) {
  unack_local_settings_.header_table_size = 4096;
  unack_local_settings_.stream_window_size = 262144;
  unack_local_settings_.connection_window_size = 1048576;
  unack_local_settings_.max_frame_size = 16384;
  // Said, so that a client queues its calls above it instead of having
  // them refused.
  unack_local_settings_.max_concurrent_streams = kH2MaxOpenStreams;
}

H2Context::~H2Context() {
  for (auto& entry : streams_) delete entry.second;
  for (H2StreamContext* s : reset_calls_) delete s;
  for (H2StreamContext* s : free_streams_) delete s;
}

void DeleteH2Context(H2Context* ctx) { delete ctx; }

int H2Context::Init() {
  streams_.reserve(kH2MaxOpenStreams);
  if (hpacker_.Init(unack_local_settings_.header_table_size) != 0) {
    LOG_ERROR << "Fail to init _hpacker";
    return -1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Reading

int H2Context::Consume(H2StreamContext** completed) {
  *completed = nullptr;
  if (failed_) return BaseProto::kBadState;
  if (conn_state_ == 0) return ConsumePreface();
  return ConsumeFrame(completed);
}

int H2Context::ConsumePreface() {
  if (conn_->ReadableLength() < kH2ConnectionPrefaceSize) return BaseProto::kNeedMore;
  char preface[kH2ConnectionPrefaceSize];
  conn_->ReceiveData(preface, sizeof(preface));
  if (memcmp(preface, kH2ConnectionPreface, sizeof(preface)) != 0) {
    return BaseProto::kNotThisProto;
  }
  conn_->DrainData(sizeof(preface));
  conn_state_ = 1;
  // Our SETTINGS, and the connection window beyond the 65535 every
  // connection starts with, in one write.
  char buf[kH2FrameHeadSize + 36 + kH2FrameHeadSize + 4];
  const size_t settings = SerializeH2Settings(unack_local_settings_, buf + kH2FrameHeadSize);
  SerializeH2FrameHead(buf, static_cast<uint32_t>(settings), H2_FRAME_SETTINGS, 0, 0);
  size_t n = kH2FrameHeadSize + settings;
  const uint32_t window = unack_local_settings_.connection_window_size;
  if (window > brpc::H2Settings::DEFAULT_INITIAL_WINDOW_SIZE) {
    SerializeH2FrameHead(buf + n, 4, H2_FRAME_WINDOW_UPDATE, 0, 0);
    PutU32(buf + n + kH2FrameHeadSize, window - brpc::H2Settings::DEFAULT_INITIAL_WINDOW_SIZE);
    n += kH2FrameHeadSize + 4;
  }
  if (!SendBytes(buf, n)) {
    LOG_WARN_LIMITED << "Fail to respond http2-client with settings";
    failed_ = true;
    return BaseProto::kFatal;
  }
  return kFrameConsumed;
}

int H2Context::ConsumeFrame(H2StreamContext** completed) {
  const size_t readable = conn_->ReadableLength();
  if (readable < kH2FrameHeadSize) return BaseProto::kNeedMore;
  char raw[kH2FrameHeadSize];
  conn_->ReceiveData(raw, sizeof(raw));
  H2FrameHead head;
  head.payload_size = (uint32_t{static_cast<unsigned char>(raw[0])} << 16) |
                      (uint32_t{static_cast<unsigned char>(raw[1])} << 8) |
                      static_cast<unsigned char>(raw[2]);
  if (head.payload_size > local_settings_.max_frame_size) {
    LOG_ERROR_LIMITED << "Too large frame length=" << head.payload_size
              << " max=" << local_settings_.max_frame_size;
    return GoAway(H2_FRAME_SIZE_ERROR);
  }
  if (readable < kH2FrameHeadSize + head.payload_size) return BaseProto::kNeedMore;
  head.type = static_cast<uint8_t>(raw[3]);
  head.flags = static_cast<uint8_t>(raw[4]);
  // The top bit is reserved and means nothing on receipt.
  head.stream_id = static_cast<int32_t>(ReadU32(raw + 5) & 0x7fffffffu);

  const H2ParseResult r = Dispatch(head);
  // The whole frame is consumed whatever its handler made of it.
  conn_->DrainData(kH2FrameHeadSize + head.payload_size);
  if (failed_) return BaseProto::kFatal;  // a write failed under the handler
  if (overflowed_) return GoAway(H2_ENHANCE_YOUR_CALM);
  if (r.ok()) {
    *completed = r.stream;
    return kFrameConsumed;
  }
  if (r.stream_id != 0) return ResetStream(r.stream_id, r.error, !r.uncounted);
  return GoAway(r.error);
}

H2ParseResult H2Context::Dispatch(const H2FrameHead& head) {
  if (block_.stream_id != 0 &&
      (head.type != H2_FRAME_CONTINUATION || head.stream_id != block_.stream_id)) {
    LOG_ERROR_LIMITED << "Expect CONTINUATION of stream_id=" << block_.stream_id
              << ", got frame type=" << static_cast<int>(head.type)
              << " stream_id=" << head.stream_id;
    return H2ParseResult::ConnError(H2_PROTOCOL_ERROR);
  }
  switch (head.type) {
    case H2_FRAME_DATA:
      return OnData(head);
    case H2_FRAME_HEADERS:
      return OnHeaders(head);
    case H2_FRAME_PRIORITY:
      return OnPriority(head);
    case H2_FRAME_RST_STREAM:
      return OnResetStream(head);
    case H2_FRAME_SETTINGS:
      return OnSettings(head);
    case H2_FRAME_PUSH_PROMISE:
      return OnPushPromise(head);
    case H2_FRAME_PING:
      return OnPing(head);
    case H2_FRAME_GOAWAY:
      return OnGoAway(head);
    case H2_FRAME_WINDOW_UPDATE:
      return OnWindowUpdate(head);
    case H2_FRAME_CONTINUATION:
      return OnContinuation(head);
    default:
      // Frame types this end does not know are ignored.
      LOG_DEBUG << "ignore frame type=" << static_cast<int>(head.type);
      return H2ParseResult::Ok();
  }
}

bool H2Context::ReadPayload(uint32_t size) {
  payload_.resize(size);
  return size == 0 || conn_->ReceiveData(kH2FrameHeadSize, &payload_[0], size) >= 0;
}

H2ParseResult H2Context::OnData(const H2FrameHead& head) {
  LOG_DEBUG << "receive OnData stream_id = " << head.stream_id;
  if (head.stream_id == 0) {
    LOG_ERROR_LIMITED << "Invalid stream_id=" << head.stream_id;
    return H2ParseResult::ConnError(H2_PROTOCOL_ERROR);
  }
  const uint32_t payload = head.payload_size;
  uint32_t data_off = kH2FrameHeadSize;
  uint32_t data_len = payload;
  if (head.flags & H2_FLAGS_PADDED) {
    unsigned char pad = 0;
    if (payload == 0 || conn_->ReceiveData(kH2FrameHeadSize, &pad, 1) < 0 || pad > payload - 1) {
      LOG_ERROR_LIMITED << "Invalid payload_size=" << payload;
      return H2ParseResult::ConnError(H2_FRAME_SIZE_ERROR);
    }
    data_off += 1;
    data_len = payload - 1 - pad;
  }
  H2StreamContext* s = FindStream(head.stream_id);
  if (s == nullptr || s->state_ != H2StreamContext::kReceiving) {
    // The whole payload still counts against the connection's window.
    H2ParseResult r = AccountData(nullptr, payload);
    if (!r.ok()) return r;
    if (s == nullptr && WasReset(head.stream_id)) {
      // Sent before the client saw our RST_STREAM: ignored. Empty frames
      // that do not end the stream still make no progress.
      if (data_len == 0 && (head.flags & H2_FLAGS_END_STREAM) == 0 && !CountUnproductive()) {
        return H2ParseResult::ConnError(H2_ENHANCE_YOUR_CALM);
      }
      return H2ParseResult::Ok();
    }
    LOG_ERROR_LIMITED << "Fail to find stream_id=" << head.stream_id;
    return H2ParseResult::StreamError(head.stream_id, H2_STREAM_CLOSED);
  }
  // (DATA for a closed stream is counted with its RST_STREAM.)
  if (data_len == 0 && (head.flags & H2_FLAGS_END_STREAM) == 0 && !CountUnproductive()) {
    return H2ParseResult::ConnError(H2_ENHANCE_YOUR_CALM);
  }
  // Flow control counts the whole payload, padding included.
  H2ParseResult r = AccountData(s, payload);
  if (!r.ok()) return r;
  const size_t limit = conn_->max_send_size();
  if (s->body_.size() + data_len > limit || buffered_body_bytes_ + data_len > limit) {
    LOG_ERROR_LIMITED << "Too large request body on stream_id=" << head.stream_id
                      << ", body size: " << s->body_.size() + data_len << ", limit: " << limit
                      << ", peer addr: " << conn_->peer_addr().ToString();
    SendTrailersOnly(s, s->header_.content_type(), GRPC_RESOURCEEXHAUSTED,
                     "request body too large");
    return H2ParseResult::Ok();
  }
  if (data_len > 0) {
    const size_t old = s->body_.size();
    s->body_.resize(old + data_len);
    conn_->ReceiveData(data_off, &s->body_[old], data_len);
    buffered_body_bytes_ += data_len;
  }
  if (head.flags & H2_FLAGS_END_STREAM) {
    buffered_body_bytes_ -= s->body_.size();
    s->state_ = H2StreamContext::kProcessing;
    // The stream takes no more DATA: what it has not granted back needs
    // no grant (the connection's share is counted on its own).
    s->deferred_window_update_ = 0;
    return H2ParseResult::Done(s);
  }
  return H2ParseResult::Ok();
}

H2ParseResult H2Context::AccountData(H2StreamContext* s, int64_t n) {
  conn_unacked_ += n;
  if (conn_unacked_ > static_cast<int64_t>(unack_local_settings_.connection_window_size)) {
    LOG_ERROR_LIMITED << "Fail to satisfy the connection-level flow control policy";
    return H2ParseResult::ConnError(H2_FLOW_CONTROL_ERROR);
  }
  if (s == nullptr) {
    GrantConnection(false);
    return H2ParseResult::Ok();
  }
  s->deferred_window_update_ += n;
  const int64_t window = local_settings_.stream_window_size;
  if (s->deferred_window_update_ < window / 2) {
    // Many streams each below their own threshold still fill the
    // connection's window: it is granted on its own count.
    GrantConnection(false);
    return H2ParseResult::Ok();
  }
  if (s->deferred_window_update_ > window) {
    LOG_ERROR_LIMITED << "Fail to satisfy the stream-level flow control policy";
    return H2ParseResult::StreamError(s->stream_id_, H2_FLOW_CONTROL_ERROR);
  }
  // The stream's grant, with the connection's in the same write.
  const int64_t stream_credit = s->deferred_window_update_;
  s->deferred_window_update_ = 0;
  const int64_t conn_credit = conn_unacked_;
  conn_unacked_ = 0;
  char buf[2 * (kH2FrameHeadSize + 4)];
  SerializeH2FrameHead(buf, 4, H2_FRAME_WINDOW_UPDATE, 0, s->stream_id_);
  PutU32(buf + kH2FrameHeadSize, static_cast<uint32_t>(stream_credit));
  SerializeH2FrameHead(buf + 13, 4, H2_FRAME_WINDOW_UPDATE, 0, 0);
  PutU32(buf + 13 + kH2FrameHeadSize, static_cast<uint32_t>(conn_credit));
  if (!SendBytes(buf, sizeof(buf))) return H2ParseResult::ConnError(H2_INTERNAL_ERROR);
  return H2ParseResult::Ok();
}

void H2Context::GrantConnection(bool force) {
  if (conn_unacked_ <= 0) return;
  if (!force && conn_unacked_ < static_cast<int64_t>(local_settings_.stream_window_size / 2)) {
    return;
  }
  const int64_t credit = conn_unacked_;
  conn_unacked_ = 0;
  char buf[kH2FrameHeadSize + 4];
  SerializeH2FrameHead(buf, 4, H2_FRAME_WINDOW_UPDATE, 0, 0);
  PutU32(buf + kH2FrameHeadSize, static_cast<uint32_t>(credit));
  if (!SendBytes(buf, sizeof(buf))) LOG_WARN_LIMITED << "Fail to send WINDOW_UPDATE";
}

bool H2Context::CountUnproductive() {
  const auto now = std::chrono::steady_clock::now();
  if (unproductive_frames_ == 0 ||
      now - unproductive_since_ >
          std::chrono::duration<double>(H2UnproductiveWindow())) {
    unproductive_frames_ = 0;
    unproductive_since_ = now;
  }
  if (++unproductive_frames_ <= kH2MaxUnproductiveFrames) return true;
  LOG_WARN_LIMITED << "Too many frames without progress=" << unproductive_frames_
                   << ", peer addr: " << conn_->peer_addr().ToString();
  return false;
}

H2ParseResult H2Context::OnHeaders(const H2FrameHead& head) {
  LOG_DEBUG << "receive OnHeaders stream_id = " << head.stream_id;
  const int32_t id = head.stream_id;
  if (id == 0) {
    LOG_ERROR_LIMITED << "Invalid stream_id=" << id;
    return H2ParseResult::ConnError(H2_PROTOCOL_ERROR);
  }
  const uint32_t size = head.payload_size;
  const uint32_t fixed =
      ((head.flags & H2_FLAGS_PADDED) ? 1 : 0) + ((head.flags & H2_FLAGS_PRIORITY) ? 5 : 0);
  if (size < fixed || !ReadPayload(size)) {
    LOG_ERROR_LIMITED << "Invalid payload_size=" << size;
    return H2ParseResult::ConnError(H2_FRAME_SIZE_ERROR);
  }
  uint32_t off = 0;
  uint32_t pad = 0;
  if (head.flags & H2_FLAGS_PADDED) pad = static_cast<unsigned char>(payload_[off++]);
  if (head.flags & H2_FLAGS_PRIORITY) off += 5;  // priorities are not used
  if (pad > size - off) {
    LOG_ERROR_LIMITED << "Invalid payload_size=" << size;
    return H2ParseResult::ConnError(H2_FRAME_SIZE_ERROR);
  }
  const uint32_t frag = size - off - pad;

  block_ = HeaderBlock();
  block_.stream_id = id;
  block_.end_stream = (head.flags & H2_FLAGS_END_STREAM) != 0;
  if (id > last_received_stream_id_) {
    if (id % 2 == 0) {
      LOG_ERROR_LIMITED << "Invalid stream_id=" << id << " created by client is not odd";
      block_ = HeaderBlock();
      return H2ParseResult::ConnError(H2_PROTOCOL_ERROR);
    }
    last_received_stream_id_ = id;
    if (streams_.size() >= kH2MaxOpenStreams) {
      block_.reject = H2_REFUSED_STREAM;
      if (!settings_acked_ && early_refusals_ < kH2MaxUnproductiveFrames) {
        // The client may not have seen the limit yet.
        early_refusals_++;
        block_.uncounted = true;
        LOG_DEBUG << "Too many open streams before the SETTINGS ACK, refuse stream_id=" << id;
      } else {
        LOG_WARN_LIMITED << "Too many open streams=" << streams_.size()
                         << ", refuse stream_id=" << id
                         << ", peer addr: " << conn_->peer_addr().ToString();
      }
    } else {
      block_.target = NewStream(id);
    }
  } else {
    H2StreamContext* s = FindStream(id);
    if (s != nullptr && s->state_ == H2StreamContext::kReceiving) {
      // Trailers of the request: decoded, not kept; they must end it.
      block_.trailers = true;
    } else if (s == nullptr && WasReset(id)) {
      // Sent before the client saw our RST_STREAM: decoded (the decoder
      // must stay in step) and ignored.
    } else {
      LOG_ERROR_LIMITED << "Fail to find stream_id=" << id;
      block_.reject = H2_STREAM_CLOSED;
    }
  }
  return OnHeaderFragment(payload_.data() + off, frag,
                          (head.flags & H2_FLAGS_END_HEADERS) != 0);
}

H2ParseResult H2Context::OnContinuation(const H2FrameHead& head) {
  LOG_INFO_LIMITED << "receive OnContinuation stream_id = " << head.stream_id;
  if (block_.stream_id == 0) {
    LOG_ERROR_LIMITED << "Fail to find stream_id=" << head.stream_id;
    return H2ParseResult::ConnError(H2_PROTOCOL_ERROR);
  }
  if (head.payload_size == 0 && !CountUnproductive()) {
    return H2ParseResult::ConnError(H2_ENHANCE_YOUR_CALM);
  }
  if (!ReadPayload(head.payload_size)) return H2ParseResult::ConnError(H2_INTERNAL_ERROR);
  return OnHeaderFragment(payload_.data(), payload_.size(),
                          (head.flags & H2_FLAGS_END_HEADERS) != 0);
}

H2ParseResult H2Context::OnHeaderFragment(const char* data, size_t len, bool end_headers) {
  block_.block_bytes += len;
  if (block_.block_bytes > kH2MaxHeaderListBytes) {
    LOG_ERROR_LIMITED << "Too large header block of stream_id=" << block_.stream_id
                      << ", size: " << block_.block_bytes << ", peer addr: "
                      << conn_->peer_addr().ToString();
    return H2ParseResult::ConnError(H2_ENHANCE_YOUR_CALM);
  }
  if (++block_.frames > kH2MaxHeaderBlockFrames) {
    LOG_ERROR_LIMITED << "Too many frames in the header block of stream_id=" << block_.stream_id
                      << ", frames: " << block_.frames
                      << ", peer addr: " << conn_->peer_addr().ToString();
    return H2ParseResult::ConnError(H2_ENHANCE_YOUR_CALM);
  }
  if (hpacker_.Decode(data, len, end_headers, this) != 0) {
    LOG_ERROR_LIMITED << "Invalid header, frag_size=" << len << ", stream_id=" << block_.stream_id;
    return H2ParseResult::ConnError(H2_COMPRESSION_ERROR);
  }
  if (!end_headers) return H2ParseResult::Ok();
  return FinishHeaderBlock();
}

H2ParseResult H2Context::FinishHeaderBlock() {
  const HeaderBlock b = block_;
  block_ = HeaderBlock();
  if (b.reject != H2_NO_ERROR) {
    H2ParseResult r = H2ParseResult::StreamError(b.stream_id, b.reject);
    r.uncounted = b.uncounted;
    return r;
  }
  H2StreamContext* s = b.target;
  if (b.trailers) {
    s = FindStream(b.stream_id);
    if (!b.end_stream) {
      LOG_ERROR_LIMITED << "Trailers without END_STREAM on stream_id=" << b.stream_id;
      return H2ParseResult::StreamError(b.stream_id, H2_PROTOCOL_ERROR);
    }
  }
  if (s == nullptr || !b.end_stream) return H2ParseResult::Ok();
  buffered_body_bytes_ -= s->body_.size();
  s->state_ = H2StreamContext::kProcessing;
  s->deferred_window_update_ = 0;
  return H2ParseResult::Done(s);
}

void H2Context::OnHeader(std::string_view name, std::string_view value) {
  HeaderBlock& b = block_;
  b.list_bytes += name.size() + value.size() + 32;
  if (b.list_bytes > kH2MaxHeaderListBytes && b.reject == H2_NO_ERROR) {
    LOG_ERROR_LIMITED << "Too large header list of stream_id=" << b.stream_id
              << ", peer addr: " << conn_->peer_addr().ToString();
    b.reject = H2_REFUSED_STREAM;
  }
  if (b.target == nullptr || b.reject != H2_NO_ERROR) return;
  brpc::HttpHeader& h = b.target->header_;
  if (name.empty() || name[0] != ':') {
    if (name == common->CONTENT_TYPE) {
      h.set_content_type(value);
    } else {
      h.Append(name, value);
    }
    return;
  }
  if (name == common->METHOD) {
    if (!IsKnownMethod(value)) {
      LOG_ERROR_LIMITED << "Invalid method=" << Printable(value);
      b.reject = H2_PROTOCOL_ERROR;
      return;
    }
    h.set_method(value);
  } else if (name == common->PATH) {
    h.set_path(value);
  } else if (name == common->AUTHORITY) {
    h.set_authority(value);
  } else if (name == common->SCHEME) {
    // accepted and not used
  } else if (name == common->STATUS) {
    if (!IsDecimal(value)) {
      LOG_ERROR_LIMITED << "Invalid status=" << Printable(value);
      b.reject = H2_PROTOCOL_ERROR;
      return;
    }
    h.set_status_code(atoi(std::string(value).c_str()));
  } else {
    LOG_ERROR_LIMITED << "Unknown name=`" << Printable(name) << "'";
    b.reject = H2_PROTOCOL_ERROR;
  }
}

H2ParseResult H2Context::OnPriority(const H2FrameHead& head) {
  LOG_DEBUG << "receive OnPriority stream_id = " << head.stream_id;
  if (head.stream_id == 0) {
    LOG_ERROR_LIMITED << "Invalid stream_id=" << head.stream_id;
    return H2ParseResult::ConnError(H2_PROTOCOL_ERROR);
  }
  if (head.payload_size != 5) {
    LOG_ERROR_LIMITED << "Invalid payload_size=" << head.payload_size;
    return H2ParseResult::StreamError(head.stream_id, H2_FRAME_SIZE_ERROR);
  }
  return H2ParseResult::Ok();  // priorities are accepted and not used
}

H2ParseResult H2Context::OnResetStream(const H2FrameHead& head) {
  LOG_DEBUG << "receive OnResetStream stream_id = " << head.stream_id;
  if (head.stream_id == 0) {
    LOG_ERROR_LIMITED << "Invalid stream_id=" << head.stream_id;
    return H2ParseResult::ConnError(H2_PROTOCOL_ERROR);
  }
  if (head.payload_size != 4) {
    LOG_ERROR_LIMITED << "Invalid payload_size=" << head.payload_size;
    return H2ParseResult::ConnError(H2_FRAME_SIZE_ERROR);
  }
  H2StreamContext* s = FindStream(head.stream_id);
  if (s == nullptr && WasReset(head.stream_id)) {
    // Both ends reset it at once: nothing more comes on it.
    for (int32_t& id : reset_ids_) {
      if (id == head.stream_id) id = 0;
    }
    return H2ParseResult::Ok();
  }
  if (s != nullptr && s->request_parked_) {
    // Cancelled before its call was made: nothing runs for it, and the
    // stream cost the server work for nothing (a peer opening and
    // cancelling streams at the held bound is a flood like any other).
    if (!CountUnproductive()) return H2ParseResult::ConnError(H2_ENHANCE_YOUR_CALM);
    DeleteStream(s);
    return H2ParseResult::Ok();
  }
  if (s != nullptr && s->state_ == H2StreamContext::kProcessing) {
    // A call cancelled, or its deadline expired, while it runs: what it
    // costs is its call, and the calls of reset streams have a bound of
    // their own (reading stops at it), so a client whose calls expire is
    // never ended for it.
    ParkResetCall(s);  // forgotten when its call completes
    return H2ParseResult::Ok();
  }
  // Streams opened and reset at once make the server work for nothing.
  if (!CountUnproductive()) return H2ParseResult::ConnError(H2_ENHANCE_YOUR_CALM);
  if (s == nullptr) {
    LOG_WARN_LIMITED << "Fail to find stream_id=" << head.stream_id;
    return H2ParseResult::Ok();
  }
  DeleteStream(s);
  return H2ParseResult::Ok();
}

H2ParseResult H2Context::OnSettings(const H2FrameHead& head) {
  LOG_DEBUG << "receive OnSettings";
  if (head.stream_id != 0) {
    LOG_ERROR_LIMITED << "Invalid stream_id=" << head.stream_id;
    return H2ParseResult::ConnError(H2_PROTOCOL_ERROR);
  }
  if (head.flags & H2_FLAGS_ACK) {
    if (head.payload_size != 0) {
      LOG_ERROR_LIMITED << "Non-zero payload_size=" << head.payload_size << " for settings-ACK";
      return H2ParseResult::ConnError(H2_PROTOCOL_ERROR);
    }
    local_settings_ = unack_local_settings_;
    settings_acked_ = true;
    return H2ParseResult::Ok();
  }
  if (!CountUnproductive()) return H2ParseResult::ConnError(H2_ENHANCE_YOUR_CALM);
  if (!ReadPayload(head.payload_size)) return H2ParseResult::ConnError(H2_INTERNAL_ERROR);
  brpc::H2Settings parsed = remote_settings_;
  if (!ParseH2Settings(&parsed, payload_.data(), payload_.size())) {
    LOG_ERROR_LIMITED << "Fail to parse from SETTINGS";
    return H2ParseResult::ConnError(H2_PROTOCOL_ERROR);
  }
  const int64_t delta = static_cast<int64_t>(parsed.stream_window_size) -
                        static_cast<int64_t>(remote_settings_.stream_window_size);
  if (parsed.header_table_size != remote_settings_.header_table_size &&
      hpacker_.SetEncoderTableSize(parsed.header_table_size) != 0) {
    return H2ParseResult::ConnError(H2_INTERNAL_ERROR);
  }
  remote_settings_ = parsed;
  remote_settings_received_ = true;
  if (delta != 0) {
    for (auto& entry : streams_) {
      H2StreamContext* s = entry.second;
      if (!AddWindow(&s->remote_window_left_, delta)) {
        LOG_ERROR_LIMITED << "Invalid stream_window_size=" << parsed.stream_window_size;
        return H2ParseResult::ConnError(H2_FLOW_CONTROL_ERROR);
      }
    }
  }
  char ack[kH2FrameHeadSize];
  SerializeH2FrameHead(ack, 0, H2_FRAME_SETTINGS, H2_FLAGS_ACK, 0);
  if (!SendBytes(ack, sizeof(ack))) {
    LOG_WARN_LIMITED << "Fail to respond settings with ack ";
    return H2ParseResult::ConnError(H2_PROTOCOL_ERROR);
  }
  if (delta > 0) FlushBlocked();
  return H2ParseResult::Ok();
}

H2ParseResult H2Context::OnPushPromise(const H2FrameHead&) {
  LOG_ERROR_LIMITED << "Not support PUSH_PROMISE frame yet";
  return H2ParseResult::ConnError(H2_PROTOCOL_ERROR);
}

H2ParseResult H2Context::OnPing(const H2FrameHead& head) {
  LOG_DEBUG << "receive OnPing";
  if (head.payload_size != 8) {
    LOG_ERROR_LIMITED << "Invalid payload_size=" << head.payload_size;
    return H2ParseResult::ConnError(H2_FRAME_SIZE_ERROR);
  }
  if (head.stream_id != 0) {
    LOG_ERROR_LIMITED << "Invalid stream_id=" << head.stream_id;
    return H2ParseResult::ConnError(H2_PROTOCOL_ERROR);
  }
  if (head.flags & H2_FLAGS_ACK) return H2ParseResult::Ok();
  if (!CountUnproductive()) return H2ParseResult::ConnError(H2_ENHANCE_YOUR_CALM);
  char buf[kH2FrameHeadSize + 8];
  SerializeH2FrameHead(buf, 8, H2_FRAME_PING, H2_FLAGS_ACK, 0);
  conn_->ReceiveData(kH2FrameHeadSize, buf + kH2FrameHeadSize, 8);
  if (!SendBytes(buf, sizeof(buf))) {
    LOG_WARN_LIMITED << "Fail to send ack of PING";
    return H2ParseResult::ConnError(H2_PROTOCOL_ERROR);
  }
  return H2ParseResult::Ok();
}

H2ParseResult H2Context::OnGoAway(const H2FrameHead& head) {
  LOG_DEBUG << "receive OnGoAway stream_id = " << head.stream_id;
  if (head.payload_size < 8) {
    LOG_ERROR_LIMITED << "Invalid payload_size=" << head.payload_size;
    return H2ParseResult::ConnError(H2_FRAME_SIZE_ERROR);
  }
  if (head.stream_id != 0) {
    LOG_ERROR_LIMITED << "Invalid stream_id=" << head.stream_id;
    return H2ParseResult::ConnError(H2_PROTOCOL_ERROR);
  }
  // The client opens no more streams; those it opened are still answered.
  return H2ParseResult::Ok();
}

H2ParseResult H2Context::OnWindowUpdate(const H2FrameHead& head) {
  LOG_DEBUG << "receive OnWindowUpdate stream_id = " << head.stream_id;
  if (head.payload_size != 4) {
    LOG_ERROR_LIMITED << "Invalid payload_size=" << head.payload_size;
    return H2ParseResult::ConnError(H2_FRAME_SIZE_ERROR);
  }
  char raw[4];
  conn_->ReceiveData(kH2FrameHeadSize, raw, sizeof(raw));
  const int64_t increment = ReadU32(raw) & 0x7fffffffu;
  if (increment == 0) {
    LOG_ERROR_LIMITED << "Invalid window_size_increment=" << increment;
    return H2ParseResult::ConnError(H2_PROTOCOL_ERROR);
  }
  if (head.stream_id == 0) {
    if (!AddWindow(&remote_window_left_, increment)) {
      LOG_ERROR_LIMITED << "Invalid connection-level window_size_increment=" << increment;
      return H2ParseResult::ConnError(H2_FLOW_CONTROL_ERROR);
    }
    conn_window_wait_ = false;
    if (remote_window_left_ >= kH2TrickleFrameBytes) conn_slivers_allowed_ = false;
    FlushBlocked();
    return H2ParseResult::Ok();
  }
  H2StreamContext* s = FindStream(head.stream_id);
  if (s == nullptr) {
    LOG_DEBUG << "Fail to find stream_id=" << head.stream_id;
    return H2ParseResult::Ok();
  }
  const int64_t before = s->remote_window_left_;
  if (!AddWindow(&s->remote_window_left_, increment)) {
    LOG_ERROR_LIMITED << "Invalid stream-level window_size_increment=" << increment
              << " to remote_window_left=" << before;
    return H2ParseResult::ConnError(H2_FLOW_CONTROL_ERROR);
  }
  if (s->state_ == H2StreamContext::kSending) FlushBlocked();
  return H2ParseResult::Ok();
}

// ---------------------------------------------------------------------------
// Streams

H2StreamContext* H2Context::FindStream(int32_t id) {
  for (const auto& entry : streams_) {
    if (entry.first == id) return entry.second;
  }
  return nullptr;
}

H2StreamContext* H2Context::NewStream(int32_t id) {
  H2StreamContext* s;
  if (!free_streams_.empty()) {
    s = free_streams_.back();
    free_streams_.pop_back();
    free_stream_bytes_ -= s->KeptBytes();
  } else {
    s = new H2StreamContext(this, proto_);
  }
  s->Reset(id, remote_settings_.stream_window_size);
  streams_.emplace_back(id, s);
  return s;
}

void H2Context::DeleteStream(H2StreamContext* s) {
  for (size_t i = 0; i < streams_.size(); ++i) {
    if (streams_[i].second == s) {
      streams_[i] = streams_.back();
      streams_.pop_back();
      break;
    }
  }
  if (s->state_ == H2StreamContext::kReceiving) buffered_body_bytes_ -= s->body_.size();
  if (s->state_ == H2StreamContext::kSending) {
    held_response_bytes_ -= s->pending_.size() - s->pending_off_;
    // Nothing of a forgotten stream may stay behind to be waited for.
    auto it = std::find(blocked_.begin(), blocked_.end(), s->stream_id_);
    if (it != blocked_.end()) blocked_.erase(it);
    if (blocked_.empty()) {
      client_stalled_ = false;
      progress_.Clear();
    }
    if (conn_window_wait_ && conn_window_waiter_ == s->stream_id_) {
      // The frame that waited goes with it; any other waits afresh.
      conn_window_wait_ = false;
      if (!blocked_.empty()) BeginConnWindowWait(0);
    }
  }
  if (s->request_parked_) {
    s->request_parked_ = false;
    buffered_body_bytes_ -= s->body_.size();
    parked_.erase(std::find(parked_.begin(), parked_.end(), s));
  }
  // Bytes the stream had not granted back need no grant any more: the
  // connection counted its share on its own.
  s->deferred_window_update_ = 0;
  s->ctrl_ = nullptr;
  // Only small buffers are kept, and all of them are counted.
  if (s->header_.capacity() > kMaxRecycledHeader) s->header_ = brpc::HttpHeader();
  s->pending_message_.clear();
  if (s->pending_message_.capacity() > kMaxRecycledMessage) std::string().swap(s->pending_message_);
  const size_t kept = s->KeptBytes();
  if (free_streams_.size() < kMaxFreeStreams && s->body_.capacity() <= kMaxRecycledBody &&
      s->pending_.capacity() <= kMaxRecycledBody && free_stream_bytes_ + kept <= kMaxRecycledBytes) {
    free_streams_.push_back(s);
    free_stream_bytes_ += kept;
  } else {
    delete s;
  }
}

void H2Context::DropStream(H2StreamContext* s) {
  if (FindStream(s->stream_id_) == s) {
    DeleteStream(s);
    return;
  }
  auto it = std::find(reset_calls_.begin(), reset_calls_.end(), s);
  if (it == reset_calls_.end()) return;
  *it = reset_calls_.back();
  reset_calls_.pop_back();
  DeleteStream(s);  // not among the streams any more: only recycled
  if (input_paused_ && reset_calls_.size() < kH2MaxResetCallsRunning) {
    input_paused_ = false;
    if (!failed_ && !conn_->IsClosed()) conn_->PauseInput(false);
  }
}

void H2Context::ParkResetCall(H2StreamContext* s) {
  for (size_t i = 0; i < streams_.size(); ++i) {
    if (streams_[i].second == s) {
      streams_[i] = streams_.back();
      streams_.pop_back();
      break;
    }
  }
  s->reset_ = true;
  // Nothing reads the request any more: its decoded headers go now, so
  // that only the open streams keep theirs.
  s->header_ = brpc::HttpHeader();
  reset_calls_.push_back(s);
  if (!input_paused_ && reset_calls_.size() >= kH2MaxResetCallsRunning) {
    LOG_WARN_LIMITED << "Calls of reset streams running=" << reset_calls_.size()
                     << ", stop reading until one ends, peer addr: "
                     << conn_->peer_addr().ToString();
    input_paused_ = true;
    conn_->PauseInput(true);
  }
}

int H2Context::ResetStream(int32_t id, H2Error error, bool counted) {
  // Frames that only draw a RST_STREAM (DATA on closed streams, refused
  // streams) make no progress.
  if (counted && !CountUnproductive()) return GoAway(H2_ENHANCE_YOUR_CALM);
  char buf[kH2FrameHeadSize + 4];
  SerializeH2FrameHead(buf, 4, H2_FRAME_RST_STREAM, 0, id);
  PutU32(buf + kH2FrameHeadSize, error);
  if (!SendBytes(buf, sizeof(buf))) {
    LOG_WARN_LIMITED << "Fail to send RST_STREAM ";
    return GoAway(H2_INTERNAL_ERROR);
  }
  H2StreamContext* s = FindStream(id);
  // A stream the client opened may still have frames in flight.
  if (s != nullptr || error == H2_REFUSED_STREAM) RememberReset(id);
  if (s != nullptr) {
    if (s->state_ == H2StreamContext::kProcessing && !s->request_parked_) {
      ParkResetCall(s);
    } else {
      DeleteStream(s);
    }
  }
  return kFrameConsumed;
}

int H2Context::GoAway(H2Error error) {
  if (failed_) return BaseProto::kFatal;
  if (overflowed_) error = H2_ENHANCE_YOUR_CALM;
  char buf[kH2FrameHeadSize + 8];
  SerializeH2FrameHead(buf, 8, H2_FRAME_GOAWAY, 0, 0);
  PutU32(buf + kH2FrameHeadSize, static_cast<uint32_t>(std::max(last_received_stream_id_, 0)));
  PutU32(buf + kH2FrameHeadSize + 4, error);
  // The last frame of the connection: written past the output bound, which
  // it passes by 17 bytes at most.
  if (conn_->SendData(buf, sizeof(buf)) != 0) {
    LOG_WARN_LIMITED << "Fail to send GOAWAY ";
  } else {
    handed_ += sizeof(buf);
  }
  LOG_WARN_LIMITED << "send GOAWAY " << H2ErrorToString(error) << ", last stream_id="
                   << std::max(last_received_stream_id_, 0)
                   << ", peer addr: " << conn_->peer_addr().ToString();
  failed_ = true;
  return BaseProto::kFatal;
}

void H2Context::Abandon(H2Error error) {
  GoAway(error);
  conn_->ForceClose();
}

// ---------------------------------------------------------------------------
// Writing

bool H2Context::SendBytes(const char* data, size_t len) {
  struct iovec piece;
  piece.iov_base = const_cast<char*>(data);
  piece.iov_len = len;
  return SendPieces(&piece, 1, len);
}

bool H2Context::SendPieces(const struct iovec* pieces, int count, size_t len) {
  if (overflowed_) return false;
  const size_t unsent = conn_->ReadableLengthOutBuf();
  if (unsent > kH2MaxUnsentOutput || len > kH2MaxUnsentOutput - unsent) {
    // A client that does not read what it makes the server write.
    LOG_ERROR_LIMITED << "Too much unsent output=" << unsent + len
                      << ", limit: " << kH2MaxUnsentOutput
                      << ", peer addr: " << conn_->peer_addr().ToString();
    overflowed_ = true;
    return false;
  }
  if (conn_->SendDataV(pieces, count) != 0) return false;
  handed_ += len;
  return true;
}

bool H2Context::SendOut() {
  if (out_.empty() && out_refs_.empty()) return true;
  bool ok;
  if (out_refs_.empty()) {
    ok = SendBytes(out_.data(), out_.size());
  } else {
    // The scratch's bytes with the referenced DATA payloads between them.
    out_pieces_.clear();
    size_t from = 0;
    for (const OutRef& ref : out_refs_) {
      if (ref.at > from) out_pieces_.push_back({&out_[from], ref.at - from});
      out_pieces_.push_back({const_cast<char*>(ref.data), ref.len});
      from = ref.at;
    }
    if (out_.size() > from) out_pieces_.push_back({&out_[from], out_.size() - from});
    ok = SendPieces(out_pieces_.data(), static_cast<int>(out_pieces_.size()),
                    out_.size() + out_ref_bytes_);
    out_refs_.clear();
    out_ref_bytes_ = 0;
  }
  if (ok && out_has_data_) data_handed_ = handed_;
  out_has_data_ = false;
  out_.clear();
  if (out_.capacity() > kMaxKeptScratch) std::string().swap(out_);
  if (!ok && !failed_) Abandon(H2_INTERNAL_ERROR);
  return ok;
}

void H2Context::ReserveOut(size_t n) {
  const size_t need = out_.size() + n;
  if (need <= out_.capacity()) return;
  out_.reserve(std::max(need, std::min(2 * out_.capacity(), kMaxKeptScratch)));
}

void H2Context::AppendWindowUpdate(int32_t id, int64_t increment) {
  AppendFrameHead(&out_, 4, H2_FRAME_WINDOW_UPDATE, 0, static_cast<uint32_t>(id));
  char v[4];
  PutU32(v, static_cast<uint32_t>(increment));
  out_.append(v, sizeof(v));
}

void H2Context::AppendHeaderBlock(int32_t id, const std::string& block, bool end_stream) {
  const size_t max = remote_settings_.max_frame_size;
  size_t off = 0;
  bool first = true;
  do {
    const size_t n = std::min(max, block.size() - off);
    const bool last = off + n == block.size();
    uint8_t flags = last ? H2_FLAGS_END_HEADERS : 0;
    if (first && end_stream) flags |= H2_FLAGS_END_STREAM;
    AppendFrameHead(&out_, static_cast<uint32_t>(n),
                    first ? H2_FRAME_HEADERS : H2_FRAME_CONTINUATION, flags,
                    static_cast<uint32_t>(id));
    out_.append(block, off, n);
    off += n;
    first = false;
  } while (off < block.size());
}

bool H2Context::EncodeHeaders(std::string* block, std::string_view content_type,
                              bool with_status, int grpc_status, std::string_view message) {
  brpc::HPackHeader fields[5];
  size_t n = 0;
  if (with_status) {
    fields[n++] = {common->STATUS, common->STATUS_200};
    if (!content_type.empty()) fields[n++] = {common->CONTENT_TYPE, content_type};
  }
  char status_text[16];
  std::string encoded;
  if (grpc_status >= 0) {
    // Decimal, written backwards from the end of the buffer.
    char* end = status_text + sizeof(status_text);
    char* p = end;
    unsigned v = static_cast<unsigned>(grpc_status);
    do {
      *--p = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    fields[n++] = {common->GRPC_STATUS, std::string_view(p, static_cast<size_t>(end - p))};
    if (!message.empty()) {
      brpc::PercentEncode(message, &encoded);
      fields[n++] = {common->GRPC_MESSAGE, encoded};
    }
  }
  block->clear();
  if (hpacker_.Encode(block, fields, n, brpc::HPackOptions()) != 0) {
    LOG_ERROR_LIMITED << "Fail to encode headers, peer addr: " << conn_->peer_addr().ToString();
    failed_ = true;
    conn_->ForceClose();
    return false;
  }
  return true;
}

void H2Context::SendResponse(H2StreamContext* s, std::string_view content_type,
                             std::string* body, int grpc_status, std::string_view message) {
  if (!EncodeHeaders(&block_buffer_, content_type, true, -1, std::string_view())) {
    DropStream(s);
    return;
  }
  unproductive_frames_ = 0;  // a call answered
  AppendHeaderBlock(s->stream_id_, block_buffer_, false);
  // The stream takes the body's buffer (it goes with the stream), and the
  // caller gets the stream's old one back, to serialise a later answer in.
  s->pending_.clear();
  s->pending_.swap(*body);
  body->clear();
  s->pending_off_ = 0;
  s->pending_status_ = grpc_status;
  s->pending_message_.assign(message.data(), message.size());
  s->state_ = H2StreamContext::kSending;
  s->ctrl_ = nullptr;
  // Held from now until framed, whatever the windows: ParkRequest keeps
  // further calls from building more once this reaches the bound.
  held_response_bytes_ += s->pending_.size();
  peak_answers_ = std::max(peak_answers_, held_response_bytes_);
  const bool complete = PackH2Message(s);
  if (conn_unacked_ > 0) {
    AppendWindowUpdate(0, conn_unacked_);
    conn_unacked_ = 0;
  }
  if (!SendOut()) return;  // the connection is closing
  if (complete) {
    DeleteStream(s);
    return;
  }
  if (blocked_.empty()) {
    // A new spell of waiting answers: it starts with a clean slate.
    progress_.NoteWindow(conn_->PeerReceiveWindow());
    progress_.Start(std::chrono::steady_clock::now(), AnswerBytesTaken(),
                    AnswerBytesOutstanding());
  }
  blocked_.push_back(s->stream_id_);
  ArmHeldCheck();
  // The socket took everything at once: go on while it does.
  if (conn_->ReadableLengthOutBuf() == 0) FlushBlocked();
}

void H2Context::SendTrailersOnly(H2StreamContext* s, std::string_view content_type,
                                 int grpc_status, std::string_view message) {
  if (!EncodeHeaders(&block_buffer_, content_type, true, grpc_status, message)) {
    DropStream(s);
    return;
  }
  AppendHeaderBlock(s->stream_id_, block_buffer_, true);
  if (s->state_ == H2StreamContext::kReceiving) {
    // The request is still coming: tell the client to stop sending it.
    AppendFrameHead(&out_, 4, H2_FRAME_RST_STREAM, 0, static_cast<uint32_t>(s->stream_id_));
    char code[4];
    PutU32(code, H2_NO_ERROR);
    out_.append(code, sizeof(code));
    RememberReset(s->stream_id_);
  }
  SendOut();
  DeleteStream(s);
}

bool H2Context::ParkRequest(H2StreamContext* s) {
  // Behind requests already parked, in order; a stopping server refuses
  // it at once instead.
  if (going_away_ || (parked_.empty() && held_response_bytes_ < kH2MaxHeldResponseBytes)) {
    return false;
  }
  s->request_parked_ = true;
  buffered_body_bytes_ += s->body_.size();
  parked_.push_back(s);
  return true;
}

void H2Context::ServeParkedRequests() {
  // A call made here may answer at once: the bound is read again before
  // each call. (A stop refuses what is parked from inside a call made here.)
  if (serving_parked_) return;
  serving_parked_ = true;
  while (!parked_.empty() && held_response_bytes_ < kH2MaxHeldResponseBytes && !failed_ &&
         !conn_->IsClosed()) {
    H2StreamContext* s = parked_.front();
    parked_.erase(parked_.begin());
    s->request_parked_ = false;
    buffered_body_bytes_ -= s->body_.size();
    proto_->ProcessHttpRequest(conn_->shared_from_this(), s);
  }
  serving_parked_ = false;
}

void H2Context::TakeAnswerBuffer(std::string* body) {
  body->swap(answer_buffer_);
  body->clear();
}

void H2Context::GiveAnswerBuffer(std::string* body) {
  if (body->capacity() > kMaxRecycledBody || body->capacity() <= answer_buffer_.capacity()) return;
  body->clear();
  answer_buffer_.swap(*body);
}

int64_t H2Context::ResponseRoom() const {
  const size_t queued = conn_->ReadableLengthOutBuf() + out_.size() + out_ref_bytes_;
  if (queued >= kH2ResponseOutputBytes) return 0;
  return static_cast<int64_t>(kH2ResponseOutputBytes - queued);
}

bool H2Context::PackH2Message(H2StreamContext* s) {
  const int64_t max_frame = remote_settings_.max_frame_size;
  while (s->pending_off_ < s->pending_.size()) {
    const int64_t left = static_cast<int64_t>(s->pending_.size() - s->pending_off_);
    const int64_t n = std::min(
        {left, max_frame, remote_window_left_, s->remote_window_left_, ResponseRoom()});
    if (n <= 0) return false;
    // Only the connection window cuts this frame to a sliver: wait for
    // more of it. That window is never below 65535 bytes in all, so the
    // client has the rest of it in hand and gives it back as it reads; a
    // client that gives it back frame by frame would otherwise see the
    // frames of many streams split smaller and smaller.
    // A client that keeps the rest for good (it may) gets slivers once a
    // whole held-check interval has passed without its update.
    if (n == remote_window_left_ && n < kH2TrickleFrameBytes && n < left && n < max_frame &&
        n < s->remote_window_left_ && !conn_slivers_allowed_) {
      if (!conn_window_wait_) BeginConnWindowWait(s->stream_id_);
      return false;
    }
    // A window that lets only a sliver through makes a trickle, which is
    // not the client taking its answer.
    if (n < kH2TrickleFrameBytes && n < left && n < max_frame &&
        (n == remote_window_left_ || n == s->remote_window_left_)) {
      trickle_framed_ += kH2FrameHeadSize + static_cast<uint64_t>(n);
    }
    const bool gathered = static_cast<size_t>(n) >= kMinGatheredData;
    ReserveOut(kH2FrameHeadSize + (gathered ? 0 : static_cast<size_t>(n)));
    AppendFrameHead(&out_, static_cast<uint32_t>(n), H2_FRAME_DATA, 0,
                    static_cast<uint32_t>(s->stream_id_));
    if (gathered) {
      // The stream keeps its buffer until SendOut has handed these bytes on.
      out_refs_.push_back({out_.size(), s->pending_.data() + s->pending_off_,
                           static_cast<size_t>(n)});
      out_ref_bytes_ += static_cast<size_t>(n);
    } else {
      out_.append(s->pending_, s->pending_off_, static_cast<size_t>(n));
    }
    s->pending_off_ += static_cast<size_t>(n);
    remote_window_left_ -= n;
    s->remote_window_left_ -= n;
    held_response_bytes_ -= static_cast<size_t>(n);
    data_framed_ += static_cast<uint64_t>(n);
    out_has_data_ = true;
  }
  if (!EncodeHeaders(&block_buffer_, std::string_view(), false, s->pending_status_,
                     s->pending_message_)) {
    return false;
  }
  AppendHeaderBlock(s->stream_id_, block_buffer_, true);
  return true;
}

void H2Context::FlushBlocked() {
  std::vector<H2StreamContext*> complete;
  while (!blocked_.empty() && !failed_) {
    const uint64_t framed = data_framed_;
    complete.clear();
    size_t kept = 0;
    for (size_t i = 0; i < blocked_.size(); ++i) {
      H2StreamContext* s = FindStream(blocked_[i]);
      if (s == nullptr || s->state_ != H2StreamContext::kSending) continue;
      if (!failed_ && PackH2Message(s)) {
        complete.push_back(s);
      } else {
        blocked_[kept++] = blocked_[i];
      }
    }
    blocked_.resize(kept);
    if (!SendOut()) return;  // the connection is closing
    for (H2StreamContext* s : complete) DeleteStream(s);
    // Framing goes on only while the socket takes everything at once;
    // otherwise the drained output calls again.
    if (data_framed_ == framed || conn_->IsClosed() || conn_->ReadableLengthOutBuf() != 0) break;
  }
  if (blocked_.empty()) {
    client_stalled_ = false;
    progress_.Clear();
  } else if (client_stalled_) {
    // Answers leaving again, as a reader takes them, end the stall at once.
    progress_.Check(std::chrono::steady_clock::now(), AnswerBytesTaken(),
                    AnswerBytesOutstanding(), false);
    client_stalled_ = progress_.stalled();
  }
}

void H2Context::OnOutputDrained() {
  if (failed_ || conn_->IsClosed()) return;
  // The client's kernel advertises its whole buffer while it keeps up:
  // seen as the output drains, the largest is what its acknowledgements
  // will wait for once it falls behind.
  if (!blocked_.empty()) progress_.NoteWindow(conn_->PeerReceiveWindow());
  FlushBlocked();
  // What left made room under the held bound for the calls parked at it.
  ServeParkedRequests();
}

uint64_t H2Context::AnswerBytesTaken() const {
  // Bytes the client has taken: those neither queued here nor waiting in
  // the kernel for the client to read them (the kernel asks for more only
  // once much of its buffer is free, so the writes alone would show a
  // steady reader as stalled).
  const size_t unsent =
      conn_->IsClosed() ? 0 : conn_->ReadableLengthOutBuf() + conn_->UnackedInSocket();
  const uint64_t taken = std::min(handed_ >= unsent ? handed_ - unsent : 0, data_handed_);
  return taken > trickle_framed_ ? taken - trickle_framed_ : 0;
}

uint64_t H2Context::AnswerBytesOutstanding() const {
  const size_t unsent =
      conn_->IsClosed() ? 0 : conn_->ReadableLengthOutBuf() + conn_->UnackedInSocket();
  return held_response_bytes_ + unsent;
}

void H2Context::RememberReset(int32_t id) {
  reset_ids_[reset_next_] = id;
  reset_next_ = (reset_next_ + 1) % kRememberedResets;
}

bool H2Context::WasReset(int32_t id) const {
  if (id <= 0) return false;
  for (int32_t known : reset_ids_) {
    if (known == id) return true;
  }
  return false;
}

void H2Context::ArmHeldCheck() {
  if (check_armed_ || blocked_.empty()) return;
  Worker* worker = conn_->worker();
  if (worker == nullptr || worker->loop() == nullptr) return;
  check_armed_ = true;
  // The timer holds the connection weakly: a connection gone (or closed)
  // by then is left alone.
  std::weak_ptr<Connection> weak = conn_->shared_from_this();
  worker->loop()->RunAfter(H2HeldCheckInterval(), [weak] {
    std::shared_ptr<Connection> conn = weak.lock();
    if (conn == nullptr || conn->IsClosed() || conn->h2_context() == nullptr) return;
    conn->h2_context()->OnHeldCheck();
  });
}

void H2Context::OnHeldCheck() {
  check_armed_ = false;
  if (failed_ || blocked_.empty()) {
    client_stalled_ = false;
    progress_.Clear();
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  progress_.NoteWindow(conn_->PeerReceiveWindow());
  // While this end reads nothing from it (its reset calls run), a client
  // that has taken every byte sent waits only for its window updates to be
  // read: that time is not held against it, however long its calls run, as
  // it could not have avoided it. It then holds only the parked calls
  // (without their headers) and answers within the held bound. Bytes left
  // waiting in its socket are its own doing, paused or not: as soon as it
  // leaves some there, it is judged as any other.
  const bool waits_for_reading =
      input_paused_ && conn_->ReadableLengthOutBuf() == 0 && conn_->UnackedInSocket() == 0;
  const H2Progress::Verdict verdict =
      progress_.Check(now, AnswerBytesTaken(), AnswerBytesOutstanding(), waits_for_reading);
  client_stalled_ = progress_.stalled();
  if (verdict == H2Progress::kTimedOut) {
    LOG_WARN_LIMITED << "Answers held=" << held_response_bytes_ << " of " << blocked_.size()
                     << " streams did not move for " << progress_.stall_timeout()
                     << " s, close the connection, peer addr: " << conn_->peer_addr().ToString();
    Abandon(H2_ENHANCE_YOUR_CALM);
    return;
  }
  if (client_stalled_ && blocked_.size() > 1 && held_response_bytes_ > kH2MaxHeldResponseBytes) {
    LOG_WARN_LIMITED << "Answers held=" << held_response_bytes_ << " of " << blocked_.size()
                     << " streams, limit: " << kH2MaxHeldResponseBytes
                     << ", the client takes none of them, close the connection, peer addr: "
                     << conn_->peer_addr().ToString();
    Abandon(H2_ENHANCE_YOUR_CALM);
    return;
  }
  ArmHeldCheck();
}

void H2Context::BeginConnWindowWait(int32_t stream_id) {
  conn_window_wait_ = true;
  conn_window_waiter_ = stream_id;
  conn_window_wait_since_ = std::chrono::steady_clock::now();
  if (!conn_wait_timer_armed_) ArmConnWindowTimer(H2HeldCheckInterval());
}

void H2Context::ArmConnWindowTimer(double seconds) {
  Worker* worker = conn_->worker();
  if (worker == nullptr || worker->loop() == nullptr) return;
  // One timer at a time, however often waits begin and end: a wait that
  // began after it was armed is given the rest of its interval when it
  // fires.
  conn_wait_timer_armed_ = true;
  std::weak_ptr<Connection> weak = conn_->shared_from_this();
  worker->loop()->RunAfter(seconds, [weak] {
    std::shared_ptr<Connection> conn = weak.lock();
    if (conn == nullptr || conn->IsClosed() || conn->h2_context() == nullptr) return;
    conn->h2_context()->OnConnWindowTimer();
  });
}

void H2Context::OnConnWindowTimer() {
  conn_wait_timer_armed_ = false;
  if (!conn_window_wait_ || failed_) return;
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                      conn_window_wait_since_)
                            .count();
  const double interval = H2HeldCheckInterval();
  // A timer may fire a hair early; a millisecond short counts as due.
  if (waited + 0.001 < interval) {
    ArmConnWindowTimer(interval - waited);
    return;
  }
  // A frame has waited a whole interval for connection window that did not
  // come: the client keeps the rest of it, and slivers are all it lets
  // through.
  conn_window_wait_ = false;
  conn_slivers_allowed_ = true;
  FlushBlocked();
  if (failed_ || conn_->IsClosed()) return;
  ServeParkedRequests();
}

// ---------------------------------------------------------------------------
// Stopping

void H2Context::GoAwayForStop() {
  // Before the preface the server's SETTINGS have not gone out, and they
  // must come first.
  if (going_away_ || failed_ || conn_state_ == 0 || conn_->IsClosed()) return;
  going_away_ = true;
  const int32_t last = std::max(last_received_stream_id_, 0);
  char buf[kH2FrameHeadSize + 8];
  SerializeH2FrameHead(buf, 8, H2_FRAME_GOAWAY, 0, 0);
  PutU32(buf + kH2FrameHeadSize, static_cast<uint32_t>(last));
  PutU32(buf + kH2FrameHeadSize + 4, H2_NO_ERROR);
  // Within the output bound: a client that let it run over is being closed.
  if (!SendBytes(buf, sizeof(buf))) {
    LOG_WARN_LIMITED << "Fail to send GOAWAY ";
    if (!failed_) Abandon(H2_INTERNAL_ERROR);
    return;
  }
  LOG_INFO << "server stops, send GOAWAY NO_ERROR, last stream_id=" << last
           << ", peer addr: " << conn_->peer_addr().ToString();
  // The requests parked for the held bound are not admitted any more.
  std::vector<H2StreamContext*> parked;
  parked.swap(parked_);
  for (H2StreamContext* s : parked) {
    s->request_parked_ = false;
    buffered_body_bytes_ -= s->body_.size();
  }
  for (H2StreamContext* s : parked) {
    if (failed_ || conn_->IsClosed()) break;  // the context frees them
    RefuseStream(s);
  }
}

void H2Context::RefuseStream(H2StreamContext* s) {
  const int32_t id = s->stream_id_;
  DeleteStream(s);
  // Frames the client sent on it before it saw the reset are ignored.
  RememberReset(id);
  char buf[kH2FrameHeadSize + 4];
  SerializeH2FrameHead(buf, 4, H2_FRAME_RST_STREAM, 0, static_cast<uint32_t>(id));
  PutU32(buf + kH2FrameHeadSize, H2_REFUSED_STREAM);
  if (!SendBytes(buf, sizeof(buf))) {
    LOG_WARN_LIMITED << "Fail to send RST_STREAM ";
    if (!failed_) Abandon(H2_INTERNAL_ERROR);
  }
}

bool H2Context::Settled() const {
  if (failed_ || conn_->IsClosed() || client_stalled_) return true;
  return blocked_.empty() && parked_.empty() && out_.empty() &&
         conn_->ReadableLengthOutBuf() == 0 && conn_->UnackedInSocket() == 0;
}

H2Footprint H2Context::Footprint() const {
  H2Footprint f;
  f.unsent_output = conn_->IsClosed() ? 0 : conn_->ReadableLengthOutBuf();
  f.held_answers = held_response_bytes_;
  f.peak_answers = peak_answers_;
  f.waiting_on_client = client_stalled_ ? held_response_bytes_ : 0;
  f.parked_requests = parked_.size();
  f.buffered_requests = buffered_body_bytes_;
  f.retained = payload_.capacity() + out_.capacity() + block_buffer_.capacity() +
               answer_buffer_.capacity();
  for (const H2StreamContext* s : free_streams_) f.retained += s->KeptBytes();
  auto header_bytes = [](const brpc::HttpHeader& h) {
    size_t n = h.method().size() + h.path().size() + h.authority().size() +
               h.content_type().size();
    for (size_t i = 0; i < h.field_count(); ++i) {
      n += h.field(i).first.size() + h.field(i).second.size();
    }
    return n;
  };
  for (const auto& entry : streams_) f.decoded_headers += header_bytes(entry.second->header_);
  for (const H2StreamContext* s : reset_calls_) f.decoded_headers += header_bytes(s->header_);
  f.streams = streams_.size();
  f.reset_calls = reset_calls_.size();
  f.input_paused = input_paused_;
  f.unproductive_frames = unproductive_frames_;
  return f;
}

}  // namespace tarn
