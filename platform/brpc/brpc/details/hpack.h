// HPACK header compression for one HTTP/2 connection: a decoder for the
// header blocks the peer sends and an encoder for the blocks sent to it.
//
// Both sides keep a dynamic table, so the blocks of one direction must be
// decoded (or encoded) exactly once each and in the order they travel on the
// connection; a block that cannot be decoded leaves the decoder out of step
// with the peer and the connection unusable.
//
//   brpc::HPacker packer;
//   if (packer.Init(4096) != 0) ...
//   packer.Decode(fragment, len, /*last=*/end_headers, &sink);
//   const brpc::HPackHeader h[] = {{":status", "200"}};
//   packer.Encode(&out, h, 1, brpc::HPackOptions());
//
// The compression itself is libnghttp2's.
#ifndef PLATFORM_BRPC_DETAILS_HPACK_H
#define PLATFORM_BRPC_DETAILS_HPACK_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct nghttp2_hd_inflater;
struct nghttp2_hd_deflater;

namespace brpc {

// One header field to encode.
struct HPackHeader {
  std::string_view name;
  std::string_view value;
};

// How to encode the fields of one Encode call. All fields zero: every field
// may enter the dynamic table.
struct HPackOptions {
  // The fields must never be indexed (values that should not be kept, such
  // as credentials).
  bool never_index = false;
};

// Receives the fields of a decoded block, in order.
class HPackSink {
 public:
  virtual void OnHeader(std::string_view name, std::string_view value) = 0;

 protected:
  ~HPackSink() = default;
};

class HPacker {
 public:
  HPacker() = default;
  ~HPacker();
  HPacker(const HPacker&) = delete;
  HPacker& operator=(const HPacker&) = delete;

  // Both tables at most max_table_size bytes (the size this end announces,
  // and the largest the encoder will use). 0, or -1 when out of memory.
  int Init(size_t max_table_size);

  // Decodes one piece of a header block; last is true for the piece that
  // ends the block. A field split across pieces is kept until its end
  // arrives. 0, or -1 on a decoding error (the decoder is then unusable).
  int Decode(const void* data, size_t len, bool last, HPackSink* sink);

  // Appends the block encoding count fields to out. 0, or -1 on failure
  // (the encoder is then unusable).
  int Encode(std::string* out, const HPackHeader* headers, size_t count,
             const HPackOptions& options);

  // The peer's SETTINGS_HEADER_TABLE_SIZE: the encoder keeps its table
  // within the smaller of it and Init's size, and says so at the start of
  // the next block. 0 or -1.
  int SetEncoderTableSize(size_t peer_table_size);

 private:
  nghttp2_hd_inflater* inflater_ = nullptr;
  nghttp2_hd_deflater* deflater_ = nullptr;
  bool broken_ = false;
};

}  // namespace brpc

#endif  // PLATFORM_BRPC_DETAILS_HPACK_H
