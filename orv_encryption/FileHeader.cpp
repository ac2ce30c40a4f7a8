#include "FileHeader.h"

#include <cstring>

namespace orv::header {
namespace {

constexpr char kMagic[8] = {'O', 'R', 'V', 'X', 'T', 'S', '0', '1'};

template <typename T>
void Put(uint8_t* out, T value) {
  for (size_t i = 0; i < sizeof(T); ++i) {
    out[i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

template <typename T>
T Get(const uint8_t* in) {
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) {
    value |= static_cast<T>(static_cast<T>(in[i]) << (8 * i));
  }
  return value;
}

}  // namespace

void Write(const Fields& fields, uint8_t out[kSize]) {
  std::memset(out, 0, kSize);
  std::memcpy(out, kMagic, sizeof kMagic);
  Put<uint16_t>(out + 8, kVersion);
  Put<uint16_t>(out + 10, fields.keyLength);
  Put<uint32_t>(out + 12, fields.dataUnitSize);
  Put<uint64_t>(out + 16, fields.plainSize);
  Put<uint32_t>(out + 24, fields.iterations);
  std::memcpy(out + 32, fields.keyCheck, sizeof fields.keyCheck);
}

bool Read(const uint8_t* in, size_t size, Fields& fields) {
  if (in == nullptr || size < kSize || std::memcmp(in, kMagic, sizeof kMagic) != 0 ||
      Get<uint16_t>(in + 8) != kVersion) {
    return false;
  }
  fields.keyLength = Get<uint16_t>(in + 10);
  fields.dataUnitSize = Get<uint32_t>(in + 12);
  fields.plainSize = Get<uint64_t>(in + 16);
  fields.iterations = Get<uint32_t>(in + 24);
  std::memcpy(fields.keyCheck, in + 32, sizeof fields.keyCheck);
  return fields.keyLength == 16 || fields.keyLength == 24 || fields.keyLength == 32;
}

}  // namespace orv::header
