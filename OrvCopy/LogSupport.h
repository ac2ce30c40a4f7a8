// How the manager writes to the host's log: the named records of <OrvCopy/OrvCopyLog.h>,
// each followed by its detail lines.
#pragma once

#include <OrvCopy/OrvCopyLog.h>
#include <OrvCopy/external/OrvFramework.h>
#include <OrvCopy/external/OrvLogging.h>

#include <string>

namespace OrvCopy::log {

using namespace OrvCopy::Records;

// Writes the record with its own message, or with the given one (the records that carry the
// system's error text).
inline void Record(const LogRecord& record, const wchar_t* lpszText = nullptr) {
  LOGGER::g_OrvLog.WriteLog(lpszText != nullptr ? lpszText : record.lpszText, record.eSeverity,
                            kSourceFile, record.nLine, nullptr);
}

// The framework's text for an exception, as read into a buffer of nChars characters.
std::wstring ExceptionText(const CException& e, unsigned int nChars);

}  // namespace OrvCopy::log
