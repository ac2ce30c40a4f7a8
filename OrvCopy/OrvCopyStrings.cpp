#include <OrvCopy/OrvCopyStrings.h>
#include <orv_platform/utf.h>

namespace OrvCopy {

std::wstring FileNameToWide(std::string_view bytes) {
  return orv::platform::NativeToWide(bytes);
}

bool WideToFileName(std::wstring_view wide, std::string& bytes) {
  return orv::platform::WideToNative(wide, bytes);
}

std::string WideToDisplay(std::wstring_view wide) {
  return orv::platform::WideToUtf8Lossy(wide);
}

}  // namespace OrvCopy
