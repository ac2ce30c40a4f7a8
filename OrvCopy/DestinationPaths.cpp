// Where a backup writes: destination paths with volume suffixes, temporary copies, archive
// names, the host-chosen destination root, and the paths of the host's file records.
#include <OrvCopy/OrvCopyManager.h>
#include <orv_platform/utf.h>
#include <orv_platform/win32.h>

#include "LogSupport.h"
#include "PathText.h"

#include <cstdio>
#include <vector>

namespace OrvCopy {
namespace {

// ".%.3d": a point and the part number with at least three digits.
std::wstring VolumeSuffix(int nVolumeNumber) {
  char text[16];
  std::snprintf(text, sizeof text, ".%.3d", nVolumeNumber);
  return std::wstring(text, text + std::char_traits<char>::length(text));
}

std::wstring SystemTempFolder() {
  const DWORD needed = GetTempPathW(0, nullptr);
  std::vector<wchar_t> buffer(needed + 1, L'\0');
  GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
  return buffer.data();
}

}  // namespace

std::wstring COrvCopyManager::GetDestCopyFile(CArchiveItem& item, std::wstring& strTempPath) {
  std::wstring path;
  if (m_eCopyType == CopyTypeMirror) {
    if (!m_strDestRootFolder.empty()) {
      path = m_strDestRootFolder;
      AddSeparator(path);
    }
    path += item.m_strDestFolder;
    if (!item.m_bIsFolder) {
      AddSeparator(path);
      path += item.m_strFileName.empty() ? PathFindFileNameW(item.m_strSourcePath.c_str())
                                         : item.m_strFileName;
    }
  }
  if (m_bContinueInNextVolume) {
    path += VolumeSuffix(m_nVolumeNumber);
  }
  strTempPath.clear();
  if (m_bUseTempFolder && !item.m_bIsFolder) {
    strTempPath = GetDestTempFile(path.c_str());
  }
  return path;
}

std::wstring COrvCopyManager::GetDestTempFile(const wchar_t* lpszDestPath) {
  if (m_strTempFolder.empty()) {
    m_strTempFolder = SystemTempFolder();
  }
  std::wstring path = m_strTempFolder;
  AddSeparator(path);
  path += PathFindFileNameW(orv::platform::OrEmpty(lpszDestPath));
  if (PathFileExistsW(path.c_str())) {
    DeleteFileW(path.c_str());
    if (PathFileExistsW(path.c_str())) {
      log::Record(log::kTempFileExists);
      return {};
    }
  }
  return path;
}

void COrvCopyManager::AddCompressionExt(std::wstring& strPath) {
  strPath += L".zip";
}

bool COrvCopyManager::AskNextDestination(int bContinues) {
  if (m_pCallBack == nullptr) {
    log::Record(log::kNoCallbackForDestination);
    return false;
  }
  wchar_t buffer[MAX_PATH] = {};
  if (!m_pCallBack->GetNextDestination(buffer, MAX_PATH, bContinues)) {
    return false;
  }
  buffer[MAX_PATH - 1] = L'\0';  // a host that filled the whole buffer still ends it
  m_strDestRootFolder = buffer;
  uint64_t nSize = 0;
  if (!m_pCallBack->GetDestinationSpace(&nSize, 4096)) {
    return false;
  }
  AddSplitSize(nSize);
  return true;
}

int COrvCopyManager::PrepareDestination() {
  if (!(m_dwFlags & JobFlagAskDestination)) {
    return 1;
  }
  return AskNextDestination(m_bContinueInNextVolume) ? 1 : 0;
}

bool COrvCopyManager::SetRecordPath(
    char16_t (&field)[OrvCompression::_SimulatedBackedupFile::kPathCapacity],
    const std::wstring& strPath) {
  const std::u16string utf16 = orv::platform::WideToUtf16(strPath);
  if (utf16.size() >= std::size(field)) {
    log::Record(log::kRecordPathTooLong);
    LOGGER::g_OrvLog.Log(Details::kFile, strPath.c_str());
    field[0] = u'\0';
    return false;
  }
  std::copy(utf16.begin(), utf16.end(), field);
  field[utf16.size()] = u'\0';
  return true;
}

}  // namespace OrvCopy
