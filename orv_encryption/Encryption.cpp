#include <OrvCopy/external/orv_encryption.h>

#include "Crypto.h"
#include "FileHeader.h"
#include "KeyDerivation.h"
#include "XtsAes.h"

#include <orv_platform/utf.h>
#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

namespace orv {
namespace {

using Salt = std::array<uint8_t, header::kSaltSize>;

// How a frame keys and checks its data: version 1 (fixed salt, no nonce, no tag) or version 2.
struct FrameParams {
  uint16_t version = 1;
  Salt salt{};
  uint8_t nonce[header::kNonceSize] = {};
};

// One frame: a file's header and body. A frame fails for good after a short buffer: only the
// last buffer of a body may be short.
struct Frame {
  uint64_t nextUnit = 0;
  uint64_t capacity = 0;  // fixed by the first buffer of the frame
  bool ended = false;
  bool unusable = false;  // an announced header that could not be used
  FrameParams params;
  // The tag: computed while the frame runs, read once at its end.
  bool announced = false;     // the tag covers an announced file of a known length
  uint64_t bodyExpected = 0;  // announced: body bytes the file holds
  uint64_t bodyTagged = 0;    // body bytes added to the tag so far
  uint64_t plainBytes = 0;    // plain bytes Encrypt took
  bool tagBroken = false;     // bytes came after the tag was read
  std::optional<std::array<uint8_t, CEncryption::kTagSize>> tag;
};

// A file announced for the next frame.
struct Announcement {
  bool pending = false;
  bool usable = false;
  header::Fields fields;
  uint8_t bytes[header::kSize] = {};
  uint64_t fileSize = 0;
};

bool IsKeyLength(int n) {
  return n == 16 || n == 24 || n == 32;
}

// The tweak mask of a version-2 file: its nonce in bytes 4 to 15, so that the data-unit
// number (bytes 0 to 7) and the nonce together set every unit of every file apart.
std::array<uint8_t, xts::kBlock> TweakMask(const FrameParams& params) {
  std::array<uint8_t, xts::kBlock> mask{};
  if (params.version == 2)
    std::memcpy(mask.data() + 4, params.nonce, header::kNonceSize);
  return mask;
}

}  // namespace

struct CEncryption::Impl {
  int method = kMethodXtsAes;
  std::string passwordBytes;  // UTF-16LE; wiped when replaced or dropped
  int keyLength = 32, tweakKeyLength = 32, blockLength = 16;
  std::optional<Salt> writeSalt;  // the backup's salt: files are written in version 2
  // The derived keys and the salt they belong to (none: version 1).
  bool keysCurrent = false;
  bool keysUsable = false;
  std::optional<Salt> keysSalt;
  keys::DerivedKeys keys;
  xts::XtsAes cipher;
  Frame frame;
  Announcement next;
  crypto::Mac fileTag{crypto::Mac::Kind::Poly1305};
  crypto::Mac hostTag{crypto::Mac::Kind::HmacSha256};

  ~Impl() { crypto::Wipe(passwordBytes.data(), passwordBytes.size()); }

  void SettingsChanged() {
    keysCurrent = false;
    keysUsable = false;
    keys.Wipe();
    cipher.Clear();
  }

  bool SettingsUsable() const {
    return method == kMethodXtsAes && !passwordBytes.empty() && IsKeyLength(keyLength) &&
           tweakKeyLength == keyLength && blockLength == 16;
  }

  // Derives the keys for the current settings and the given salt (none: version 1) once;
  // false when they cannot be used.
  bool EnsureKeys(const std::optional<Salt>& salt) {
    if (keysCurrent && keysSalt == salt) {
      return keysUsable;
    }
    SettingsChanged();
    keysCurrent = true;
    keysSalt = salt;
    const std::span<const uint8_t> saltBytes =
        salt ? std::span<const uint8_t>(*salt) : std::span<const uint8_t>();
    keysUsable = SettingsUsable() &&
                 keys::Derive(passwordBytes, static_cast<size_t>(keyLength), saltBytes, keys) &&
                 cipher.SetKeys({keys.k1, keys.keyLength}, {keys.k2, keys.keyLength});
    return keysUsable;
  }

  std::optional<Salt> SaltOf(const FrameParams& params) const {
    return params.version == 2 ? std::optional<Salt>(params.salt) : std::nullopt;
  }

  // Keys and tag of the frame's parameters; the tag starts with the header bytes.
  bool BeginFrameKeys(const uint8_t* headerBytes) {
    if (!EnsureKeys(SaltOf(frame.params))) {
      return false;
    }
    if (frame.params.version != 2) {
      return true;
    }
    uint8_t key[32];
    const bool started = keys::FileTagKey(keys, frame.params.nonce, key) && fileTag.Start(key);
    crypto::Wipe(key, sizeof key);
    fileTag.Update(headerBytes, header::kSize);
    return started;
  }

  // Without an announcement the frame is written (WriteFileHeader sets it up) or a version-1
  // file is read back; either way it starts without a nonce.
  void StartFrame() {
    frame = Frame{};
    if (!std::exchange(next.pending, false)) {
      return;
    }
    frame.announced = true;
    frame.unusable = !next.usable || next.fields.keyLength != keyLength;
    if (frame.unusable) {
      return;
    }
    frame.params.version = next.fields.version;
    std::memcpy(frame.params.salt.data(), next.fields.salt, header::kSaltSize);
    std::memcpy(frame.params.nonce, next.fields.nonce, header::kNonceSize);
    frame.bodyExpected = next.fileSize - header::kSize;
    frame.unusable = !BeginFrameKeys(next.bytes);
  }

  // Checks the capacity against the frame's, fixing it on the frame's first buffer, and
  // makes the cipher the frame's.
  bool AcceptCapacity(uint64_t capacity) {
    if (frame.ended || frame.unusable || !IsValidDataUnitSize(capacity) ||
        (frame.capacity != 0 && frame.capacity != capacity) || !EnsureKeys(SaltOf(frame.params))) {
      return false;
    }
    frame.capacity = capacity;
    cipher.SetTweakMask(TweakMask(frame.params));
    return true;
  }

  // Stored bytes of a version-2 frame into its tag.
  void Tag(const uint8_t* data, size_t length) {
    if (frame.params.version != 2)
      return;
    if (frame.tag) {
      frame.tagBroken = true;
    }
    fileTag.Update(data, length);
    frame.bodyTagged += length;
  }

  // Runs the cipher over `length` bytes as consecutive data units of at most 16 MiB. With
  // `used` (a multiple of 16), only the bytes before it are run through: the blocks of an XTS
  // unit do not depend on those after them. The units still count the whole length.
  template <typename UnitFn>
  bool Units(const uint8_t* in, uint8_t* out, size_t length, UnitFn unitFn,
             size_t used = SIZE_MAX) {
    for (size_t offset = 0; offset < length; offset += xts::kMaxDataUnit) {
      const size_t unitLength =
          std::min({length - offset, xts::kMaxDataUnit, used > offset ? used - offset : size_t{0}});
      const uint64_t unit = frame.nextUnit++;
      if (unitLength != 0 && !unitFn(in + offset, out + offset, unitLength, unit)) {
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
  std::string bytes = keys::PasswordBytes(orv::platform::OrEmpty(lpszPassword));
  if (bytes != m_pImpl->passwordBytes) {
    crypto::Wipe(m_pImpl->passwordBytes.data(), m_pImpl->passwordBytes.size());
    m_pImpl->passwordBytes = std::move(bytes);
    m_pImpl->SettingsChanged();
  } else {
    crypto::Wipe(bytes.data(), bytes.size());
  }
  if (bDeriveNow) {
    m_pImpl->EnsureKeys(m_pImpl->writeSalt);
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

void CEncryption::SetSalt(const uint8_t* pSalt) {
  m_pImpl->writeSalt.reset();
  if (pSalt != nullptr) {
    m_pImpl->writeSalt.emplace();
    std::memcpy(m_pImpl->writeSalt->data(), pSalt, kSaltSize);
  }
}

void CEncryption::ResetChain() {
  m_pImpl->StartFrame();
}

uint64_t CEncryption::GetHeaderSize() {
  ResetChain();
  return kHeaderSize;
}

uint64_t CEncryption::WriteFileHeader(uint8_t* pBuffer, uint64_t nCapacity, int64_t nPlainSize) {
  Impl& impl = *m_pImpl;
  header::Fields fields;
  if (pBuffer == nullptr || nPlainSize < 0 || !IsValidDataUnitSize(nCapacity) ||
      !impl.EnsureKeys(impl.writeSalt) || !keys::KeyCheck(impl.keys, fields.keyCheck)) {
    return 1;
  }
  fields.keyLength = static_cast<uint16_t>(impl.keys.keyLength);
  fields.dataUnitSize = static_cast<uint32_t>(nCapacity);
  fields.plainSize = static_cast<uint64_t>(nPlainSize);
  fields.iterations = keys::kIterations;
  // The frame is this file's from here on: a version-2 file gets its nonce and its tag.
  impl.frame.params = FrameParams{};
  if (impl.writeSalt) {
    fields.version = 2;
    std::memcpy(fields.salt, impl.writeSalt->data(), kSaltSize);
    if (!crypto::RandomBytes(fields.nonce, sizeof fields.nonce)) {
      return 1;
    }
    impl.frame.params.version = 2;
    impl.frame.params.salt = *impl.writeSalt;
    std::memcpy(impl.frame.params.nonce, fields.nonce, sizeof fields.nonce);
  }
  header::Write(fields, pBuffer);
  return impl.BeginFrameKeys(pBuffer) ? 0 : 1;
}

bool CEncryption::Encrypt(const uint8_t* pIn, uint8_t* pOut, uint32_t& nLength,
                          uint64_t nCapacity) {
  Impl& impl = *m_pImpl;
  if (pIn == nullptr || pOut == nullptr || nLength > nCapacity || impl.frame.announced ||
      !impl.AcceptCapacity(nCapacity)) {
    return false;
  }
  if (nLength < nCapacity) {
    impl.frame.ended = true;  // the short buffer ends the body
  }
  const size_t padded = (static_cast<size_t>(nLength) + 15) / 16 * 16;
  const uint8_t* source = pIn;
  if (padded != nLength) {
    // The last block is zero-padded: do it in the output buffer, then encrypt in place.
    std::memmove(pOut, pIn, nLength);
    std::memset(pOut + nLength, 0, padded - nLength);
    source = pOut;
  }
  auto encryptUnit = [&impl](const uint8_t* in, uint8_t* out, size_t length, uint64_t unit) {
    return impl.cipher.EncryptUnit(in, out, length, unit);
  };
  if (!impl.Units(source, pOut, padded, encryptUnit)) {
    return false;
  }
  impl.Tag(pOut, padded);
  impl.frame.plainBytes += nLength;
  nLength = static_cast<uint32_t>(padded);
  return true;
}

bool CEncryption::Decrypt(const uint8_t* pIn, uint8_t* pOut, uint64_t nCapacity) {
  Impl& impl = *m_pImpl;
  if (pIn == nullptr || pOut == nullptr || !impl.AcceptCapacity(nCapacity)) {
    return false;
  }
  // The tag takes the stored bytes before they are decrypted (in place, perhaps), and only
  // as many as the announced file still holds: the rest of a last, short buffer is not the
  // file's.
  size_t used = SIZE_MAX;
  if (impl.frame.announced) {
    const uint64_t left =
        impl.frame.bodyExpected - std::min(impl.frame.bodyExpected, impl.frame.bodyTagged);
    const size_t held = static_cast<size_t>(std::min<uint64_t>(left, nCapacity));
    impl.Tag(pIn, held);
    // A tagged file holds no more of the buffer than that, and the reader keeps no more than
    // it read: the rest is not decrypted. A small file under a large capacity would otherwise
    // cost a whole buffer's work.
    if (impl.frame.params.version == 2)
      used = (held + 15) / 16 * 16;
  }
  auto decryptUnit = [&impl](const uint8_t* in, uint8_t* out, size_t length, uint64_t unit) {
    return impl.cipher.DecryptUnit(in, out, length, unit);
  };
  return impl.Units(pIn, pOut, static_cast<size_t>(nCapacity), decryptUnit, used);
}

bool CEncryption::SetNextFrameHeader(const uint8_t* pHeader, size_t nHeaderSize,
                                     uint64_t nFileSize) {
  Announcement& next = m_pImpl->next;
  next = Announcement{};
  next.pending = true;  // a frame announced with bad bytes refuses to decrypt
  // A header asking for another iteration count is not one of ours.
  next.usable = header::Read(pHeader, nHeaderSize, next.fields) &&
                next.fields.iterations == keys::kIterations && nFileSize >= kHeaderSize;
  if (next.usable) {
    std::memcpy(next.bytes, pHeader, header::kSize);
    next.fileSize = nFileSize;
  }
  return next.usable;
}

bool CEncryption::AddToFrameTag(const uint8_t* pData, size_t nLength) {
  Impl& impl = *m_pImpl;
  if (!impl.frame.announced || impl.frame.unusable || impl.frame.params.version != 2) {
    return false;
  }
  impl.Tag(pData, nLength);
  return true;
}

bool CEncryption::GetFrameTag(uint8_t pTag[kTagSize], uint64_t* pnPlainBytes) {
  Impl& impl = *m_pImpl;
  Frame& frame = impl.frame;
  if (frame.params.version != 2 || frame.unusable || frame.tagBroken ||
      (frame.announced && frame.bodyTagged != frame.bodyExpected)) {
    return false;
  }
  if (!frame.tag) {
    frame.tag.emplace();
    if (!impl.fileTag.Finish(frame.tag->data())) {
      frame.tagBroken = true;
      return false;
    }
  }
  std::memcpy(pTag, frame.tag->data(), kTagSize);
  if (pnPlainBytes != nullptr)
    *pnPlainBytes = frame.plainBytes;
  return true;
}

bool CEncryption::GetKeyCheck(uint8_t pCheck[kKeyCheckSize]) {
  Impl& impl = *m_pImpl;
  if (!impl.writeSalt || !impl.EnsureKeys(impl.writeSalt)) {
    return false;
  }
  uint8_t check[keys::kKeyCheckLength];
  const bool ok = keys::KeyCheck(impl.keys, check);
  std::memcpy(pCheck, check, kKeyCheckSize);
  crypto::Wipe(check, sizeof check);
  return ok;
}

bool CEncryption::BeginHostTag() {
  Impl& impl = *m_pImpl;
  if (!impl.writeSalt || !impl.EnsureKeys(impl.writeSalt)) {
    return false;
  }
  uint8_t key[32];
  const bool started = keys::HostTagKey(impl.keys, key) && impl.hostTag.Start(key);
  crypto::Wipe(key, sizeof key);
  return started;
}

void CEncryption::AddToHostTag(const uint8_t* pData, size_t nLength) {
  m_pImpl->hostTag.Update(pData, nLength);
}

bool CEncryption::EndHostTag(uint8_t pTag[kHostTagSize]) {
  return m_pImpl->hostTag.Finish(pTag);
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
  std::string password = keys::PasswordBytes(orv::platform::OrEmpty(lpszPassword));
  const std::span<const uint8_t> salt =
      fields.version == 2 ? std::span<const uint8_t>(fields.salt) : std::span<const uint8_t>();
  keys::DerivedKeys derived;
  const bool derivedOk =
      !password.empty() && keys::Derive(password, fields.keyLength, salt, derived);
  crypto::Wipe(password.data(), password.size());
  if (!derivedOk) {
    return CheckWrongPassword;
  }
  uint8_t check[keys::kKeyCheckLength];
  const bool match = keys::KeyCheck(derived, check) &&
                     crypto::Equal(check, fields.keyCheck, header::KeyCheckLength(fields.version));
  crypto::Wipe(check, sizeof check);
  return match ? CheckPasswordOK : CheckWrongPassword;
}

}  // namespace orv
