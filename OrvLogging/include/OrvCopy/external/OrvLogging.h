// The logging library: one global log object that receives records (message, severity,
// source file, line), detail lines and scopes, and hands each to the host's sink.
//
// Nothing is written anywhere until a host installs a sink with SetSink.
#pragma once

#include <OrvCopy/external/OrvLoggingExport.h>

#include <functional>
#include <mutex>
#include <string>

namespace LOGGER {

// Severities of the records the copy manager writes.
enum _Severity : int {
  SeverityAbort = 0,          // the action stops because the host asked or refused
  SeverityCleanup = 1,        // removal and clean-up steps
  SeverityError = 2,          // an item or a step failed
  SeverityNotice = 3,         // notice of a special mode
  SeveritySystemMessage = 4,  // the platform's own error text, after a severity-2 record
};

struct COrvLogEntry {
  enum class Kind { Record, Detail, ScopeBegin, ScopeEnd };
  Kind eKind;
  std::wstring strText;       // record message, formatted detail line, or scope name
  int nSeverity = 0;          // records only
  std::string strSourceFile;  // records only, e.g. ".\OrvCopyManager"
  int nLine = 0;              // records only
};
using COrvLogSink = std::function<void(const COrvLogEntry&)>;

class ORVLOGGING_API COrvLog {
 public:
  COrvLog();
  ~COrvLog();
  COrvLog(const COrvLog&) = delete;
  COrvLog& operator=(const COrvLog&) = delete;

  // Installs the sink that receives every entry; returns the previous one. An empty sink
  // discards. A sink may be called from any thread that writes a log entry.
  COrvLogSink SetSink(COrvLogSink sink);

  // Writes one record. Narrow texts are UTF-8. `lpszExtra` is accepted for compatibility and
  // not written. The result is always 0.
  int WriteLog(const char* lpszMessage, _Severity eSeverity, const char* lpszSourceFile, int nLine,
               const char* lpszExtra);
  int WriteLog(const wchar_t* lpszMessage, _Severity eSeverity, const char* lpszSourceFile,
               int nLine, const char* lpszExtra);

  // Writes one detail line, formatted in the Windows printf dialect on every platform: in a
  // wide format %s is a wide string and %S a narrow one (the other way round in a narrow
  // format), %ls is always wide and %hs always narrow, %I64d/%I64u/%I64x take 64-bit
  // integers, %I32d 32-bit ones; flags, width, precision and * work as in printf.
  void Log(const char* lpszFormat, ...);
  void Log(const wchar_t* lpszFormat, ...);

  // Delivers an entry to the sink (used by COrvFuncLog and the Log forms).
  void Emit(const COrvLogEntry& entry);

 private:
  bool HasSink();

  std::mutex m_mutex;  // guards m_sink
  COrvLogSink m_sink;
};

ORVLOGGING_API extern COrvLog g_OrvLog;

// A scope record: the constructor writes a ScopeBegin entry with the name, the destructor
// the matching ScopeEnd entry.
class ORVLOGGING_API COrvFuncLog {
 public:
  COrvFuncLog(COrvLog& log, const char* lpszName, const char* lpszExtra);
  ~COrvFuncLog();
  COrvFuncLog(const COrvFuncLog&) = delete;
  COrvFuncLog& operator=(const COrvFuncLog&) = delete;

 private:
  COrvLog& m_log;
  std::wstring m_strName;
};

}  // namespace LOGGER
