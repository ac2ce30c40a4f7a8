// XTS-AES (IEEE 1619) over one data unit at a time, with the data-unit sequence number as the
// 128-bit little-endian tweak, exclusive-or a mask that sets one file's tweaks apart from
// another's (zero unless set).
//
// Two engines compute the same thing: the system library's own XTS where it has one for the
// key length (crypto::NativeXts), and a construction on the AES block function in ECB mode
// (any key length, AES-192 included): C = E_K1(P xor T_j) xor T_j with T_0 = E_K2(tweak) and
// T_{j+1} = T_j * alpha in GF(2^128). The library's XTS is used only after it has given the
// construction's result on a probe unit when keyed, and for the tweaks it takes: a library
// that takes only a 64-bit tweak leaves the units of masked tweaks to the construction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace orv::xts {

// A data unit holds at most 2^20 blocks; longer buffers are cut into data units of this size.
inline constexpr size_t kMaxDataUnit = size_t{16} * 1024 * 1024;
inline constexpr size_t kBlock = 16;

class XtsAes {
 public:
  enum class Engine {
    Best,          // the library's XTS where it exists and agrees, the construction otherwise
    Construction,  // always the construction (tests compare the two)
  };

  XtsAes();
  ~XtsAes();
  XtsAes(const XtsAes&) = delete;
  XtsAes& operator=(const XtsAes&) = delete;

  // Keys of 16, 24 or 32 bytes each, of equal length. Returns false (and leaves the object
  // without keys) for anything else or when the cipher cannot be set up.
  bool SetKeys(std::span<const uint8_t> key1, std::span<const uint8_t> key2,
               Engine engine = Engine::Best);
  // Forgets the keys and the tweak mask; the expanded key schedules are wiped.
  void Clear();
  // The mask that every tweak is combined with by exclusive or, until the next call.
  void SetTweakMask(std::span<const uint8_t, kBlock> mask);
  bool HasKeys() const;

  // Processes one data unit of `length` bytes: a multiple of 16 from 16 to kMaxDataUnit. `in`
  // and `out` may be the same buffer. Returns false for a length outside that range.
  bool EncryptUnit(const uint8_t* in, uint8_t* out, size_t length, uint64_t unit);
  bool DecryptUnit(const uint8_t* in, uint8_t* out, size_t length, uint64_t unit);

 private:
  struct State;
  std::unique_ptr<State> m_state;
};

}  // namespace orv::xts
