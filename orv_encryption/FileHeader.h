// The 64-byte header in front of an encrypted file (all integers little-endian):
//   0  8  magic "ORVXTS01"          24  4  PBKDF2 iterations (600000)
//   8  2  format version, 1         28  4  zero
//  10  2  key length in bytes       32 16  key check
//  12  4  data-unit size in bytes   48 16  zero
//  16  8  plain size of the item
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv::header {

inline constexpr size_t kSize = 64;
inline constexpr uint16_t kVersion = 1;

struct Fields {
  uint16_t keyLength = 0;
  uint32_t dataUnitSize = 0;
  uint64_t plainSize = 0;
  uint32_t iterations = 0;
  uint8_t keyCheck[16] = {};
};

void Write(const Fields& fields, uint8_t out[kSize]);

// Reads a header. False when the bytes are not a version-1 header: wrong magic or version, a
// key length other than 16, 24 or 32, or fewer than kSize bytes.
bool Read(const uint8_t* in, size_t size, Fields& fields);

}  // namespace orv::header
