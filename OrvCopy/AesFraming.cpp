// The manager's side of encryption: preparing its engine and framing encrypted files.
#include <OrvCopy/OrvCopyManager.h>
#include <OrvCopy/external/orv_encryption.h>

namespace OrvCopy {

int COrvCopyManager::PrepareAESManager() {
  if (!IsAESEncryption()) {
    return 0;
  }
  if (!m_pEncryption) {
    m_pEncryption = std::make_unique<orv::CEncryption>();
  }
  int nKeyLength = 32, nTweakKeyLength = 32, nBlockLength = 16;
  orv::CEncryption::GetKeyStrengthData(m_nAESLength, nKeyLength, nTweakKeyLength, nBlockLength);
  m_pEncryption->SetMethod(orv::CEncryption::kMethodXtsAes);
  m_pEncryption->SetPassword(m_strPassword.c_str(), false);
  m_pEncryption->SetAESParams(nKeyLength, nTweakKeyLength, nBlockLength);
  m_pEncryption->ResetChain();
  return 1;
}

int COrvCopyManager::EncryptData(const uint8_t* pIn, uint8_t* pOut, uint32_t& nLength,
                                 uint32_t nCapacity) {
  return m_pEncryption->Encrypt(pIn, pOut, nLength, nCapacity) ? 1 : 0;
}

int COrvCopyManager::WriteEncryptionHeader(uint8_t* pBuffer, uint64_t nCapacity,
                                           uint64_t nPlainSize, uint32_t& nHeaderSize) {
  nHeaderSize = static_cast<uint32_t>(m_pEncryption->GetHeaderSize());
  return m_pEncryption->WriteFileHeader(pBuffer, nCapacity, static_cast<int64_t>(nPlainSize)) == 0
             ? 1
             : 0;
}

int COrvCopyManager::GetAESHeaderSize() {
  return static_cast<int>(m_pEncryption->GetHeaderSize());
}

}  // namespace OrvCopy
