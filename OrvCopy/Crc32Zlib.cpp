// The CRC-32 register on zlib, where ISA-L is not at hand (Windows).
#include "Crc32.h"

#include <zlib.h>

#include <algorithm>

namespace OrvCopy {

void UpdateCRC32(const void* pBuffer, uint64_t nLength, uint32_t* pdwCRC) {
  // zlib computes the standard CRC-32, which inverts the register on the way in and out;
  // inverting around it gives the raw register. It takes at most 4 GiB per call.
  const auto* p = static_cast<const Bytef*>(pBuffer);
  uLong crc = ~*pdwCRC;
  while (nLength > 0) {
    const auto n = static_cast<uInt>(std::min<uint64_t>(nLength, 1u << 30));
    crc = crc32(crc, p, n);
    p += n;
    nLength -= n;
  }
  *pdwCRC = ~static_cast<uint32_t>(crc);
}

}  // namespace OrvCopy
