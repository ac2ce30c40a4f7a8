#include <OrvCopy/external/orv_encryption.h>

#include "FileHeader.h"
#include "KeyDerivation.h"
#include "XtsAes.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace orv {
namespace {

// A frame fails for good after a short buffer: only the last buffer of a body may be short.
struct Frame {
  uint64_t nextUnit = 0;
  uint64_t capacity = 0;  // fixed by the first buffer of the frame
  bool ended = false;
};

bool IsKeyLength(int n) {
  return n == 16 || n == 24 || n == 32;
}

}  // namespace

struct CEncryption::Impl {
  int method = kMethodXtsAes;
  std::string passwordBytes;  // UTF-16LE; wiped when replaced or dropped
  int keyLength = 32, tweakKeyLength = 32, blockLength = 16;
  bool keysCurrent = false;  // the cipher holds the keys of the current settings
  bool keysUsable = false;
  keys::DerivedKeys keys;
  xts::XtsAes cipher;
  Frame frame;

  ~Impl() { OPENSSL_cleanse(passwordBytes.data(), passwordBytes.size()); }

  void SettingsChanged() {
    keysCurrent = false;
    keysUsable = false;
    keys.Wipe();
    cipher.Clear();
  }

  // Derives the keys for the current settings once; false when they cannot be used.
  bool EnsureKeys() {
    if (keysCurrent) {
      return keysUsable;
    }
    keysCurrent = true;
    keysUsable = method == kMethodXtsAes && !passwordBytes.empty() && IsKeyLength(keyLength) &&
                 tweakKeyLength == keyLength && blockLength == 16 &&
                 keys::Derive(passwordBytes, static_cast<size_t>(keyLength), keys) &&
                 cipher.SetKeys({keys.k1, keys.keyLength}, {keys.k2, keys.keyLength});
    return keysUsable;
  }

  // Checks the capacity against the frame's, fixing it on the frame's first buffer.
  bool AcceptCapacity(uint64_t capacity) {
    if (frame.ended || !IsValidDataUnitSize(capacity) ||
        (frame.capacity != 0 && frame.capacity != capacity) || !EnsureKeys()) {
      return false;
    }
    frame.capacity = capacity;
    return true;
  }

  // Runs the cipher over `length` bytes as consecutive data units of at most 16 MiB.
  template <typename UnitFn>
  bool Units(const uint8_t* in, uint8_t* out, size_t length, UnitFn unitFn) {
    for (size_t offset = 0; offset < length; offset += xts::kMaxDataUnit) {
      const size_t unitLength = std::min(length - offset, xts::kMaxDataUnit);
      if (!unitFn(in + offset, out + offset, unitLength, frame.nextUnit++)) {
        return false;
      }
    }
    return true;
  }
};

CEncryption::CEncryption() : m_pImpl(std::make_unique<Impl>()) {}
CEncryption::~CEncryption() = default;

void CEncryption::GetKeyStrengthData(int nStrength, int& nKeyLength, int& nTweakKeyLength,
                                     int& nBlockLength) {
  int bytes = 0;
  if (IsKeyLength(nStrength)) {
    bytes = nStrength;
  } else if (nStrength % 8 == 0 && IsKeyLength(nStrength / 8)) {
    bytes = nStrength / 8;
  }
  if (bytes != 0) {
    nKeyLength = bytes;
    nTweakKeyLength = bytes;
    nBlockLength = 16;
  }
}

void CEncryption::SetMethod(int nMethod) {
  if (m_pImpl->method != nMethod) {
    m_pImpl->method = nMethod;
    m_pImpl->SettingsChanged();
  }
}

void CEncryption::SetPassword(const wchar_t* lpszPassword, bool bDeriveNow) {
  std::string bytes = keys::PasswordBytes(lpszPassword != nullptr ? lpszPassword : L"");
  if (bytes != m_pImpl->passwordBytes) {
    OPENSSL_cleanse(m_pImpl->passwordBytes.data(), m_pImpl->passwordBytes.size());
    m_pImpl->passwordBytes = std::move(bytes);
    m_pImpl->SettingsChanged();
  } else {
    OPENSSL_cleanse(bytes.data(), bytes.size());
  }
  if (bDeriveNow) {
    m_pImpl->EnsureKeys();
  }
}

void CEncryption::SetAESParams(int nKeyLength, int nTweakKeyLength, int nBlockLength) {
  if (nKeyLength != m_pImpl->keyLength || nTweakKeyLength != m_pImpl->tweakKeyLength ||
      nBlockLength != m_pImpl->blockLength) {
    m_pImpl->keyLength = nKeyLength;
    m_pImpl->tweakKeyLength = nTweakKeyLength;
    m_pImpl->blockLength = nBlockLength;
    m_pImpl->SettingsChanged();
  }
}

void CEncryption::ResetChain() {
  m_pImpl->frame = Frame{};
}

uint64_t CEncryption::GetHeaderSize() {
  ResetChain();
  return kHeaderSize;
}

uint64_t CEncryption::WriteFileHeader(uint8_t* pBuffer, uint64_t nCapacity, int64_t nPlainSize) {
  if (pBuffer == nullptr || nPlainSize < 0 || !IsValidDataUnitSize(nCapacity) ||
      !m_pImpl->EnsureKeys()) {
    return 1;
  }
  header::Fields fields;
  fields.keyLength = static_cast<uint16_t>(m_pImpl->keys.keyLength);
  fields.dataUnitSize = static_cast<uint32_t>(nCapacity);
  fields.plainSize = static_cast<uint64_t>(nPlainSize);
  fields.iterations = keys::kIterations;
  keys::KeyCheck(m_pImpl->keys, fields.keyCheck);
  header::Write(fields, pBuffer);
  return 0;
}

bool CEncryption::Encrypt(const uint8_t* pIn, uint8_t* pOut, uint32_t& nLength,
                          uint64_t nCapacity) {
  if (pIn == nullptr || pOut == nullptr || nLength > nCapacity ||
      !m_pImpl->AcceptCapacity(nCapacity)) {
    return false;
  }
  if (nLength < nCapacity) {
    m_pImpl->frame.ended = true;  // the short buffer ends the body
  }
  const size_t padded = (static_cast<size_t>(nLength) + 15) / 16 * 16;
  const uint8_t* source = pIn;
  if (padded != nLength) {
    // The last block is zero-padded: do it in the output buffer, then encrypt in place.
    std::memmove(pOut, pIn, nLength);
    std::memset(pOut + nLength, 0, padded - nLength);
    source = pOut;
  }
  auto encryptUnit = [this](const uint8_t* in, uint8_t* out, size_t length, uint64_t unit) {
    return m_pImpl->cipher.EncryptUnit(in, out, length, unit);
  };
  if (!m_pImpl->Units(source, pOut, padded, encryptUnit)) {
    return false;
  }
  nLength = static_cast<uint32_t>(padded);
  return true;
}

bool CEncryption::Decrypt(const uint8_t* pIn, uint8_t* pOut, uint64_t nCapacity) {
  if (pIn == nullptr || pOut == nullptr || !m_pImpl->AcceptCapacity(nCapacity)) {
    return false;
  }
  auto decryptUnit = [this](const uint8_t* in, uint8_t* out, size_t length, uint64_t unit) {
    return m_pImpl->cipher.DecryptUnit(in, out, length, unit);
  };
  return m_pImpl->Units(pIn, pOut, static_cast<size_t>(nCapacity), decryptUnit);
}

bool CEncryption::IsValidDataUnitSize(uint64_t nCapacity) {
  return nCapacity >= 64 && nCapacity % 16 == 0 && nCapacity <= UINT32_MAX;
}

int CEncryption::CheckPassword(const uint8_t* pHeader, size_t nHeaderSize,
                               const wchar_t* lpszPassword, uint32_t* pnDataUnitSize,
                               uint64_t* pnPlainSize) {
  header::Fields fields;
  // A header asking for another iteration count is not one of ours: honouring it would let
  // a damaged file make the check run for hours.
  if (!header::Read(pHeader, nHeaderSize, fields) || fields.iterations != keys::kIterations) {
    return CheckNotAHeader;
  }
  if (pnDataUnitSize != nullptr)
    *pnDataUnitSize = fields.dataUnitSize;
  if (pnPlainSize != nullptr)
    *pnPlainSize = fields.plainSize;
  std::string password = keys::PasswordBytes(lpszPassword != nullptr ? lpszPassword : L"");
  keys::DerivedKeys derived;
  const bool derivedOk = !password.empty() && keys::Derive(password, fields.keyLength, derived);
  OPENSSL_cleanse(password.data(), password.size());
  if (!derivedOk) {
    return CheckWrongPassword;
  }
  uint8_t check[keys::kKeyCheckLength];
  keys::KeyCheck(derived, check);
  const bool match = CRYPTO_memcmp(check, fields.keyCheck, sizeof check) == 0;
  OPENSSL_cleanse(check, sizeof check);
  return match ? CheckPasswordOK : CheckWrongPassword;
}

}  // namespace orv
