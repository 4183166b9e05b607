// gzip decompression of message bodies (zlib).
#ifndef PLATFORM_BRPC_POLICY_GZIP_COMPRESS_H
#define PLATFORM_BRPC_POLICY_GZIP_COMPRESS_H

#include <cstddef>
#include <string>

namespace brpc {
namespace policy {

// Inflates the gzip stream in data (len bytes) into *out, replacing what it
// held. False when the stream is damaged or incomplete, or when it would
// expand beyond max_size bytes: a small stream can expand enormously, so
// the caller always names the most it is willing to hold.
bool GzipDecompress(const void* data, size_t len, size_t max_size, std::string* out);

// Deflates data into a gzip stream in *out, replacing what it held.
bool GzipCompress(const void* data, size_t len, std::string* out);

}  // namespace policy
}  // namespace brpc

#endif  // PLATFORM_BRPC_POLICY_GZIP_COMPRESS_H
