#include <OrvCopy/external/OrvLogging.h>

#include "WinPrintf.h"

#include <orv_platform/utf.h>

#include <cstdarg>

namespace LOGGER {
namespace {

// Reads the arguments of a variadic call with the C types the sizes name.
class VaListArgs final : public detail::FormatArgs {
 public:
  explicit VaListArgs(va_list& ap) : m_ap(ap) {}

  int64_t NextSigned(IntSize size) override {
    switch (size) {
      case IntSize::Long:
        return va_arg(m_ap, long);
      case IntSize::LongLong:
      case IntSize::Int64:
        return va_arg(m_ap, long long);
      case IntSize::Pointer:
        return va_arg(m_ap, intptr_t);
      default:
        return va_arg(m_ap, int);  // char, short and int arrive promoted to int
    }
  }
  uint64_t NextUnsigned(IntSize size) override {
    switch (size) {
      case IntSize::Long:
        return va_arg(m_ap, unsigned long);
      case IntSize::LongLong:
      case IntSize::Int64:
        return va_arg(m_ap, unsigned long long);
      case IntSize::Pointer:
        return va_arg(m_ap, uintptr_t);
      default:
        return va_arg(m_ap, unsigned int);
    }
  }
  double NextDouble(bool bLongDouble) override {
    return bLongDouble ? static_cast<double>(va_arg(m_ap, long double)) : va_arg(m_ap, double);
  }
  const wchar_t* NextWideString() override { return va_arg(m_ap, const wchar_t*); }
  const char* NextNarrowString() override { return va_arg(m_ap, const char*); }
  const void* NextPointer() override { return va_arg(m_ap, const void*); }

 private:
  va_list& m_ap;
};

COrvLogEntry MakeEntry(COrvLogEntry::Kind eKind, std::wstring text) {
  COrvLogEntry entry;
  entry.eKind = eKind;
  entry.strText = std::move(text);
  return entry;
}

COrvLogEntry MakeRecord(std::wstring text, _Severity eSeverity, const char* lpszSourceFile,
                        int nLine) {
  COrvLogEntry entry = MakeEntry(COrvLogEntry::Kind::Record, std::move(text));
  entry.nSeverity = static_cast<int>(eSeverity);
  entry.strSourceFile = lpszSourceFile != nullptr ? lpszSourceFile : "";
  entry.nLine = nLine;
  return entry;
}

}  // namespace

COrvLog g_OrvLog;

COrvLog::COrvLog() = default;
COrvLog::~COrvLog() = default;

COrvLogSink COrvLog::SetSink(COrvLogSink sink) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::swap(m_sink, sink);
  return sink;
}

bool COrvLog::HasSink() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<bool>(m_sink);
}

void COrvLog::Emit(const COrvLogEntry& entry) {
  COrvLogSink sink;
  {
    // The sink is called outside the lock, so that it may itself write to the log.
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_sink) {
      return;
    }
    sink = m_sink;
  }
  sink(entry);
}

int COrvLog::WriteLog(const char* lpszMessage, _Severity eSeverity, const char* lpszSourceFile,
                      int nLine, const char* /*lpszExtra*/) {
  Emit(MakeRecord(orv::platform::NativeToWide(lpszMessage != nullptr ? lpszMessage : ""), eSeverity,
                  lpszSourceFile, nLine));
  return 0;
}

int COrvLog::WriteLog(const wchar_t* lpszMessage, _Severity eSeverity, const char* lpszSourceFile,
                      int nLine, const char* /*lpszExtra*/) {
  Emit(MakeRecord(orv::platform::OrEmpty(lpszMessage), eSeverity, lpszSourceFile, nLine));
  return 0;
}

void COrvLog::Log(const char* lpszFormat, ...) {
  if (lpszFormat == nullptr || !HasSink()) {
    return;
  }
  va_list ap;
  va_start(ap, lpszFormat);
  VaListArgs args(ap);
  std::wstring text =
      detail::FormatWindowsPrintf(orv::platform::NativeToWide(lpszFormat), false, args);
  va_end(ap);
  Emit(MakeEntry(COrvLogEntry::Kind::Detail, std::move(text)));
}

void COrvLog::Log(const wchar_t* lpszFormat, ...) {
  if (lpszFormat == nullptr || !HasSink()) {
    return;
  }
  va_list ap;
  va_start(ap, lpszFormat);
  VaListArgs args(ap);
  std::wstring text = detail::FormatWindowsPrintf(lpszFormat, true, args);
  va_end(ap);
  Emit(MakeEntry(COrvLogEntry::Kind::Detail, std::move(text)));
}

COrvFuncLog::COrvFuncLog(COrvLog& log, const char* lpszName, const char* /*lpszExtra*/)
    : m_log(log), m_strName(orv::platform::NativeToWide(lpszName != nullptr ? lpszName : "")) {
  m_log.Emit(MakeEntry(COrvLogEntry::Kind::ScopeBegin, m_strName));
}

COrvFuncLog::~COrvFuncLog() {
  m_log.Emit(MakeEntry(COrvLogEntry::Kind::ScopeEnd, m_strName));
}

}  // namespace LOGGER
