// How the manager writes to the host's log: records with the source file ".\OrvCopyManager"
// and a fixed line number each, followed by detail lines.
#pragma once

#include <OrvCopy/external/OrvFramework.h>
#include <OrvCopy/external/OrvLogging.h>

#include <string>

namespace OrvCopy::log {

inline constexpr const char* kSourceFile = ".\\OrvCopyManager";

// The line of each record. Hosts and their support staff know the records by these numbers.
enum Line : int {
  kAbortRestoreInRange = 473,
  kSourceUnavailable = 492,
  kAbortRestoreInBatch = 588,
  kBatchRefused = 638,
  kAbortBackupAtStart = 812,
  kAbortBackupBeforeItem = 833,
  kDeletingOnlineFiles = 1020,
  kTempFileExists = 1129,
  kRestoreDeleteFailed = 1429,
  kRestoreOpenFailed = 1466,
  kRestoreOpenException = 1483,
  kRestoreOpenExceptionText = 1489,
  kStreamAppendMode = 1505,
  kAbortRestoreInLoop = 1592,
  kStreamWriteDecryptedFailed = 1659,
  kStreamWritePlainFailed = 1683,
  kStreamCloseFailed = 1723,
  kDeleteDestinationFailed = 1938,
  kOpenDestinationFailed = 1972,
  kOpenDestinationException = 1989,
  kOpenDestinationExceptionText = 1995,
  kSeekFailed = 2016,
  kSeekFailedText = 2020,
  kAbortBackupInLoop = 2061,
  kReadFailed = 2079,
  kReopenFailed = 2100,
  kOpenSourceFailed = 2369,
  kOpenSourceException = 2383,
  kOpenSourceExceptionText = 2389,
  kRemoveFolderFailed = 2551,
  kRemoveFileFailed = 2561,
  kUpdateDatesFailed = 2633,
  // Records of cases the numbered ones do not cover.
  kRecordPathTooLong = 1140,
  kNoFileRecord = 1141,
  kInvalidCapacity = 1930,
  kNoCallback = 1931,
  kEncryptionFailed = 2070,
  kStreamOverrun = 2071,
  kReadGivenUp = 2110,
  kDecryptedPastSize = 1660,
};

inline void Record(const wchar_t* lpszMessage, LOGGER::_Severity eSeverity, Line nLine) {
  LOGGER::g_OrvLog.WriteLog(lpszMessage, eSeverity, kSourceFile, nLine, nullptr);
}

// The framework's text for an exception, as read into a buffer of nChars characters.
std::wstring ExceptionText(const CException& e, unsigned int nChars);

}  // namespace OrvCopy::log
