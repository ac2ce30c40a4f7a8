// The primitives on Windows CNG (bcrypt.dll), with Poly1305 of our own.
#include "Crypto.h"

#include "Poly1305.h"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace orv::crypto {
namespace {

// Not in every SDK's bcrypt.h.
constexpr wchar_t kXtsAesAlgorithm[] = L"XTS-AES";

// CNG takes ULONG lengths and non-const buffers it does not write to.
constexpr size_t kMaxCall = size_t{1} << 30;

PUCHAR In(const void* data) {
  return static_cast<PUCHAR>(const_cast<void*>(data));
}

// The algorithm providers, opened once per process; CNG lets threads share them. One that
// cannot be opened (XTS before Windows 10, or where the system lacks it) stays null.
struct Providers {
  BCRYPT_ALG_HANDLE sha256 = nullptr;
  BCRYPT_ALG_HANDLE hmacSha256 = nullptr;
  BCRYPT_ALG_HANDLE aesEcb = nullptr;
  BCRYPT_ALG_HANDLE xtsAes = nullptr;

  Providers() {
    Open(sha256, BCRYPT_SHA256_ALGORITHM, 0);
    Open(hmacSha256, BCRYPT_SHA256_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    if (Open(aesEcb, BCRYPT_AES_ALGORITHM, 0) &&
        !BCRYPT_SUCCESS(BCryptSetProperty(aesEcb, BCRYPT_CHAINING_MODE, In(BCRYPT_CHAIN_MODE_ECB),
                                          sizeof BCRYPT_CHAIN_MODE_ECB, 0))) {
      BCryptCloseAlgorithmProvider(aesEcb, 0);
      aesEcb = nullptr;
    }
    Open(xtsAes, kXtsAesAlgorithm, 0);
  }

  static bool Open(BCRYPT_ALG_HANDLE& handle, const wchar_t* algorithm, ULONG flags) {
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle, algorithm, nullptr, flags))) {
      handle = nullptr;
    }
    return handle != nullptr;
  }
};

const Providers& TheProviders() {
  static const Providers providers;
  return providers;
}

bool HashData(BCRYPT_HASH_HANDLE hash, const uint8_t* data, size_t length) {
  for (size_t offset = 0; offset < length; offset += kMaxCall) {
    const size_t n = std::min(kMaxCall, length - offset);
    if (!BCRYPT_SUCCESS(BCryptHashData(hash, In(data + offset), static_cast<ULONG>(n), 0))) {
      return false;
    }
  }
  return true;
}

// A hash (no key) or an HMAC (a key) of `data`, in one go.
bool HashOnce(BCRYPT_ALG_HANDLE algorithm, std::span<const uint8_t> key,
              std::span<const uint8_t> data, uint8_t out[kSha256Size]) {
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (algorithm == nullptr || key.size() > ULONG_MAX ||
      !BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, In(key.data()),
                                       static_cast<ULONG>(key.size()), 0))) {
    return false;
  }
  const bool ok = HashData(hash, data.data(), data.size()) &&
                  BCRYPT_SUCCESS(BCryptFinishHash(hash, out, kSha256Size, 0));
  BCryptDestroyHash(hash);
  return ok;
}

}  // namespace

void Wipe(void* data, size_t length) {
  SecureZeroMemory(data, length);
}

bool Equal(const void* a, const void* b, size_t length) {
  const volatile uint8_t* x = static_cast<const volatile uint8_t*>(a);
  const volatile uint8_t* y = static_cast<const volatile uint8_t*>(b);
  uint8_t difference = 0;
  for (size_t i = 0; i < length; ++i)
    difference |= static_cast<uint8_t>(x[i] ^ y[i]);
  return difference == 0;
}

bool RandomBytes(uint8_t* out, size_t length) {
  for (size_t offset = 0; offset < length; offset += kMaxCall) {
    const size_t n = std::min(kMaxCall, length - offset);
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out + offset, static_cast<ULONG>(n),
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
      return false;
    }
  }
  return true;
}

bool Sha256(std::span<const uint8_t> data, uint8_t out[kSha256Size]) {
  return HashOnce(TheProviders().sha256, {}, data, out);
}

bool HmacSha256(std::span<const uint8_t> key, std::span<const uint8_t> data,
                uint8_t out[kSha256Size]) {
  return HashOnce(TheProviders().hmacSha256, key, data, out);
}

bool Pbkdf2HmacSha256(std::string_view password, std::string_view salt, uint32_t iterations,
                      uint8_t out[kSha256Size]) {
  const BCRYPT_ALG_HANDLE prf = TheProviders().hmacSha256;
  return prf != nullptr && iterations != 0 && password.size() <= ULONG_MAX &&
         salt.size() <= ULONG_MAX &&
         BCRYPT_SUCCESS(BCryptDeriveKeyPBKDF2(
             prf, In(password.data()), static_cast<ULONG>(password.size()), In(salt.data()),
             static_cast<ULONG>(salt.size()), iterations, out, kSha256Size, 0));
}

// --- AES-ECB ------------------------------------------------------------------------------

namespace {

// A CNG key; destroying it wipes the key schedule.
struct Key {
  BCRYPT_KEY_HANDLE handle = nullptr;

  ~Key() { Reset(); }
  void Reset() {
    if (handle != nullptr)
      BCryptDestroyKey(handle);
    handle = nullptr;
  }
  bool Generate(BCRYPT_ALG_HANDLE algorithm, const uint8_t* key, size_t length) {
    Reset();
    if (algorithm == nullptr ||
        !BCRYPT_SUCCESS(BCryptGenerateSymmetricKey(algorithm, &handle, nullptr, 0, In(key),
                                                   static_cast<ULONG>(length), 0))) {
      handle = nullptr;
    }
    return handle != nullptr;
  }
  // Encrypts or decrypts `length` bytes (below 2^32) with the given IV, if any.
  bool Run(bool encrypt, const uint8_t* in, uint8_t* out, size_t length, uint8_t* iv,
           ULONG ivLength) const {
    ULONG written = 0;
    const ULONG n = static_cast<ULONG>(length);
    const NTSTATUS status =
        encrypt ? BCryptEncrypt(handle, In(in), n, nullptr, iv, ivLength, out, n, &written, 0)
                : BCryptDecrypt(handle, In(in), n, nullptr, iv, ivLength, out, n, &written, 0);
    return BCRYPT_SUCCESS(status) && written == n;
  }
};

}  // namespace

struct AesEcb::State {
  Key key;
  bool encrypt = true;
};

AesEcb::AesEcb() : m_state(std::make_unique<State>()) {}
AesEcb::~AesEcb() = default;

bool AesEcb::SetKey(std::span<const uint8_t> key, bool encrypt) {
  m_state->encrypt = encrypt;
  if (key.size() != 16 && key.size() != 24 && key.size() != 32) {
    m_state->key.Reset();
    return false;
  }
  return m_state->key.Generate(TheProviders().aesEcb, key.data(), key.size());
}

void AesEcb::Clear() {
  m_state->key.Reset();
}

bool AesEcb::Process(const uint8_t* in, uint8_t* out, size_t length) {
  return m_state->key.handle != nullptr && length % kAesBlock == 0 && length <= INT32_MAX &&
         m_state->key.Run(m_state->encrypt, in, out, length, nullptr, 0);
}

// --- XTS ----------------------------------------------------------------------------------

// CNG's XTS-AES is keyed with key1 || key2 and processes a buffer as data units of the key's
// message block length, the IV holding the first unit's tweak. Some versions of Windows take
// only the low 64 bits of the tweak (an 8-byte IV), newer ones all 128; XtsAes probes which.
struct NativeXts::State {
  Key key;
  size_t unitLength = 0;  // the message block length last set
  ULONG shortIv = 0;      // the IV length that worked for a tweak whose high half is zero
};

NativeXts::NativeXts() : m_state(std::make_unique<State>()) {}
NativeXts::~NativeXts() = default;

bool NativeXts::SetKeys(std::span<const uint8_t> key1, std::span<const uint8_t> key2) {
  Clear();
  const size_t keyLength = key1.size();
  if (key2.size() != keyLength || (keyLength != 16 && keyLength != 32)) {
    return false;
  }
  uint8_t both[64];
  std::memcpy(both, key1.data(), keyLength);
  std::memcpy(both + keyLength, key2.data(), keyLength);
  const bool ok = m_state->key.Generate(TheProviders().xtsAes, both, 2 * keyLength);
  Wipe(both, sizeof both);
  return ok;
}

void NativeXts::Clear() {
  m_state->key.Reset();
  m_state->unitLength = 0;
  m_state->shortIv = 0;
}

bool NativeXts::HasKeys() const {
  return m_state->key.handle != nullptr;
}

bool NativeXts::SetUnitLength(size_t length) {
  if (!HasKeys() || length < kAesBlock || length % kAesBlock != 0 || length > (size_t{1} << 24)) {
    return false;
  }
  if (length != m_state->unitLength) {
    ULONG value = static_cast<ULONG>(length);
    if (!BCRYPT_SUCCESS(BCryptSetProperty(m_state->key.handle, BCRYPT_MESSAGE_BLOCK_LENGTH,
                                          reinterpret_cast<PUCHAR>(&value), sizeof value, 0))) {
      m_state->unitLength = 0;
      return false;
    }
    m_state->unitLength = length;
  }
  return true;
}

bool NativeXts::Process(bool encrypt, const uint8_t tweak[kAesBlock], const uint8_t* in,
                        uint8_t* out, size_t length) {
  State& state = *m_state;
  if (!HasKeys() || length != state.unitLength || length == 0) {
    return false;
  }
  uint8_t iv[kAesBlock];  // CNG advances it past the unit
  std::memcpy(iv, tweak, kAesBlock);
  const bool highHalfZero =
      std::all_of(tweak + 8, tweak + kAesBlock, [](uint8_t b) { return b == 0; });
  if (!highHalfZero) {
    return state.key.Run(encrypt, in, out, length, iv, kAesBlock);
  }
  if (state.shortIv != 0) {
    return state.key.Run(encrypt, in, out, length, iv, state.shortIv);
  }
  // The first unit of these keys, XtsAes's probe, finds the IV length that CNG takes; CNG
  // checks the IV length before it touches the data.
  for (ULONG ivLength : {ULONG{8}, ULONG{kAesBlock}}) {
    std::memcpy(iv, tweak, kAesBlock);
    if (state.key.Run(encrypt, in, out, length, iv, ivLength)) {
      state.shortIv = ivLength;
      return true;
    }
  }
  return false;
}

// --- MAC ----------------------------------------------------------------------------------

struct Mac::State {
  BCRYPT_HASH_HANDLE hmac = nullptr;  // destroying it wipes the key
  Poly1305 poly1305;

  ~State() { DropHmac(); }
  void DropHmac() {
    if (hmac != nullptr)
      BCryptDestroyHash(hmac);
    hmac = nullptr;
  }
};

Mac::Mac(Kind kind) : m_kind(kind), m_state(std::make_unique<State>()) {}
Mac::~Mac() = default;

bool Mac::Start(const uint8_t key[32]) {
  m_running = false;
  if (m_kind == Kind::Poly1305) {
    m_state->poly1305.Start(key);
    m_running = true;
    return true;
  }
  m_state->DropHmac();
  const BCRYPT_ALG_HANDLE algorithm = TheProviders().hmacSha256;
  if (algorithm == nullptr ||
      !BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &m_state->hmac, nullptr, 0, In(key), 32, 0))) {
    m_state->hmac = nullptr;
    return false;
  }
  m_running = true;
  return true;
}

void Mac::Update(const uint8_t* data, size_t length) {
  if (!m_running || length == 0) {
    return;
  }
  if (m_kind == Kind::Poly1305) {
    m_state->poly1305.Update(data, length);
  } else {
    m_running = HashData(m_state->hmac, data, length);
  }
}

bool Mac::Finish(uint8_t* out) {
  if (!m_running)
    return false;
  m_running = false;
  if (m_kind == Kind::Poly1305) {
    m_state->poly1305.Finish(out);
    return true;
  }
  const bool ok = BCRYPT_SUCCESS(BCryptFinishHash(m_state->hmac, out, kSha256Size, 0));
  m_state->DropHmac();
  return ok;
}

}  // namespace orv::crypto
