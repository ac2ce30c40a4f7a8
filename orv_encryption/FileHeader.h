// The 64-byte header in front of an encrypted file (all integers little-endian).
//
// Version 1:                           Version 2:
//   0  8  magic "ORVXTS01"               0  8  magic "ORVXTS01"
//   8  2  format version, 1              8  2  format version, 2
//  10  2  key length in bytes           10  2  key length in bytes
//  12  4  data-unit size in bytes       12  4  data-unit size in bytes
//  16  8  plain size of the item        16  8  plain size of the item
//  24  4  PBKDF2 iterations (600000)    24  4  PBKDF2 iterations (600000)
//  28  4  zero                          28 12  file nonce (random per file)
//  32 16  key check                     40  8  key check
//  48 16  zero                          48 16  salt (random per backup)
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv::header {

inline constexpr size_t kSize = 64;
inline constexpr size_t kSaltSize = 16;
inline constexpr size_t kNonceSize = 12;

struct Fields {
  uint16_t version = 1;  // 1 or 2
  uint16_t keyLength = 0;
  uint32_t dataUnitSize = 0;
  uint64_t plainSize = 0;
  uint32_t iterations = 0;
  uint8_t keyCheck[16] = {};  // version 2 keeps the first 8 bytes
  uint8_t nonce[kNonceSize] = {};
  uint8_t salt[kSaltSize] = {};
};

// The bytes of the key check each version keeps.
inline size_t KeyCheckLength(uint16_t version) {
  return version == 1 ? 16 : 8;
}

void Write(const Fields& fields, uint8_t out[kSize]);

// Reads a header. False when the bytes are not a header of version 1 or 2: wrong magic or
// version, a key length other than 16, 24 or 32, or fewer than kSize bytes.
bool Read(const uint8_t* in, size_t size, Fields& fields);

}  // namespace orv::header
