// The per-file backup copy: one part of one file item, block by block, with its CRC-32 or
// encrypted, with progress, abort, read-error recovery, volume limit and file times.
#include <OrvCopy/OrvCopyManager.h>
#include <OrvCopy/external/orv_encryption.h>

#include "Buffer.h"
#include "CFile_Fix2.h"
#include "Crc32.h"
#include "DestinationFile.h"
#include "LogSupport.h"
#include "PathText.h"

#include <orv_platform/utf.h>
#include <cinttypes>

namespace OrvCopy {
namespace {

using LOGGER::g_OrvLog;

bool HasFlag(const CArchiveItem& item, uint32_t flag) {
  return (item.m_dwFlags & flag) != 0;
}

// The record of a source that could not be read, with the system's code and text.
void LogReadError(const CFileException& e) {
  log::Record(log::kReadFailed);
  g_OrvLog.Log(Details::kSystemErrorCode, static_cast<int>(e.m_lOsError));
  g_OrvLog.Log(Details::kSystemErrorText, log::ExceptionText(e, 1024).c_str());
}

// Nonzero answers of OnPrompt(1, ...) that ask for a retry of the failed read.
bool IsRetryAnswer(int answer) {
  return answer == 1 || answer == 4;
}

// Sets the creation, access and write times of `to` from `from`; a failure is logged.
void CopyFileTimes(HANDLE from, HANDLE to) {
  FILETIME created{}, accessed{}, written{};
  if (!GetFileTime(from, &created, &accessed, &written) ||
      !SetFileTime(to, &created, &accessed, &written)) {
    log::Record(log::kUpdateDatesFailed);
  }
}

constexpr DestinationLines kBackupDestinationLines = {
    log::kDeleteDestinationFailed, log::kOpenDestinationFailed, log::kOpenDestinationException,
    log::kOpenDestinationExceptionText};

}  // namespace

COrvCopyManager::ReadOutcome COrvCopyManager::ReadSourceBlock(CFile_Fix2& source,
                                                              const std::wstring& strSource,
                                                              CArchiveItem& item,
                                                              uint64_t& nPosition, uint8_t* pBuffer,
                                                              uint32_t nCapacity, uint32_t& nRead) {
  // nPosition is where this block starts; after a reopen the read starts there again.
  for (bool reposition = false;; reposition = true) {
    long osError = 0;
    try {
      if (reposition) {
        source.Seek(static_cast<LONGLONG>(nPosition), CFile::begin);
      }
      nRead = source.Read(pBuffer, nCapacity);
      nPosition += nRead;
      return ReadOutcome::Read;
    } catch (const CFileException& e) {
      LogReadError(e);
      osError = e.m_lOsError;
    } catch (const CException& e) {
      g_OrvLog.Log(Details::kSystemErrorText, log::ExceptionText(e, 1024).c_str());
      return ReadOutcome::Failed;
    }
    // The host decides: retry (reopen, then read the block again) or give up.
    for (;;) {
      if (m_pCallBack == nullptr || !IsRetryAnswer(m_pCallBack->OnPrompt(
                                        1, static_cast<uint64_t>(osError), strSource.c_str()))) {
        // The block cannot be read: the item is failed rather than ended with data missing.
        log::Record(log::kReadGivenUp);
        g_OrvLog.Log(Details::kFileName, strSource.c_str());
        return ReadOutcome::GaveUp;
      }
      if (source.m_hFile != CFile::hFileNull) {
        source.Abort();
      }
      if (OrvCopy_OpenSourceFile(strSource.c_str(), source, item) == StatusDone) {
        break;
      }
      log::Record(log::kReopenFailed);
      g_OrvLog.Log(Details::kFileName, strSource.c_str());
    }
  }
}

bool COrvCopyManager::AdmitSimulatedItem(CArchiveItem& item, uint64_t nDataSize,
                                         std::wstring& strDest) {
  if (!item.m_bToTempFile && FitsInCurrentVolume(nDataSize)) {
    // Counted against the volume, not copied: the host reads it from its source.
    m_nItemProcessed = nDataSize;
    m_nVolumeWritten += nDataSize;
    if (m_pCallBack != nullptr) {
      m_pCallBack->m_nProcessedPos = m_pCallBack->m_nProcessedSize =
          m_nTotalProcessed + m_nItemProcessed;
      m_pCallBack->m_nFileProcessedSize += nDataSize;
      m_pCallBack->OnProgress();
      if (!HasFlag(item, ArchiveItemFlagMoreParts)) {
        m_pCallBack->OnItemEnd(item.m_nItemKey, 0, 0);
      }
    }
    return true;
  }
  // It overflows the volume (now or in an earlier part): copied into the temporary folder.
  if (!item.m_bToTempFile) {
    m_nItemProcessed = 0;
    item.m_bToTempFile = 1;
  }
  strDest = GetDestTempFile(strDest.c_str());
  if (m_arrSimulatedFiles.empty()) {
    log::Record(log::kNoFileRecord);
    g_OrvLog.Log(Details::kFile, strDest.c_str());
  } else {
    OrvCompression::_SimulatedBackedupFile& record = m_arrSimulatedFiles.back();
    SetRecordPath(record.szDataPath, strDest);
    record.bFlags |= OrvCompression::_SimulatedBackedupFile::kFlagTempFile;
  }
  return false;
}

int COrvCopyManager::OrvCopyFile_Backup(const wchar_t* lpszSource, const wchar_t* lpszDest,
                                        int /*bReserved*/, CArchiveItem* pItem) {
  LOGGER::COrvFuncLog scope(g_OrvLog, "COrvCopyManager::OrvCopyFile_Backup", nullptr);
  CArchiveItem& item = *pItem;
  OrvCompression::COrvCallBack* const cb = m_pCallBack;
  const std::wstring strSource = orv::platform::OrEmpty(lpszSource);
  std::wstring strDest = orv::platform::OrEmpty(lpszDest);
  const bool bFirstPart = m_bContinueInNextVolume == 0;
  const bool bAppend = HasFlag(item, ArchiveItemFlagAppend);
  auto fail = [&](int result) {
    if (cb != nullptr)
      cb->OnItemFailed(item.m_nItemKey, 0);
    return result;
  };

  // A continuation part is neither begun again nor encrypted: it is written in plain.
  bool bEncrypt = false;
  if (bFirstPart) {
    if (cb != nullptr)
      cb->OnItemBegin(item.m_nItemKey);
    if (IsAESEncryption() && HasFlag(item, ArchiveItemFlagAES) && !bAppend) {
      bEncrypt = true;
      if (cb != nullptr)
        cb->m_nFileProcessedSize = 0;
    }
  }
  if (!CapacityUsable(m_nBufferCapacity, bEncrypt, strSource)) {
    return fail(StatusItemFailed);
  }
  const auto nCapacity = static_cast<uint32_t>(m_nBufferCapacity);

  // The source and the size of its data.
  CFile_Fix2 source;
  uint64_t nDataSize = 0;
  if (item.m_bFileData) {
    const int result = OrvCopy_OpenSourceFile(strSource.c_str(), source, item);
    if (result != StatusDone) {
      return fail(result);
    }
    try {
      nDataSize = source.GetLength();
    } catch (const CFileException& e) {
      LogReadError(e);
      return fail(StatusItemFailed);
    }
  } else if (cb == nullptr) {
    LogNoStreamCallback(strDest);
    return StatusItemFailed;
  } else if (bFirstPart) {
    const int result = cb->OpenItemData(item.m_nItemKey, 0);
    if (result != 0) {
      return fail(result);
    }
    nDataSize = item.m_nSize;
  }

  if (m_bSimulate && AdmitSimulatedItem(item, nDataSize, strDest)) {
    return StatusDone;
  }

  // The destination: a fresh file, or the existing one extended at its end.
  CFile dest;
  if (!OpenDestinationFile(dest, strDest, bAppend, kBackupDestinationLines, m_strLastFolderMade)) {
    return fail(StatusItemFailed);
  }

  // A continuation part reads on from where the last part ended.
  uint64_t nPosition = 0;
  if (!bFirstPart && item.m_bFileData) {
    try {
      source.Seek(static_cast<LONGLONG>(m_nResumeOffset), CFile::begin);
      nPosition = m_nResumeOffset;
    } catch (const CException& e) {
      log::Record(log::kSeekFailed);
      log::Record(log::kSeekFailedText, log::ExceptionText(e, 512).c_str());
      return fail(StatusItemFailed);
    }
  }

  CBuffer<uint8_t> input(nCapacity);
  CBuffer<uint8_t> output(bEncrypt ? nCapacity : 0);
  if (bEncrypt) {
    uint32_t nHeaderSize = 0;
    if (!WriteEncryptionHeader(output.GetData(), nCapacity, nDataSize, nHeaderSize)) {
      log::Record(log::kEncryptionFailed);
      g_OrvLog.Log(Details::kFile, strDest.c_str());
      return fail(StatusItemFailed);
    }
    dest.Write(output.GetData(), nHeaderSize);  // a failure here reaches the caller
  }

  int result = StatusDone;
  bool bVolumeFull = false;
  bool bFailed = false;  // the item ends without OnItemEnd
  for (;;) {
    if (cb != nullptr && cb->IsAbortRequested()) {
      log::Record(log::kAbortBackupInLoop);
      result = StatusStopped;
      break;
    }
    uint32_t n = 0;
    bool bMore;
    if (item.m_bFileData) {
      const ReadOutcome outcome =
          ReadSourceBlock(source, strSource, item, nPosition, input.GetData(), nCapacity, n);
      if (outcome == ReadOutcome::Failed) {
        return StatusItemFailed;
      }
      if (outcome == ReadOutcome::GaveUp) {
        result = StatusItemFailed;
        bFailed = true;
        break;
      }
      bMore = n == nCapacity;
    } else {
      cb->ReadItemData(item.m_nItemKey, input.GetData(), nCapacity, &n);
      if (n > nCapacity) {
        log::Record(log::kStreamOverrun);
        g_OrvLog.Log(Details::kFile, strDest.c_str());
        result = StatusItemFailed;
        bFailed = true;
        break;
      }
      bMore = n != 0;
    }

    n = ApplyVolumeLimit(n, item.m_bFileData, bVolumeFull);
    if (cb != nullptr) {
      cb->m_nProcessedPos = cb->m_nProcessedSize = m_nItemProcessed + m_nTotalProcessed;
      cb->m_nFileProcessedSize += n;
    }

    if (n != 0) {
      try {
        if (bEncrypt) {
          uint32_t nOut = n;
          if (!EncryptData(input.GetData(), output.GetData(), nOut, nCapacity)) {
            // The engine ends the item's data here, quietly: the item completes with what was
            // written, and the host learns of the short item from its size.
            bVolumeFull = false;  // nothing continues in the next volume
            break;
          }
          dest.Write(output.GetData(), nOut);
        } else {
          UpdateCRC32(input.GetData(), n, &m_dwItemCRC);
          dest.Write(input.GetData(), n);
        }
      } catch (const CException& e) {
        g_OrvLog.Log(Details::kSystemErrorText, log::ExceptionText(e, 1024).c_str());
        result = StatusItemFailed;
        bVolumeFull = false;  // a part with a hole must not be continued as if complete
        break;
      }
    }
    if (cb != nullptr)
      cb->OnProgress();
    if (bVolumeFull || !bMore) {
      break;
    }
  }

  // Completion. The file times of an item that ends here are those of its source path. When
  // the open source is that file they go from handle to handle, which spares reopening both
  // by name; a source read from its shadow copy is looked up by name after the close, so that
  // the shadow copy's own times never reach the copy, and a source path that is gone gives none.
  const bool bEnds =
      !bVolumeFull && !bFailed && cb != nullptr && !HasFlag(item, ArchiveItemFlagMoreParts);
  const bool bTimesFromOpenSource =
      bEnds && item.m_bFileData && source.GetFilePath() == item.m_strSourcePath;
  if (bTimesFromOpenSource) {
    CopyFileTimes(source.m_hFile, dest.m_hFile);
  }
  try {
    dest.Close();
  } catch (const CException& e) {
    g_OrvLog.Log(Details::kSystemErrorText, log::ExceptionText(e, 1024).c_str());
    result = StatusItemFailed;
    bVolumeFull = false;
  }
  source.Abort();
  if (bVolumeFull) {
    // The part ends at the full volume; the driver continues the item in the next one.
    m_bContinueInNextVolume = 1;
    m_nResumeOffset = m_nItemProcessed;
    return result;
  }
  if (!item.m_bFileData) {
    cb->CloseItemData(item.m_nItemKey, 0);
  }
  if (bFailed) {
    fail(result);
  } else if (bEnds) {
    cb->OnItemEnd(item.m_nItemKey, m_dwItemCRC, m_nVolumeNumber);
    if (item.m_bFileData && !bTimesFromOpenSource) {
      UpdateFileDates(item.m_strSourcePath.c_str(), strDest.c_str());
    }
  }
  ResetItemVolumeState();
  return result;
}

void COrvCopyManager::UpdateFileDates(const wchar_t* lpszSource, const wchar_t* lpszDest) {
  if (!PathFileExistsW(lpszSource) || !PathFileExistsW(lpszDest)) {
    return;
  }
  HANDLE hSource = CreateFileW(lpszSource, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (hSource == INVALID_HANDLE_VALUE) {
    return;
  }
  HANDLE hDest = CreateFileW(lpszDest, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (hDest == INVALID_HANDLE_VALUE) {
    CloseHandle(hSource);
    return;
  }
  CopyFileTimes(hSource, hDest);
  CloseHandle(hDest);
  CloseHandle(hSource);
}

}  // namespace OrvCopy
