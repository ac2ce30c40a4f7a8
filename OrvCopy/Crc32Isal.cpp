// The CRC-32 register at memory speed, on ISA-L (where it is packaged: Debian).
#include "Crc32.h"

#include <isa-l/crc.h>

namespace OrvCopy {

void UpdateCRC32(const void* pBuffer, uint64_t nLength, uint32_t* pdwCRC) {
  // ISA-L computes the gzip CRC, which inverts the register on the way in and out; inverting
  // around it gives the raw register.
  *pdwCRC = ~crc32_gzip_refl(~*pdwCRC, static_cast<const unsigned char*>(pBuffer), nLength);
}

}  // namespace OrvCopy
