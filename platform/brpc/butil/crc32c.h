// CRC32C (Castagnoli) of byte ranges (stand-in over ISA-L's crc32_iscsi).
#ifndef PLATFORM_BUTIL_CRC32C_H
#define PLATFORM_BUTIL_CRC32C_H

#include <stddef.h>
#include <stdint.h>

namespace butil {
namespace crc32c {

// The CRC32C of data[0, n) continued from `init_crc` (the CRC of what came
// before; 0 to start). Extend(0, "123456789", 9) == 0xE3069283.
uint32_t Extend(uint32_t init_crc, const char* data, size_t n);

inline uint32_t Value(const char* data, size_t n) { return Extend(0, data, n); }

}  // namespace crc32c
}  // namespace butil

#endif  // PLATFORM_BUTIL_CRC32C_H
