// Helpers shared by the tests: a fresh folder per test, log capture, path building.
#pragma once

#include <OrvCopy/OrvCopyLog.h>
#include <OrvCopy/external/OrvLogging.h>
#include <gmock/gmock.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace orvtest {

// A fresh, empty folder below the system temporary folder, removed with everything in it
// when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return m_path; }
  // The folder, or a path below it, as a wide string with the native separator.
  std::wstring W(const std::string& relative = {}) const;
  // Creates a file below the folder with the given content; returns its wide path.
  std::wstring WriteFile(const std::string& relative, const std::string& content) const;

 private:
  std::filesystem::path m_path;
};

// A path as the library takes it: a wide string with the native separator.
std::wstring Wide(const std::filesystem::path& path);

// A path written with '/' in the test, with the native separator instead.
std::wstring Native(std::wstring path);
inline std::wstring N(const wchar_t* path) {
  return Native(path);
}

// Takes write permission away (POSIX) or sets the read-only attribute (Windows).
void MakeReadOnly(const std::filesystem::path& path);

// Points the system's temporary folder (TMPDIR on POSIX, TMP on Windows) elsewhere, or
// nowhere for an empty value, while it lives.
class ScopedTempFolderVariable {
 public:
  explicit ScopedTempFolderVariable(const std::filesystem::path& folder);
  ~ScopedTempFolderVariable();
  ScopedTempFolderVariable(const ScopedTempFolderVariable&) = delete;
  ScopedTempFolderVariable& operator=(const ScopedTempFolderVariable&) = delete;

 private:
  std::optional<std::string> m_saved;
};

std::string ReadFile(const std::filesystem::path& path);

// n bytes of pseudo-random data, the same for the same seed.
std::string RandomText(size_t n, unsigned seed = 1);

// The CRC-32 register over the data, computed byte by byte from its table definition.
uint32_t Crc(const std::string& data);

// Collects every log entry written while it lives; restores the previous sink afterwards.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::vector<LOGGER::COrvLogEntry>& Entries() const { return m_entries; }
  std::vector<LOGGER::COrvLogEntry> Records() const;
  std::vector<std::wstring> Details() const;

 private:
  std::vector<LOGGER::COrvLogEntry> m_entries;
  LOGGER::COrvLogSink m_previous;
};

// A log entry that is the named record of the manager, with its severity.
MATCHER_P(IsLogRecord, record, "") {
  return OrvCopy::IsRecord(arg, record) && arg.nSeverity == record.eSeverity;
}

// The detail line of a format (OrvCopy::Details) with its value.
template <typename Format>
std::wstring Detail(const Format& format, std::wstring_view value) {
  return std::wstring(OrvCopy::DetailLabel(format)).append(value);
}

#if !defined(_WIN32)
// Runs `body` in a child process whose files may not grow past `maxFileBytes` (a full disk
// that needs no full disk; SIGXFSZ is ignored, so a write fails with EFBIG) and returns the
// child's exit code, which is what `body` returned; -1 when the child did not exit.
int ExitCodeUnderFileSizeLimit(uint64_t maxFileBytes, const std::function<int()>& body);
#endif

// Whether the tests run under Wine, whose answers differ from Windows' in a few places.
bool UnderWine();

// Number of descriptors (Windows: handles) this process has open.
int OpenDescriptorCount();

// The two ways a manager copies a file into a file, as a test parameter: on the calling
// thread alone, or with the writes overlapped on a second thread (m_bPipelinedCopy).
inline const auto kBothCopyPaths = ::testing::Values(false, true);
inline std::string CopyPathName(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "Overlapped" : "OneThread";
}

}  // namespace orvtest
