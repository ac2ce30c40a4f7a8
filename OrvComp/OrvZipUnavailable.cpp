// The ZIP engine of a build without libzip: it never starts, so that a compressing backup
// reports the engine as not started instead of writing something that is not an archive.
#include <OrvCopy/external/OrvComp.h>
#include <OrvCopy/external/OrvLogging.h>

namespace OrvCompression {

struct COrv_ZIP::Impl {};

COrv_ZIP::COrv_ZIP() = default;
COrv_ZIP::~COrv_ZIP() = default;

int COrv_ZIP::Initialize(const wchar_t*) {
  LOGGER::g_OrvLog.WriteLog(L"Compression engine not available: built without libzip",
                            LOGGER::SeverityError, ".\\OrvComp", 312, nullptr);
  return 0;
}

void COrv_ZIP::SetCallBack(COrvCallBack*) {}
void COrv_ZIP::SetCallBackType(_CallBackType) {}
void COrv_ZIP::SetFilesProcessType(CArchiveItem::_AddItemType) {}
void COrv_ZIP::SetBufferCapacity(uint64_t, int) {}
void COrv_ZIP::SetCompressionLevel(int) {}
void COrv_ZIP::SetEngineType(_EngineType) {}
void COrv_ZIP::SetEncryptionType(_EncryptionType) {}
void COrv_ZIP::SetAESType(_AESStrength) {}
void COrv_ZIP::SetPassword(const wchar_t*) {}
int COrv_ZIP::SetZipFileName(const wchar_t*) {
  return 0;
}
int COrv_ZIP::SetZipOutputPath(const wchar_t*) {
  return 0;
}
int COrv_ZIP::AddItem(const wchar_t*, const wchar_t*, const wchar_t*, uint64_t, int, int, int,
                      CArchiveItem::_AddItemType, uint32_t) {
  return 0;
}
int COrv_ZIP::DoZip(uint64_t) {
  return ZipFailed;
}

}  // namespace OrvCompression
