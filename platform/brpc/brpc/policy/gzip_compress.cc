#include "brpc/policy/gzip_compress.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

namespace brpc {
namespace policy {

namespace {

// windowBits for a gzip header and trailer around the deflate stream.
constexpr int kGzipWindowBits = 15 + 16;
constexpr size_t kChunk = 64 * 1024;

}  // namespace

bool GzipDecompress(const void* data, size_t len, size_t max_size, std::string* out) {
  out->clear();
  if (len > UINT_MAX) return false;
  z_stream zs{};
  if (inflateInit2(&zs, kGzipWindowBits) != Z_OK) return false;
  zs.next_in = static_cast<Bytef*>(const_cast<void*>(data));
  zs.avail_in = static_cast<uInt>(len);
  int ret = Z_OK;
  while (ret != Z_STREAM_END) {
    if (out->size() >= max_size) {
      // Full: only the end of the stream may follow.
      char probe;
      zs.next_out = reinterpret_cast<Bytef*>(&probe);
      zs.avail_out = 1;
      ret = inflate(&zs, Z_NO_FLUSH);
      if (ret != Z_STREAM_END || zs.avail_out == 0) {
        ret = Z_DATA_ERROR;
        break;
      }
      break;
    }
    const size_t have = out->size();
    const size_t room = std::min(kChunk, max_size - have);
    // Grow by doubling, as resize would, but never past what may be held.
    if (have + room > out->capacity()) {
      out->reserve(std::min(std::max(have + room, 2 * out->capacity()), max_size));
    }
    out->resize(have + room);
    zs.next_out = reinterpret_cast<Bytef*>(&(*out)[have]);
    zs.avail_out = static_cast<uInt>(room);
    ret = inflate(&zs, Z_NO_FLUSH);
    out->resize(have + room - zs.avail_out);
    if (ret == Z_STREAM_END) break;
    if (ret != Z_OK) break;  // damaged, or Z_BUF_ERROR: the input ended early
  }
  const bool whole = ret == Z_STREAM_END && zs.avail_in == 0;
  inflateEnd(&zs);
  if (!whole) out->clear();
  return whole;
}

bool GzipCompress(const void* data, size_t len, std::string* out) {
  out->clear();
  if (len > UINT_MAX) return false;
  z_stream zs{};
  if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, 8,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    return false;
  }
  out->resize(deflateBound(&zs, static_cast<uLong>(len)));
  zs.next_in = static_cast<Bytef*>(const_cast<void*>(data));
  zs.avail_in = static_cast<uInt>(len);
  zs.next_out = reinterpret_cast<Bytef*>(&(*out)[0]);
  zs.avail_out = static_cast<uInt>(out->size());
  const int ret = deflate(&zs, Z_FINISH);
  out->resize(out->size() - zs.avail_out);
  deflateEnd(&zs);
  if (ret != Z_STREAM_END) out->clear();
  return ret == Z_STREAM_END;
}

}  // namespace policy
}  // namespace brpc
