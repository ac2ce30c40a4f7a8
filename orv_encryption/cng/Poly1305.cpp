#include "Poly1305.h"

#include "Crypto.h"

#include <algorithm>
#include <cstring>

namespace orv::crypto {
namespace {

__extension__ typedef unsigned __int128 U128;

uint64_t Load64(const uint8_t* p) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i)
    value = (value << 8) | p[i];
  return value;
}

void Store64(uint8_t* p, uint64_t value) {
  for (int i = 0; i < 8; ++i)
    p[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

Poly1305::~Poly1305() {
  Wipe();
}

void Poly1305::Wipe() {
  crypto::Wipe(&m_r0, sizeof m_r0);
  crypto::Wipe(&m_r1, sizeof m_r1);
  crypto::Wipe(&m_s1, sizeof m_s1);
  crypto::Wipe(&m_h0, sizeof m_h0);
  crypto::Wipe(&m_h1, sizeof m_h1);
  crypto::Wipe(&m_h2, sizeof m_h2);
  crypto::Wipe(&m_pad0, sizeof m_pad0);
  crypto::Wipe(&m_pad1, sizeof m_pad1);
  crypto::Wipe(m_buffer, sizeof m_buffer);
  m_buffered = 0;
}

void Poly1305::Start(const uint8_t key[32]) {
  Wipe();
  m_r0 = Load64(key) & 0x0FFFFFFC0FFFFFFF;
  m_r1 = Load64(key + 8) & 0x0FFFFFFC0FFFFFFC;
  m_s1 = m_r1 + (m_r1 >> 2);  // r1 is a multiple of 4
  m_pad0 = Load64(key + 16);
  m_pad1 = Load64(key + 24);
}

// With B = 2^64, h = h0 + h1 B + h2 B^2 (h2 small) and r = r0 + r1 B:
//   h r = h0 r0 + (h0 r1 + h1 r0) B + (h1 r1 + h2 r0) B^2 + h2 r1 B^3,
// and since 2^130 = 5 modulo p = 2^130 - 5 and r1 is a multiple of 4,
//   r1 B^2 = (r1 / 4) 2^130 = 5 r1 / 4 = s1, so
//   h r = (h0 r0 + h1 s1) + (h0 r1 + h1 r0 + h2 s1) B + h2 r0 B^2   (mod p).
// r0, r1 < 2^60 and h2 < 8 keep every sum below 2^127. After each block the bits of h from
// 130 up are folded back in (times 5), which leaves h2 at most 4.
void Poly1305::Blocks(const uint8_t* data, size_t count, uint64_t high) {
  uint64_t h0 = m_h0, h1 = m_h1, h2 = m_h2;
  const uint64_t r0 = m_r0, r1 = m_r1, s1 = m_s1;
  for (size_t i = 0; i < count; ++i, data += 16) {
    U128 t = static_cast<U128>(h0) + Load64(data);
    h0 = static_cast<uint64_t>(t);
    t = static_cast<U128>(h1) + Load64(data + 8) + (t >> 64);
    h1 = static_cast<uint64_t>(t);
    h2 += high + static_cast<uint64_t>(t >> 64);

    const U128 d0 = static_cast<U128>(h0) * r0 + static_cast<U128>(h1) * s1;
    U128 d1 = static_cast<U128>(h0) * r1 + static_cast<U128>(h1) * r0 + static_cast<U128>(h2) * s1;
    const uint64_t d2 = h2 * r0;
    d1 += d0 >> 64;
    h0 = static_cast<uint64_t>(d0);
    h1 = static_cast<uint64_t>(d1);
    h2 = d2 + static_cast<uint64_t>(d1 >> 64);

    const uint64_t fold = (h2 >> 2) * 5;
    h2 &= 3;
    t = static_cast<U128>(h0) + fold;
    h0 = static_cast<uint64_t>(t);
    t = static_cast<U128>(h1) + (t >> 64);
    h1 = static_cast<uint64_t>(t);
    h2 += static_cast<uint64_t>(t >> 64);
  }
  m_h0 = h0;
  m_h1 = h1;
  m_h2 = h2;
}

void Poly1305::Update(const uint8_t* data, size_t length) {
  if (m_buffered != 0) {
    const size_t take = std::min(length, sizeof m_buffer - m_buffered);
    std::memcpy(m_buffer + m_buffered, data, take);
    m_buffered += take;
    data += take;
    length -= take;
    if (m_buffered < sizeof m_buffer) {
      return;
    }
    Blocks(m_buffer, 1, 1);
    m_buffered = 0;
  }
  const size_t whole = length / 16;
  Blocks(data, whole, 1);
  m_buffered = length - whole * 16;
  std::memcpy(m_buffer, data + whole * 16, m_buffered);
}

void Poly1305::Finish(uint8_t tag[16]) {
  if (m_buffered != 0) {
    // The last, short block: its bytes, then 1, then zeros, and no bit 128.
    m_buffer[m_buffered] = 1;
    std::memset(m_buffer + m_buffered + 1, 0, sizeof m_buffer - m_buffered - 1);
    Blocks(m_buffer, 1, 0);
  }
  // h < 2p: h - p = h + 5 - 2^130 when h + 5 reaches 2^130, chosen without a branch.
  U128 t = static_cast<U128>(m_h0) + 5;
  const uint64_t g0 = static_cast<uint64_t>(t);
  t = static_cast<U128>(m_h1) + (t >> 64);
  const uint64_t g1 = static_cast<uint64_t>(t);
  const uint64_t g2 = m_h2 + static_cast<uint64_t>(t >> 64);
  const uint64_t useG = 0 - (g2 >> 2);
  const uint64_t h0 = (m_h0 & ~useG) | (g0 & useG);
  const uint64_t h1 = (m_h1 & ~useG) | (g1 & useG);
  // tag = (h + s) mod 2^128
  t = static_cast<U128>(h0) + m_pad0;
  Store64(tag, static_cast<uint64_t>(t));
  Store64(tag + 8, h1 + m_pad1 + static_cast<uint64_t>(t >> 64));
  Wipe();
}

}  // namespace orv::crypto
