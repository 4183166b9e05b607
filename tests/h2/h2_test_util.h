// Shared pieces of the HTTP/2 tests: an RpcServer with an echo service (and
// the block-server test service, for the frame protocol) on a loopback
// port, and a raw HTTP/2 client that writes frames byte for byte and reads
// the server's frames back. Header blocks are built and read with
// libnghttp2's HPACK coder, one per direction as a real client keeps them.
#ifndef TESTS_H2_H2_TEST_UTIL_H_
#define TESTS_H2_H2_TEST_UTIL_H_

#include <nghttp2/nghttp2.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "interop.pb.h"
#include "support/sockets.h"
#include "support/test_service.h"
#include "support/wait.h"
#include "support/worker.h"
#include "policy/h2_context.h"
#include "tarn/connection.h"
#include "tarn/loop.h"
#include "tarn/policy/h2_proto.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/rpc/rpc_server.h"
#include "tarn/server.h"
#include "tarn/worker.h"

namespace h2test {

using Fields = std::vector<std::pair<std::string, std::string>>;

constexpr const char kEchoPath[] = "/interop.EchoService/Echo";

inline std::string U32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (24 - 8 * i));
  return s;
}

// Text that HPACK's Huffman code cannot shrink much.
inline std::string Noise(size_t n, uint32_t seed) {
  std::string s(n, 'a');
  for (char& c : s) {
    seed = seed * 1103515245 + 12345;
    c = static_cast<char>('!' + (seed >> 16) % 90);
  }
  return s;
}

inline uint32_t ReadU32(const std::string& s, size_t off = 0) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(s[off + i]);
  return v;
}

inline std::string FrameBytes(uint8_t type, uint8_t flags, uint32_t stream,
                              const std::string& payload) {
  char head[tarn::kH2FrameHeadSize];
  tarn::SerializeH2FrameHead(head, static_cast<uint32_t>(payload.size()), type, flags, stream);
  return std::string(head, sizeof(head)) + payload;
}

inline std::string Settings(const std::vector<std::pair<uint16_t, uint32_t>>& entries) {
  std::string payload;
  for (const auto& e : entries) {
    payload.push_back(static_cast<char>(e.first >> 8));
    payload.push_back(static_cast<char>(e.first));
    payload += U32(e.second);
  }
  return FrameBytes(tarn::H2_FRAME_SETTINGS, 0, 0, payload);
}

// message behind the 5-byte gRPC prefix.
inline std::string GrpcFrame(const std::string& message, bool compressed = false) {
  return std::string(1, compressed ? 1 : 0) + U32(static_cast<uint32_t>(message.size())) +
         message;
}

inline std::string EchoMessage(const std::string& payload, const std::string& fail_text = "",
                               uint32_t gather = 0, const std::string& text = "") {
  interop::EchoRequest req;
  req.set_payload(payload);
  req.set_fail_text(fail_text);
  req.set_gather(gather);
  req.set_text(text);
  return req.SerializeAsString();
}

// Echoes payload and text; fails with fail_text when set. A call with
// gather > 0 is held until Release(). A call with answer_bytes = N is
// answered with N payload bytes. Text "limit:N" first sets the
// connection's largest message to N bytes.
class EchoService : public interop::EchoService {
 public:
  void Echo(google::protobuf::RpcController* base, const interop::EchoRequest* request,
            interop::EchoResponse* response, google::protobuf::Closure* done) override;
  // Answers every held call from the calling thread; returns how many.
  size_t Release();
  size_t held() const;
  size_t calls() const;
  // The server's end of the connection the last call came on.
  std::shared_ptr<tarn::Connection> last_connection() const;

 private:
  mutable std::mutex mutex_;
  std::vector<google::protobuf::Closure*> held_;
  size_t calls_ = 0;
  std::weak_ptr<tarn::Connection> last_conn_;
};

// What the server's end of conn holds for its client, read on its loop;
// false once the connection is closed.
bool ReadFootprint(const std::shared_ptr<tarn::Connection>& conn, tarn::H2Footprint* out);

struct Frame {
  uint8_t type = 0;
  uint8_t flags = 0;
  uint32_t stream = 0;
  std::string payload;
};

// One response as the client saw it.
struct Response {
  Fields headers;
  Fields trailers;  // empty for a trailers-only answer (see headers)
  std::string body;
  std::vector<size_t> data_sizes;
  size_t header_frames = 0;  // HEADERS and CONTINUATION frames, trailers included
  bool ended = false;
  bool reset = false;        // ended by RST_STREAM
  uint32_t reset_code = 0;

  // The value of name in the trailers, else in the headers; empty if none.
  std::string Get(const std::string& name) const;
  int grpc_status() const;
};

// A raw HTTP/2 client over a blocking loopback socket.
class Client {
 public:
  explicit Client(uint16_t port, int rcvbuf = 0);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  int fd() const { return fd_; }
  bool Send(const std::string& bytes) { return testsupport::SendAll(fd_, bytes); }

  // The next frame; false on close, error or timeout.
  bool Read(Frame* f, double timeout_s = 30.0);
  // Reads until a frame of that type (and stream, unless any_stream) comes;
  // the frames before it are dropped.
  bool ReadType(uint8_t type, Frame* f, uint32_t stream = 0, bool any_stream = false);
  // True when the server ends the connection within the time; frames that
  // arrive first are kept in *seen (when not null).
  bool Closes(std::vector<Frame>* seen = nullptr, double timeout_s = 30.0);

  // Preface and SETTINGS with entries; reads the server's SETTINGS and
  // WINDOW_UPDATE, and with ack acknowledges them and reads the ACK of ours.
  void Handshake(const std::vector<std::pair<uint16_t, uint32_t>>& entries = {},
                 bool ack = true);

  // The HPACK block of fields (client to server coder).
  std::string Block(const Fields& fields);
  // HEADERS (with END_HEADERS) of a POST to path.
  std::string Headers(uint32_t stream, const std::string& path,
                      const std::string& content_type = "application/grpc",
                      const Fields& extra = {}, bool end_stream = false);
  // HEADERS, then body as DATA frames of at most 16384 bytes, the last
  // with END_STREAM (one empty DATA frame for an empty body).
  std::string Request(uint32_t stream, const std::string& path, const std::string& body,
                      const std::string& content_type = "application/grpc",
                      const Fields& extra = {});
  // A gRPC echo call on stream.
  std::string EchoCall(uint32_t stream, const std::string& message) {
    return Request(stream, kEchoPath, GrpcFrame(message));
  }

  // Reads until the responses of every listed stream have ended (frames of
  // other streams are dropped); false on close or timeout before that.
  bool ReadResponses(const std::vector<uint32_t>& streams, std::map<uint32_t, Response>* out,
                     double timeout_s = 30.0);
  bool ReadResponse(uint32_t stream, Response* r, double timeout_s = 30.0);
  // A prompt reader: ReadResponses gives every DATA frame's bytes back at
  // once (to its stream, unless the frame ends it, and to the connection).
  void ReturnWindows(bool on) { return_windows_ = on; }
  // Decodes a block with the server to client coder; false on error.
  bool Decode(const std::string& block, Fields* fields);
  nghttp2_hd_inflater* inflater() { return inflater_; }

 private:
  int fd_ = -1;
  nghttp2_hd_deflater* deflater_ = nullptr;
  nghttp2_hd_inflater* inflater_ = nullptr;
  std::deque<Frame> kept_;
  bool return_windows_ = false;
};

// An RpcServer with the echo service and the block-server test service on
// 127.0.0.1, one worker.
class H2Test : public ::testing::Test {
 protected:
  void SetUp() override { StartServer(64); }
  void TearDown() override;

  void StartServer(uint32_t pool);
  // Every controller is back in the pool (within the generous wait).
  bool PoolFull();

  EchoService echo_;
  testsupport::TestBlockServer block_;
  std::unique_ptr<testsupport::WorkerOnThread> acceptor_;
  std::unique_ptr<tarn::RpcServer> server_;
  uint16_t port_ = 0;
  uint32_t pool_ = 0;
};

// ---------------------------------------------------------------------------
// Definitions (header-only: every file of tests/h2 is a test program).

inline void EchoService::Echo(google::protobuf::RpcController* base,
                              const interop::EchoRequest* request,
                              interop::EchoResponse* response, google::protobuf::Closure* done) {
  auto* ctrl = static_cast<tarn::RpcController*>(base);
  if (request->text().rfind("limit:", 0) == 0) {
    ctrl->conn()->set_max_send_size(
        static_cast<uint32_t>(std::stoul(request->text().substr(6))));
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_++;
    last_conn_ = ctrl->conn();
    if (request->gather() > 0) {
      if (request->answer_bytes() > 0) {
        response->set_payload(std::string(request->answer_bytes(), 'a'));
      } else {
        response->set_payload(request->payload());
      }
      held_.push_back(done);
      return;
    }
  }
  if (!request->fail_text().empty()) {
    ctrl->SetFailed(request->fail_text());
  } else if (request->answer_bytes() > 0) {
    response->set_payload(std::string(request->answer_bytes(), 'a'));
  } else {
    response->set_payload(request->payload());
    response->set_text(request->text());
    response->set_payload_size(request->payload().size());
  }
  done->Run();
}

inline size_t EchoService::Release() {
  std::vector<google::protobuf::Closure*> ready;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ready.swap(held_);
  }
  for (google::protobuf::Closure* c : ready) c->Run();
  return ready.size();
}

inline size_t EchoService::held() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_.size();
}

inline size_t EchoService::calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

inline std::shared_ptr<tarn::Connection> EchoService::last_connection() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_conn_.lock();
}

inline bool ReadFootprint(const std::shared_ptr<tarn::Connection>& conn, tarn::H2Footprint* out) {
  bool ok = false;
  conn->worker()->loop()->RunInLoop(
      [&] {
        if (conn->IsClosed() || conn->h2_context() == nullptr) return;
        *out = conn->h2_context()->Footprint();
        ok = true;
      },
      false);
  return ok;
}

inline std::string Response::Get(const std::string& name) const {
  for (const Fields* list : {&trailers, &headers}) {
    for (const auto& f : *list) {
      if (f.first == name) return f.second;
    }
  }
  return std::string();
}

inline int Response::grpc_status() const {
  const std::string v = Get("grpc-status");
  return v.empty() ? -1 : std::stoi(v);
}

inline Client::Client(uint16_t port, int rcvbuf) {
  fd_ = testsupport::RawConnect(port, rcvbuf);
  nghttp2_hd_deflate_new(&deflater_, 4096);
  nghttp2_hd_inflate_new(&inflater_);
}

inline Client::~Client() {
  if (fd_ >= 0) ::close(fd_);
  nghttp2_hd_deflate_del(deflater_);
  nghttp2_hd_inflate_del(inflater_);
}

inline bool Client::Read(Frame* f, double timeout_s) {
  if (!kept_.empty()) {
    *f = std::move(kept_.front());
    kept_.pop_front();
    return true;
  }
  std::string head;
  if (!testsupport::RecvExact(fd_, tarn::kH2FrameHeadSize, &head, timeout_s)) return false;
  const uint32_t len = (uint32_t{static_cast<unsigned char>(head[0])} << 16) |
                       (uint32_t{static_cast<unsigned char>(head[1])} << 8) |
                       static_cast<unsigned char>(head[2]);
  f->type = static_cast<uint8_t>(head[3]);
  f->flags = static_cast<uint8_t>(head[4]);
  f->stream = ReadU32(head, 5) & 0x7fffffffu;
  f->payload.clear();
  return len == 0 || testsupport::RecvExact(fd_, len, &f->payload, timeout_s);
}

inline bool Client::ReadType(uint8_t type, Frame* f, uint32_t stream, bool any_stream) {
  while (Read(f)) {
    if (f->type == type && (any_stream || f->stream == stream)) return true;
  }
  return false;
}

inline bool Client::Closes(std::vector<Frame>* seen, double timeout_s) {
  Frame f;
  while (Read(&f, timeout_s)) {
    if (seen != nullptr) seen->push_back(f);
  }
  // Read failed at the end of the stream (which reads as such again), or
  // on a timeout with the socket still open (then nothing is readable).
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  char byte;
  return ::recv(fd_, &byte, 1, MSG_DONTWAIT) <= 0;
}

inline void Client::Handshake(const std::vector<std::pair<uint16_t, uint32_t>>& entries,
                              bool ack) {
  ASSERT_GE(fd_, 0);
  ASSERT_TRUE(Send(std::string(tarn::kH2ConnectionPreface) + Settings(entries)));
  Frame f;
  ASSERT_TRUE(Read(&f));
  ASSERT_EQ(f.type, tarn::H2_FRAME_SETTINGS);
  ASSERT_TRUE(Read(&f));
  ASSERT_EQ(f.type, tarn::H2_FRAME_WINDOW_UPDATE);
  if (!ack) return;
  ASSERT_TRUE(Send(FrameBytes(tarn::H2_FRAME_SETTINGS, tarn::H2_FLAGS_ACK, 0, "")));
  ASSERT_TRUE(ReadType(tarn::H2_FRAME_SETTINGS, &f));
  ASSERT_EQ(f.flags, tarn::H2_FLAGS_ACK);
}

inline std::string Client::Block(const Fields& fields) {
  std::vector<nghttp2_nv> nva;
  for (const auto& field : fields) {
    nghttp2_nv nv;
    nv.name = reinterpret_cast<uint8_t*>(const_cast<char*>(field.first.data()));
    nv.namelen = field.first.size();
    nv.value = reinterpret_cast<uint8_t*>(const_cast<char*>(field.second.data()));
    nv.valuelen = field.second.size();
    nv.flags = NGHTTP2_NV_FLAG_NONE;
    nva.push_back(nv);
  }
  std::string out(nghttp2_hd_deflate_bound(deflater_, nva.data(), nva.size()), '\0');
  const ssize_t n = nghttp2_hd_deflate_hd(deflater_, reinterpret_cast<uint8_t*>(&out[0]),
                                          out.size(), nva.data(), nva.size());
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

inline std::string Client::Headers(uint32_t stream, const std::string& path,
                                   const std::string& content_type, const Fields& extra,
                                   bool end_stream) {
  Fields fields = {{":method", "POST"},
                   {":scheme", "http"},
                   {":path", path},
                   {":authority", "127.0.0.1"}};
  if (!content_type.empty()) fields.push_back({"content-type", content_type});
  fields.push_back({"te", "trailers"});
  fields.insert(fields.end(), extra.begin(), extra.end());
  const uint8_t flags = tarn::H2_FLAGS_END_HEADERS | (end_stream ? tarn::H2_FLAGS_END_STREAM : 0);
  return FrameBytes(tarn::H2_FRAME_HEADERS, flags, stream, Block(fields));
}

inline std::string Client::Request(uint32_t stream, const std::string& path,
                                   const std::string& body, const std::string& content_type,
                                   const Fields& extra) {
  std::string out = Headers(stream, path, content_type, extra);
  size_t off = 0;
  do {
    const size_t n = std::min<size_t>(16384, body.size() - off);
    const bool last = off + n == body.size();
    out += FrameBytes(tarn::H2_FRAME_DATA, last ? tarn::H2_FLAGS_END_STREAM : 0, stream,
                      body.substr(off, n));
    off += n;
  } while (off < body.size());
  return out;
}

inline bool Client::Decode(const std::string& block, Fields* fields) {
  const uint8_t* in = reinterpret_cast<const uint8_t*>(block.data());
  size_t len = block.size();
  for (;;) {
    nghttp2_nv nv;
    int flags = 0;
    const ssize_t n = nghttp2_hd_inflate_hd2(inflater_, &nv, &flags, in, len, 1);
    if (n < 0) return false;
    in += n;
    len -= static_cast<size_t>(n);
    if (flags & NGHTTP2_HD_INFLATE_EMIT) {
      fields->emplace_back(std::string(reinterpret_cast<char*>(nv.name), nv.namelen),
                           std::string(reinterpret_cast<char*>(nv.value), nv.valuelen));
    }
    if (flags & NGHTTP2_HD_INFLATE_FINAL) {
      nghttp2_hd_inflate_end_headers(inflater_);
      return true;
    }
    if ((flags & NGHTTP2_HD_INFLATE_EMIT) == 0 && len == 0) return false;
  }
}

inline bool Client::ReadResponses(const std::vector<uint32_t>& streams,
                                 std::map<uint32_t, Response>* out, double timeout_s) {
  out->clear();
  for (uint32_t id : streams) (*out)[id] = Response();
  size_t open = streams.size();
  std::string block;
  uint32_t block_stream = 0;
  bool block_ends_stream = false;
  Frame f;
  while (open > 0 && Read(&f, timeout_s)) {
    auto it = out->find(f.stream);
    Response* r = it == out->end() ? nullptr : &it->second;
    bool ended = false;
    if (f.type == tarn::H2_FRAME_HEADERS || f.type == tarn::H2_FRAME_CONTINUATION) {
      // Every block is decoded in turn: the decoder is shared by all streams.
      if (f.type == tarn::H2_FRAME_HEADERS) {
        block.clear();
        block_stream = f.stream;
        block_ends_stream = (f.flags & tarn::H2_FLAGS_END_STREAM) != 0;
      }
      block += f.payload;
      if (r != nullptr) r->header_frames++;
      if (f.flags & tarn::H2_FLAGS_END_HEADERS) {
        Fields fields;
        if (!Decode(block, &fields)) return false;
        auto owner = out->find(block_stream);
        if (owner != out->end()) {
          Response& o = owner->second;
          (o.headers.empty() ? o.headers : o.trailers) = fields;
          ended = block_ends_stream;
          r = &o;
        }
      }
    } else if (r != nullptr && f.type == tarn::H2_FRAME_DATA) {
      r->body += f.payload;
      r->data_sizes.push_back(f.payload.size());
      ended = (f.flags & tarn::H2_FLAGS_END_STREAM) != 0;
      if (return_windows_ && !f.payload.empty()) {
        const uint32_t n = static_cast<uint32_t>(f.payload.size());
        std::string update = FrameBytes(tarn::H2_FRAME_WINDOW_UPDATE, 0, 0, U32(n));
        if (!ended) update += FrameBytes(tarn::H2_FRAME_WINDOW_UPDATE, 0, f.stream, U32(n));
        if (!Send(update)) return false;
      }
    } else if (r != nullptr && f.type == tarn::H2_FRAME_RST_STREAM) {
      r->reset = true;
      r->reset_code = ReadU32(f.payload);
      ended = true;
    }
    if (ended && r != nullptr && !r->ended) {
      r->ended = true;
      open--;
    }
  }
  return open == 0;
}

inline bool Client::ReadResponse(uint32_t stream, Response* r, double timeout_s) {
  std::map<uint32_t, Response> out;
  const bool ok = ReadResponses({stream}, &out, timeout_s);
  *r = out[stream];
  return ok;
}

inline void H2Test::StartServer(uint32_t pool) {
  acceptor_.reset(new testsupport::WorkerOnThread("h2-acc"));
  ASSERT_NE(acceptor_->worker(), nullptr);
  tarn::WorkerOption opt;
  opt.name_prefix = "h2-srv-";
  opt.obj_pool_size = pool;
  server_.reset(new tarn::RpcServer(tarn::kTcp, acceptor_->worker(),
                                    tarn::SockAddress("127.0.0.1", 0, false), "h2_test", opt,
                                    nullptr));
  ASSERT_EQ(server_->AddService(&echo_), 0);
  ASSERT_EQ(server_->AddService(&block_), 0);
  server_->SetWorkerNum(1);
  ASSERT_EQ(server_->Start(), 0);
  port_ = server_->server()->listen_addr().ToPort();
  pool_ = pool;
  ASSERT_NE(port_, 0);
}

inline void H2Test::TearDown() {
  echo_.Release();
  server_.reset();
  acceptor_.reset();
}

inline bool H2Test::PoolFull() {
  return testsupport::WaitFor(
      [this] { return server_->FreeControllerCount(0) == static_cast<int>(pool_); });
}

}  // namespace h2test

#endif  // TESTS_H2_H2_TEST_UTIL_H_
