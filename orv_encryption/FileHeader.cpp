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
  Put<uint16_t>(out + 8, fields.version);
  Put<uint16_t>(out + 10, fields.keyLength);
  Put<uint32_t>(out + 12, fields.dataUnitSize);
  Put<uint64_t>(out + 16, fields.plainSize);
  Put<uint32_t>(out + 24, fields.iterations);
  if (fields.version == 1) {
    std::memcpy(out + 32, fields.keyCheck, 16);
  } else {
    std::memcpy(out + 28, fields.nonce, kNonceSize);
    std::memcpy(out + 40, fields.keyCheck, 8);
    std::memcpy(out + 48, fields.salt, kSaltSize);
  }
}

bool Read(const uint8_t* in, size_t size, Fields& fields) {
  if (in == nullptr || size < kSize || std::memcmp(in, kMagic, sizeof kMagic) != 0) {
    return false;
  }
  fields = Fields{};
  fields.version = Get<uint16_t>(in + 8);
  fields.keyLength = Get<uint16_t>(in + 10);
  fields.dataUnitSize = Get<uint32_t>(in + 12);
  fields.plainSize = Get<uint64_t>(in + 16);
  fields.iterations = Get<uint32_t>(in + 24);
  if (fields.version == 1) {
    std::memcpy(fields.keyCheck, in + 32, 16);
  } else if (fields.version == 2) {
    std::memcpy(fields.nonce, in + 28, kNonceSize);
    std::memcpy(fields.keyCheck, in + 40, 8);
    std::memcpy(fields.salt, in + 48, kSaltSize);
  } else {
    return false;
  }
  return fields.keyLength == 16 || fields.keyLength == 24 || fields.keyLength == 32;
}

}  // namespace orv::header
