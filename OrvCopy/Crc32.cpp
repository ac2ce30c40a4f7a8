#include "Crc32.h"

#if defined(ORVCOPY_CRC_ISAL)
#include <isa-l/crc.h>
#else
#include <zlib.h>

#include <algorithm>
#endif

namespace OrvCopy {

// Both libraries compute the standard CRC-32, which inverts the register on the way in and
// out; inverting around them gives the raw register. ISA-L is the fastest where it exists;
// zlib (Windows) is the same register at a little less speed.
void UpdateCRC32(const void* pBuffer, uint64_t nLength, uint32_t* pdwCRC) {
#if defined(ORVCOPY_CRC_ISAL)
  *pdwCRC = ~crc32_gzip_refl(~*pdwCRC, static_cast<const unsigned char*>(pBuffer), nLength);
#else
  const auto* p = static_cast<const Bytef*>(pBuffer);
  uLong crc = ~*pdwCRC;
  while (nLength > 0) {
    const auto n = static_cast<uInt>(std::min<uint64_t>(nLength, 1u << 30));
    crc = crc32(crc, p, n);
    p += n;
    nLength -= n;
  }
  *pdwCRC = ~static_cast<uint32_t>(crc);
#endif
}

void UpdateCRC32Bytewise(const void* pBuffer, uint64_t nLength, uint32_t* pdwCRC) {
  const auto* p = static_cast<const uint8_t*>(pBuffer);
  uint32_t crc = *pdwCRC;
  for (uint64_t i = 0; i < nLength; ++i) {
    crc = kCrc32Table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  }
  *pdwCRC = crc;
}

}  // namespace OrvCopy
