// The log records of the copy manager, by name.
//
// The manager writes each record to LOGGER::g_OrvLog with the source file ".\OrvCopyManager",
// a severity and a line number that identifies the record, followed by detail lines. Some
// outcomes reach a host only this way (a block that could not be written still ends its item
// with OnItemEnd; file times that could not be copied are a record): a host that reacts to
// them matches the log entries it receives against these constants, never against their text.
#pragma once

#include <OrvCopy/external/OrvLogging.h>

#include <optional>
#include <string>
#include <string_view>

namespace OrvCopy {

// One record: its line, its message (null where the message is the system's error text) and
// its severity.
struct LogRecord {
  int nLine;
  const wchar_t* lpszText;
  LOGGER::_Severity eSeverity;
};

namespace Records {

inline constexpr const char* kSourceFile = ".\\OrvCopyManager";

using enum LOGGER::_Severity;

// The action stops: the host asked to stop, or refused what was asked.
inline constexpr LogRecord kAbortBackupAtStart{812, L"Abort Backup", SeverityAbort};
inline constexpr LogRecord kAbortBackupBeforeItem{833, L"Abort Backup", SeverityAbort};
inline constexpr LogRecord kAbortBackupInLoop{2061, L"Abort Backup", SeverityAbort};
inline constexpr LogRecord kAbortRestoreInRange{473, L"Abort Restore", SeverityAbort};
inline constexpr LogRecord kAbortRestoreInBatch{588, L"Abort Restore", SeverityAbort};
inline constexpr LogRecord kAbortRestoreInLoop{1592, L"Abort Restore", SeverityAbort};

// Removal and clean-up.
inline constexpr LogRecord kDeletingOnlineFiles{1020, L"Deleting all Temp Online Files",
                                                SeverityCleanup};
inline constexpr LogRecord kRemoveFolderFailed{2551, L"Failed to remove Mirror Folder",
                                               SeverityCleanup};
inline constexpr LogRecord kRemoveFileFailed{2561, L"Failed to remove Mirror File",
                                             SeverityCleanup};

// Backup. The message "Zell" is the system's own text, kept as hosts know it.
inline constexpr LogRecord kTempFileExists{
    1129, L"Temp simulated file already exist!...Zell should pass unique empty folder",
    SeverityError};
inline constexpr LogRecord kRecordPathTooLong{1140, L"Path too long for the file record",
                                              SeverityError};
inline constexpr LogRecord kNoFileRecord{1141, L"No file record for the simulated item",
                                         SeverityError};
inline constexpr LogRecord kDeleteDestinationFailed{1938, L"Failed to delete destination file",
                                                    SeverityError};
inline constexpr LogRecord kOpenDestinationFailed{1972, L"Failed to open Destination file",
                                                  SeverityError};
inline constexpr LogRecord kOpenDestinationException{1989, L"Failed to open Destination file",
                                                     SeverityError};
inline constexpr LogRecord kOpenDestinationExceptionText{1995, nullptr, SeveritySystemMessage};
inline constexpr LogRecord kSeekFailed{2016, L"Seek file error", SeverityError};
inline constexpr LogRecord kSeekFailedText{2020, nullptr, SeveritySystemMessage};
inline constexpr LogRecord kEncryptionFailed{2070, L"Failed to encrypt data", SeverityError};
inline constexpr LogRecord kStreamOverrun{2071, L"Host stream gave more data than asked for",
                                          SeverityError};
inline constexpr LogRecord kReadFailed{2079, L"Error reading file data", SeverityError};
inline constexpr LogRecord kReopenFailed{2100, L"Failed to reopen file", SeverityError};
inline constexpr LogRecord kReadGivenUp{2110, L"Read error not retried", SeverityError};
inline constexpr LogRecord kOpenSourceFailed{2369, L"Failed to open source file", SeverityError};
inline constexpr LogRecord kOpenSourceException{2383, L"Failed to open source file", SeverityError};
inline constexpr LogRecord kOpenSourceExceptionText{2389, nullptr, SeveritySystemMessage};
// The data of the item is whole; only its file times are not those of the source.
inline constexpr LogRecord kUpdateDatesFailed{2633, L"Failed to Update File dates", SeverityError};

// Restore. The message "Suurce" is the system's own text, kept as hosts know it.
inline constexpr LogRecord kSourceUnavailable{492, L"Failed to Get Suurce file", SeverityError};
inline constexpr LogRecord kBatchRefused{638, L"Failed to Get array source files", SeverityError};
inline constexpr LogRecord kRestoreDeleteFailed{1429, L"Failed to delete destination file",
                                                SeverityError};
inline constexpr LogRecord kRestoreOpenFailed{1466, L"Failed to open Destination file",
                                              SeverityError};
inline constexpr LogRecord kRestoreOpenException{1483, L"Failed to open Destination file",
                                                 SeverityError};
inline constexpr LogRecord kRestoreOpenExceptionText{1489, nullptr, SeveritySystemMessage};
inline constexpr LogRecord kStreamAppendMode{1505, L"Extract Stream file in Append mode!!!",
                                             SeverityNotice};
inline constexpr LogRecord kStreamWriteDecryptedFailed{1659, L"Failed to write stream data to file",
                                                       SeverityError};
inline constexpr LogRecord kDecryptedPastSize{1660, L"Decrypted data longer than the item",
                                              SeverityError};
inline constexpr LogRecord kStreamWritePlainFailed{1683, L"Failed to write stream data to file",
                                                   SeverityError};
inline constexpr LogRecord kStreamCloseFailed{1723, L"Failed to close stream data to file",
                                              SeverityError};

// A job the manager cannot run as set up.
inline constexpr LogRecord kInvalidCapacity{1930, L"Invalid buffer capacity", SeverityError};
inline constexpr LogRecord kCapacityNotForEncryption{
    1930, L"Buffer capacity not usable for encryption", SeverityError};
inline constexpr LogRecord kNoCallbackForFolder{1931, L"No callback for a folder item",
                                                SeverityError};
inline constexpr LogRecord kNoCallbackForCompression{1931, L"No callback for a compressed backup",
                                                     SeverityError};
inline constexpr LogRecord kNoCallbackForStream{1931, L"No callback for a host-streamed item",
                                                SeverityError};
inline constexpr LogRecord kNoCallbackForDestination{
    1931, L"No callback to ask for the destination", SeverityError};
inline constexpr LogRecord kNoCallbackForSource{1931, L"No callback to provide the source",
                                                SeverityError};
inline constexpr LogRecord kNoCallbackForSources{1931, L"No callback to provide the sources",
                                                 SeverityError};

}  // namespace Records

// Whether the log entry is this record of the manager.
inline bool IsRecord(const LOGGER::COrvLogEntry& entry, const LogRecord& record) {
  return entry.eKind == LOGGER::COrvLogEntry::Kind::Record && entry.nLine == record.nLine &&
         entry.strSourceFile == Records::kSourceFile &&
         (record.lpszText == nullptr || entry.strText == record.lpszText);
}

// Formats of the detail lines that follow the records, in the logger's Windows printf dialect.
namespace Details {

inline constexpr wchar_t kSource[] = L"Source: %s";  // the path the step works on
inline constexpr wchar_t kFile[] = L"File: %s";
inline constexpr wchar_t kFolder[] = L"Folder: %s";
inline constexpr wchar_t kFileName[] = L"File name: %s";
inline constexpr wchar_t kDeleteFile[] = L"Delete File: %s";
inline constexpr wchar_t kDeleting[] = L"Deleting: %s";
inline constexpr wchar_t kVSSFile[] = L"VSS File: %s";
inline constexpr wchar_t kRetryVSSFile[] = L"Retry VSS File: %s";
inline constexpr wchar_t kCause[] = L"Cause: %d";  // the framework's cause code
// The system's error: its code, or its text. "System last Error" with a lowercase "l" is the
// system's own text for the code taken after a source could not be opened.
inline constexpr wchar_t kOpenSystemErrorCode[] = L"System last Error: %d";
inline constexpr char kSystemErrorCode[] = "System Last Error: %d";
inline constexpr wchar_t kSystemErrorText[] = L"System Last Error: %s";
inline constexpr wchar_t kErrorMessage[] = L"Error Message: %s";  // the framework's error text
inline constexpr char kOnlineCache[] = "Online Cache: %I64d";
inline constexpr char kOnlineCompressedSize[] = "Online Compressed Size: %I64d";
inline constexpr char kBufferCapacity[] = "Buffer capacity: %I64u";

}  // namespace Details

// The label of a detail format: the text before its value.
constexpr std::wstring_view DetailLabel(std::wstring_view format) {
  return format.substr(0, format.find(L'%'));
}
// The label of a format written with narrow characters (those of numbers), as the log holds it.
inline std::wstring DetailLabel(std::string_view format) {
  const std::string_view label = format.substr(0, format.find('%'));
  return std::wstring(label.begin(), label.end());
}

// The value a detail line of this format carries (the text after its label), or nothing when
// the entry is not such a detail line.
inline std::optional<std::wstring_view> DetailValue(const LOGGER::COrvLogEntry& entry,
                                                    std::wstring_view format) {
  const std::wstring_view label = DetailLabel(format);
  const std::wstring_view text = entry.strText;
  if (entry.eKind != LOGGER::COrvLogEntry::Kind::Detail || !text.starts_with(label))
    return std::nullopt;
  return text.substr(label.size());
}
inline std::optional<std::wstring_view> DetailValue(const LOGGER::COrvLogEntry& entry,
                                                    std::string_view format) {
  return DetailValue(entry, std::wstring_view(DetailLabel(format)));
}

}  // namespace OrvCopy
