// The encryption library: the engine that writes the header of an encrypted backup file and
// encrypts and decrypts its body, XTS-AES with 128-, 192- or 256-bit keys derived from the
// job password. The manager owns one engine.
//
// A frame (one encrypted file) starts at ResetChain() and at every GetHeaderSize(); its body
// is a sequence of data units, one per buffer, numbered from 0. Every buffer of a frame has
// the same capacity, a multiple of 16 and at least 64 bytes: a full buffer encrypts to exactly
// its capacity, the last (short) one is zero-padded to a multiple of 16. A body decrypts only
// with the capacity it was written with, which the header records.
//
// Files come in two versions (docs/encryption.md). Version 1 derives its keys with a fixed
// salt and needs nothing from the host. Version 2, written once the host gives the engine a
// salt (SetSalt), derives them with that salt, sets every file's tweaks apart with a random
// nonce, and gives every file a keyed tag over its stored bytes (GetFrameTag) that the host
// keeps, so that any change to the file is found. The restore never reads a header itself:
// to decrypt a version-2 file the host hands the engine the file's header first
// (SetNextFrameHeader), which also lets the engine compute the file's tag as it decrypts.
#pragma once

#include <OrvCopy/external/orv_encryptionExport.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace orv {

class ORV_ENCRYPTION_API CEncryption {
 public:
  static constexpr uint64_t kHeaderSize = 64;
  static constexpr int kMethodXtsAes = 0;
  static constexpr size_t kSaltSize = 16;
  static constexpr size_t kKeyCheckSize = 8;
  static constexpr size_t kTagSize = 16;      // the tag of one file (Poly1305)
  static constexpr size_t kHostTagSize = 32;  // the tag of a host's own data (HMAC-SHA256)

  // Results of CheckPassword.
  enum CheckResult : int {
    CheckNotAHeader = -1,    // the bytes are not the header of an encrypted file
    CheckWrongPassword = 0,  // a header, but the password does not open it
    CheckPasswordOK = 1,
  };

  CEncryption();
  virtual ~CEncryption();  // wipes every key the engine holds
  CEncryption(const CEncryption&) = delete;
  CEncryption& operator=(const CEncryption&) = delete;

  // Fills the three AES values for a key strength given in bytes (16, 24, 32) or bits (128,
  // 192, 256): the data-key length, the tweak-key length and the cipher block length, all in
  // bytes. For any other strength the outputs keep what they held (a caller presets 32, 32,
  // 16: AES-256).
  static void GetKeyStrengthData(int nStrength, int& nKeyLength, int& nTweakKeyLength,
                                 int& nBlockLength);
  // 0 selects XTS-AES, the only method; the engine refuses to work with any other.
  void SetMethod(int nMethod);
  // The password. With bDeriveNow the keys are derived at once, otherwise on first use.
  void SetPassword(const wchar_t* lpszPassword, bool bDeriveNow);
  // The three values of GetKeyStrengthData. Anything but equal key lengths of 16, 24 or 32
  // and a block length of 16 makes the engine refuse to work.
  void SetAESParams(int nKeyLength, int nTweakKeyLength, int nBlockLength);
  // The salt (kSaltSize bytes) of the backup that the files written from now on belong to:
  // with one set, WriteFileHeader writes version 2. A host draws it at random once per backup
  // and keeps it beside the backup. Null returns to version 1.
  void SetSalt(const uint8_t* pSalt);

  // Starts a new frame: the next buffer is data unit 0. A frame announced with
  // SetNextFrameHeader starts here with that file's keys, nonce and tag.
  void ResetChain();

  // The header length, 64; also starts a new frame.
  uint64_t GetHeaderSize();
  // Writes the header for a frame of the given buffer capacity and plain size into the first
  // 64 bytes of pBuffer (nCapacity bytes long). Returns 0 when written, 1 when not (no usable
  // keys, a capacity that cannot be a data unit, a negative size).
  uint64_t WriteFileHeader(uint8_t* pBuffer, uint64_t nCapacity, int64_t nPlainSize);

  // Encrypts one buffer of nLength plain bytes (at most nCapacity) into pOut (nCapacity bytes
  // long) and sets nLength to the bytes to write: nLength rounded up to a multiple of 16.
  // Returns false, writing nothing, when the engine has no usable keys, the capacity is not a
  // valid data-unit size or differs from the frame's, or a short buffer came before in the
  // same frame.
  bool Encrypt(const uint8_t* pIn, uint8_t* pOut, uint32_t& nLength, uint64_t nCapacity);
  // Decrypts one buffer of nCapacity bytes, whatever part of them was read; of an announced
  // version-2 frame, only the bytes the file still holds (the rest of pOut is left as it is).
  // Returns false under the same conditions as Encrypt, and for a frame whose announced header
  // could not be used.
  bool Decrypt(const uint8_t* pIn, uint8_t* pOut, uint64_t nCapacity);

  // Announces the file whose frame the next ResetChain or GetHeaderSize starts (a restore):
  // its first 64 bytes as read from the file and the file's whole length. The frame decrypts
  // with the version, salt, nonce and key length the header names (the key length must be
  // the engine's), and a version-2 frame computes the file's tag from the bytes Decrypt or
  // AddToFrameTag are given. Returns false, and the announced frame refuses to decrypt, when
  // the bytes are no usable header.
  bool SetNextFrameHeader(const uint8_t* pHeader, size_t nHeaderSize, uint64_t nFileSize);
  // Body bytes of an announced frame, in order, for its tag only (a host that checks a file
  // without restoring it). False when the frame computes no tag.
  bool AddToFrameTag(const uint8_t* pData, size_t nLength);
  // The tag of the current version-2 frame: Poly1305 over the file's stored bytes, header and
  // body, under a key of the password, salt and the file's nonce. On a backup it covers what
  // WriteFileHeader and Encrypt produced, and pnPlainBytes receives the plain bytes Encrypt
  // took; on an announced frame it is given only once the whole announced length has passed.
  // False for a version-1 frame, an incomplete announced frame, or without usable keys.
  bool GetFrameTag(uint8_t pTag[kTagSize], uint64_t* pnPlainBytes = nullptr);

  // The key check of the password and salt (the one version-2 headers hold), for a host that
  // keeps it beside its backup to tell a wrong password from damage. False without a salt.
  bool GetKeyCheck(uint8_t pCheck[kKeyCheckSize]);
  // A tag of a host's own data (a list of what a backup holds, say): HMAC-SHA256 under a key
  // of the password and salt, computed over the bytes given between BeginHostTag and
  // EndHostTag. BeginHostTag is false without a salt or usable keys.
  bool BeginHostTag();
  void AddToHostTag(const uint8_t* pData, size_t nLength);
  bool EndHostTag(uint8_t pTag[kHostTagSize]);

  // True for a capacity that can be a data unit: a multiple of 16, at least 64, below 2^32.
  static bool IsValidDataUnitSize(uint64_t nCapacity);

  // Tells whether lpszPassword opens the encrypted file (version 1 or 2) whose first bytes are
  // pHeader, without decrypting anything. On CheckPasswordOK and CheckWrongPassword the optional
  // outputs receive the header's data-unit size (the capacity to restore with) and plain size.
  static int CheckPassword(const uint8_t* pHeader, size_t nHeaderSize, const wchar_t* lpszPassword,
                           uint32_t* pnDataUnitSize = nullptr, uint64_t* pnPlainSize = nullptr);

 private:
  struct Impl;
  std::unique_ptr<Impl> m_pImpl;
};

}  // namespace orv
