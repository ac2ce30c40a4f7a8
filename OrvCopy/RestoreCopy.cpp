// The per-file restore: one backed-up file into its destination file or the host's stream,
// decrypted, appended or plain, or only measured in a trial restore.
#include <OrvCopy/OrvCopyManager.h>
#include <OrvCopy/external/orv_encryption.h>
#include <orv_platform/utf.h>

#include "BlockWriter.h"
#include "Buffer.h"
#include "CFile_Fix2.h"
#include "Crc32.h"
#include "DestinationFile.h"
#include "ItemFlags.h"
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

// The state of one call of the per-file restore: the item, its paths and files, and what the
// call decided about them.
struct COrvCopyManager::RestorePart {
  CArchiveItem& item;
  std::wstring strSource;
  std::wstring strDest;
  bool bAppend;
  bool bMoreParts;
  bool bEncrypted = false;
  uint32_t nCapacity = 0;
  CFile_Fix2 source{};
  CFile dest{};
  CBuffer<uint8_t> input{};
  // With overlapped writing, the destination's blocks are written on the writer's thread. Last
  // member: the writer is done with the destination before the destination is closed.
  CBlockWriter::Session writing{};

  // The buffer the next block is read into: the writer's with overlapped writing.
  uint8_t* NextBlock() { return writing ? writing.NextBuffer() : input.GetData(); }
  // Reads a block. A read that fails after a queued write that failed gives the host that
  // write's failure, which it would have met first without overlapped writing.
  uint32_t Read(uint8_t* block) {
    try {
      return source.Read(block, nCapacity);
    } catch (...) {
      writing.Drain();
      throw;
    }
  }
};

int COrvCopyManager::OrvCopyFile_Restore(const wchar_t* lpszSource, const wchar_t* lpszDest,
                                         int /*bReserved*/, CArchiveItem* pItem) {
  RestorePart part{*pItem, orv::platform::OrEmpty(lpszSource), orv::platform::OrEmpty(lpszDest),
                   HasFlag(*pItem, ArchiveItemFlagAppend),
                   HasFlag(*pItem, ArchiveItemFlagMoreParts)};
  CArchiveItem& item = part.item;
  if (!part.bAppend) {
    if (m_pCallBack != nullptr && !m_pCallBack->CanRestoreItem(item.m_nItemKey)) {
      return StatusItemFailed;
    }
    part.bEncrypted = !m_bDontPerformDecryption && IsAESEncryption() && item.IsAESEncryption();
  }
  const int opened = OrvCopy_OpenSourceFile(part.strSource.c_str(), part.source, item);
  if (opened != StatusDone) {
    return ItemFailed(item, opened);
  }
  const uint64_t nLength = part.source.GetLength();
  if (m_nAction == ActionRestoreTrial) {
    return MeasureRestoreSource(part, nLength);
  }

  // A capacity that cannot be read with, or (encrypted) that is no data unit, is refused
  // before anything is written or a header read.
  if (!CapacityUsable(m_nBufferCapacity, part.bEncrypted, part.strSource)) {
    return ItemFailed(item, StatusItemFailed);
  }
  part.nCapacity = static_cast<uint32_t>(m_nBufferCapacity);
  if (part.bEncrypted && !m_pEncryption) {
    PrepareAESManager();  // the engine was never prepared in this manager's life
  }
  if (const int result = OpenRestoreDestination(part); result != StatusDone) {
    return ItemFailed(item, result);
  }
  // Overlapped writing pays for itself from the second block on.
  CBlockWriter* const writer =
      m_bPipelinedCopy && item.m_bFileData && nLength > part.nCapacity ? BlockWriter() : nullptr;
  if (writer != nullptr) {
    part.writing = CBlockWriter::Session(*writer, part.dest, part.nCapacity);
  } else {
    part.input = CBuffer<uint8_t>(part.nCapacity);
  }
  if (part.bEncrypted) {
    // The header is skipped.
    part.source.Read(part.NextBlock(), static_cast<UINT>(GetAESHeaderSize()));
  }
  const bool bStopped = !CopyRestoreBlocks(part);
  return FinishRestorePart(part, bStopped);
}

int COrvCopyManager::MeasureRestoreSource(RestorePart& part, uint64_t nLength) {
  // Measured only: nothing is read, written or decrypted.
  OrvCompression::COrvCallBack* const cb = m_pCallBack;
  MeasureItem(nLength);
  if (cb != nullptr) {
    cb->m_nProcessedPos = cb->m_nProcessedSize = nLength + m_nTotalProcessed;
    cb->OnProgress();
    cb->OnItemEnd(part.item.m_nItemKey, m_dwItemCRC, m_nVolumeNumber);
  }
  part.source.Close();
  return cb != nullptr && cb->IsAbortRequested() ? StatusStopped : StatusDone;
}

int COrvCopyManager::OpenRestoreDestination(RestorePart& part) {
  // A file, or the host's stream (which may ask for the file instead).
  CArchiveItem& item = part.item;
  for (;;) {
    if (item.m_bFileData) {
      return OpenDestinationFile(part.dest, part.strDest, part.bAppend, kRestoreDestinationLines,
                                 m_strLastFolderMade)
                 ? StatusDone
                 : StatusItemFailed;
    }
    if (m_pCallBack == nullptr) {
      LogNoStreamCallback(part.strSource);
      return StatusItemFailed;
    }
    if (part.bAppend) {
      log::Record(log::kStreamAppendMode);
      return StatusDone;
    }
    const int result = m_pCallBack->OpenItemData(item.m_nItemKey, 0);
    if (result != kUseFileInstead) {
      return result;
    }
    item.m_bFileData = 1;
    m_pCallBack->OnPrompt(2, item.m_nItemKey, nullptr);
  }
}

bool COrvCopyManager::CopyRestoreBlocks(RestorePart& part) {
  OrvCompression::COrvCallBack* const cb = m_pCallBack;
  for (;;) {
    if (cb != nullptr && cb->IsAbortRequested()) {
      log::Record(log::kAbortRestoreInLoop);
      return false;
    }
    uint8_t* const block = part.NextBlock();
    const uint32_t n = part.Read(block);
    CountItemBytes(n);
    if (cb != nullptr) {
      cb->m_nProcessedPos = cb->m_nProcessedSize = m_nTotalProcessed + m_nItemProcessed;
    }
    if (n != 0 && !WriteRestoredBlock(part, block, n)) {
      return true;
    }
    if (cb != nullptr) {
      cb->OnProgress();
    }
    if (n != part.nCapacity) {
      return true;
    }
  }
}

bool COrvCopyManager::WriteRestoredBlock(RestorePart& part, uint8_t* data, uint32_t n) {
  const LogRecord* refused = &log::kStreamWritePlainFailed;
  if (part.bEncrypted && !m_bDontPerformDecryption && IsAESEncryption()) {
    if (!m_pEncryption->Decrypt(data, data, part.nCapacity)) {
      return false;
    }
    // The body is the plain data padded to whole cipher blocks: what lies past the item's
    // size is cut off. A block that starts past it holds no data of the item at all.
    if (m_nVolumeWritten > part.item.m_nSize) {
      const uint64_t excess = m_nVolumeWritten - part.item.m_nSize;
      if (excess >= n) {
        log::Record(log::kDecryptedPastSize);
        g_OrvLog.Log(Details::kFile, part.strSource.c_str());
        return false;
      }
      n -= static_cast<uint32_t>(excess);
    }
    refused = &log::kStreamWriteDecryptedFailed;
  } else {
    UpdateCRC32(data, n, &m_dwItemCRC);
  }
  if (part.writing) {
    part.writing.Submit(n);
  } else if (part.item.m_bFileData) {
    part.dest.Write(data, n);
  } else if (uint32_t nWritten = 0;
             !m_pCallBack->WriteItemData(part.item.m_nItemKey, data, n, &nWritten)) {
    log::Record(*refused);
    m_pCallBack->OnItemFailed(part.item.m_nItemKey, 0);
  }
  return true;
}

int COrvCopyManager::FinishRestorePart(RestorePart& part, bool bStopped) {
  OrvCompression::COrvCallBack* const cb = m_pCallBack;
  const CArchiveItem& item = part.item;
  if (item.m_bFileData) {
    part.writing.Finish();  // the blocks still queued are written first
    part.dest.Close();
  } else if (!part.bMoreParts && !cb->CloseItemData(item.m_nItemKey, 0)) {
    log::Record(log::kStreamCloseFailed);
    cb->OnItemFailed(item.m_nItemKey, 0);
  }
  part.source.Close();
  if (bStopped) {
    return StatusStopped;
  }
  if (cb != nullptr && !part.bMoreParts) {
    cb->OnItemEnd(item.m_nItemKey, m_dwItemCRC, m_nVolumeNumber);
  }
  ResetItemVolumeState();
  return StatusDone;
}

}  // namespace OrvCopy
