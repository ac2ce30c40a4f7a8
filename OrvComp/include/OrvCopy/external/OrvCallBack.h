// The host's side of the library: the callback interface through which the copy manager and
// the compression engine report to the host and ask it questions, the processed-size record
// and the file record of a hand-over backup.
#pragma once

#include <OrvCopy/external/OrvCompExport.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace OrvCompression {

// Totals of an action, kept current by the compression engine.
struct _ProcessedStatus {
  uint64_t m_nTotalProcessedSize = 0;  // source bytes taken in
  uint64_t m_nTotalOutputSize = 0;     // bytes written out

  void Init() {
    m_nTotalProcessedSize = 0;
    m_nTotalOutputSize = 0;
  }
  uint64_t GetTotalProcessedSize() const { return m_nTotalProcessedSize; }
  uint64_t GetTotalOutputSize() const { return m_nTotalOutputSize; }
};

// One file written (or only accounted) by a backup, handed to the host with OnVolumeFiles.
// The paths are UTF-16 and zero-terminated on every platform, so the record has the same
// 1056-byte layout everywhere.
struct _SimulatedBackedupFile {
  static constexpr int kPathCapacity = 260;
  // Bit 0 of bFlags: the data was written to the temporary file named in szDataPath.
  static constexpr uint8_t kFlagTempFile = 0x01;

  char16_t szDestPath[kPathCapacity] = {};  // the path the file has in the backup
  char16_t szDataPath[kPathCapacity] = {};  // where the data really is, or empty
  uint64_t nItemKey = 0;
  uint8_t bFlags = 0;
};
static_assert(sizeof(_SimulatedBackedupFile) == 1056, "record layout is fixed at 1056 bytes");
static_assert(offsetof(_SimulatedBackedupFile, szDataPath) == 520);
static_assert(offsetof(_SimulatedBackedupFile, nItemKey) == 1040);
static_assert(offsetof(_SimulatedBackedupFile, bFlags) == 1048);

// The interface through which the library reports to the host and asks it questions.
// Every operation has a default body, so a host overrides only what it uses. The order of
// the virtual operations is part of the contract.
class ORVCOMP_API COrvCallBack {
 public:
  COrvCallBack() = default;
  COrvCallBack(const COrvCallBack&) = default;
  COrvCallBack& operator=(const COrvCallBack&) = default;

  // nKind 1: a read error (nValue the system error code, lpszText the source path);
  // answering 1 or 4 retries. nKind 2: notice for the item nValue; the answer is ignored.
  virtual int OnPrompt(int nKind, uint64_t nValue, const wchar_t* lpszText) {
    (void)nKind, (void)nValue, (void)lpszText;
    return 0;
  }
  virtual int Reserved1() { return 0; }
  // Nonzero: lpszBuffer (nBufferSize characters) holds the next destination root.
  virtual int GetNextDestination(wchar_t* lpszBuffer, int nBufferSize, int bContinues) {
    (void)lpszBuffer, (void)nBufferSize, (void)bContinues;
    return 0;
  }
  // Nonzero: *pnSize holds the size of the next volume.
  virtual int GetDestinationSpace(uint64_t* pnSize, uint32_t nClusterSize) {
    (void)pnSize, (void)nClusterSize;
    return 0;
  }
  // Nonzero: the item's source file is available at lpszSourcePath.
  virtual int PrepareSourceFile(uint64_t nItemKey, const wchar_t* lpszSourcePath,
                                const wchar_t* lpszJobName) {
    (void)nItemKey, (void)lpszSourcePath, (void)lpszJobName;
    return 1;
  }
  // Nonzero: the source files of all the keys are available below lpszSourceRoot.
  virtual int PrepareSourceFiles(const wchar_t* lpszSourceRoot,
                                 const std::vector<uint64_t>& arrKeys, const wchar_t* lpszJobName) {
    (void)lpszSourceRoot, (void)arrKeys, (void)lpszJobName;
    return 1;
  }
  virtual int Reserved6() { return 0; }
  // Zero stops the backup.
  virtual int OnVolumeFiles(int nReserved, const std::vector<_SimulatedBackedupFile>* pFiles) {
    (void)nReserved, (void)pFiles;
    return 1;
  }
  virtual void OnItemBegin(uint64_t nItemKey) { (void)nItemKey; }
  virtual void OnItemEnd(uint64_t nItemKey, uint32_t dwCRC, int nVolumeNumber) {
    (void)nItemKey, (void)dwCRC, (void)nVolumeNumber;
  }
  virtual void OnVolumeEnd(uint64_t nItemKey, uint64_t nVolumeBytes, int nVolumeNumber) {
    (void)nItemKey, (void)nVolumeBytes, (void)nVolumeNumber;
  }
  // *pnRead receives the bytes given; 0 ends the item's data.
  virtual int ReadItemData(uint64_t nItemKey, void* pBuffer, uint32_t nCapacity, uint32_t* pnRead) {
    (void)nItemKey, (void)pBuffer, (void)nCapacity;
    if (pnRead != nullptr) {
      *pnRead = 0;
    }
    return 0;
  }
  // Zero: the write failed.
  virtual int WriteItemData(uint64_t nItemKey, const void* pBuffer, uint32_t nLength,
                            uint32_t* pnWritten) {
    (void)nItemKey, (void)pBuffer, (void)nLength, (void)pnWritten;
    return 0;
  }
  // 0: the stream is open; anything else is an error code. 50 (not supported) by default:
  // a host that streams item data must say so. On restore, 6023 means "write the file".
  virtual int OpenItemData(uint64_t nItemKey, int nReserved) {
    (void)nItemKey, (void)nReserved;
    return kErrorNotSupported;
  }
  // Zero on restore: closing failed.
  virtual int CloseItemData(uint64_t nItemKey, int nReserved) {
    (void)nItemKey, (void)nReserved;
    return 1;
  }
  virtual int Reserved15() { return 0; }
  // Zero: the item is not restored.
  virtual int CanRestoreItem(uint64_t nItemKey) {
    (void)nItemKey;
    return 1;
  }
  virtual int Reserved17() { return 0; }
  virtual void OnProgress() {}
  virtual int Reserved19() { return 0; }
  virtual int Reserved20() { return 0; }
  virtual void OnItemFailed(uint64_t nItemKey, int nReserved) { (void)nItemKey, (void)nReserved; }
  virtual void OnItemRemoved(uint64_t nItemKey, int nReserved) { (void)nItemKey, (void)nReserved; }
  virtual int Reserved23() { return 0; }
  // Nonzero: stop the action.
  virtual int IsAbortRequested() { return 0; }

  virtual ~COrvCallBack();

  static constexpr int kErrorNotSupported = 50;

  _ProcessedStatus m_ProcessedStatus;
  uint64_t m_nTotalProcessedSize = 0;
  uint64_t m_nTotalOutputSize = 0;
  uint64_t m_nFileProcessedSize = 0;
  uint64_t m_nProcessedPos = 0;
  uint64_t m_nProcessedSize = 0;
  uint32_t m_bActionStarted = 0;
};

}  // namespace OrvCompression
