#include "Crc32.h"

namespace OrvCopy {

void UpdateCRC32Bytewise(const void* pBuffer, uint64_t nLength, uint32_t* pdwCRC) {
  const auto* p = static_cast<const uint8_t*>(pBuffer);
  uint32_t crc = *pdwCRC;
  for (uint64_t i = 0; i < nLength; ++i) {
    crc = kCrc32Table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  }
  *pdwCRC = crc;
}

}  // namespace OrvCopy
