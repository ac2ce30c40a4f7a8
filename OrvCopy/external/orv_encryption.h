// The encryption library: the engine that writes the header of an encrypted backup file and
// encrypts and decrypts its body, XTS-AES with 128-, 192- or 256-bit keys derived from the
// job password. The manager owns one engine.
//
// A frame (one encrypted file) starts at ResetChain() and at every GetHeaderSize(); its body
// is a sequence of data units, one per buffer, numbered from 0. Every buffer of a frame has
// the same capacity, a multiple of 16 and at least 64 bytes: a full buffer encrypts to exactly
// its capacity, the last (short) one is zero-padded to a multiple of 16. A body decrypts only
// with the capacity it was written with, which the header records.
#pragma once

#include <OrvCopy/OrvCopyExport.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace orv {

class ORVCOPY_API CEncryption {
 public:
  static constexpr uint64_t kHeaderSize = 64;
  static constexpr int kMethodXtsAes = 0;

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
  // Starts a new frame: the next buffer is data unit 0.
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
  // Decrypts one buffer: always nCapacity bytes, whatever part of them was read. Returns false
  // under the same conditions as Encrypt.
  bool Decrypt(const uint8_t* pIn, uint8_t* pOut, uint64_t nCapacity);

  // True for a capacity that can be a data unit: a multiple of 16, at least 64, below 2^32.
  static bool IsValidDataUnitSize(uint64_t nCapacity);

  // Tells whether lpszPassword opens the encrypted file whose first bytes are pHeader, without
  // decrypting anything. On CheckPasswordOK and CheckWrongPassword the optional outputs
  // receive the header's data-unit size (the capacity to restore with) and plain size.
  static int CheckPassword(const uint8_t* pHeader, size_t nHeaderSize, const wchar_t* lpszPassword,
                           uint32_t* pnDataUnitSize = nullptr, uint64_t* pnPlainSize = nullptr);

 private:
  struct Impl;
  std::unique_ptr<Impl> m_pImpl;
};

}  // namespace orv
