#include "LogSupport.h"

#include <vector>

namespace OrvCopy::log {

std::wstring ExceptionText(const CException& e, unsigned int nChars) {
  std::vector<wchar_t> buffer(nChars + 1, L'\0');
  e.GetErrorMessage(buffer.data(), nChars);
  return buffer.data();
}

}  // namespace OrvCopy::log
