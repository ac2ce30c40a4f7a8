#include <OrvCopy/OrvCopyManager.h>
#include <orv_platform/win32.h>

#include "PathText.h"

namespace OrvCopy {

CArchiveItem::CArchiveItem()
    : m_nUserValue(1),
      m_nItemKey(0),
      m_nSize(0),
      m_bIsFolder(0),
      m_bFileData(1),
      m_dwFlags(0),
      m_bToTempFile(0) {}

CArchiveItem::CArchiveItem(const CArchiveItem& other) = default;
CArchiveItem& CArchiveItem::operator=(const CArchiveItem& other) = default;
CArchiveItem::CArchiveItem(CArchiveItem&& other) noexcept = default;
CArchiveItem& CArchiveItem::operator=(CArchiveItem&& other) noexcept = default;
CArchiveItem::~CArchiveItem() = default;

std::wstring CArchiveItem::GetFullDestPath() const {
  // Folder, one separator (unless the folder already ends in one), name. Folders of any
  // length get their separator, also those too long for a path buffer.
  std::wstring path = m_strDestFolder;
  AddSeparator(path);
  path += m_strFileName;
  return path;
}

std::wstring CArchiveItem::GetFileInZipPath() const {
  std::wstring path = GetFullDestPath();
  if (path.empty()) {
    path = PathFindFileNameW(m_strSourcePath.c_str());
  }
  return path;
}

int CArchiveItem::IsAESEncryption() const {
  return static_cast<int>(m_dwFlags & ArchiveItemFlagAES);
}

}  // namespace OrvCopy
