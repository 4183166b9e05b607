// Fuzzes the server side of HTTP/2: the input is what a client wrote on one
// connection after a valid connection preface.
//
// The connection is a real TcpConnection on the fuzzing thread's event
// worker over a local socket pair; the preface and the input go into the
// other end, followed by the end of the stream, and the loop is turned
// until the connection has closed. Its reads go to H2Proto::ParseTcp as the
// RPC server routes them (a refusal or a fatal result closes the
// connection); complete requests reach an RpcServer's controller pool and a
// block-server service that answers at once (with an answer as large as the
// request asks), on a later loop pass, or after holding its controller.
// After every input the server's controllers must all be back in their
// pool, and what the server wrote back must be sound HTTP/2: frame heads
// that fit their types, and header blocks that a client's HPACK decoder
// reads in order without error.

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "brpc/policy/gzip_compress.h"
#include "server_fuzz_support.h"
#include "tarn/policy/h2_proto.h"

namespace {

constexpr uint32_t kPoolSize = 16;
constexpr uint64_t kMaxAnswer = 256 * 1024;

// Write answers at once with an error text of `size` bytes (at most
// kMaxAnswer), so that answers can outgrow the client's windows; LeaseRoute
// on the next loop pass; LoadPlane after holding the controller past the
// answer. Every other method fails at once (the generated default).
class FuzzBlockServer : public fuzzsupport::DeferringBlockServer {
 public:
  void Write(google::protobuf::RpcController*, const vovorav::BlockServerWriteRequest* req,
             vovorav::BlockServerWriteResponse* resp, google::protobuf::Closure* done) override {
    resp->mutable_rc()->set_retcode(0);
    resp->mutable_rc()->set_errmsg(std::string(std::min<uint64_t>(req->size(), kMaxAnswer), 'e'));
    resp->set_offset_in_extent(req->lba());
    done->Run();
  }
};

using ServerHarness = fuzzsupport::ServerHarness<tarn::H2Proto, FuzzBlockServer>;

ServerHarness* Harness() {
  static ServerHarness* h = fuzzsupport::NewServerHarness<tarn::H2Proto, FuzzBlockServer>(
      "fuzzh2-", "fuzz_h2_server", kPoolSize);
  return h;
}

// ---------------------------------------------------------------------------
// Seeds

std::string U32(uint32_t v) {
  return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 8), static_cast<char>(v)};
}

std::string Frame(uint8_t type, uint8_t flags, uint32_t stream, const std::string& payload) {
  char head[tarn::kH2FrameHeadSize];
  tarn::SerializeH2FrameHead(head, static_cast<uint32_t>(payload.size()), type, flags, stream);
  return std::string(head, sizeof(head)) + payload;
}

std::string Setting(uint16_t id, uint32_t value) {
  return std::string{static_cast<char>(id >> 8), static_cast<char>(id)} + U32(value);
}

// Header blocks of one seed, from one client-side encoder.
class SeedEncoder {
 public:
  SeedEncoder() { nghttp2_hd_deflate_new(&deflater_, 4096); }
  ~SeedEncoder() { nghttp2_hd_deflate_del(deflater_); }

  std::string Block(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::vector<nghttp2_nv> nva;
    for (const auto& f : fields) {
      nva.push_back({reinterpret_cast<uint8_t*>(const_cast<char*>(f.first.data())),
                     reinterpret_cast<uint8_t*>(const_cast<char*>(f.second.data())),
                     f.first.size(), f.second.size(), NGHTTP2_NV_FLAG_NONE});
    }
    std::string out(nghttp2_hd_deflate_bound(deflater_, nva.data(), nva.size()), '\0');
    const ssize_t n = nghttp2_hd_deflate_hd(deflater_, reinterpret_cast<uint8_t*>(&out[0]),
                                            out.size(), nva.data(), nva.size());
    out.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return out;
  }

  std::string Request(const std::string& method, const std::string& content_type,
                      bool gzip = false) {
    std::vector<std::pair<std::string, std::string>> fields = {
        {":method", "POST"},
        {":scheme", "http"},
        {":path", "/vovorav.BlockServerService/" + method},
        {":authority", "127.0.0.1"},
        {"content-type", content_type},
        {"te", "trailers"}};
    if (gzip) fields.push_back({"grpc-encoding", "gzip"});
    return Block(fields);
  }

 private:
  nghttp2_hd_deflater* deflater_ = nullptr;
};

std::string GrpcMessage(const std::string& message, bool compressed = false) {
  return std::string(1, compressed ? 1 : 0) + U32(static_cast<uint32_t>(message.size())) +
         message;
}

void MakeSeeds(const std::function<void(const std::string&, const std::string&)>& put) {
  using tarn::H2_FLAGS_ACK;
  using tarn::H2_FLAGS_END_HEADERS;
  using tarn::H2_FLAGS_END_STREAM;
  const std::string settings = Frame(tarn::H2_FRAME_SETTINGS, 0, 0, "");
  const std::string ack = Frame(tarn::H2_FRAME_SETTINGS, H2_FLAGS_ACK, 0, "");
  vovorav::BlockServerWriteRequest write;
  write.set_lba(4096);
  write.set_size(64);
  const std::string small = write.SerializeAsString();
  write.set_size(100000);
  const std::string large = write.SerializeAsString();
  {
    SeedEncoder enc;
    put("write", settings + ack +
                     Frame(tarn::H2_FRAME_HEADERS, H2_FLAGS_END_HEADERS, 1,
                           enc.Request("Write", "application/grpc")) +
                     Frame(tarn::H2_FRAME_DATA, H2_FLAGS_END_STREAM, 1, GrpcMessage(small)));
  }
  {
    // An answer beyond the default windows, then the credit for it.
    SeedEncoder enc;
    put("large_answer_and_credit",
        settings + ack +
            Frame(tarn::H2_FRAME_HEADERS, H2_FLAGS_END_HEADERS, 1,
                  enc.Request("Write", "application/grpc")) +
            Frame(tarn::H2_FRAME_DATA, H2_FLAGS_END_STREAM, 1, GrpcMessage(large)) +
            Frame(tarn::H2_FRAME_WINDOW_UPDATE, 0, 1, U32(100000)) +
            Frame(tarn::H2_FRAME_WINDOW_UPDATE, 0, 0, U32(100000)) +
            Frame(tarn::H2_FRAME_SETTINGS, 0, 0, Setting(4, 200000)));
  }
  {
    // Calls answered later, held, failed, and one reset while it runs.
    SeedEncoder enc;
    std::string bytes = Frame(tarn::H2_FRAME_SETTINGS, 0, 0, Setting(1, 0) + Setting(5, 20000));
    const char* methods[] = {"LeaseRoute", "LoadPlane", "Compact", "LeaseRoute"};
    uint32_t id = 1;
    for (const char* m : methods) {
      bytes += Frame(tarn::H2_FRAME_HEADERS, H2_FLAGS_END_HEADERS, id,
                     enc.Request(m, "application/grpc")) +
               Frame(tarn::H2_FRAME_DATA, H2_FLAGS_END_STREAM, id, GrpcMessage(""));
      id += 2;
    }
    bytes += Frame(tarn::H2_FRAME_RST_STREAM, 0, 7, U32(8)) +
             Frame(tarn::H2_FRAME_PING, 0, 0, "pingpong");
    put("later_held_failed_reset", bytes);
  }
  {
    // A header block in pieces, padding, priority, JSON and gzip bodies.
    SeedEncoder enc;
    const std::string block = enc.Request("Write", "application/json");
    const std::string headers =
        Frame(tarn::H2_FRAME_HEADERS, tarn::H2_FLAGS_PADDED | tarn::H2_FLAGS_PRIORITY, 1,
              std::string(1, 3) + U32(0) + std::string(1, 16) + block.substr(0, 4) +
                  std::string(3, 0)) +
        Frame(tarn::H2_FRAME_CONTINUATION, H2_FLAGS_END_HEADERS, 1, block.substr(4));
    std::string gz;
    brpc::policy::GzipCompress(small.data(), small.size(), &gz);
    put("continuation_json_gzip",
        settings + headers +
            Frame(tarn::H2_FRAME_DATA, tarn::H2_FLAGS_PADDED | H2_FLAGS_END_STREAM, 1,
                  std::string(1, 2) + R"({"lba":"8","size":"3"})" + std::string(2, 0)) +
            Frame(tarn::H2_FRAME_HEADERS, H2_FLAGS_END_HEADERS, 3,
                  enc.Request("Write", "application/grpc", true)) +
            Frame(tarn::H2_FRAME_DATA, H2_FLAGS_END_STREAM, 3, GrpcMessage(gz, true)));
  }
  put("errors", settings + Frame(tarn::H2_FRAME_DATA, 0, 9, "orphan") +
                    Frame(tarn::H2_FRAME_PRIORITY, 0, 3, U32(1) + "x") + Frame(12, 0, 0, "ext") +
                    Frame(tarn::H2_FRAME_HEADERS, H2_FLAGS_END_HEADERS, 2, "\x82"));
}

// ---------------------------------------------------------------------------
// What the server wrote back

void Fail(const char* what, size_t off) {
  fprintf(stderr, "server wrote unsound HTTP/2 at offset %zu: %s\n", off, what);
  abort();
}

// Every complete frame must fit its type, and the header blocks must decode
// in order with a client's decoder (table size 4096, the protocol default).
void CheckReplies(const std::string& bytes) {
  nghttp2_hd_inflater* inflater = nullptr;
  if (nghttp2_hd_inflate_new(&inflater) != 0) abort();
  std::string block;
  bool in_block = false;
  size_t off = 0;
  while (bytes.size() - off >= tarn::kH2FrameHeadSize) {
    const unsigned char* h = reinterpret_cast<const unsigned char*>(bytes.data() + off);
    const uint32_t len = (uint32_t{h[0]} << 16) | (uint32_t{h[1]} << 8) | h[2];
    const uint8_t type = h[3];
    const uint32_t stream = ((uint32_t{h[5]} << 24) | (uint32_t{h[6]} << 16) |
                             (uint32_t{h[7]} << 8) | h[8]) & 0x7fffffffu;
    if (bytes.size() - off - tarn::kH2FrameHeadSize < len) break;  // cut short by the close
    const char* payload = bytes.data() + off + tarn::kH2FrameHeadSize;
    if (type > tarn::H2_FRAME_TYPE_MAX || type == tarn::H2_FRAME_PUSH_PROMISE ||
        type == tarn::H2_FRAME_PRIORITY) {
      Fail("frame type", off);
    }
    // The client opens odd streams only; a reset may name any stream the
    // client wrote to.
    if (stream % 2 == 0 && stream != 0 && type != tarn::H2_FRAME_RST_STREAM) {
      Fail("frame on an even stream", off);
    }
    if (in_block != (type == tarn::H2_FRAME_CONTINUATION)) Fail("header block interleaved", off);
    switch (type) {
      case tarn::H2_FRAME_SETTINGS:
        if (len % 6 != 0 || stream != 0) Fail("SETTINGS", off);
        break;
      case tarn::H2_FRAME_WINDOW_UPDATE:
      case tarn::H2_FRAME_RST_STREAM:
        if (len != 4) Fail("4-byte frame", off);
        break;
      case tarn::H2_FRAME_PING:
        if (len != 8 || stream != 0) Fail("PING", off);
        break;
      case tarn::H2_FRAME_GOAWAY:
        if (len != 8 || stream != 0) Fail("GOAWAY", off);
        break;
      case tarn::H2_FRAME_HEADERS:
      case tarn::H2_FRAME_CONTINUATION:
        if (stream == 0) Fail("header block on stream 0", off);
        if (type == tarn::H2_FRAME_HEADERS) block.clear();
        block.append(payload, len);
        in_block = (h[4] & tarn::H2_FLAGS_END_HEADERS) == 0;
        if (!in_block) {
          const uint8_t* in = reinterpret_cast<const uint8_t*>(block.data());
          size_t left = block.size();
          for (;;) {
            nghttp2_nv nv;
            int flags = 0;
            const ssize_t n = nghttp2_hd_inflate_hd2(inflater, &nv, &flags, in, left, 1);
            if (n < 0) Fail("header block does not decode", off);
            in += n;
            left -= static_cast<size_t>(n);
            if (flags & NGHTTP2_HD_INFLATE_FINAL) {
              nghttp2_hd_inflate_end_headers(inflater);
              break;
            }
            if ((flags & NGHTTP2_HD_INFLATE_EMIT) == 0 && left == 0) {
              Fail("header block ends early", off);
            }
          }
        }
        break;
      default:
        if (stream == 0) Fail("DATA on stream 0", off);
        break;
    }
    off += tarn::kH2FrameHeadSize + len;
  }
  nghttp2_hd_inflate_del(inflater);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::WriteSeedsIfAsked(MakeSeeds);
  Harness();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(tarn::kH2ConnectionPreface);
  input.append(reinterpret_cast<const char*>(data), size);
  fuzzsupport::ServeInput(Harness(), "fuzz-h2-connection",
                          reinterpret_cast<const uint8_t*>(input.data()), input.size(),
                          CheckReplies);
  return 0;
}
