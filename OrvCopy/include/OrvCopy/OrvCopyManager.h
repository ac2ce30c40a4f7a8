// OrvCopy: the copy manager of a backup application.
//
// A host describes a job on a COrvCopyManager (items, roots, options, callback) and runs one
// of its actions. This header declares the manager and the item record; the callback
// interface comes from <OrvCopy/external/OrvComp.h>.
#pragma once

#include <OrvCopy/OrvCopyExport.h>
#include <OrvCopy/external/OrvComp.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orv {
class CEncryption;
}

namespace OrvCopy {

class CFile_Fix2;
class CBlockWriter;

// Status codes of the actions and per-file operations.
inline constexpr int StatusDone = 0;
inline constexpr int StatusCompressionFailed = 58;  // the compression engine did not start
inline constexpr int StatusStopped = 60;            // the host asked to stop or refused
inline constexpr int StatusItemFailed = 62;

// Item flags (CArchiveItem::m_dwFlags). Other bits are carried unchanged.
inline constexpr uint32_t ArchiveItemFlagAES = 0x02;            // stored AES-encrypted
inline constexpr uint32_t ArchiveItemFlagAppend = 0x08;         // continues an earlier piece
inline constexpr uint32_t ArchiveItemFlagMoreParts = 0x10;      // later pieces follow
inline constexpr uint32_t ArchiveItemFlagBatchPrepared = 0x20;  // source fetched in a batch
inline constexpr uint32_t ArchiveItemFlagPrepareFailed = 0x40;  // batch fetch failed

// Job flags (COrvCopyManager::SetFlags). Other bits are stored and returned.
inline constexpr uint32_t JobFlagAskDestination = 0x1;      // host chooses root and volume size
inline constexpr uint32_t JobFlagHostProvidesSource = 0x4;  // restore: host fetches sources
inline constexpr uint32_t JobFlagBatchSources = 0x8;        // restore: fetch sources in batches

// The action under way (COrvCopyManager::m_nAction).
inline constexpr int ActionBackup = 1;
inline constexpr int ActionRestore = 2;
inline constexpr int ActionRestoreTrial = 3;  // sources measured, nothing written
inline constexpr int ActionRemove = 4;

// How item paths are composed. Only 0 composes paths from the job's roots; every other
// value leaves the composition to the host and starts the item's path empty.
enum _CopyType : int32_t {
  CopyTypeMirror = 0,        // root + item folder + file name
  CopyTypeHostComposed = 1,  // the host composes the paths itself
};

// One file or folder of a job.
class ORVCOPY_API CArchiveItem {
 public:
  CArchiveItem();
  CArchiveItem(const CArchiveItem& other);
  CArchiveItem& operator=(const CArchiveItem& other);
  // Moves, so that a growing item list moves its items instead of copying every string.
  CArchiveItem(CArchiveItem&& other) noexcept;
  CArchiveItem& operator=(CArchiveItem&& other) noexcept;
  ~CArchiveItem();

  // The item's path below the destination root: folder, separator, file name.
  std::wstring GetFullDestPath() const;
  // The name the item has inside an archive: GetFullDestPath(), or the file-name part of the
  // source path when that is empty.
  std::wstring GetFileInZipPath() const;
  // 2 when the item carries ArchiveItemFlagAES, else 0.
  int IsAESEncryption() const;

  std::wstring m_strSourcePath;
  std::wstring m_strDestFolder;
  std::wstring m_strFileName;
  int m_nUserValue;
  uint64_t m_nItemKey;
  uint64_t m_nSize;
  int m_bIsFolder;
  int m_bFileData;  // nonzero: a file the library reads/writes; zero: host stream
  uint32_t m_dwFlags;
  int m_bToTempFile;
  std::wstring m_strVSSPath;
};

class ORVCOPY_API COrvCopyManager {
 public:
  COrvCopyManager();
  virtual ~COrvCopyManager();
  COrvCopyManager(const COrvCopyManager&) = delete;
  COrvCopyManager& operator=(const COrvCopyManager&) = delete;

  // Must be called first; returns 1.
  int Initialize();
  void Deinitialize();

  void SetDestRootFolder(const wchar_t* lpszFolder);
  void SetSourceRootFolder(const wchar_t* lpszFolder);
  void SetTempFolder(const wchar_t* lpszFolder);
  void SetRestoreFromJobName(const wchar_t* lpszJobName);
  // The host keeps ownership of the callback and keeps it alive during every action.
  void SetCallBack(OrvCompression::COrvCallBack* pCallBack);
  void SetFlags(uint32_t dwFlags);
  uint32_t GetFlags() const;
  void SetCopyType(_CopyType eCopyType);
  // With bRound nonzero the capacity is raised to the next multiple of 96 (a whole number
  // of AES blocks for every key length), for requests up to 2147483616.
  void SetBufferCapacity(uint64_t nCapacity, int bRound);
  uint64_t GetBufferCapacity() const;
  void DontPerformDecryption(int bDontPerform);

  // Appends one item; returns 0. With bIsFolder 0 the item is a folder when lpszSourcePath
  // names an existing directory. bAESEncryption nonzero adds ArchiveItemFlagAES.
  int AddItem(const wchar_t* lpszSourcePath, const wchar_t* lpszDestFolder,
              const wchar_t* lpszFileName, uint64_t nItemKey, int bAESEncryption, int nUserValue,
              uint64_t nSize, uint32_t dwFlags, int bFileData, int bIsFolder,
              const wchar_t* lpszVSSPath);
  // Appends a volume size. Every volume is limited by the first size of the list; a size of
  // 0 means "no limit".
  void AddSplitSize(uint64_t nSize);

  // Resets the run-time state for a new action.
  void InitAction();

  // Backs up every item. With bSkipPreparation 0 the host is first asked for the destination
  // (JobFlagAskDestination) and the encryption engine is prepared; otherwise the caller has
  // done both (InitAction). Returns 0, 60 (stopped or refused), 58 (the compression engine
  // did not start), or the status of the last file copied.
  int Copy(int bSkipPreparation);

  // Restores every item from its backup file below the source root; with bTrial nonzero only
  // opens and measures the sources. When the host provides the sources (JobFlagHostProvidesSource
  // or JobFlagBatchSources) they are requested in batches. nReserved is not read. Call
  // InitAction first. Returns 0, 60 (stopped) or the failure of the first range that ended
  // with one.
  int Restore(int bTrial, uint64_t nReserved);

  // Deletes the mirrored copies of the items (files, and folders that are empty by then).
  // Always returns 0.
  int Remove();
  // The callback's total processed size, or 0 without a callback.
  uint64_t GetGlobalTotalSize() const;
  // Empties the item list only.
  void ClearActionData();
  // Empties items, roots, buffer size, callback, flags, engine and counters, and ends the
  // writing thread; keeps the split sizes, the file records and the public options.
  void ClearAll();

  // Public options, written directly by the host.
  int m_bCompress;
  int m_bUseTempFolder;
  int m_bSimulate;
  std::wstring m_strPassword;
  int m_nEncryptionType;  // 2 = AES
  int m_nAESLength;       // 16, 24 or 32 bytes
  uint64_t m_nOnlineCacheSize;
  // Nonzero: a file copied into a file (backup or restore) in more than one block is written
  // on a second thread while the next blocks are read, checksummed and encrypted or
  // decrypted. The manager starts that thread on first need and ends it in ClearAll and its
  // destructor (which a callback must not call during a copy). Callbacks, their order, the
  // data and the log stay the same, all on the calling thread; only a failed write is learnt
  // up to three blocks later, after their progress calls. 0 (the default): the manager starts
  // no thread.
  int m_bPipelinedCopy;

 protected:
  // 1 when the action is not a trial restore, the encryption type is 2 and a password is set.
  int IsAESEncryption() const;
  int GetAESLength() const;
  // 1 when at least one volume size was added.
  int IsSplitEnabled() const;
  // The size limit of the current volume. Throws std::out_of_range on an empty list.
  uint64_t GetSplitSize() const;
  // Applies the volume limit to a block of nRead bytes just read from the current item:
  // returns the bytes of the block that belong to the current volume (a file block is cut at
  // the limit; a host-streamed block stays whole), counts them into m_nItemProcessed and
  // m_nVolumeWritten and sets bVolumeFull when the volume ends with this block.
  uint32_t ApplyVolumeLimit(uint32_t nRead, int bFileData, bool& bVolumeFull);
  // True when nDataSize more bytes fit into the current volume (always, without splitting).
  bool FitsInCurrentVolume(uint64_t nDataSize) const;
  // Counts bytes of the current item into the item and the volume.
  void CountItemBytes(uint64_t nBytes);
  // A simulated item of nDataSize bytes, counted and not copied.
  void CountSimulatedItem(uint64_t nDataSize);
  // A trial restore counts the whole source of nLength bytes as the item's.
  void MeasureItem(uint64_t nLength);
  // The volume filled in the middle of the item: it continues in the next volume from the
  // bytes processed so far.
  void EndPartAtFullVolume();
  // The next volume: its number follows, and it is empty.
  void AdvanceVolume();
  // Returns the volume state of an item (split index, resume offset, part number, the
  // continuation flag) to its start: before an item and when an item is done.
  void ResetItemVolumeState();
  // The processed totals of the action, the item and the volume back to 0.
  void ResetByteCounters();
  // Everything an action resets before its first item: the totals, the volume counters and
  // the volume state.
  void ResetRunCounters();
  // The start of a backup or removal: the host's callback is marked started with its totals at
  // zero, and the run counters are reset.
  void BeginAction();
  // What every driver resets before an item: the volume state, the item's bytes and its CRC.
  void StartItem();
  // Before a restored item: StartItem, and the volume bytes (on restore, the bytes of the item
  // read so far) back to 0.
  void StartRestoredItem();

  // Creates the encryption engine on first need (or reuses it) and configures it for the
  // job's password and key length. 1 when prepared, 0 when the job is not an AES job.
  int PrepareAESManager();
  // Encrypts one buffer through the engine; nLength becomes the bytes to write. 1 on success.
  int EncryptData(const uint8_t* pIn, uint8_t* pOut, uint32_t& nLength, uint32_t nCapacity);
  // Writes the engine header into pBuffer and stores its length in nHeaderSize. 1 on success.
  int WriteEncryptionHeader(uint8_t* pBuffer, uint64_t nCapacity, uint64_t nPlainSize,
                            uint32_t& nHeaderSize);
  // The engine's header length. Needs a prepared engine, as the two above do.
  int GetAESHeaderSize();

  // The item's destination path: root, item folder, file name and, while the item continues
  // into a further volume, the volume suffix (".001"). With the temporary folder in use,
  // strTempPath receives the path of the item's temporary copy.
  std::wstring GetDestCopyFile(CArchiveItem& item, std::wstring& strTempPath);
  // The temporary folder plus the file name of lpszDestPath; a file already there is deleted.
  // Empty when it cannot be.
  std::wstring GetDestTempFile(const wchar_t* lpszDestPath);
  // Appends the archive extension ".zip".
  void AddCompressionExt(std::wstring& strPath);
  // With JobFlagAskDestination, asks the host for the destination root and the volume size.
  // 1 when ready, 0 when the host refused.
  int PrepareDestination();
  // Asks the host for the next destination root and volume size; false when it refuses either.
  bool AskNextDestination(int bContinues);

  // Backs up one item, part after part: each pass gets its destination and file record, and a
  // full volume ends a part and starts the next volume. The status of the last pass; 60 when
  // the backup stops, and 58 from a compressing job whose engine did not start.
  // nProcessedBase and nCachedBytes carry the compressed run's totals from item to item.
  int BackupItemParts(CArchiveItem& item, uint64_t& nProcessedBase, uint64_t& nCachedBytes);
  // Copies one part of one file item (all of it, or up to the end of the volume). Returns 0,
  // 60 (stopped), 62 (failed) or the host's OpenItemData error.
  int OrvCopyFile_Backup(const wchar_t* lpszSource, const wchar_t* lpszDest, int bReserved,
                         CArchiveItem* pItem);
  // Copies the creation, access and write times of the source to the destination.
  void UpdateFileDates(const wchar_t* lpszSource, const wchar_t* lpszDest);

  // Restores the items nFirst to nEnd - 1 (nEnd -1: to the end). The result of the last file
  // item restored, 60 when stopped, 0 when no file item was restored.
  int RestoreRange(int nFirst, int nEnd);
  // The item's backup file below the source root; asks the host to provide it when the job
  // says so. 1 when the source may be read at strPath, 0 when it is not available.
  int GetSourceCopyFile(CArchiveItem& item, std::wstring& strPath);
  // Restores one file item into lpszDest or the host's stream: decrypted, appended or plain;
  // in a trial restore only measured. 0, 60, 62 or the host's OpenItemData error.
  int OrvCopyFile_Restore(const wchar_t* lpszSource, const wchar_t* lpszDest, int bReserved,
                          CArchiveItem* pItem);
  // Deletes a mirrored file or empty folder, clearing read-only and hidden first, and tells
  // the host (nItemAddress is the address of the item). Nonzero when the path was removed.
  int OrvDeleteFile(const wchar_t* lpszPath, uint64_t nItemAddress);

  // Writes a path into a field of a file record; a path that does not fit is logged and the
  // field left empty rather than cut.
  static bool SetRecordPath(
      char16_t (&field)[OrvCompression::_SimulatedBackedupFile::kPathCapacity],
      const std::wstring& strPath);

  std::vector<uint64_t> m_arrSplitSizes;
  std::vector<std::wstring> m_arrStrings;  // a host's own strings: no operation reads or fills it
  std::vector<OrvCompression::_SimulatedBackedupFile> m_arrSimulatedFiles;
  std::vector<CArchiveItem> m_arrItems;
  std::wstring m_strDestRootFolder;
  std::wstring m_strSourceRootFolder;
  OrvCompression::COrvCallBack* m_pCallBack;
  uint64_t m_nBufferCapacity;
  _CopyType m_eCopyType;
  uint64_t m_nItemProcessed;
  uint64_t m_nTotalProcessed;
  uint64_t m_nVolumeWritten;
  uint32_t m_dwFlags;
  int m_nSplitIndex;
  int m_nVolumeNumber;
  uint64_t m_nResumeOffset;
  int m_bContinueInNextVolume;
  std::unique_ptr<orv::CEncryption> m_pEncryption;
  std::wstring m_strTempFolder;
  int m_nAction;
  uint32_t m_dwItemCRC;
  int m_bDontPerformDecryption;
  std::wstring m_strRestoreFromJobName;

 private:
  friend class COrvCopyManagerTestAccess;  // lets the tests reach the private operations

  // Opens a source file for sequential shared reading, with and without backup semantics, and
  // once more on the item's shadow-copy path. 0 when open, 62 when not; failures are logged.
  int OrvCopy_OpenSourceFile(const wchar_t* lpszPath, CFile_Fix2& file, CArchiveItem& item);
  // Reports the item failed to the host, when there is one, and returns result.
  int ItemFailed(const CArchiveItem& item, int result);
  // The writer of overlapped copies, started on first use; null when no thread can be started.
  CBlockWriter* BlockWriter();

  // The steps of the per-file backup copy, on the state of one call (a part of an item).
  struct BackupPart;
  struct PartEnd;
  // A first part begins the item and decides whether it is encrypted.
  void BeginBackupPart(BackupPart& part);
  // Opens a file source, or the host's stream of a first part, and takes the data size.
  int OpenBackupSource(BackupPart& part);
  // Positions the source of a continuation part where the last part ended.
  bool SeekToResumeOffset(BackupPart& part);
  // Allocates the buffers and writes the encryption header of an encrypted part.
  bool StartBackupOutput(BackupPart& part);
  // The block loop: read, cut at the volume limit, encrypt or checksum, write, report.
  PartEnd CopyBackupBlocks(BackupPart& part);
  // Reads the next block into the input buffer; false when the loop ends here.
  bool ReadBackupBlock(BackupPart& part, uint32_t& nRead, bool& bMore, PartEnd& end);
  // Reads one block of a file item, recovering from read errors as the host decides. A read
  // error after a queued write that failed ends the item as that write failure.
  enum class ReadOutcome { Read, GaveUp, Failed, WriteFailed };
  ReadOutcome ReadSourceBlock(BackupPart& part, uint32_t& nRead);
  // Writes n bytes of the input buffer, encrypted or checksummed; false when the loop ends.
  bool WriteBackupBlock(BackupPart& part, uint32_t n, PartEnd& end);
  // Closes the files and ends the part: continued in the next volume, failed or ended.
  int FinishBackupPart(BackupPart& part, PartEnd end);

  // The steps of the per-file restore, on the state of one call.
  struct RestorePart;
  // A trial restore only measures the source.
  int MeasureRestoreSource(RestorePart& part, uint64_t nLength);
  // Opens the destination file, or the host's stream (which may ask for the file instead).
  int OpenRestoreDestination(RestorePart& part);
  // The block loop; false when the host stopped the restore.
  bool CopyRestoreBlocks(RestorePart& part);
  // Decrypts in place (cut to the item's size) or checksums the n bytes of data and writes
  // them; false when the loop ends here.
  bool WriteRestoredBlock(RestorePart& part, uint8_t* data, uint32_t n);
  // Closes the files and ends the item unless the restore was stopped.
  int FinishRestorePart(RestorePart& part, bool bStopped);
  // Hands one file item to the compression engine: one archive at strDest. 0, 58 or 60.
  int CompressItem(CArchiveItem& item, const std::wstring& strSource, const std::wstring& strDest,
                   uint64_t& nProcessedBase, uint64_t& nCachedBytes);
  // Appends the file record of one pass over an item; strDest becomes the path the pass
  // writes to (the temporary path when there is one).
  void RecordPass(const CArchiveItem& item, std::wstring& strDest, const std::wstring& strTemp);
  // A folder item of a backup: the folder is made at strDest and the item reported begun and
  // ended. 62 (logged) when there is no callback to report to.
  int BackupFolderItem(const CArchiveItem& item, const std::wstring& strDest);
  // Ends the full volume and starts the next one: the host learns of the volume's end and gets
  // its file records, and with JobFlagAskDestination gives the next destination. False when
  // the host stops the backup.
  bool StartNextVolume(const CArchiveItem& item);
  // The simulated-backup admission of an item of nDataSize bytes. True when the item was only
  // counted (the copy is done); otherwise strDest may now be the temporary path.
  bool AdmitSimulatedItem(CArchiveItem& item, uint64_t nDataSize, std::wstring& strDest);

  // The destination folder made last in this action: the files that follow in it do not
  // create it again. Emptied when an action starts.
  std::wstring m_strLastFolderMade;
  std::unique_ptr<CBlockWriter> m_pBlockWriter;
};

}  // namespace OrvCopy
