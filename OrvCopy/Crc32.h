// The CRC-32 register update of backup and restore: the reflected polynomial 0xEDB88320,
// with the register neither inverted before nor after ("abc" from 0 gives 0xca6598d0; the
// standard CRC-32 of the same bytes, with both inversions, is 0x352441c2).
#pragma once

#include <array>
#include <cstdint>

namespace OrvCopy {

// Runs the register over nLength bytes, at memory speed.
void UpdateCRC32(const void* pBuffer, uint64_t nLength, uint32_t* pdwCRC);

// The same, one byte at a time through the table; kept as the definition to test against.
void UpdateCRC32Bytewise(const void* pBuffer, uint64_t nLength, uint32_t* pdwCRC);

// The standard table of the reflected polynomial (kCrc32Table[1] = 0x77073096).
inline constexpr std::array<uint32_t, 256> kCrc32Table = [] {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) {
      c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    table[i] = c;
  }
  return table;
}();

}  // namespace OrvCopy
