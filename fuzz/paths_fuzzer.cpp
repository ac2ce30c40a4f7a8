// Destination, temporary and source paths composed from arbitrary roots and item strings.
#include <OrvCopy/OrvCopyManager.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

class PathManager : public OrvCopy::COrvCopyManager {
 public:
  using COrvCopyManager::GetDestCopyFile;
  using COrvCopyManager::GetSourceCopyFile;
  using COrvCopyManager::m_bContinueInNextVolume;
  using COrvCopyManager::m_nVolumeNumber;
  using COrvCopyManager::SetRecordPath;
};

// The input cut at zero bytes into strings, each byte one character (escaped bytes included).
std::wstring Next(const uint8_t*& data, size_t& size) {
  std::wstring s;
  while (size > 0) {
    const uint8_t b = *data++;
    --size;
    if (b == 0)
      break;
    s.push_back(b < 0x80 ? static_cast<wchar_t>(b) : static_cast<wchar_t>(0xDC00 + b));
  }
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2)
    return 0;
  const uint8_t options = *data++;
  --size;
  PathManager m;
  m.Initialize();
  const std::wstring root = Next(data, size);
  m.SetDestRootFolder(root.c_str());
  m.SetSourceRootFolder(root.c_str());
  m.m_bContinueInNextVolume = options & 1;
  m.m_nVolumeNumber = options >> 1;
  OrvCopy::CArchiveItem item;
  item.m_strDestFolder = Next(data, size);
  item.m_strFileName = Next(data, size);
  item.m_strSourcePath = Next(data, size);
  item.m_bIsFolder = options & 2;
  std::wstring temp, source;
  const std::wstring dest = m.GetDestCopyFile(item, temp);
  m.GetSourceCopyFile(item, source);
  OrvCompression::_SimulatedBackedupFile record;
  m.SetRecordPath(record.szDestPath, dest);
  // The composition never drops what it was given.
  if (!item.m_bIsFolder && dest.size() < item.m_strFileName.size())
    __builtin_trap();
  return 0;
}
