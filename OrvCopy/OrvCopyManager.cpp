// The manager's state, life cycle and configuration.
#include <OrvCopy/OrvCopyManager.h>
#include <OrvCopy/external/orv_encryption.h>
#include <orv_platform/utf.h>
#include <orv_platform/win32.h>

#include "BlockWriter.h"

#include <system_error>

namespace OrvCopy {
namespace {

constexpr uint64_t kDefaultBufferCapacity = 65856;  // 686 * 96
constexpr int kDefaultAESLength = 16;

}  // namespace

COrvCopyManager::COrvCopyManager()
    : m_bCompress(0),
      m_bUseTempFolder(0),
      m_bSimulate(0),
      m_nEncryptionType(0),
      m_nAESLength(kDefaultAESLength),
      m_nOnlineCacheSize(0),
      m_bPipelinedCopy(0),
      m_pCallBack(nullptr),
      m_nBufferCapacity(kDefaultBufferCapacity),
      m_eCopyType(CopyTypeMirror),
      m_nItemProcessed(0),
      m_nTotalProcessed(0),
      m_nVolumeWritten(0),
      m_dwFlags(0),
      m_nSplitIndex(0),
      m_nVolumeNumber(0),
      m_nResumeOffset(0),
      m_bContinueInNextVolume(0),
      m_nAction(ActionBackup),
      m_dwItemCRC(0),
      m_bDontPerformDecryption(0) {}

COrvCopyManager::~COrvCopyManager() {
  ClearAll();
}

int COrvCopyManager::Initialize() {
  m_nAction = ActionBackup;
  m_eCopyType = CopyTypeMirror;
  m_bDontPerformDecryption = 0;
  m_strRestoreFromJobName.clear();
  m_dwFlags = 0;
  ResetByteCounters();
  return 1;
}

void COrvCopyManager::Deinitialize() {}

void COrvCopyManager::SetDestRootFolder(const wchar_t* lpszFolder) {
  m_strDestRootFolder = orv::platform::OrEmpty(lpszFolder);
}

void COrvCopyManager::SetSourceRootFolder(const wchar_t* lpszFolder) {
  m_strSourceRootFolder = orv::platform::OrEmpty(lpszFolder);
}

void COrvCopyManager::SetTempFolder(const wchar_t* lpszFolder) {
  m_strTempFolder = orv::platform::OrEmpty(lpszFolder);
}

void COrvCopyManager::SetRestoreFromJobName(const wchar_t* lpszJobName) {
  m_strRestoreFromJobName = orv::platform::OrEmpty(lpszJobName);
}

void COrvCopyManager::SetCallBack(OrvCompression::COrvCallBack* pCallBack) {
  m_pCallBack = pCallBack;
}

void COrvCopyManager::SetFlags(uint32_t dwFlags) {
  m_dwFlags = dwFlags;
}

uint32_t COrvCopyManager::GetFlags() const {
  return m_dwFlags;
}

void COrvCopyManager::SetCopyType(_CopyType eCopyType) {
  m_eCopyType = eCopyType;
}

void COrvCopyManager::SetBufferCapacity(uint64_t nCapacity, int bRound) {
  m_nBufferCapacity = bRound ? OrvCompression::RoundBufferCapacity(nCapacity) : nCapacity;
}

uint64_t COrvCopyManager::GetBufferCapacity() const {
  return m_nBufferCapacity;
}

void COrvCopyManager::DontPerformDecryption(int bDontPerform) {
  m_bDontPerformDecryption = bDontPerform;
}

int COrvCopyManager::AddItem(const wchar_t* lpszSourcePath, const wchar_t* lpszDestFolder,
                             const wchar_t* lpszFileName, uint64_t nItemKey, int bAESEncryption,
                             int nUserValue, uint64_t nSize, uint32_t dwFlags, int bFileData,
                             int bIsFolder, const wchar_t* lpszVSSPath) {
  CArchiveItem item;
  item.m_strSourcePath = orv::platform::OrEmpty(lpszSourcePath);
  item.m_strDestFolder = orv::platform::OrEmpty(lpszDestFolder);
  item.m_strFileName = orv::platform::OrEmpty(lpszFileName);
  item.m_nItemKey = nItemKey;
  item.m_nUserValue = nUserValue;
  item.m_nSize = nSize;
  item.m_bFileData = bFileData;
  item.m_dwFlags = dwFlags;
  if (bAESEncryption) {
    item.m_dwFlags |= ArchiveItemFlagAES;
  }
  item.m_strVSSPath = orv::platform::OrEmpty(lpszVSSPath);
  if (bIsFolder) {
    item.m_bIsFolder = bIsFolder;
  } else {
    item.m_bIsFolder = lpszSourcePath != nullptr && PathIsDirectoryW(lpszSourcePath) ? 1 : 0;
  }
  item.m_bToTempFile = 0;
  m_arrItems.push_back(std::move(item));
  return 0;
}

void COrvCopyManager::BeginAction() {
  if (m_pCallBack != nullptr) {
    m_pCallBack->m_ProcessedStatus.Init();
    m_pCallBack->m_bActionStarted = 1;
  }
  ResetRunCounters();
}

void COrvCopyManager::InitAction() {
  BeginAction();
  if (IsAESEncryption()) {
    PrepareAESManager();
    m_bSimulate = 0;
  }
  m_bDontPerformDecryption = 0;
  m_strRestoreFromJobName.clear();
}

uint64_t COrvCopyManager::GetGlobalTotalSize() const {
  return m_pCallBack != nullptr ? m_pCallBack->m_ProcessedStatus.GetTotalProcessedSize() : 0;
}

void COrvCopyManager::ClearActionData() {
  m_arrItems.clear();
}

void COrvCopyManager::ClearAll() {
  m_arrItems.clear();
  m_strDestRootFolder.clear();
  m_strSourceRootFolder.clear();
  m_nBufferCapacity = kDefaultBufferCapacity;
  m_pCallBack = nullptr;
  m_dwFlags = 0;
  m_pEncryption.reset();
  m_pBlockWriter.reset();
  ResetByteCounters();
}

CBlockWriter* COrvCopyManager::BlockWriter() {
  if (!m_pBlockWriter) {
    try {
      m_pBlockWriter = std::make_unique<CBlockWriter>();
    } catch (const std::system_error&) {
      return nullptr;  // no thread to be had: the copy writes on the calling thread
    }
  }
  return m_pBlockWriter.get();
}

int COrvCopyManager::IsAESEncryption() const {
  return m_nAction != ActionRestoreTrial && m_nEncryptionType == 2 && !m_strPassword.empty() ? 1
                                                                                             : 0;
}

int COrvCopyManager::GetAESLength() const {
  return m_nAESLength;
}

}  // namespace OrvCopy
