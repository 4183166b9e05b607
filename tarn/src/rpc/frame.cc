#include "tarn/rpc/frame.h"

#include <google/protobuf/message_lite.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "tarn/base/logging.h"
#include "tarn/connection.h"
#include "tarn/worker.h"

namespace tarn {

namespace {

void PutBe16(char* p, uint16_t v) {
  p[0] = static_cast<char>(v >> 8);
  p[1] = static_cast<char>(v);
}

void PutBe32(char* p, uint32_t v) {
  p[0] = static_cast<char>(v >> 24);
  p[1] = static_cast<char>(v >> 16);
  p[2] = static_cast<char>(v >> 8);
  p[3] = static_cast<char>(v);
}

uint16_t GetBe16(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint16_t>((u[0] << 8) | u[1]);
}

uint32_t GetBe32(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | u[3];
}

}  // namespace

std::string PrintableBytes(const char* data, size_t len, size_t max_len) {
  std::string out;
  const size_t shown = std::min(len, max_len);
  for (size_t i = 0; i < shown; ++i) {
    const unsigned char c = static_cast<unsigned char>(data[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char esc[8];
      snprintf(esc, sizeof(esc), "\\x%02x", c);
      out += esc;
    }
  }
  if (shown < len) out += "...(" + std::to_string(len) + " bytes)";
  return out;
}

namespace {

void LogTotalInvalid(const Connection& conn, uint64_t total, uint64_t actual) {
  LOG_ERROR << "total size invalid, total size: " << total << ", actual size: " << actual
            << ", peer addr: " << conn.peer_addr().ToString();
}

}  // namespace

void ReleaseFrame(Worker* worker, const ReceivedFrame& frame) {
  if (frame.message != nullptr) {
    worker->Free(frame.message);
    return;
  }
  if (frame.main != nullptr) worker->Free(frame.main);
  if (frame.attachment != nullptr) worker->Free(frame.attachment);
}

void FrameHead::Encode(char* out) const {
  memcpy(out, kFrameMagic, sizeof(kFrameMagic));
  PutBe32(out + 4, total);
  PutBe16(out + 8, service_len);
  PutBe16(out + 10, method_len);
  PutBe32(out + 12, header_len);
  PutBe32(out + 16, body_len);
}

bool FrameHead::Decode(const char* in) {
  if (memcmp(in, kFrameMagic, sizeof(kFrameMagic)) != 0) return false;
  total = GetBe32(in + 4);
  service_len = GetBe16(in + 8);
  method_len = GetBe16(in + 10);
  header_len = GetBe32(in + 12);
  body_len = GetBe32(in + 16);
  return true;
}

int FrameHead::Check(uint64_t limit) const {
  if (total < kFrameHeadSize || total > limit) return -1;
  if (main_size() > total) return -2;
  return 0;
}

void WriteFrameMain(char* out, const FrameHead& head, const char* service, const char* method,
                    const google::protobuf::MessageLite& header,
                    const google::protobuf::MessageLite& body) {
  head.Encode(out);
  char* p = out + kFrameHeadSize;
  memcpy(p, service, head.service_len);
  p += head.service_len;
  memcpy(p, method, head.method_len);
  p += head.method_len;
  p = reinterpret_cast<char*>(
      header.SerializeWithCachedSizesToArray(reinterpret_cast<uint8_t*>(p)));
  p = reinterpret_cast<char*>(body.SerializeWithCachedSizesToArray(reinterpret_cast<uint8_t*>(p)));
  char* end = out + head.main_size();
  memset(p, 0, static_cast<size_t>(end - p));
}

int SendTcpFrame(Connection* conn, char* buf, uint64_t main_size, uint64_t buf_size,
                 const std::vector<AttachmentEntry>& attachments) {
  uint64_t total = main_size;
  for (const AttachmentEntry& a : attachments) total += a.len;
  if (conn->ReadableLengthOutBuf() + total > conn->max_send_size()) {
    LOG_ERROR << "output backlog over limit, conn_id: " << conn->id()
              << ", backlog: " << conn->ReadableLengthOutBuf() << ", frame: " << total
              << ", limit: " << conn->max_send_size();
    return kSendBacklogFull;
  }
  if (total <= buf_size) {
    char* p = buf + main_size;
    for (const AttachmentEntry& a : attachments) {
      memcpy(p, a.data, a.len);
      p += a.len;
    }
    return conn->SendData(buf, total);
  }
  int ret = conn->SendData(buf, main_size);
  for (const AttachmentEntry& a : attachments) {
    if (ret != 0) break;
    ret = conn->SendData(a.data, a.len);
  }
  return ret;
}

bool MatchesFrameMagic(const char* data, size_t len) {
  return memcmp(data, kFrameMagic, std::min(len, sizeof(kFrameMagic))) == 0;
}

uint32_t FrameTotalFromPrefix(const char* first8) { return GetBe32(first8 + 4); }

namespace {

// One step of the reader: takes at most one frame out of conn.
enum class Step { kFrame, kWait, kNeedMore, kNotFrame, kClosed };

Step TakeOneFrame(const std::shared_ptr<Connection>& conn, bool close_on_bad_magic,
                  ReceivedFrame* frame) {
  const size_t n = conn->ReadableLength();
  if (n == 0) return Step::kWait;
  char head_bytes[kFrameHeadSize];
  const size_t peek = std::min(n, size_t{8});
  if (conn->ReceiveData(head_bytes, peek) != 0) return Step::kWait;

  const size_t magic_len = std::min(peek, sizeof(kFrameMagic));
  if (!MatchesFrameMagic(head_bytes, magic_len)) {
    LOG_ERROR << "protocol_name error, expect: TARN, actual: "
              << PrintableBytes(head_bytes, magic_len)
              << ", peer addr: " << conn->peer_addr().ToString();
    if (!close_on_bad_magic) return Step::kNotFrame;
    conn->ForceClose();
    return Step::kClosed;
  }
  if (n <= sizeof(kFrameMagic)) return Step::kWait;
  if (n < 8) return Step::kNeedMore;

  // The length is known from here on: refuse it before buffering for it.
  const uint64_t limit = conn->max_send_size();
  const uint32_t total = FrameTotalFromPrefix(head_bytes);
  if (total < kFrameHeadSize) {
    LogTotalInvalid(*conn, total, kFrameHeadSize);
    conn->ForceClose();
    return Step::kClosed;
  }
  if (total > limit) {
    LOG_ERROR << "frame too large, total size: " << total << ", limit: " << limit
              << ", peer addr: " << conn->peer_addr().ToString();
    conn->ForceClose();
    return Step::kClosed;
  }
  if (n == 8) return Step::kNeedMore;
  if (total > n) return Step::kWait;

  FrameHead head;
  conn->ReceiveData(head_bytes, kFrameHeadSize);
  head.Decode(head_bytes);
  if (head.Check(limit) != 0) {
    LogTotalInvalid(*conn, head.total, head.main_size());
    conn->ForceClose();
    return Step::kClosed;
  }

  Worker* worker = conn->worker();
  const size_t rest = static_cast<size_t>(head.main_size() - kFrameHeadSize);
  const uint32_t attachment_len = static_cast<uint32_t>(head.total - head.main_size());
  char* main = static_cast<char*>(worker->Malloc(rest));
  char* attachment = nullptr;
  if (main != nullptr && attachment_len > 0) {
    attachment = static_cast<char*>(worker->Malloc(attachment_len));
    if (attachment == nullptr) {
      worker->Free(main);
      main = nullptr;
    }
  }
  if (main == nullptr) {
    LOG_ERROR << "memory malloc failed";
    conn->ForceClose();
    return Step::kClosed;
  }
  conn->DrainData(kFrameHeadSize);
  conn->RemoveData(main, rest);
  if (attachment != nullptr) conn->RemoveData(attachment, attachment_len);

  frame->main = main;
  frame->service_len = head.service_len;
  frame->method_len = head.method_len;
  frame->header_len = head.header_len;
  frame->body_len = head.body_len;
  frame->attachment = attachment;
  frame->attachment_len = attachment_len;
  return Step::kFrame;
}

}  // namespace

RdmaFrameResult ReadRdmaFrame(const std::shared_ptr<Connection>& conn, ReceivedFrame* frame) {
  void* data = nullptr;
  uint32_t len = 0;
  if (conn->ReceiveDataZeroCopy(&data, &len) < 0 || data == nullptr) return RdmaFrameResult::kNone;
  const char* msg = static_cast<const char*>(data);
  Worker* worker = conn->worker();
  auto refuse = [&](RdmaFrameResult result) {
    worker->Free(data);
    conn->ForceClose();
    return result;
  };

  const size_t magic_len = std::min<size_t>(len, sizeof(kFrameMagic));
  if (len == 0 || !MatchesFrameMagic(msg, magic_len)) {
    LOG_ERROR << "protocol_name error, expect: TARN, actual: " << PrintableBytes(msg, magic_len)
              << ", peer addr: " << conn->peer_addr().ToString();
    return refuse(RdmaFrameResult::kNotFrame);
  }
  if (len < kFrameHeadSize) {
    LOG_ERROR << "msg too short for a frame head, len: " << len
              << ", peer addr: " << conn->peer_addr().ToString();
    return refuse(RdmaFrameResult::kLengthError);
  }
  FrameHead head;
  head.Decode(msg);
  if (head.total != len) {
    LOG_ERROR << "msg len error, expect len: " << head.total << ", actual len: " << len
              << ", peer addr: " << conn->peer_addr().ToString();
    return refuse(RdmaFrameResult::kLengthError);
  }
  // total == len >= 20, so only the main part can still reach past the end.
  const uint64_t main = head.main_size();
  if (main > head.total) {
    LogTotalInvalid(*conn, head.total, main);
    return refuse(RdmaFrameResult::kInvalid);
  }
  frame->message = data;
  frame->main = static_cast<char*>(data) + kFrameHeadSize;
  frame->service_len = head.service_len;
  frame->method_len = head.method_len;
  frame->header_len = head.header_len;
  frame->body_len = head.body_len;
  if (main < head.total) {
    frame->attachment = static_cast<char*>(data) + main;
    frame->attachment_len = static_cast<uint32_t>(head.total - main);
  } else {
    frame->attachment = nullptr;
    frame->attachment_len = 0;
  }
  return RdmaFrameResult::kFrame;
}

int SendRdmaFrame(Connection* conn, char* buf, uint64_t main_size,
                  const std::vector<AttachmentEntry>& attachments, SendCompleteCallback done) {
  const size_t count = attachments.size() + 1;
  if (count > kMaxRdmaFrameSges) {
    LOG_ERROR << "not support such many sges, sge_len: " << count
              << ", max: " << kMaxRdmaFrameSges;
    if (done) done(-3);
    return -3;
  }
  SgEntry sges[kMaxRdmaFrameSges];
  sges[0].addr = reinterpret_cast<uint64_t>(buf);
  sges[0].len = main_size;
  for (size_t i = 0; i < attachments.size(); ++i) {
    const AttachmentEntry& a = attachments[i];
    SgEntry& e = sges[i + 1];
    e.addr = reinterpret_cast<uint64_t>(a.data);
    e.len = a.len;
    e.has_keys = a.has_keys;
    e.lkey = a.lkey;
    e.rkey = a.rkey;
  }
  return conn->SendSgeZeroCopy(sges, static_cast<uint32_t>(count), std::move(done));
}

FrameReadResult ReadTcpFrames(const std::shared_ptr<Connection>& conn, FrameSink* sink,
                              bool close_on_bad_magic) {
  for (;;) {
    // A connection whose peer does not take its output leaves the rest for
    // when it does (the connection announces it again then).
    if (conn->ReadingHeld()) return FrameReadResult::kDone;
    ReceivedFrame frame;
    switch (TakeOneFrame(conn, close_on_bad_magic, &frame)) {
      case Step::kFrame:
        if (!sink->OnFrame(conn, frame) || conn->IsClosed()) return FrameReadResult::kClosed;
        break;
      case Step::kWait:
        return FrameReadResult::kDone;
      case Step::kNeedMore:
        return FrameReadResult::kNeedMore;
      case Step::kNotFrame:
        return FrameReadResult::kNotFrame;
      case Step::kClosed:
        return FrameReadResult::kClosed;
    }
  }
}

}  // namespace tarn
