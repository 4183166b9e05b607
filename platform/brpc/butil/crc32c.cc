// CRC32C over ISA-L. ISA-L's crc32_iscsi neither inverts the register on
// entry nor on exit, so the usual convention (start from all ones, invert
// the result) is applied here; that makes Extend chain: the finished CRC of
// a prefix, inverted back, is the register to continue from.
#include "butil/crc32c.h"

#include <isa-l/crc.h>

#include <climits>

namespace butil {
namespace crc32c {

uint32_t Extend(uint32_t init_crc, const char* data, size_t n) {
  uint32_t reg = ~init_crc;
  // crc32_iscsi takes an int length and a non-const buffer it only reads.
  auto* p = reinterpret_cast<unsigned char*>(const_cast<char*>(data));
  while (n > 0) {
    const size_t chunk = n < static_cast<size_t>(INT_MAX) ? n : (size_t{1} << 30);
    reg = crc32_iscsi(p, static_cast<int>(chunk), reg);
    p += chunk;
    n -= chunk;
  }
  return ~reg;
}

}  // namespace crc32c
}  // namespace butil
