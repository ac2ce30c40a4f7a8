#include "XtsAes.h"

#include "Crypto.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orv::xts {
namespace {

void TweakBlock(uint64_t unit, const uint8_t mask[kBlock], uint8_t tweak[kBlock]) {
  for (size_t i = 0; i < kBlock; ++i) {
    tweak[i] = (i < 8 ? static_cast<uint8_t>(unit >> (8 * i)) : 0) ^ mask[i];
  }
}

bool ValidLength(size_t length) {
  return length >= kBlock && length <= kMaxDataUnit && length % kBlock == 0;
}

// The tweak sequence of a data unit: T_0 = E_K2(tweak), T_{j+1} = T_j * alpha in GF(2^128),
// the 128-bit value taken little-endian. Kept here so that the construction can run over a
// unit in chunks.
class TweakSequence {
#if defined(__SSE2__)
  // t * alpha: each half shifted left by one, the low half's top bit carried into the high
  // half, the high half's top bit reduced by x^128 + x^7 + x^2 + x + 1.
  static __m128i MulAlpha(__m128i t) {
    const __m128i fixup = _mm_set_epi32(0, 1, 0, 0x87);
    const __m128i signs = _mm_srai_epi32(_mm_shuffle_epi32(t, 0x13), 31);
    return _mm_xor_si128(_mm_add_epi64(t, t), _mm_and_si128(signs, fixup));
  }
  // t * alpha^4: the same with the top four bits of each half.
  static __m128i MulAlpha4(__m128i t) {
    const __m128i lowHalf = _mm_set_epi64x(0, -1);
    const __m128i tops = _mm_shuffle_epi32(_mm_srli_epi64(t, 60), 0x4E);  // [hi>>60, lo>>60]
    const __m128i c = _mm_and_si128(tops, lowHalf);  // the high half's top, to be reduced
    const __m128i reduced =
        _mm_xor_si128(_mm_xor_si128(c, _mm_slli_epi64(c, 1)),
                      _mm_xor_si128(_mm_slli_epi64(c, 2), _mm_slli_epi64(c, 7)));
    return _mm_xor_si128(_mm_xor_si128(_mm_slli_epi64(t, 4), _mm_andnot_si128(lowHalf, tops)),
                         reduced);
  }
  static void XorBlock(const uint8_t* in, uint8_t* out, uint8_t* tweaks, size_t j, __m128i t) {
    const __m128i data = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + j * kBlock));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j * kBlock), _mm_xor_si128(data, t));
    _mm_store_si128(reinterpret_cast<__m128i*>(tweaks + j * kBlock), t);
  }
#endif

 public:
  explicit TweakSequence(const uint8_t t0[kBlock]) {
    std::memcpy(&m_lo, t0, 8);
    std::memcpy(&m_hi, t0 + 8, 8);
  }

  // out = in xor T_j for `blocks` blocks, also storing each T_j in `tweaks`; advances j.
  void Apply(const uint8_t* in, uint8_t* out, uint8_t* tweaks, size_t blocks) {
#if defined(__SSE2__)
    // Four independent chains (T_j .. T_j+3, each stepped by alpha^4) keep the multiplier
    // busy instead of waiting on one long dependency chain.
    __m128i t = _mm_set_epi64x(static_cast<long long>(m_hi), static_cast<long long>(m_lo));
    size_t j = 0;
    if (blocks >= 4) {
      __m128i t0 = t, t1 = MulAlpha(t0), t2 = MulAlpha(t1), t3 = MulAlpha(t2);
      for (; j + 4 <= blocks; j += 4) {
        XorBlock(in, out, tweaks, j, t0);
        XorBlock(in, out, tweaks, j + 1, t1);
        XorBlock(in, out, tweaks, j + 2, t2);
        XorBlock(in, out, tweaks, j + 3, t3);
        t0 = MulAlpha4(t0);
        t1 = MulAlpha4(t1);
        t2 = MulAlpha4(t2);
        t3 = MulAlpha4(t3);
      }
      t = t0;
    }
    for (; j < blocks; ++j) {
      XorBlock(in, out, tweaks, j, t);
      t = MulAlpha(t);
    }
    m_lo = static_cast<uint64_t>(_mm_cvtsi128_si64(t));
    m_hi = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(t, t)));
#else
    for (size_t j = 0; j < blocks; ++j) {
      uint64_t a, b;
      std::memcpy(&a, in + j * kBlock, 8);
      std::memcpy(&b, in + j * kBlock + 8, 8);
      a ^= m_lo;
      b ^= m_hi;
      std::memcpy(out + j * kBlock, &a, 8);
      std::memcpy(out + j * kBlock + 8, &b, 8);
      std::memcpy(tweaks + j * kBlock, &m_lo, 8);
      std::memcpy(tweaks + j * kBlock + 8, &m_hi, 8);
      const uint64_t carry = m_hi >> 63;
      m_hi = (m_hi << 1) | (m_lo >> 63);
      m_lo = (m_lo << 1) ^ (0x87 & (0 - carry));
    }
#endif
  }

  ~TweakSequence() {
    crypto::Wipe(&m_lo, sizeof m_lo);
    crypto::Wipe(&m_hi, sizeof m_hi);
  }

 private:
  uint64_t m_lo = 0, m_hi = 0;
};

// data ^= tweaks, for `length` bytes (a multiple of 16).
void XorInPlace(uint8_t* data, const uint8_t* tweaks, size_t length) {
#if defined(__SSE2__)
  for (size_t i = 0; i < length; i += kBlock) {
    auto* p = reinterpret_cast<__m128i*>(data + i);
    _mm_storeu_si128(p,
                     _mm_xor_si128(_mm_loadu_si128(p),
                                   _mm_load_si128(reinterpret_cast<const __m128i*>(tweaks + i))));
  }
#else
  for (size_t i = 0; i < length; i += 8) {
    uint64_t a, b;
    std::memcpy(&a, data + i, 8);
    std::memcpy(&b, tweaks + i, 8);
    a ^= b;
    std::memcpy(data + i, &a, 8);
  }
#endif
}

// The construction runs over a data unit in chunks of this many bytes, small enough for the
// tweaks of a chunk to stay in the first-level cache.
constexpr size_t kChunk = 16 * 1024;

// The probe that the library's XTS must pass before it is used: two blocks under a tweak whose
// high half is zero, then under one whose high half is not.
constexpr uint64_t kProbeUnit = 0x0123456789ABCDEF;
constexpr uint8_t kProbeMask[kBlock] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
constexpr size_t kProbeLength = 2 * kBlock;

bool HighHalfZero(const uint8_t tweak[kBlock]) {
  uint8_t any = 0;
  for (size_t i = 8; i < kBlock; ++i)
    any |= tweak[i];
  return any == 0;
}

}  // namespace

struct XtsAes::State {
  size_t keyLength = 0;
  // The library's XTS, keyed with key1 || key2, when it passed the probe.
  crypto::NativeXts native;
  bool nativeFullTweak = false;  // it also takes tweaks whose high half is not zero
  // The construction: key1 both ways, key2 for the tweak. Always keyed: it takes every unit
  // the library's XTS does not.
  crypto::AesEcb ecbEncrypt, ecbDecrypt, ecbTweak;
  uint8_t tweakMask[kBlock] = {};
  // The tweaks of the chunk being processed; wiped with the state.
  alignas(16) uint8_t tweaks[kChunk] = {};

  ~State() { crypto::Wipe(tweaks, sizeof tweaks); }

  void Clear() {
    keyLength = 0;
    native.Clear();
    nativeFullTweak = false;
    ecbEncrypt.Clear();
    ecbDecrypt.Clear();
    ecbTweak.Clear();
    crypto::Wipe(tweakMask, sizeof tweakMask);
    crypto::Wipe(tweaks, sizeof tweaks);
  }

  bool NativeTakes(const uint8_t tweak[kBlock], size_t length) {
    return native.HasKeys() && (nativeFullTweak || HighHalfZero(tweak)) &&
           native.SetUnitLength(length);
  }

  bool ConstructedUnit(bool encrypt, const uint8_t tweak[kBlock], const uint8_t* in, uint8_t* out,
                       size_t length) {
    uint8_t t0[kBlock];
    if (!ecbTweak.Process(tweak, t0, kBlock)) {
      return false;
    }
    TweakSequence sequence(t0);
    crypto::Wipe(t0, sizeof t0);
    crypto::AesEcb& ecb = encrypt ? ecbEncrypt : ecbDecrypt;
    bool ok = true;
    for (size_t offset = 0; ok && offset < length; offset += kChunk) {
      const size_t n = std::min(kChunk, length - offset);
      sequence.Apply(in + offset, out + offset, tweaks, n / kBlock);
      ok = ecb.Process(out + offset, out + offset, n);
      XorInPlace(out + offset, tweaks, n);
    }
    return ok;
  }

  bool Unit(bool encrypt, const uint8_t* in, uint8_t* out, size_t length, uint64_t unit) {
    if (keyLength == 0 || !ValidLength(length)) {
      return false;
    }
    uint8_t tweak[kBlock];
    TweakBlock(unit, tweakMask, tweak);
    return NativeTakes(tweak, length) ? native.Process(encrypt, tweak, in, out, length)
                                      : ConstructedUnit(encrypt, tweak, in, out, length);
  }

  // Whether the library's XTS gives the construction's result, both ways, for a unit under
  // the tweak of kProbeUnit and the mask.
  bool NativeAgrees(const uint8_t mask[kBlock]) {
    uint8_t tweak[kBlock], plain[kProbeLength], expected[kProbeLength], got[kProbeLength];
    TweakBlock(kProbeUnit, mask, tweak);
    for (size_t i = 0; i < kProbeLength; ++i)
      plain[i] = static_cast<uint8_t>(i * 37 + 11);
    if (!native.SetUnitLength(kProbeLength) ||
        !ConstructedUnit(true, tweak, plain, expected, kProbeLength) ||
        !native.Process(true, tweak, plain, got, kProbeLength) ||
        std::memcmp(got, expected, kProbeLength) != 0) {
      return false;
    }
    return native.Process(false, tweak, expected, got, kProbeLength) &&
           std::memcmp(got, plain, kProbeLength) == 0;
  }
};

XtsAes::XtsAes() : m_state(std::make_unique<State>()) {}
XtsAes::~XtsAes() = default;

void XtsAes::Clear() {
  m_state->Clear();
}

void XtsAes::SetTweakMask(std::span<const uint8_t, kBlock> mask) {
  std::memcpy(m_state->tweakMask, mask.data(), kBlock);
}

bool XtsAes::HasKeys() const {
  return m_state->keyLength != 0;
}

bool XtsAes::SetKeys(std::span<const uint8_t> key1, std::span<const uint8_t> key2, Engine engine) {
  State& state = *m_state;
  state.Clear();
  const size_t keyLength = key1.size();
  if (key2.size() != keyLength || !(keyLength == 16 || keyLength == 24 || keyLength == 32)) {
    return false;
  }
  if (!state.ecbEncrypt.SetKey(key1, true) || !state.ecbDecrypt.SetKey(key1, false) ||
      !state.ecbTweak.SetKey(key2, true)) {
    state.Clear();
    return false;
  }
  if (engine == Engine::Best && state.native.SetKeys(key1, key2)) {
    const uint8_t noMask[kBlock] = {};
    if (state.NativeAgrees(noMask)) {
      state.nativeFullTweak = state.NativeAgrees(kProbeMask);
    } else {
      state.native.Clear();
    }
  }
  state.keyLength = keyLength;
  return true;
}

bool XtsAes::EncryptUnit(const uint8_t* in, uint8_t* out, size_t length, uint64_t unit) {
  return m_state->Unit(true, in, out, length, unit);
}

bool XtsAes::DecryptUnit(const uint8_t* in, uint8_t* out, size_t length, uint64_t unit) {
  return m_state->Unit(false, in, out, length, unit);
}

}  // namespace orv::xts
