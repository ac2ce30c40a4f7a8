#include "GenerationFolders.h"

#include "Common.h"
#include "Host.h"
#include "Text.h"

#include <OrvCopy/OrvCopyStrings.h>

#include <fcntl.h>
#include <ftw.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace orvcopy {
namespace fs = std::filesystem;

namespace {

constexpr size_t kIdLength = 16;  // "20261206T073156Z"

bool Digits(const std::string& text, size_t from, size_t count) {
  return std::all_of(text.begin() + static_cast<long>(from),
                     text.begin() + static_cast<long>(from + count),
                     [](char c) { return c >= '0' && c <= '9'; });
}

// The suffix of an id: 1 for none, N for "-N".
unsigned long Suffix(const std::string& id) {
  return id.size() > kIdLength ? std::stoul(id.substr(kIdLength + 1)) : 1;
}

// The order of ids: by time, then by suffix as a number.
bool IdBefore(const std::string& a, const std::string& b) {
  const std::string baseA = a.substr(0, kIdLength), baseB = b.substr(0, kIdLength);
  return baseA != baseB ? baseA < baseB : Suffix(a) < Suffix(b);
}

bool IsFile(const fs::path& path) {
  std::error_code ec;
  return fs::is_regular_file(fs::symlink_status(path, ec));
}

// Everything below a data folder, without following links: files and links, and the folders
// deepest first.
struct DataEntries {
  std::vector<std::string> files, folders;  // relative to the data folder
  std::vector<std::string> others;          // links and whatever else no backup stores
  uint64_t freed = 0;                       // bytes of files with no other link
};

DataEntries* g_collecting = nullptr;  // nftw takes no context
size_t g_prefix = 0;

int CollectEntry(const char* path, const struct stat* st, int type, struct FTW*) {
  if (std::strlen(path) <= g_prefix)
    return 0;  // the data folder itself
  const std::string relative(path + g_prefix + 1);
  if (type == FTW_DP) {
    g_collecting->folders.push_back(relative);
  } else if (type == FTW_F && S_ISREG(st->st_mode)) {
    g_collecting->files.push_back(relative);
    if (st->st_nlink == 1)
      g_collecting->freed += static_cast<uint64_t>(st->st_blocks) * 512;
  } else {
    g_collecting->others.push_back(relative);
  }
  return 0;
}

DataEntries CollectData(const fs::path& data) {
  DataEntries entries;
  struct stat st {};
  if (::lstat(data.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return entries;
  g_collecting = &entries;
  g_prefix = data.native().size();
  ::nftw(data.c_str(), CollectEntry, 32, FTW_PHYS | FTW_DEPTH);
  g_collecting = nullptr;
  return entries;
}

}  // namespace

bool SyncFolder(const fs::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool synced = fd >= 0 && ::fsync(fd) == 0;
  if (fd >= 0)
    ::close(fd);
  return synced;
}

int RefuseInsideBackupFolder(const fs::path& folder) {
  if (const std::optional<fs::path> above = EnclosingBackupFolder(folder))
    return Refuse(kExitUsage, Show(folder) + " lies inside the backup folder " + Show(*above) +
                                  "; name that folder");
  return kExitDone;
}

bool IsGenerationId(const std::string& name) {
  if (name.size() < kIdLength || !Digits(name, 0, 8) || name[8] != 'T' || !Digits(name, 9, 6) ||
      name[15] != 'Z')
    return false;
  if (name.size() == kIdLength)
    return true;
  return name.size() <= kIdLength + 6 && name[kIdLength] == '-' &&
         Digits(name, kIdLength + 1, name.size() - kIdLength - 1) && name[kIdLength + 1] != '0';
}

std::optional<std::time_t> GenerationTime(const std::string& id) {
  if (!IsGenerationId(id))
    return std::nullopt;
  std::tm tm{};
  tm.tm_year = std::stoi(id.substr(0, 4)) - 1900;
  tm.tm_mon = std::stoi(id.substr(4, 2)) - 1;
  tm.tm_mday = std::stoi(id.substr(6, 2));
  tm.tm_hour = std::stoi(id.substr(9, 2));
  tm.tm_min = std::stoi(id.substr(11, 2));
  tm.tm_sec = std::stoi(id.substr(13, 2));
  return ::timegm(&tm);
}

std::time_t GenerationStart(const Generation& generation, const Manifest& manifest) {
  if (manifest.started != 0)
    return static_cast<std::time_t>(manifest.started);
  if (const std::optional<std::time_t> time = GenerationTime(generation.id))
    return *time;
  struct stat st {};
  return ::stat((generation.folder / kManifestName).c_str(), &st) == 0 ? st.st_mtime : 0;
}

bool ReadGenerationSummary(const fs::path& folder, Manifest& manifest, std::string& error) {
  uint64_t bytes = 0;
  if (!ReadManifest(
          folder, manifest,
          [&bytes](ManifestItem&& item) {
            bytes += item.IsFile() && item.status == "done" ? item.size : 0;
          },
          error))
    return false;
  if (manifest.generation.empty())
    manifest.bytesWritten = bytes;
  return true;
}

std::string IsoTime(std::time_t time) {
  std::tm tm{};
  ::gmtime_r(&time, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

std::string NewGenerationId(const fs::path& backup, std::time_t start) {
  std::tm tm{};
  ::gmtime_r(&start, &tm);
  char base[32];
  std::strftime(base, sizeof base, "%Y%m%dT%H%M%SZ", &tm);
  // Later than every generation there is, also when the clock went back: then the new one
  // takes the latest one's time with the next suffix (its manifest keeps the true time).
  std::string latest;
  std::error_code ec;
  for (fs::directory_iterator it(backup, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().native();
    if (IsGenerationId(name) && (latest.empty() || IdBefore(latest, name)))
      latest = name;
  }
  if (latest.empty() || latest.substr(0, kIdLength) < base)
    return base;
  return latest.substr(0, kIdLength) + "-" + std::to_string(Suffix(latest) + 1);
}

std::vector<Generation> ListGenerations(const fs::path& backup, bool unfinished) {
  std::vector<Generation> found;
  std::error_code ec;
  // A folder without a manifest is taken for an unfinished generation only where orvcopy
  // has written: every backup run takes the lock file before it makes a generation.
  const bool ours = fs::exists(fs::symlink_status(backup / kLockName, ec));
  for (fs::directory_iterator it(backup, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().native();
    if (!IsGenerationId(name) || !fs::is_directory(it->symlink_status(ec)))
      continue;
    Generation generation{name, it->path(), IsFile(it->path() / kManifestName)};
    if (generation.complete || (unfinished && ours))
      found.push_back(std::move(generation));
  }
  std::sort(found.begin(), found.end(),
            [](const Generation& a, const Generation& b) { return IdBefore(a.id, b.id); });
  if (IsFile(backup / kManifestName))
    found.insert(found.begin(), Generation{kLegacyId, backup, true});
  return found;
}

bool IsBackupFolder(const fs::path& backup) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(backup / kLockName, ec)) ||
         !ListGenerations(backup, false).empty();
}

std::optional<fs::path> EnclosingBackupFolder(const fs::path& folder) {
  const fs::path absolute = fs::absolute(folder).lexically_normal();
  std::error_code ec;
  for (fs::path above = absolute.parent_path(); above.has_relative_path();
       above = above.parent_path()) {
    if (above != absolute && IsBackupFolder(above))
      return above;
  }
  return std::nullopt;
}

namespace {

std::string Period(std::time_t time, const char* format) {
  std::tm tm{};
  ::gmtime_r(&time, &tm);
  char text[32];
  std::strftime(text, sizeof text, format, &tm);
  return text;
}

}  // namespace

std::set<std::string> KeptGenerations(const std::vector<DatedGeneration>& complete,
                                      const KeepRules& rules) {
  std::set<std::string> kept;
  for (size_t i = 0; i < complete.size() && static_cast<int>(i) < rules.last; ++i)
    kept.insert(complete[complete.size() - 1 - i].id);
  const std::pair<int, const char*> periods[] = {
      {rules.daily, "%Y-%m-%d"}, {rules.weekly, "%G-W%V"}, {rules.monthly, "%Y-%m"}};
  for (const auto& [count, format] : periods) {
    std::set<std::string> seen;
    for (auto it = complete.rbegin();
         it != complete.rend() && static_cast<int>(seen.size()) < count; ++it) {
      if (seen.insert(Period(it->start, format)).second)
        kept.insert(it->id);
    }
  }
  return kept;
}

WriterLock::~WriterLock() {
  if (m_fd >= 0)
    ::close(m_fd);  // releases the lock
}

bool WriterLock::Take(const fs::path& backup, std::string& error) {
  const fs::path file = backup / kLockName;
  m_fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (m_fd < 0) {
    error = "cannot open the lock " + Escape(file.native()) + ": " + std::strerror(errno);
    return false;
  }
  if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
    // The holder's process number, for the message another process gives.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(m_fd, 0) != 0 || ::pwrite(m_fd, pid.data(), pid.size(), 0) < 0) {
      // Only the message of a refused process lacks it.
    }
    return true;
  }
  const int why = errno;
  char holder[32] = {};
  const ssize_t n = ::pread(m_fd, holder, sizeof holder - 1, 0);
  std::string pid(holder, n > 0 ? static_cast<size_t>(n) : 0);
  pid.erase(std::remove(pid.begin(), pid.end(), '\n'), pid.end());
  error = why == EWOULDBLOCK ? Escape(backup.native()) + " is in use by another orvcopy" +
                                   (pid.empty() ? "" : " (process " + pid + ")") +
                                   " that writes to it; try again when it has finished"
                             : "cannot lock " + Escape(file.native()) + ": " + std::strerror(why);
  ::close(m_fd);
  m_fd = -1;
  return false;
}

namespace {

// The item spool a run killed as it opened it left in its generation's folder.
void RemoveSpools(const fs::path& folder) {
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().native();
    if (name.starts_with(ItemSpool::kSpoolPrefix) && it->is_regular_file(ec))
      ::unlink(it->path().c_str());
  }
}

}  // namespace

Removal RemoveGeneration(const Generation& generation) {
  Removal removal;
  const bool legacy = generation.id == kLegacyId;
  // Unlisted first, and on the disk so: from here on no reader takes it for a generation, not
  // even after a crash.
  for (const char* name : {kManifestName, kUnfinishedName}) {
    if (::unlink((generation.folder / name).c_str()) != 0 && errno != ENOENT)
      removal.left.push_back((generation.folder / name).native());
  }
  SyncFolder(generation.folder);
  const fs::path data = generation.folder / kDataFolder;
  const DataEntries entries = CollectData(data);
  removal.freed = entries.freed;
  removal.entries = entries.files.size() + entries.folders.size() + entries.others.size();
  // The library's removal reads and changes attributes, which would go through a link: links
  // (which no backup stores, but a changed one may hold) are unlinked here, themselves only.
  for (const std::string& other : entries.others)
    ::unlink((data / other).c_str());
  Host host(0, 0, false);
  Manager manager;
  manager.Initialize();
  manager.SetSourceRootFolder(OrvCopy::FileNameToWide(data.native()).c_str());
  manager.SetCallBack(&host);
  for (const std::string& file : entries.files)
    manager.AddFile(OrvCopy::FileNameToWide(file), L"", L"", 0, 0, 0, 0);
  for (const std::string& folder : entries.folders)
    manager.AddItem(OrvCopy::FileNameToWide(folder).c_str(), L"", L"", 0, 0, 1, 0, 0, 1, 1,
                    nullptr);
  manager.Remove();
  std::error_code ec;
  fs::remove(data, ec);  // when empty (or a link put in its place)
  if (!legacy) {
    fs::remove(generation.folder / (std::string(kManifestName) + ".tmp"), ec);
    fs::remove(generation.folder / (std::string(kUnfinishedName) + ".tmp"), ec);
    RemoveSpools(generation.folder);
    fs::remove(generation.folder, ec);
  }
  const fs::path what = legacy ? data : generation.folder;
  if (fs::exists(fs::symlink_status(what, ec)))
    removal.left.push_back(what.native());
  return removal;
}

bool RemoveAndReport(const Options& options, const Generation& generation, uint64_t& freed) {
  const Removal removal = RemoveGeneration(generation);
  freed += removal.freed;
  if (!options.quiet) {
    std::printf("removed %s%s: %zu entries, %llu bytes freed\n", generation.id.c_str(),
                generation.complete ? "" : " (unfinished)", removal.entries,
                static_cast<unsigned long long>(removal.freed));
  }
  for (const std::string& left : removal.left)
    ReportFailure(left, "it could not be removed");
  return removal.left.empty();
}

int LockForRemoval(const fs::path& backup, WriterLock& lock) {
  if (const int code = RefuseInsideBackupFolder(backup); code != kExitDone)
    return code;
  if (!IsBackupFolder(backup))
    return Refuse(kExitUnusable,
                  "no backup in " + Show(backup) + " (not an orvcopy backup folder)");
  std::string error;
  return lock.Take(backup, error) ? kExitDone : Refuse(kExitFailed, error);
}

}  // namespace orvcopy
