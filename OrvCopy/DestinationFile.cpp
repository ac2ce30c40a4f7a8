#include "DestinationFile.h"

#include <OrvCopy/external/OrvGlobalMFC.h>
#include <OrvCopy/external/orv_encryption.h>

#include "PathText.h"

namespace OrvCopy {

bool CapacityUsable(uint64_t nCapacity, bool bEncrypted, const std::wstring& strPath) {
  const bool usable = nCapacity >= 1 && nCapacity <= UINT32_MAX &&
                      (!bEncrypted || orv::CEncryption::IsValidDataUnitSize(nCapacity));
  if (!usable) {
    log::Record(bEncrypted ? log::kCapacityNotForEncryption : log::kInvalidCapacity);
    LOGGER::g_OrvLog.Log(Details::kBufferCapacity, static_cast<unsigned long long>(nCapacity));
    LOGGER::g_OrvLog.Log(Details::kFile, strPath.c_str());
  }
  return usable;
}

void LogNoStreamCallback(const std::wstring& strPath) {
  log::Record(log::kNoCallbackForStream);
  LOGGER::g_OrvLog.Log(Details::kFile, strPath.c_str());
}

bool OpenDestinationFile(CFile& dest, const std::wstring& strPath, bool bAppend,
                         const DestinationLines& lines, std::wstring& strLastFolder) {
  // Write only, deny write to others, binary; created (truncated) unless appending.
  UINT flags = CFile::modeWrite | CFile::shareDenyWrite | CFile::typeBinary;
  if (!bAppend) {
    flags |= CFile::modeCreate;
    std::wstring folder = ParentFolder(strPath);
    // Usually the destination is new and its folder was made for the file before: then it is
    // created at once, without looking it up first. Only a destination that exists (or a
    // folder that went away) takes the full way: delete it, make the folder, open.
    if (!strLastFolder.empty() && folder == strLastFolder &&
        dest.Open(strPath.c_str(), flags | CFile::modeCreateNew)) {
      return true;
    }
    if (PathFileExistsW(strPath.c_str()) && !OrvDeleteFileEx(strPath.c_str(), 1)) {
      log::Record(lines.deleteFailed);
      LOGGER::g_OrvLog.Log(Details::kFile, strPath.c_str());
      return false;
    }
    if (folder != strLastFolder) {
      strLastFolder = OrvCreateFolder(folder.c_str()) ? std::move(folder) : std::wstring();
    }
  }
  try {
    if (!dest.Open(strPath.c_str(), flags)) {
      log::Record(lines.openFailed);
      LOGGER::g_OrvLog.Log(Details::kSource, strPath.c_str());
      return false;
    }
    if (bAppend) {
      dest.SeekToEnd();
    }
  } catch (const CException& e) {
    log::Record(lines.openException);
    LOGGER::g_OrvLog.Log(Details::kSource, strPath.c_str());
    log::Record(lines.openExceptionText, log::ExceptionText(e, 512).c_str());
    dest.Abort();
    return false;
  }
  return true;
}

}  // namespace OrvCopy
