#include "KeyDerivation.h"

// The SHA-256 block function of the PBKDF2 loop below is part of OpenSSL's low-level API.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <orv_platform/utf.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <list>
#include <mutex>
#include <utility>

namespace orv::keys {
namespace {

constexpr char kSaltPrefix[] = "OrvCopy-venc-v1:";
constexpr char kHkdfInfo[] = "OrvCopy-venc-v1 keys";
constexpr char kHkdfInfo2[] = "OrvCopy-venc-v2 keys:";
constexpr char kFileTagInfo[] = "OrvCopy-venc-v2 file tag";
constexpr char kHostTagInfo[] = "OrvCopy-venc-v2 host data";
constexpr char kKeyCheckLabel[] = "key check";
constexpr size_t kSaltLength = 16;
constexpr size_t kCacheEntries = 8;

using Digest = std::array<uint8_t, SHA256_DIGEST_LENGTH>;

// The cache is looked up by a digest of password, key length and salt, never by the password.
struct CacheEntry {
  Digest id{};
  DerivedKeys keys;
  ~CacheEntry() { OPENSSL_cleanse(id.data(), id.size()); }
};

struct Cache {
  std::mutex mutex;
  std::list<CacheEntry> entries;  // most recently used first
  size_t derivations = 0;
};

Cache& TheCache() {
  static Cache cache;
  return cache;
}

Digest CacheId(std::string_view passwordBytes, size_t keyLength, std::span<const uint8_t> salt) {
  Digest id{};
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const uint8_t lengths[2] = {static_cast<uint8_t>(keyLength), static_cast<uint8_t>(salt.size())};
  EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
  EVP_DigestUpdate(ctx, lengths, sizeof lengths);
  EVP_DigestUpdate(ctx, salt.data(), salt.size());
  EVP_DigestUpdate(ctx, passwordBytes.data(), passwordBytes.size());
  EVP_DigestFinal_ex(ctx, id.data(), nullptr);
  EVP_MD_CTX_free(ctx);
  return id;
}

// HKDF-Expand (RFC 5869) with SHA-256.
bool HkdfExpand(const uint8_t prk[32], std::string_view info, uint8_t* out, size_t length) {
  uint8_t block[SHA256_DIGEST_LENGTH];
  size_t blockLength = 0;
  bool ok = true;
  for (uint8_t counter = 1; ok && length > 0; ++counter) {
    std::string input(reinterpret_cast<const char*>(block), blockLength);
    input.append(info);
    input.push_back(static_cast<char>(counter));
    unsigned int produced = 0;
    ok = HMAC(EVP_sha256(), prk, 32, reinterpret_cast<const uint8_t*>(input.data()), input.size(),
              block, &produced) != nullptr;
    OPENSSL_cleanse(input.data(), input.size());
    blockLength = produced;
    const size_t take = std::min(length, blockLength);
    std::memcpy(out, block, take);
    out += take;
    length -= take;
  }
  OPENSSL_cleanse(block, sizeof block);
  return ok;
}

// SHA-256 state after one 64-byte block of the HMAC key pad: where every inner or outer hash
// of the PBKDF2 loop starts.
SHA256_CTX PadState(const uint8_t key[SHA256_CBLOCK], uint8_t pad) {
  uint8_t block[SHA256_CBLOCK];
  for (size_t i = 0; i < sizeof block; ++i)
    block[i] = key[i] ^ pad;
  SHA256_CTX ctx;
  SHA256_Init(&ctx);
  SHA256_Update(&ctx, block, sizeof block);
  OPENSSL_cleanse(block, sizeof block);
  return ctx;
}

// Hashes one 32-byte message that follows a 64-byte pad: a single block, padded by hand, so
// that each step of the loop is exactly one run of the block function.
// `work` is scratch space, wiped by the caller when the loop ends.
void HashAfterPad(const SHA256_CTX& start, SHA256_CTX& work, const uint8_t block[SHA256_CBLOCK],
                  uint8_t out[32]) {
  work = start;
  SHA256_Transform(&work, block);
  for (int i = 0; i < 8; ++i) {
    out[4 * i] = static_cast<uint8_t>(work.h[i] >> 24);
    out[4 * i + 1] = static_cast<uint8_t>(work.h[i] >> 16);
    out[4 * i + 2] = static_cast<uint8_t>(work.h[i] >> 8);
    out[4 * i + 3] = static_cast<uint8_t>(work.h[i]);
  }
}

}  // namespace

bool Pbkdf2HmacSha256(std::string_view password, std::string_view salt, uint32_t iterations,
                      uint8_t out[32]) {
  // The HMAC key: the password, or its hash when longer than a block.
  uint8_t key[SHA256_CBLOCK] = {};
  if (password.size() > SHA256_CBLOCK) {
    SHA256(reinterpret_cast<const uint8_t*>(password.data()), password.size(), key);
  } else {
    std::memcpy(key, password.data(), password.size());
  }
  const SHA256_CTX inner = PadState(key, 0x36);
  const SHA256_CTX outer = PadState(key, 0x5c);
  OPENSSL_cleanse(key, sizeof key);

  // U1 = HMAC(P, S || INT(1)), computed the ordinary way (the salt has any length).
  uint8_t u[32];
  unsigned int length = 0;
  std::string first(salt);
  first.append("\0\0\0\1", 4);
  if (HMAC(EVP_sha256(), password.data(), static_cast<int>(password.size()),
           reinterpret_cast<const uint8_t*>(first.data()), first.size(), u, &length) == nullptr) {
    return false;
  }
  std::memcpy(out, u, 32);
  // Every further U is two one-block hashes of 32 bytes after a 64-byte pad: 96 bytes, 768 bits.
  uint8_t block[SHA256_CBLOCK] = {};
  block[32] = 0x80;
  block[62] = 0x03;  // 768 = 0x300
  SHA256_CTX work;
  for (uint32_t i = 1; i < iterations; ++i) {
    std::memcpy(block, u, 32);
    HashAfterPad(inner, work, block, u);
    std::memcpy(block, u, 32);
    HashAfterPad(outer, work, block, u);
    for (int k = 0; k < 32; ++k)
      out[k] ^= u[k];
  }
  OPENSSL_cleanse(&work, sizeof work);
  OPENSSL_cleanse(u, sizeof u);
  OPENSSL_cleanse(block, sizeof block);
  return true;
}

namespace {

bool DeriveUncached(std::string_view passwordBytes, size_t keyLength, std::span<const uint8_t> salt,
                    DerivedKeys& out) {
  const std::string bits = std::to_string(keyLength * 8);
  const bool version1 = salt.empty();
  const std::string saltText =
      version1 ? kSaltPrefix + bits
               : std::string(reinterpret_cast<const char*>(salt.data()), salt.size());
  const std::string info = version1 ? std::string(kHkdfInfo) : kHkdfInfo2 + bits;
  uint8_t master[32];
  uint8_t expanded[2 * 32 + kCheckKeyLength + kTagKeyLength];
  const size_t expandedLength = 2 * keyLength + kCheckKeyLength + (version1 ? 0 : kTagKeyLength);
  bool ok = Pbkdf2HmacSha256(passwordBytes, saltText, kIterations, master) &&
            HkdfExpand(master, info, expanded, expandedLength);
  if (ok) {
    out.keyLength = keyLength;
    std::memcpy(out.k1, expanded, keyLength);
    std::memcpy(out.k2, expanded + keyLength, keyLength);
    std::memcpy(out.km, expanded + 2 * keyLength, kCheckKeyLength);
    if (!version1)
      std::memcpy(out.kt, expanded + 2 * keyLength + kCheckKeyLength, kTagKeyLength);
  }
  OPENSSL_cleanse(master, sizeof master);
  OPENSSL_cleanse(expanded, sizeof expanded);
  return ok;
}

}  // namespace

DerivedKeys::~DerivedKeys() {
  Wipe();
}

void DerivedKeys::Wipe() {
  OPENSSL_cleanse(k1, sizeof k1);
  OPENSSL_cleanse(k2, sizeof k2);
  OPENSSL_cleanse(km, sizeof km);
  OPENSSL_cleanse(kt, sizeof kt);
  keyLength = 0;
}

std::string PasswordBytes(std::wstring_view password) {
  const std::u16string utf16 = orv::platform::WideToUtf16(password);
  std::string bytes;
  bytes.reserve(utf16.size() * 2);
  for (char16_t unit : utf16) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

bool Derive(std::string_view passwordBytes, size_t keyLength, std::span<const uint8_t> salt,
            DerivedKeys& out) {
  if ((keyLength != 16 && keyLength != 24 && keyLength != 32) ||
      (!salt.empty() && salt.size() != kSaltLength)) {
    return false;
  }
  const Digest id = CacheId(passwordBytes, keyLength, salt);
  Cache& cache = TheCache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  for (auto it = cache.entries.begin(); it != cache.entries.end(); ++it) {
    if (CRYPTO_memcmp(it->id.data(), id.data(), id.size()) == 0) {
      cache.entries.splice(cache.entries.begin(), cache.entries, it);
      out = it->keys;
      return true;
    }
  }
  // Derived under the lock: two engines asking for the same keys at once derive them once.
  DerivedKeys keys;
  if (!DeriveUncached(passwordBytes, keyLength, salt, keys)) {
    return false;
  }
  ++cache.derivations;
  cache.entries.emplace_front();
  cache.entries.front().id = id;
  cache.entries.front().keys = keys;
  if (cache.entries.size() > kCacheEntries) {
    cache.entries.pop_back();
  }
  out = keys;
  return true;
}

void KeyCheck(const DerivedKeys& keys, uint8_t out[kKeyCheckLength]) {
  uint8_t mac[SHA256_DIGEST_LENGTH];
  unsigned int length = 0;
  HMAC(EVP_sha256(), keys.km, kCheckKeyLength, reinterpret_cast<const uint8_t*>(kKeyCheckLabel),
       sizeof kKeyCheckLabel - 1, mac, &length);
  std::memcpy(out, mac, kKeyCheckLength);
  OPENSSL_cleanse(mac, sizeof mac);
}

bool FileTagKey(const DerivedKeys& keys, std::span<const uint8_t> nonce, uint8_t out[32]) {
  std::string info(kFileTagInfo);
  info.append(reinterpret_cast<const char*>(nonce.data()), nonce.size());
  return HkdfExpand(keys.kt, info, out, 32);
}

bool HostTagKey(const DerivedKeys& keys, uint8_t out[32]) {
  return HkdfExpand(keys.kt, kHostTagInfo, out, 32);
}

size_t ResetCacheForTesting() {
  Cache& cache = TheCache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  cache.entries.clear();
  return std::exchange(cache.derivations, 0);
}

}  // namespace orv::keys
