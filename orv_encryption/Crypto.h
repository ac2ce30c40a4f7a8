// The cryptographic primitives the engine is built on, each backed by the system's library:
// OpenSSL on POSIX (openssl/), Windows CNG on Windows (cng/). Everything above this header
// (the XTS construction, HKDF, the key cache, the header and the frames) is shared.
//
// Every function and class here may be used from several threads at once, each object from one
// thread at a time. Objects wipe their key material when cleared or destroyed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace orv::crypto {

inline constexpr size_t kSha256Size = 32;
inline constexpr size_t kAesBlock = 16;

// Zeroes `length` bytes in a way the compiler cannot drop.
void Wipe(void* data, size_t length);

// Compares two byte strings in a time that does not depend on their contents.
bool Equal(const void* a, const void* b, size_t length);

// Fills `out` from the system's cryptographic random generator; false when it fails.
bool RandomBytes(uint8_t* out, size_t length);

// SHA-256 of a byte string.
bool Sha256(std::span<const uint8_t> data, uint8_t out[kSha256Size]);

// HMAC-SHA256 of `data` under `key` (any length).
bool HmacSha256(std::span<const uint8_t> key, std::span<const uint8_t> data,
                uint8_t out[kSha256Size]);

// PBKDF2-HMAC-SHA256 with a 32-byte result (a single output block).
bool Pbkdf2HmacSha256(std::string_view password, std::string_view salt, uint32_t iterations,
                      uint8_t out[kSha256Size]);

// AES in ECB mode: the block function over many blocks in one call.
class AesEcb {
 public:
  AesEcb();
  ~AesEcb();
  AesEcb(const AesEcb&) = delete;
  AesEcb& operator=(const AesEcb&) = delete;

  // A key of 16, 24 or 32 bytes, for encryption or decryption; false (and no key) otherwise.
  bool SetKey(std::span<const uint8_t> key, bool encrypt);
  void Clear();
  // Processes `length` bytes, a multiple of 16 below 2^31; `in` and `out` may be the same.
  bool Process(const uint8_t* in, uint8_t* out, size_t length);

 private:
  struct State;
  std::unique_ptr<State> m_state;
};

// The system library's own XTS-AES, where it has one for the key length. The tweak is the
// 16 bytes that the first block of a data unit is encrypted under (IEEE 1619, little-endian).
class NativeXts {
 public:
  NativeXts();
  ~NativeXts();
  NativeXts(const NativeXts&) = delete;
  NativeXts& operator=(const NativeXts&) = delete;

  // Keys both directions with key1 || key2 (equal lengths). False, leaving no key, when the
  // library has no XTS for this key length or cannot set it up: the caller then builds XTS
  // on AesEcb.
  bool SetKeys(std::span<const uint8_t> key1, std::span<const uint8_t> key2);
  void Clear();
  bool HasKeys() const;
  // Makes the following calls take data units of `length` bytes (a multiple of 16, at most
  // 16 MiB); false when the library cannot, and the caller must process such a unit itself.
  bool SetUnitLength(size_t length);
  // Processes exactly one data unit of the length last set. `in` and `out` may be the same.
  bool Process(bool encrypt, const uint8_t tweak[kAesBlock], const uint8_t* in, uint8_t* out,
               size_t length);

 private:
  struct State;
  std::unique_ptr<State> m_state;
};

// A message authentication code over bytes given piece by piece: Poly1305 for the tag of an
// encrypted file (a one-time key per file), HMAC-SHA256 for a host's own data.
class Mac {
 public:
  enum class Kind { Poly1305, HmacSha256 };

  explicit Mac(Kind kind);
  ~Mac();
  Mac(const Mac&) = delete;
  Mac& operator=(const Mac&) = delete;

  // Starts a new message under a 32-byte key; false when the crypto library fails.
  bool Start(const uint8_t key[32]);
  // Adds bytes to the message; ignored unless a message is under way.
  void Update(const uint8_t* data, size_t length);
  // Ends the message and writes its code (TagLength() bytes); false when none was under way.
  bool Finish(uint8_t* out);
  bool Running() const { return m_running; }
  size_t TagLength() const { return m_kind == Kind::Poly1305 ? 16 : 32; }

 private:
  struct State;
  Kind m_kind;
  std::unique_ptr<State> m_state;
  bool m_running = false;
};

}  // namespace orv::crypto
