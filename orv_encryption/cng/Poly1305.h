// Poly1305 (RFC 8439): the one-time authenticator of a file's tag, which CNG does not offer.
// The 130-bit accumulator is kept in three 64-bit limbs and multiplied with 128-bit products.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv::crypto {

class Poly1305 {
 public:
  Poly1305() = default;
  ~Poly1305();
  Poly1305(const Poly1305&) = delete;
  Poly1305& operator=(const Poly1305&) = delete;

  // Starts a message under a 32-byte one-time key: r (clamped) || s.
  void Start(const uint8_t key[32]);
  void Update(const uint8_t* data, size_t length);
  // Writes the 16-byte tag and wipes the state.
  void Finish(uint8_t tag[16]);

 private:
  // Adds `count` 16-byte blocks to the accumulator, each with `high` (1, or 0 for the padded
  // last block) as its bit 128, multiplying by r after each.
  void Blocks(const uint8_t* data, size_t count, uint64_t high);
  void Wipe();

  uint64_t m_r0 = 0, m_r1 = 0, m_s1 = 0;  // r, and s1 = r1 * 5 / 4
  uint64_t m_h0 = 0, m_h1 = 0, m_h2 = 0;  // the accumulator h
  uint64_t m_pad0 = 0, m_pad1 = 0;        // s, added at the end
  uint8_t m_buffer[16] = {};
  size_t m_buffered = 0;
};

}  // namespace orv::crypto
