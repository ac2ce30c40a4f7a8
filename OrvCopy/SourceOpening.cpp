// Opening a source file: backup semantics first, then without, then once more on the
// item's shadow-copy path. Every failed pass is logged in detail.
#include <OrvCopy/OrvCopyManager.h>
#include <orv_platform/utf.h>

#include "CFile_Fix2.h"
#include "LogSupport.h"

namespace OrvCopy {
namespace {

// Read only, deny none, binary, sequential scan.
constexpr UINT kSourceOpenFlags =
    CFile::modeRead | CFile::shareDenyNone | CFile::typeBinary | CFile::osSequentialScan;

// One pass on one path: 0 when the file opened, 62 when both opens failed.
int OpenPass(const std::wstring& path, CFile_Fix2& file, const CArchiveItem& item) {
  try {
    CFileException error;
    if (file.Open(path.c_str(), kSourceOpenFlags, &error, 1) ||
        file.Open(path.c_str(), kSourceOpenFlags, &error, 0)) {
      return StatusDone;
    }
    const DWORD lastError = GetLastError();
    log::Record(log::kOpenSourceFailed);
    LOGGER::g_OrvLog.Log(Details::kSource, path.c_str());
    LOGGER::g_OrvLog.Log(Details::kCause, error.m_cause);
    LOGGER::g_OrvLog.Log(Details::kOpenSystemErrorCode, static_cast<int>(lastError));
    LOGGER::g_OrvLog.Log(Details::kErrorMessage, log::ExceptionText(error, 1024).c_str());
    LOGGER::g_OrvLog.Log(Details::kVSSFile, item.m_strVSSPath.c_str());
  } catch (const CException& e) {
    log::Record(log::kOpenSourceException);
    LOGGER::g_OrvLog.Log(Details::kSource, path.c_str());
    log::Record(log::kOpenSourceExceptionText, log::ExceptionText(e, 512).c_str());
  }
  return StatusItemFailed;
}

}  // namespace

int COrvCopyManager::OrvCopy_OpenSourceFile(const wchar_t* lpszPath, CFile_Fix2& file,
                                            CArchiveItem& item) {
  const std::wstring path = orv::platform::OrEmpty(lpszPath);
  const int result = OpenPass(path, file, item);
  if (result == StatusDone || item.m_strVSSPath.empty()) {
    return result;
  }
  LOGGER::g_OrvLog.Log(Details::kRetryVSSFile, item.m_strVSSPath.c_str());
  return OpenPass(item.m_strVSSPath, file, item);
}

}  // namespace OrvCopy
