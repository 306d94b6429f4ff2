// The CRC-32 of zip members (zlib's crc32, the same value for the same
// bytes), by carry-less multiplication where the processor has it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mine::native {

// crc32(crc, data, size) as zlib gives it: `crc` is the CRC of the bytes
// before (0 for none).
std::uint32_t crc32(std::uint32_t crc, const unsigned char *data, std::size_t size);

}  // namespace mine::native
