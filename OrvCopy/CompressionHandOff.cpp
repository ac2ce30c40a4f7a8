// A compressed backup hands each file item to the ZIP engine: one archive at the item's
// destination path, AES settings for encrypted items, and the hand-over of the written
// archives to the host when the online cache is full.
#include <OrvCopy/OrvCopyManager.h>
#include <OrvCopy/external/OrvGlobalMFC.h>
#include <orv_platform/utf.h>
#include <orv_platform/win32.h>

#include "LogSupport.h"
#include "PathText.h"

namespace OrvCopy {
namespace {

OrvCompression::_AESStrength StrengthFor(int nAESLength) {
  switch (nAESLength) {
    case 16:
      return OrvCompression::AESStrength128;
    case 24:
      return OrvCompression::AESStrength192;
    default:
      return OrvCompression::AESStrength256;
  }
}

}  // namespace

int COrvCopyManager::CompressItem(CArchiveItem& item, const std::wstring& strSource,
                                  const std::wstring& strDest, uint64_t& nProcessedBase,
                                  uint64_t& nCachedBytes) {
  if (m_pCallBack == nullptr) {
    log::Record(log::kNoCallbackForCompression);
    return StatusStopped;
  }
  auto zip = std::make_unique<OrvCompression::COrv_ZIP>();
  if (!zip->Initialize(L"")) {
    return StatusCompressionFailed;
  }
  zip->SetCallBack(m_pCallBack);
  zip->SetCallBackType(OrvCompression::CallBackTypeHost);
  zip->SetFilesProcessType(OrvCompression::CArchiveItem::ProcessEachAsGiven);
  zip->SetBufferCapacity(m_nBufferCapacity, 1);
  zip->SetCompressionLevel(6);
  zip->SetEngineType(OrvCompression::EngineTypeZip);

  const std::wstring fileName = PathFindFileNameW(strDest.c_str());
  std::wstring nameInArchive = fileName;
  if (IsAESEncryption() && item.IsAESEncryption()) {
    PathRemoveExtensionW(nameInArchive.data());
    nameInArchive.resize(lstrlenW(nameInArchive.c_str()));
    zip->SetEncryptionType(OrvCompression::EncryptionTypeWinZipAES);
    zip->SetAESType(StrengthFor(m_nAESLength));
    zip->SetPassword(m_strPassword.c_str());
  }
  std::wstring outputFolder = ParentFolder(strDest);
  if (outputFolder != m_strLastFolderMade) {  // archives of one folder come one after another
    m_strLastFolderMade = OrvCreateFolder(outputFolder.c_str()) ? outputFolder : std::wstring();
  }
  zip->SetZipFileName(fileName.c_str());
  zip->SetZipOutputPath(outputFolder.c_str());
  zip->AddItem(strSource.c_str(), L"", nameInArchive.c_str(), item.m_nItemKey, item.m_bFileData, 0,
               0, OrvCompression::CArchiveItem::AddItemFile, 0);
  if (zip->DoZip(nProcessedBase) == StatusStopped) {
    return StatusStopped;
  }
  nProcessedBase = m_pCallBack->m_nTotalProcessedSize;
  nCachedBytes += m_pCallBack->m_nProcessedSize;

  if (m_nOnlineCacheSize != 0) {
    LOGGER::g_OrvLog.Log(Details::kOnlineCache, static_cast<long long>(m_nOnlineCacheSize));
    LOGGER::g_OrvLog.Log(Details::kOnlineCompressedSize, static_cast<long long>(nCachedBytes));
    if (nCachedBytes > m_nOnlineCacheSize) {
      // The host takes what was written since the last hand-over; then it is removed here.
      if (!m_pCallBack->OnVolumeFiles(0, &m_arrSimulatedFiles)) {
        return StatusStopped;
      }
      log::Record(log::kDeletingOnlineFiles);
      for (const OrvCompression::_SimulatedBackedupFile& record : m_arrSimulatedFiles) {
        const std::wstring path = orv::platform::Utf16ToWide(record.szDestPath);
        LOGGER::g_OrvLog.Log(Details::kDeleting, path.c_str());
        OrvDeleteFileEx(path.c_str(), 1);
      }
      m_arrSimulatedFiles.clear();
      nCachedBytes = 0;
    }
  }
  return StatusDone;
}

}  // namespace OrvCopy
