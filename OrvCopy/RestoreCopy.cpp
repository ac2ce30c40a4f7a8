// The per-file restore: one backed-up file into its destination file or the host's stream,
// decrypted, appended or plain, or only measured in a trial restore.
#include <OrvCopy/OrvCopyManager.h>
#include <OrvCopy/external/orv_encryption.h>
#include <orv_platform/utf.h>

#include "Buffer.h"
#include "CFile_Fix2.h"
#include "Crc32.h"
#include "DestinationFile.h"
#include "LogSupport.h"

namespace OrvCopy {
namespace {

using LOGGER::g_OrvLog;

// The answer to OpenItemData with which the host asks for the file instead of its stream.
constexpr int kUseFileInstead = 6023;

constexpr DestinationLines kRestoreDestinationLines = {
    log::kRestoreDeleteFailed, log::kRestoreOpenFailed, log::kRestoreOpenException,
    log::kRestoreOpenExceptionText};

}  // namespace

int COrvCopyManager::OrvCopyFile_Restore(const wchar_t* lpszSource, const wchar_t* lpszDest,
                                         int /*bReserved*/, CArchiveItem* pItem) {
  CArchiveItem& item = *pItem;
  OrvCompression::COrvCallBack* const cb = m_pCallBack;
  const std::wstring strSource = orv::platform::OrEmpty(lpszSource);
  const std::wstring strDest = orv::platform::OrEmpty(lpszDest);
  const bool bAppend = (item.m_dwFlags & ArchiveItemFlagAppend) != 0;
  const bool bMoreParts = (item.m_dwFlags & ArchiveItemFlagMoreParts) != 0;
  auto fail = [&](int result) {
    if (cb != nullptr)
      cb->OnItemFailed(item.m_nItemKey, 0);
    return result;
  };

  bool bEncrypted = false;
  if (!bAppend) {
    if (cb != nullptr && !cb->CanRestoreItem(item.m_nItemKey)) {
      return StatusItemFailed;
    }
    bEncrypted = !m_bDontPerformDecryption && IsAESEncryption() &&
                 (item.m_dwFlags & ArchiveItemFlagAES) != 0;
  }

  CFile_Fix2 source;
  const int opened = OrvCopy_OpenSourceFile(strSource.c_str(), source, item);
  if (opened != StatusDone) {
    return fail(opened);
  }
  const uint64_t nLength = source.GetLength();

  if (m_nAction == ActionRestoreTrial) {
    // Measured only: nothing is read, written or decrypted.
    m_nItemProcessed = m_nVolumeWritten = nLength;
    if (cb != nullptr) {
      cb->m_nProcessedPos = cb->m_nProcessedSize = nLength + m_nTotalProcessed;
      cb->OnProgress();
      cb->OnItemEnd(item.m_nItemKey, m_dwItemCRC, m_nVolumeNumber);
    }
    source.Close();
    return cb != nullptr && cb->IsAbortRequested() ? StatusStopped : StatusDone;
  }

  // A capacity that cannot be read with, or (encrypted) that is no data unit, is refused
  // before anything is written or a header read.
  if (!CapacityUsable(m_nBufferCapacity, bEncrypted, strSource)) {
    return fail(StatusItemFailed);
  }
  const auto nCapacity = static_cast<uint32_t>(m_nBufferCapacity);
  if (bEncrypted && !m_pEncryption) {
    PrepareAESManager();  // the engine was never prepared in this manager's life
  }

  // The destination: a file, or the host's stream (which may ask for the file instead).
  CFile dest;
  for (bool prepared = false; !prepared;) {
    prepared = true;
    if (item.m_bFileData) {
      if (!OpenDestinationFile(dest, strDest, bAppend, kRestoreDestinationLines,
                               m_strLastFolderMade)) {
        return fail(StatusItemFailed);
      }
    } else if (cb == nullptr) {
      LogNoStreamCallback(strSource);
      return StatusItemFailed;
    } else if (bAppend) {
      log::Record(log::kStreamAppendMode);
    } else {
      const int result = cb->OpenItemData(item.m_nItemKey, 0);
      if (result == kUseFileInstead) {
        item.m_bFileData = 1;
        cb->OnPrompt(2, item.m_nItemKey, nullptr);
        prepared = false;
      } else if (result != 0) {
        return fail(result);
      }
    }
  }

  CBuffer<uint8_t> input(nCapacity);
  CBuffer<uint8_t> output(bEncrypted ? nCapacity : 0);
  if (bEncrypted) {
    source.Read(input.GetData(), static_cast<UINT>(GetAESHeaderSize()));  // the header is skipped
  }

  bool bAborted = false;
  for (;;) {
    if (cb != nullptr && cb->IsAbortRequested()) {
      log::Record(log::kAbortRestoreInLoop);
      bAborted = true;
      break;
    }
    uint32_t n = source.Read(input.GetData(), nCapacity);
    const bool bFull = n == nCapacity;
    m_nItemProcessed += n;
    m_nVolumeWritten += n;
    if (cb != nullptr) {
      cb->m_nProcessedPos = cb->m_nProcessedSize = m_nTotalProcessed + m_nItemProcessed;
    }
    if (n != 0) {
      const uint8_t* data = input.GetData();
      const LogRecord* refused = &log::kStreamWritePlainFailed;
      if (bEncrypted && !m_bDontPerformDecryption && IsAESEncryption()) {
        if (!m_pEncryption->Decrypt(input.GetData(), input.GetData(), nCapacity)) {
          break;
        }
        // The body is the plain data padded to whole cipher blocks: what lies past the item's
        // size is cut off. A block that starts past it holds no data of the item at all.
        if (m_nVolumeWritten > item.m_nSize) {
          const uint64_t excess = m_nVolumeWritten - item.m_nSize;
          if (excess >= n) {
            log::Record(log::kDecryptedPastSize);
            g_OrvLog.Log(Details::kFile, strSource.c_str());
            break;
          }
          n -= static_cast<uint32_t>(excess);
        }
        refused = &log::kStreamWriteDecryptedFailed;
      } else {
        UpdateCRC32(data, n, &m_dwItemCRC);
      }
      if (item.m_bFileData) {
        dest.Write(data, n);
      } else {
        uint32_t nWritten = 0;
        if (!cb->WriteItemData(item.m_nItemKey, data, n, &nWritten)) {
          log::Record(*refused);
          cb->OnItemFailed(item.m_nItemKey, 0);
        }
      }
    }
    if (cb != nullptr)
      cb->OnProgress();
    if (!bFull) {
      break;
    }
  }

  if (item.m_bFileData) {
    dest.Close();
  } else if (!bMoreParts && !cb->CloseItemData(item.m_nItemKey, 0)) {
    log::Record(log::kStreamCloseFailed);
    cb->OnItemFailed(item.m_nItemKey, 0);
  }
  source.Close();
  if (bAborted) {
    return StatusStopped;
  }
  if (cb != nullptr && !bMoreParts) {
    cb->OnItemEnd(item.m_nItemKey, m_dwItemCRC, m_nVolumeNumber);
  }
  ResetItemVolumeState();
  return StatusDone;
}

}  // namespace OrvCopy
