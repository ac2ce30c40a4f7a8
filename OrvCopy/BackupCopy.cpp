// The per-file backup copy: one part of one file item, block by block, with its CRC-32 or
// encrypted, with progress, abort, read-error recovery, volume limit and file times.
#include <OrvCopy/OrvCopyManager.h>
#include <OrvCopy/external/orv_encryption.h>

#include "BlockWriter.h"
#include "Buffer.h"
#include "CFile_Fix2.h"
#include "Crc32.h"
#include "DestinationFile.h"
#include "ItemFlags.h"
#include "LogSupport.h"
#include "PathText.h"

#include <orv_platform/utf.h>
#include <cinttypes>

namespace OrvCopy {
namespace {

using LOGGER::g_OrvLog;

// The record of a source that could not be read, with the system's code and text.
void LogReadError(const CFileException& e) {
  log::Record(log::kReadFailed);
  g_OrvLog.Log(Details::kSystemErrorCode, static_cast<int>(e.m_lOsError));
  g_OrvLog.Log(Details::kSystemErrorText, log::ExceptionText(e, 1024).c_str());
}

// The detail of a block that could not be written.
void LogWriteFailure(const CException& e) {
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

// The state of one call of the per-file backup copy: the item, its paths and files, and what
// the call decided about them.
struct COrvCopyManager::BackupPart {
  CArchiveItem& item;
  std::wstring strSource;
  std::wstring strDest;
  bool bFirstPart;  // a continuation part is neither begun again nor encrypted
  bool bAppend;
  bool bEncrypt = false;
  uint32_t nCapacity = 0;
  CFile_Fix2 source{};
  CFile dest{};
  uint64_t nDataSize = 0;
  uint64_t nPosition = 0;  // where the next block of a file source starts
  CBuffer<uint8_t> input{};
  CBuffer<uint8_t> output{};
  uint8_t* pBlock = nullptr;  // the buffer the current block is read into
  // With overlapped writing, the destination's blocks are written on the writer's thread. Last
  // member: the writer is done with the destination before the destination is closed.
  CBlockWriter::Session writing{};

  // Writes n bytes of data, which with overlapped writing is the writer's buffer.
  void Write(const uint8_t* data, uint32_t n) {
    if (writing) {
      writing.Submit(n);
    } else {
      dest.Write(data, n);
    }
  }
  // Before a read error is reported, the blocks queued so far are written, as they were before
  // the read without overlapped writing. False, logged, when one of them failed.
  bool QueuedWritesSucceeded() {
    try {
      writing.Drain();
      return true;
    } catch (const CException& e) {
      LogWriteFailure(e);
      return false;
    }
  }
};

// How the block loop of a part ended.
struct COrvCopyManager::PartEnd {
  int result = StatusDone;
  bool bVolumeFull = false;
  bool bFailed = false;     // the item ends without OnItemEnd
  bool bAbandoned = false;  // the call returns at once: nothing more is closed or reported

  // A block that could not be written fails the item; the part is not continued in the next
  // volume, as it would have a hole.
  void WriteFailed(const CException& e) {
    LogWriteFailure(e);
    WriteFailed();
  }
  void WriteFailed() {
    result = StatusItemFailed;
    bVolumeFull = false;
  }
};

COrvCopyManager::ReadOutcome COrvCopyManager::ReadSourceBlock(BackupPart& part, uint32_t& nRead) {
  CFile_Fix2& source = part.source;
  const std::wstring& strSource = part.strSource;
  // part.nPosition is where this block starts; after a reopen the read starts there again.
  for (bool reposition = false;; reposition = true) {
    long osError = 0;
    try {
      if (reposition) {
        source.Seek(static_cast<LONGLONG>(part.nPosition), CFile::begin);
      }
      nRead = source.Read(part.pBlock, part.nCapacity);
      part.nPosition += nRead;
      return ReadOutcome::Read;
    } catch (const CFileException& e) {
      if (!part.QueuedWritesSucceeded()) {
        return ReadOutcome::WriteFailed;
      }
      LogReadError(e);
      osError = e.m_lOsError;
    } catch (const CException& e) {
      if (!part.QueuedWritesSucceeded()) {
        return ReadOutcome::WriteFailed;
      }
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
      if (OrvCopy_OpenSourceFile(strSource.c_str(), source, part.item) == StatusDone) {
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
    CountSimulatedItem(nDataSize);
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
  BackupPart part{*pItem, orv::platform::OrEmpty(lpszSource), orv::platform::OrEmpty(lpszDest),
                  m_bContinueInNextVolume == 0, HasFlag(*pItem, ArchiveItemFlagAppend)};
  BeginBackupPart(part);
  if (!CapacityUsable(m_nBufferCapacity, part.bEncrypt, part.strSource)) {
    return ItemFailed(part.item, StatusItemFailed);
  }
  part.nCapacity = static_cast<uint32_t>(m_nBufferCapacity);
  if (const int result = OpenBackupSource(part); result != StatusDone) {
    return ItemFailed(part.item, result);
  }
  if (m_bSimulate && AdmitSimulatedItem(part.item, part.nDataSize, part.strDest)) {
    return StatusDone;
  }
  // The destination: a fresh file, or the existing one extended at its end.
  if (!OpenDestinationFile(part.dest, part.strDest, part.bAppend, kBackupDestinationLines,
                           m_strLastFolderMade) ||
      !SeekToResumeOffset(part) || !StartBackupOutput(part)) {
    return ItemFailed(part.item, StatusItemFailed);
  }
  const PartEnd end = CopyBackupBlocks(part);
  return end.bAbandoned ? StatusItemFailed : FinishBackupPart(part, end);
}

int COrvCopyManager::ItemFailed(const CArchiveItem& item, int result) {
  if (m_pCallBack != nullptr) {
    m_pCallBack->OnItemFailed(item.m_nItemKey, 0);
  }
  return result;
}

void COrvCopyManager::BeginBackupPart(BackupPart& part) {
  if (!part.bFirstPart) {
    return;
  }
  if (m_pCallBack != nullptr) {
    m_pCallBack->OnItemBegin(part.item.m_nItemKey);
  }
  if (IsAESEncryption() && part.item.IsAESEncryption() && !part.bAppend) {
    part.bEncrypt = true;
    if (m_pCallBack != nullptr) {
      m_pCallBack->m_nFileProcessedSize = 0;
    }
  }
}

int COrvCopyManager::OpenBackupSource(BackupPart& part) {
  if (part.item.m_bFileData) {
    const int result = OrvCopy_OpenSourceFile(part.strSource.c_str(), part.source, part.item);
    if (result != StatusDone) {
      return result;
    }
    try {
      part.nDataSize = part.source.GetLength();
    } catch (const CFileException& e) {
      LogReadError(e);
      return StatusItemFailed;
    }
    return StatusDone;
  }
  if (m_pCallBack == nullptr) {
    LogNoStreamCallback(part.strDest);
    return StatusItemFailed;
  }
  if (part.bFirstPart) {
    const int result = m_pCallBack->OpenItemData(part.item.m_nItemKey, 0);
    if (result != 0) {
      return result;
    }
    part.nDataSize = part.item.m_nSize;
  }
  return StatusDone;
}

bool COrvCopyManager::SeekToResumeOffset(BackupPart& part) {
  // A continuation part reads on from where the last part ended.
  if (part.bFirstPart || !part.item.m_bFileData) {
    return true;
  }
  try {
    part.source.Seek(static_cast<LONGLONG>(m_nResumeOffset), CFile::begin);
    part.nPosition = m_nResumeOffset;
    return true;
  } catch (const CException& e) {
    log::Record(log::kSeekFailed);
    log::Record(log::kSeekFailedText, log::ExceptionText(e, 512).c_str());
    return false;
  }
}

bool COrvCopyManager::StartBackupOutput(BackupPart& part) {
  // Overlapped writing pays for itself from the second block on; a plain block is read
  // straight into the writer's buffer.
  CBlockWriter* const writer =
      m_bPipelinedCopy && part.item.m_bFileData && part.nDataSize > part.nCapacity ? BlockWriter()
                                                                                   : nullptr;
  const bool bOverlapped = writer != nullptr;
  if (!bOverlapped || part.bEncrypt) {
    part.input = CBuffer<uint8_t>(part.nCapacity);
  }
  if (part.bEncrypt) {
    uint32_t nHeaderSize = 0;
    if (!WriteEncryptionHeader(part.input.GetData(), part.nCapacity, part.nDataSize, nHeaderSize)) {
      log::Record(log::kEncryptionFailed);
      g_OrvLog.Log(Details::kFile, part.strDest.c_str());
      return false;
    }
    part.dest.Write(part.input.GetData(), nHeaderSize);  // a failure here reaches the caller
    if (!bOverlapped) {
      part.output = CBuffer<uint8_t>(part.nCapacity);
    }
  }
  if (bOverlapped) {
    part.writing = CBlockWriter::Session(*writer, part.dest, part.nCapacity);
  }
  return true;
}

COrvCopyManager::PartEnd COrvCopyManager::CopyBackupBlocks(BackupPart& part) {
  OrvCompression::COrvCallBack* const cb = m_pCallBack;
  PartEnd end;
  for (;;) {
    if (cb != nullptr && cb->IsAbortRequested()) {
      log::Record(log::kAbortBackupInLoop);
      end.result = StatusStopped;
      return end;
    }
    uint32_t n = 0;
    bool bMore = false;
    if (!ReadBackupBlock(part, n, bMore, end)) {
      return end;
    }
    n = ApplyVolumeLimit(n, part.item.m_bFileData, end.bVolumeFull);
    if (cb != nullptr) {
      cb->m_nProcessedPos = cb->m_nProcessedSize = m_nItemProcessed + m_nTotalProcessed;
      cb->m_nFileProcessedSize += n;
    }
    if (n != 0 && !WriteBackupBlock(part, n, end)) {
      return end;
    }
    if (cb != nullptr) {
      cb->OnProgress();
    }
    if (end.bVolumeFull || !bMore) {
      return end;
    }
  }
}

bool COrvCopyManager::ReadBackupBlock(BackupPart& part, uint32_t& n, bool& bMore, PartEnd& end) {
  part.pBlock = part.writing && !part.bEncrypt ? part.writing.NextBuffer() : part.input.GetData();
  if (part.item.m_bFileData) {
    const ReadOutcome outcome = ReadSourceBlock(part, n);
    end.bAbandoned = outcome == ReadOutcome::Failed;
    if (outcome == ReadOutcome::GaveUp) {
      end.result = StatusItemFailed;
      end.bFailed = true;
    } else if (outcome == ReadOutcome::WriteFailed) {
      end.WriteFailed();
    }
    bMore = n == part.nCapacity;
    return outcome == ReadOutcome::Read;
  }
  m_pCallBack->ReadItemData(part.item.m_nItemKey, part.pBlock, part.nCapacity, &n);
  if (n > part.nCapacity) {
    log::Record(log::kStreamOverrun);
    g_OrvLog.Log(Details::kFile, part.strDest.c_str());
    end.result = StatusItemFailed;
    end.bFailed = true;
    return false;
  }
  bMore = n != 0;
  return true;
}

bool COrvCopyManager::WriteBackupBlock(BackupPart& part, uint32_t n, PartEnd& end) {
  try {
    if (!part.bEncrypt) {
      UpdateCRC32(part.pBlock, n, &m_dwItemCRC);
      part.Write(part.pBlock, n);
      return true;
    }
    uint8_t* const out = part.writing ? part.writing.NextBuffer() : part.output.GetData();
    uint32_t nOut = n;
    if (!EncryptData(part.pBlock, out, nOut, part.nCapacity)) {
      // The engine ends the item's data here, quietly: the item completes with what was
      // written, and the host learns of the short item from its size.
      end.bVolumeFull = false;  // nothing continues in the next volume
      return false;
    }
    part.Write(out, nOut);
    return true;
  } catch (const CException& e) {
    end.WriteFailed(e);
    return false;
  }
}

int COrvCopyManager::FinishBackupPart(BackupPart& part, PartEnd end) {
  // The file times of an item that ends here are those of its source path. When the open
  // source is that file they go from handle to handle, which spares reopening both by name; a
  // source read from its shadow copy is looked up by name after the close, so that the shadow
  // copy's own times never reach the copy, and a source path that is gone gives none.
  try {
    part.writing.Finish();  // the blocks still queued are written before the file is touched
  } catch (const CException& e) {
    end.WriteFailed(e);
  }
  CArchiveItem& item = part.item;
  OrvCompression::COrvCallBack* const cb = m_pCallBack;
  const bool bEnds =
      !end.bVolumeFull && !end.bFailed && cb != nullptr && !HasFlag(item, ArchiveItemFlagMoreParts);
  const bool bTimesFromOpenSource =
      bEnds && item.m_bFileData && part.source.GetFilePath() == item.m_strSourcePath;
  if (bTimesFromOpenSource) {
    CopyFileTimes(part.source.m_hFile, part.dest.m_hFile);
  }
  try {
    part.dest.Close();
  } catch (const CException& e) {
    end.WriteFailed(e);
  }
  part.source.Abort();
  if (end.bVolumeFull) {
    // The part ends at the full volume; the driver continues the item in the next one.
    EndPartAtFullVolume();
    return end.result;
  }
  if (!item.m_bFileData) {
    cb->CloseItemData(item.m_nItemKey, 0);
  }
  if (end.bFailed) {
    ItemFailed(item, end.result);
  } else if (bEnds) {
    cb->OnItemEnd(item.m_nItemKey, m_dwItemCRC, m_nVolumeNumber);
    if (item.m_bFileData && !bTimesFromOpenSource) {
      UpdateFileDates(item.m_strSourcePath.c_str(), part.strDest.c_str());
    }
  }
  ResetItemVolumeState();
  return end.result;
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
