// Copies between a host I/O's buffers and one contiguous block.
#ifndef PYXDRIVER_IO_IOVEC_COPY_H_
#define PYXDRIVER_IO_IOVEC_COPY_H_

#include <sys/uio.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "pyxdriver/pyxdriver.h"

namespace pyx {

// Fills the buffers in order from src, at most len bytes in all.
inline void CopyToIovecs(bdev_pyx_io* io, const char* src, uint64_t len) {
  for (int i = 0; i < io->iovcnt && len > 0; ++i) {
    const uint64_t n = std::min<uint64_t>(io->iov[i].iov_len, len);
    memcpy(io->iov[i].iov_base, src, n);
    src += n;
    len -= n;
  }
}

// Gathers the buffers back to back into dst, at most len bytes in all.
inline void CopyFromIovecs(const bdev_pyx_io* io, char* dst, uint64_t len) {
  for (int i = 0; i < io->iovcnt && len > 0; ++i) {
    const uint64_t n = std::min<uint64_t>(io->iov[i].iov_len, len);
    memcpy(dst, io->iov[i].iov_base, n);
    dst += n;
    len -= n;
  }
}

// Zeroes every buffer over its whole length.
inline void ZeroIovecs(bdev_pyx_io* io) {
  for (int i = 0; i < io->iovcnt; ++i) memset(io->iov[i].iov_base, 0, io->iov[i].iov_len);
}

}  // namespace pyx

#endif  // PYXDRIVER_IO_IOVEC_COPY_H_
