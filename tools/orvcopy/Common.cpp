#include "Common.h"

#include "Host.h"
#include "Text.h"

#include <OrvCopy/OrvCopyStrings.h>
#include <OrvCopy/external/OrvLogging.h>

#include <sys/random.h>
#include <sys/stat.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <mutex>
#include <system_error>
#include <thread>

namespace orvcopy {

int Refuse(int code, const std::string& message) {
  std::fprintf(stderr, "orvcopy: %s\n", message.c_str());
  return code;
}

void Say(const Options& options, const std::string& line) {
  if (!options.quiet)
    std::fprintf(stderr, "%s\n", line.c_str());
}

void ReportFailure(const std::string& path, const std::string& reason) {
  std::fprintf(stderr, "failed: %s%s%s\n", Escape(path).c_str(), reason.empty() ? "" : ": ",
               Escape(reason).c_str());
}

std::string Show(const std::filesystem::path& path) {
  return Escape(path.native());
}

bool MakePrivateFolder(std::filesystem::path folder, unsigned userUmask, std::error_code& error) {
  if (!folder.has_filename() && folder.has_parent_path())
    folder = folder.parent_path();  // "backup/" names "backup"
  const mode_t ownMask = ::umask(static_cast<mode_t>(userUmask));
  std::filesystem::create_directories(folder.parent_path(), error);
  ::umask(ownMask);
  if (!error)
    std::filesystem::create_directory(folder, error);
  return std::filesystem::is_directory(folder);
}

bool Inside(const std::filesystem::path& inner, const std::filesystem::path& outer) {
  const auto resolved = [](const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::weakly_canonical(path, ec);
    return p.has_filename() || !p.has_parent_path() ? p : p.parent_path();  // no trailing "/"
  };
  const auto a = resolved(inner), b = resolved(outer);
  return std::mismatch(b.begin(), b.end(), a.begin(), a.end()).first == b.end();
}

LogFile::LogFile(const std::string& path) {
  if (!path.empty())
    m_out = std::make_shared<std::ofstream>(path, std::ios::app);
  auto out = m_out;
  auto mutex = std::make_shared<std::mutex>();  // managers on several threads write at once
  LOGGER::g_OrvLog.SetSink([out, mutex](const LOGGER::COrvLogEntry& e) {
    if (Host* host = Host::Active())
      host->NoteLog(e);
    if (!out)
      return;
    const std::lock_guard lock(*mutex);
    using Kind = LOGGER::COrvLogEntry::Kind;
    const std::string text = Escape(OrvCopy::WideToDisplay(e.strText));
    if (e.eKind == Kind::Record) {
      *out << "[" << e.nSeverity << "] " << text << " (" << e.strSourceFile << ":" << e.nLine
           << ")\n";
    } else if (e.eKind == Kind::Detail) {
      *out << "    " << text << "\n";
    }
    out->flush();
  });
}

LogFile::~LogFile() {
  LOGGER::g_OrvLog.SetSink({});
}

unsigned JobCount(const Options& options) {
  return options.jobs ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
}

void RunAtOnce(size_t count, const std::function<void(size_t)>& work) {
  std::vector<std::exception_ptr> failures(count);
  const auto guarded = [&](size_t i) {
    try {
      work(i);
    } catch (...) {
      failures[i] = std::current_exception();
    }
  };
  {
    std::vector<std::jthread> threads;
    std::vector<size_t> here;  // what no thread could be started for
    for (size_t i = 1; i < count; ++i) {
      try {
        threads.emplace_back(guarded, i);
      } catch (const std::system_error&) {
        here.push_back(i);
      }
    }
    if (count > 0)
      guarded(0);
    for (size_t i : here)
      guarded(i);
  }  // the threads are joined here
  for (const std::exception_ptr& failure : failures) {
    if (failure)
      std::rethrow_exception(failure);
  }
}

size_t ItemsPerRun() {
  const char* given = std::getenv("ORVCOPY_ITEMS_PER_RUN");
  const long long count = given ? std::atoll(given) : 0;
  return count > 0 ? static_cast<size_t>(count) : 4096;
}

std::optional<std::string> AskPassword(const Options& options, bool confirm) {
  std::string error;
  auto password = GetPassword(options.password, confirm, error);
  if (!password)
    Refuse(kExitFailed, error);
  return password;
}

void ApplyPassword(OrvCopy::COrvCopyManager& manager, const std::string& password, int bits) {
  manager.m_strPassword = OrvCopy::FileNameToWide(password);
  manager.m_nEncryptionType = 2;
  manager.m_nAESLength = bits / 8;
}

void ConfigureEngine(orv::CEncryption& engine, const std::string& password, int bits,
                     const std::string& salt) {
  int keyLength = 32, tweakLength = 32, blockLength = 16;
  orv::CEncryption::GetKeyStrengthData(bits, keyLength, tweakLength, blockLength);
  engine.SetMethod(orv::CEncryption::kMethodXtsAes);
  engine.SetPassword(OrvCopy::FileNameToWide(password).c_str(), false);
  engine.SetAESParams(keyLength, tweakLength, blockLength);
  engine.SetSalt(salt.size() == orv::CEncryption::kSaltSize
                     ? reinterpret_cast<const uint8_t*>(salt.data())
                     : nullptr);
}

bool RandomBytes(size_t count, std::string& bytes) {
  bytes.assign(count, '\0');
  for (size_t done = 0; done < count;) {
    const ssize_t n = ::getrandom(bytes.data() + done, count - done, 0);
    if (n < 0 && errno != EINTR)
      return false;
    done += n > 0 ? static_cast<size_t>(n) : 0;
  }
  return true;
}

}  // namespace orvcopy
