#include "TestSupport.h"

#include <orv_platform/utf.h>
#include <orv_platform/win32.h>

#include "Crc32.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace orvtest {

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  static const unsigned run = std::random_device{}();
  m_path = std::filesystem::temp_directory_path() /
           ("orvcopy-test-" + std::to_string(run) + "-" + std::to_string(counter++));
  std::filesystem::remove_all(m_path);
  std::filesystem::create_directories(m_path);
}

TempDir::~TempDir() {
  std::error_code ec;
  // Give back write permission first so that read-only test files go too.
  for (auto it = std::filesystem::recursive_directory_iterator(m_path, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(m_path, ec);
}

std::wstring TempDir::W(const std::string& relative) const {
  return Wide(relative.empty() ? m_path : m_path / relative);
}

std::wstring Wide(const std::filesystem::path& path) {
#if defined(_WIN32)
  return std::filesystem::path(path).make_preferred().native();
#else
  return orv::platform::NativeToWide(path.native());
#endif
}

std::wstring TempDir::WriteFile(const std::string& relative, const std::string& content) const {
  const std::filesystem::path p = m_path / relative;
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
  return W(relative);
}

std::wstring Native(std::wstring path) {
  std::replace(path.begin(), path.end(), L'/', orv::platform::kPathSeparator);
  return path;
}

void MakeReadOnly(const std::filesystem::path& path) {
  using std::filesystem::perms;
  std::filesystem::permissions(path, perms::owner_read | perms::group_read | perms::others_read);
}

namespace {
#if defined(_WIN32)
constexpr const char* kTempVariable = "TMP";
void SetVariable(const char* name, const std::optional<std::string>& value) {
  SetEnvironmentVariableA(name, value ? value->c_str() : nullptr);
}
#else
constexpr const char* kTempVariable = "TMPDIR";
void SetVariable(const char* name, const std::optional<std::string>& value) {
  if (value)
    ::setenv(name, value->c_str(), 1);
  else
    ::unsetenv(name);
}
#endif
}  // namespace

ScopedTempFolderVariable::ScopedTempFolderVariable(const std::filesystem::path& folder) {
  if (const char* saved = std::getenv(kTempVariable))
    m_saved = saved;
  SetVariable(kTempVariable, folder.empty() ? std::nullopt : std::optional(folder.string()));
}

ScopedTempFolderVariable::~ScopedTempFolderVariable() {
  SetVariable(kTempVariable, m_saved);
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string RandomText(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s)
    c = static_cast<char>(rng());
  return s;
}

uint32_t Crc(const std::string& data) {
  uint32_t crc = 0;
  OrvCopy::UpdateCRC32Bytewise(data.data(), data.size(), &crc);
  return crc;
}

LogCapture::LogCapture() {
  m_previous = LOGGER::g_OrvLog.SetSink(
      [this](const LOGGER::COrvLogEntry& entry) { m_entries.push_back(entry); });
}

LogCapture::~LogCapture() {
  LOGGER::g_OrvLog.SetSink(std::move(m_previous));
}

std::vector<LOGGER::COrvLogEntry> LogCapture::Records() const {
  std::vector<LOGGER::COrvLogEntry> records;
  for (const auto& e : m_entries) {
    if (e.eKind == LOGGER::COrvLogEntry::Kind::Record)
      records.push_back(e);
  }
  return records;
}

std::vector<std::wstring> LogCapture::Details() const {
  std::vector<std::wstring> details;
  for (const auto& e : m_entries) {
    if (e.eKind == LOGGER::COrvLogEntry::Kind::Detail)
      details.push_back(e.strText);
  }
  return details;
}

#if defined(_WIN32)
bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

int OpenDescriptorCount() {
  DWORD handles = 0;
  GetProcessHandleCount(GetCurrentProcess(), &handles);
  return static_cast<int>(handles);
}
#else
bool UnderWine() {
  return false;
}

int ExitCodeUnderFileSizeLimit(uint64_t maxFileBytes, const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child < 0)
    return -1;
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{maxFileBytes, maxFileBytes};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::_exit(body());
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

int OpenDescriptorCount() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}
#endif

}  // namespace orvtest
