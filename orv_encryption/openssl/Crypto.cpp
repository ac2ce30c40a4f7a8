// The primitives on OpenSSL 3.

// The SHA-256 block function of the PBKDF2 loop below is part of OpenSSL's low-level API.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "Crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <cstring>
#include <string>

namespace orv::crypto {
namespace {

struct CtxDeleter {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }  // wipes the schedule
};
using CtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CtxDeleter>;

CtxPtr NewCipher(const EVP_CIPHER* cipher, const uint8_t* key, int encrypt) {
  CtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx || cipher == nullptr ||
      EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key, nullptr, encrypt) != 1) {
    return nullptr;
  }
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  return ctx;
}

const EVP_CIPHER* EcbFor(size_t keyLength) {
  switch (keyLength) {
    case 16:
      return EVP_aes_128_ecb();
    case 24:
      return EVP_aes_192_ecb();
    case 32:
      return EVP_aes_256_ecb();
    default:
      return nullptr;
  }
}

const EVP_CIPHER* XtsFor(size_t keyLength) {
  switch (keyLength) {
    case 16:
      return EVP_aes_128_xts();
    case 32:
      return EVP_aes_256_xts();
    default:
      return nullptr;
  }
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

void Wipe(void* data, size_t length) {
  OPENSSL_cleanse(data, length);
}

bool Equal(const void* a, const void* b, size_t length) {
  return CRYPTO_memcmp(a, b, length) == 0;
}

bool RandomBytes(uint8_t* out, size_t length) {
  return length <= INT32_MAX && RAND_bytes(out, static_cast<int>(length)) == 1;
}

bool Sha256(std::span<const uint8_t> data, uint8_t out[kSha256Size]) {
  return EVP_Digest(data.data(), data.size(), out, nullptr, EVP_sha256(), nullptr) == 1;
}

bool HmacSha256(std::span<const uint8_t> key, std::span<const uint8_t> data,
                uint8_t out[kSha256Size]) {
  unsigned int length = 0;
  return key.size() <= INT32_MAX &&
         HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data.data(), data.size(), out,
              &length) != nullptr &&
         length == kSha256Size;
}

// Each iteration after the first is two runs of the SHA-256 block function on states that
// start after the key pads, which are hashed once for the whole loop rather than once per
// HMAC: the derivation runs 600000 iterations.
bool Pbkdf2HmacSha256(std::string_view password, std::string_view salt, uint32_t iterations,
                      uint8_t out[kSha256Size]) {
  if (iterations == 0) {
    return false;
  }
  // The HMAC key: the password, or its hash when longer than a block.
  uint8_t key[SHA256_CBLOCK] = {};
  if (password.size() > SHA256_CBLOCK) {
    SHA256(reinterpret_cast<const uint8_t*>(password.data()), password.size(), key);
  } else {
    std::memcpy(key, password.data(), password.size());
  }
  SHA256_CTX inner = PadState(key, 0x36);
  SHA256_CTX outer = PadState(key, 0x5c);
  OPENSSL_cleanse(key, sizeof key);
  // The pad states are as good as the password: wiped on every way out.
  struct WipeOnExit {
    SHA256_CTX& a;
    SHA256_CTX& b;
    ~WipeOnExit() {
      OPENSSL_cleanse(&a, sizeof a);
      OPENSSL_cleanse(&b, sizeof b);
    }
  } wipePads{inner, outer};

  // U1 = HMAC(P, S || INT(1)), computed the ordinary way (the salt has any length).
  uint8_t u[32];
  std::string first(salt);
  first.append("\0\0\0\1", 4);
  if (!HmacSha256({reinterpret_cast<const uint8_t*>(password.data()), password.size()},
                  {reinterpret_cast<const uint8_t*>(first.data()), first.size()}, u)) {
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

// --- AES-ECB ------------------------------------------------------------------------------

struct AesEcb::State {
  CtxPtr ctx;
};

AesEcb::AesEcb() : m_state(std::make_unique<State>()) {}
AesEcb::~AesEcb() = default;

bool AesEcb::SetKey(std::span<const uint8_t> key, bool encrypt) {
  m_state->ctx = NewCipher(EcbFor(key.size()), key.data(), encrypt ? 1 : 0);
  return m_state->ctx != nullptr;
}

void AesEcb::Clear() {
  m_state->ctx.reset();
}

bool AesEcb::Process(const uint8_t* in, uint8_t* out, size_t length) {
  int written = 0;
  return m_state->ctx && length % kAesBlock == 0 && length <= INT32_MAX &&
         EVP_CipherUpdate(m_state->ctx.get(), out, &written, in, static_cast<int>(length)) == 1 &&
         static_cast<size_t>(written) == length;
}

// --- XTS ----------------------------------------------------------------------------------

struct NativeXts::State {
  CtxPtr encrypt, decrypt;
};

NativeXts::NativeXts() : m_state(std::make_unique<State>()) {}
NativeXts::~NativeXts() = default;

bool NativeXts::SetKeys(std::span<const uint8_t> key1, std::span<const uint8_t> key2) {
  Clear();
  const size_t keyLength = key1.size();
  if (key2.size() != keyLength || XtsFor(keyLength) == nullptr) {
    return false;
  }
  uint8_t both[64];
  std::memcpy(both, key1.data(), keyLength);
  std::memcpy(both + keyLength, key2.data(), keyLength);
  State next;
  next.encrypt = NewCipher(XtsFor(keyLength), both, 1);
  next.decrypt = NewCipher(XtsFor(keyLength), both, 0);
  OPENSSL_cleanse(both, sizeof both);
  if (!next.encrypt || !next.decrypt) {
    return false;
  }
  *m_state = std::move(next);
  return true;
}

void NativeXts::Clear() {
  *m_state = State{};
}

bool NativeXts::HasKeys() const {
  return m_state->encrypt != nullptr;
}

// OpenSSL takes any unit of whole blocks up to 2^20 of them in one call.
bool NativeXts::SetUnitLength(size_t length) {
  return length >= kAesBlock && length % kAesBlock == 0 && length <= (size_t{1} << 24);
}

bool NativeXts::Process(bool encrypt, const uint8_t tweak[kAesBlock], const uint8_t* in,
                        uint8_t* out, size_t length) {
  EVP_CIPHER_CTX* ctx = encrypt ? m_state->encrypt.get() : m_state->decrypt.get();
  int written = 0;
  return ctx != nullptr && SetUnitLength(length) &&
         EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, tweak, -1) == 1 &&
         EVP_CipherUpdate(ctx, out, &written, in, static_cast<int>(length)) == 1 &&
         static_cast<size_t>(written) == length;
}

// --- MAC ----------------------------------------------------------------------------------

namespace {

// Fetched once per process; EVP_MAC objects may be shared between threads.
EVP_MAC* MacAlgorithm(Mac::Kind kind) {
  static EVP_MAC* const poly1305 = EVP_MAC_fetch(nullptr, "POLY1305", nullptr);
  static EVP_MAC* const hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  return kind == Mac::Kind::Poly1305 ? poly1305 : hmac;
}

}  // namespace

struct Mac::State {
  EVP_MAC_CTX* ctx = nullptr;
  ~State() { EVP_MAC_CTX_free(ctx); }  // wipes the key
};

Mac::Mac(Kind kind) : m_kind(kind), m_state(std::make_unique<State>()) {
  if (EVP_MAC* algorithm = MacAlgorithm(kind))
    m_state->ctx = EVP_MAC_CTX_new(algorithm);
}

Mac::~Mac() = default;

bool Mac::Start(const uint8_t key[32]) {
  char digest[] = "SHA256";
  const OSSL_PARAM hmacParams[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_END};
  m_running =
      m_state->ctx != nullptr &&
      EVP_MAC_init(m_state->ctx, key, 32, m_kind == Kind::HmacSha256 ? hmacParams : nullptr) == 1;
  return m_running;
}

void Mac::Update(const uint8_t* data, size_t length) {
  if (m_running && length != 0)
    m_running = EVP_MAC_update(m_state->ctx, data, length) == 1;
}

bool Mac::Finish(uint8_t* out) {
  if (!m_running)
    return false;
  m_running = false;
  size_t written = 0;
  return EVP_MAC_final(m_state->ctx, out, &written, TagLength()) == 1 && written == TagLength();
}

}  // namespace orv::crypto
