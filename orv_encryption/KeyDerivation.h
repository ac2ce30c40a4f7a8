// Keys of an encrypted file, for key length L (16, 24 or 32 bytes):
// - version 1: M = PBKDF2-HMAC-SHA256(password as UTF-16LE, salt "OrvCopy-venc-v1:<bits>",
//   600000 iterations, 32 bytes), then K1 || K2 || Km = HKDF-Expand-SHA256(M,
//   "OrvCopy-venc-v1 keys", 2L + 32);
// - version 2: M = PBKDF2-HMAC-SHA256(password as UTF-16LE, the backup's random salt of 16
//   bytes, 600000 iterations, 32 bytes), then K1 || K2 || Km || Kt = HKDF-Expand-SHA256(M,
//   "OrvCopy-venc-v2 keys:<bits>", 2L + 64).
// K1 and K2 are the XTS keys, Km keys the password check, Kt the tags.
//
// The derivation costs about a tenth of a second, so it runs once per password, salt and key
// length in a process: results are kept in a small cache, wiped when they leave it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace orv::keys {

inline constexpr uint32_t kIterations = 600000;
inline constexpr size_t kCheckKeyLength = 32;
inline constexpr size_t kKeyCheckLength = 16;
inline constexpr size_t kTagKeyLength = 32;

// Key material of one (password, key length); wiped when destroyed.
struct DerivedKeys {
  size_t keyLength = 0;              // L: 16, 24 or 32
  uint8_t k1[32] = {};               // data key
  uint8_t k2[32] = {};               // tweak key
  uint8_t km[kCheckKeyLength] = {};  // check key
  uint8_t kt[kTagKeyLength] = {};    // tag key (version 2; zero in version 1)

  DerivedKeys() = default;
  DerivedKeys(const DerivedKeys& other) = default;
  DerivedKeys& operator=(const DerivedKeys& other) = default;
  ~DerivedKeys();
  void Wipe();
};

// The password as the key derivation reads it: UTF-16 code units, little-endian.
std::string PasswordBytes(std::wstring_view password);

// Derives (or takes from the cache) the keys for the password bytes, key length and salt: an
// empty salt selects version 1, 16 bytes version 2. Returns false for a key length other than
// 16, 24 or 32, a salt of another length, or when the crypto library fails.
bool Derive(std::string_view passwordBytes, size_t keyLength, std::span<const uint8_t> salt,
            DerivedKeys& out);

// The Poly1305 key of one file's tag: HKDF-Expand-SHA256(Kt, "OrvCopy-venc-v2 file tag" ||
// nonce, 32).
bool FileTagKey(const DerivedKeys& keys, std::span<const uint8_t> nonce, uint8_t out[32]);
// The HMAC-SHA256 key of a host's own data: HKDF-Expand-SHA256(Kt, "OrvCopy-venc-v2 host
// data", 32).
bool HostTagKey(const DerivedKeys& keys, uint8_t out[32]);

// PBKDF2-HMAC-SHA256 with a 32-byte result (one block): crypto::Pbkdf2HmacSha256.
bool Pbkdf2HmacSha256(std::string_view password, std::string_view salt, uint32_t iterations,
                      uint8_t out[32]);

// The header's key check: the first 16 bytes of HMAC-SHA256(Km, "key check"); false when
// the crypto library fails.
bool KeyCheck(const DerivedKeys& keys, uint8_t out[kKeyCheckLength]);

// Empties the cache (wiping every entry) and returns how many derivations ran since the last
// call; for tests.
size_t ResetCacheForTesting();

}  // namespace orv::keys
