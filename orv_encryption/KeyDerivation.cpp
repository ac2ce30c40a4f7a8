#include "KeyDerivation.h"

#include "Crypto.h"

#include <orv_platform/utf.h>

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

using Digest = std::array<uint8_t, crypto::kSha256Size>;

// The cache is looked up by a digest of password, key length and salt, never by the password.
struct CacheEntry {
  Digest id{};
  DerivedKeys keys;
  ~CacheEntry() { crypto::Wipe(id.data(), id.size()); }
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

std::span<const uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// The digest of key length, salt length, salt and password, in that order.
bool CacheId(std::string_view passwordBytes, size_t keyLength, std::span<const uint8_t> salt,
             Digest& id) {
  std::string input;
  input.reserve(2 + salt.size() + passwordBytes.size());
  input.push_back(static_cast<char>(keyLength));
  input.push_back(static_cast<char>(salt.size()));
  input.append(reinterpret_cast<const char*>(salt.data()), salt.size());
  input.append(passwordBytes);
  const bool ok = crypto::Sha256(Bytes(input), id.data());
  crypto::Wipe(input.data(), input.size());
  return ok;
}

// HKDF-Expand (RFC 5869) with SHA-256.
bool HkdfExpand(const uint8_t prk[32], std::string_view info, uint8_t* out, size_t length) {
  uint8_t block[crypto::kSha256Size];
  bool ok = true;
  for (uint8_t counter = 1; ok && length > 0; ++counter) {
    // T(n) = HMAC(PRK, T(n-1) || info || n), with T(0) empty.
    std::string input(reinterpret_cast<const char*>(block), counter == 1 ? 0 : sizeof block);
    input.append(info);
    input.push_back(static_cast<char>(counter));
    ok = crypto::HmacSha256({prk, 32}, Bytes(input), block);
    crypto::Wipe(input.data(), input.size());
    const size_t take = std::min(length, sizeof block);
    std::memcpy(out, block, take);
    out += take;
    length -= take;
  }
  crypto::Wipe(block, sizeof block);
  return ok;
}

}  // namespace

bool Pbkdf2HmacSha256(std::string_view password, std::string_view salt, uint32_t iterations,
                      uint8_t out[32]) {
  return crypto::Pbkdf2HmacSha256(password, salt, iterations, out);
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
  crypto::Wipe(master, sizeof master);
  crypto::Wipe(expanded, sizeof expanded);
  return ok;
}

}  // namespace

DerivedKeys::~DerivedKeys() {
  Wipe();
}

void DerivedKeys::Wipe() {
  crypto::Wipe(k1, sizeof k1);
  crypto::Wipe(k2, sizeof k2);
  crypto::Wipe(km, sizeof km);
  crypto::Wipe(kt, sizeof kt);
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
  Digest id{};
  if (!CacheId(passwordBytes, keyLength, salt, id)) {
    return false;
  }
  Cache& cache = TheCache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  for (auto it = cache.entries.begin(); it != cache.entries.end(); ++it) {
    if (crypto::Equal(it->id.data(), id.data(), id.size())) {
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

bool KeyCheck(const DerivedKeys& keys, uint8_t out[kKeyCheckLength]) {
  uint8_t mac[crypto::kSha256Size] = {};
  const bool ok = crypto::HmacSha256({keys.km, kCheckKeyLength}, Bytes(kKeyCheckLabel), mac);
  std::memcpy(out, mac, kKeyCheckLength);
  crypto::Wipe(mac, sizeof mac);
  return ok;
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
