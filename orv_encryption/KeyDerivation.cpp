#include "KeyDerivation.h"

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
constexpr char kKeyCheckLabel[] = "key check";
constexpr size_t kCacheEntries = 8;

using Digest = std::array<uint8_t, SHA256_DIGEST_LENGTH>;

// The cache is looked up by a digest of password and key length, never by the password.
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

Digest CacheId(std::string_view passwordBytes, size_t keyLength) {
  Digest id{};
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const auto length = static_cast<uint8_t>(keyLength);
  EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
  EVP_DigestUpdate(ctx, &length, 1);
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

bool DeriveUncached(std::string_view passwordBytes, size_t keyLength, DerivedKeys& out) {
  const std::string salt = kSaltPrefix + std::to_string(keyLength * 8);
  uint8_t master[32];
  uint8_t expanded[2 * 32 + kCheckKeyLength];
  const size_t expandedLength = 2 * keyLength + kCheckKeyLength;
  bool ok = PKCS5_PBKDF2_HMAC(passwordBytes.data(), static_cast<int>(passwordBytes.size()),
                              reinterpret_cast<const uint8_t*>(salt.data()),
                              static_cast<int>(salt.size()), static_cast<int>(kIterations),
                              EVP_sha256(), sizeof master, master) == 1 &&
            HkdfExpand(master, kHkdfInfo, expanded, expandedLength);
  if (ok) {
    out.keyLength = keyLength;
    std::memcpy(out.k1, expanded, keyLength);
    std::memcpy(out.k2, expanded + keyLength, keyLength);
    std::memcpy(out.km, expanded + 2 * keyLength, kCheckKeyLength);
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

bool Derive(std::string_view passwordBytes, size_t keyLength, DerivedKeys& out) {
  if (keyLength != 16 && keyLength != 24 && keyLength != 32) {
    return false;
  }
  const Digest id = CacheId(passwordBytes, keyLength);
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
  if (!DeriveUncached(passwordBytes, keyLength, keys)) {
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

size_t ResetCacheForTesting() {
  Cache& cache = TheCache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  cache.entries.clear();
  return std::exchange(cache.derivations, 0);
}

}  // namespace orv::keys
