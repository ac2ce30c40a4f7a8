#include "Commands.h"

#include "Host.h"
#include "Manifest.h"

#include <OrvCopy/OrvCopyManager.h>
#include <OrvCopy/OrvCopyStrings.h>
#include <OrvCopy/external/OrvFramework.h>
#include <OrvCopy/external/OrvLogging.h>
#include <OrvCopy/external/orv_encryption.h>

#include <zip.h>
#include <zlib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

namespace orvcopy {
namespace {

namespace fs = std::filesystem;
using OrvCopy::FileNameToWide;

// --- Small helpers ----------------------------------------------------------------------

std::string Show(const std::string& bytes) {
  return OrvCopy::WideToDisplay(FileNameToWide(bytes));
}

void Say(const Options& options, const char* format, const std::string& a = {}) {
  if (!options.quiet)
    std::fprintf(stderr, format, a.c_str());
}

// Hands the library's log to the living host and, with --log, writes it into the file:
// records with severity and line, details indented.
class LogFile {
 public:
  explicit LogFile(const std::string& path) {
    if (!path.empty())
      m_out = std::make_shared<std::ofstream>(path, std::ios::app);
    auto out = m_out;
    LOGGER::g_OrvLog.SetSink([out](const LOGGER::COrvLogEntry& e) {
      if (Host* host = Host::Active())
        host->NoteLog(e);
      if (!out)
        return;
      using Kind = LOGGER::COrvLogEntry::Kind;
      const std::string text = OrvCopy::WideToDisplay(e.strText);
      if (e.eKind == Kind::Record) {
        *out << "[" << e.nSeverity << "] " << text << " (" << e.strSourceFile << ":" << e.nLine
             << ")\n";
      } else if (e.eKind == Kind::Detail) {
        *out << "    " << text << "\n";
      }
      out->flush();
    });
  }
  ~LogFile() { LOGGER::g_OrvLog.SetSink({}); }
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;
  bool Failed() const { return m_out && !*m_out; }

 private:
  std::shared_ptr<std::ofstream> m_out;
};

void SetMtime(const fs::path& path, int64_t ns) {
  const timespec times[2] = {{0, UTIME_OMIT},
                             {static_cast<time_t>(ns / 1000000000), ns % 1000000000}};
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// The library's CRC register over a whole file (zlib's CRC-32 without its two inversions).
// The library's CRC register (not inverted) over the files one after the other.
std::optional<uint32_t> FileRegister(const std::vector<fs::path>& paths) {
  uLong crc = 0xFFFFFFFFul;  // raw(0) = ~crc32(~0)
  std::vector<char> buffer(1 << 20);
  for (const fs::path& path : paths) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
      return std::nullopt;
    while (in) {
      in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
      crc =
          crc32(crc, reinterpret_cast<const Bytef*>(buffer.data()), static_cast<uInt>(in.gcount()));
    }
    if (in.bad())
      return std::nullopt;
  }
  return static_cast<uint32_t>(~crc);
}

int AesLength(int bits) {
  return bits / 8;
}

std::optional<std::string> Password(const Options& options, bool confirm, int& exitCode) {
  std::string error;
  auto password = GetPassword(options.password, confirm, error);
  if (!password) {
    std::fprintf(stderr, "orvcopy: %s\n", error.c_str());
    exitCode = kExitUsage;
  }
  return password;
}

void ApplyPassword(OrvCopy::COrvCopyManager& manager, const std::string& password, int bits) {
  manager.m_strPassword = FileNameToWide(password);
  manager.m_nEncryptionType = 2;
  manager.m_nAESLength = AesLength(bits);
}

// --- Backup -----------------------------------------------------------------------------

// The tree below `root`, folders before their files, in name order; links and special files
// are reported and left out.
// Lists the tree below root/relative, sorted, into items. Paths that cannot be listed or
// examined (a path longer than the system takes, a folder without permission) are named and
// counted in `unreadable`; the walk goes on with the rest.
void Walk(const fs::path& root, const fs::path& relative, const Options& options,
          std::vector<ManifestItem>& items, uint64_t& total, size_t& unreadable) {
  std::vector<fs::directory_entry> entries;
  std::error_code ec;
  for (fs::directory_iterator it(root / relative, ec), end; !ec && it != end; it.increment(ec))
    entries.push_back(*it);
  if (ec) {
    std::fprintf(stderr, "orvcopy: cannot list %s: %s\n", Show((root / relative).native()).c_str(),
                 ec.message().c_str());
    ++unreadable;
  }
  std::sort(entries.begin(), entries.end());
  for (const auto& entry : entries) {
    const fs::path rel = relative / entry.path().filename();
    struct stat st {};
    if (::lstat(entry.path().c_str(), &st) != 0) {  // type, size and time in one call
      std::fprintf(stderr, "orvcopy: cannot read %s: %s\n", Show(rel.native()).c_str(),
                   std::strerror(errno));
      ++unreadable;
      continue;
    }
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
      Say(options, "skipped (%s)\n",
          (S_ISLNK(st.st_mode) ? "symbolic link: " : "special file: ") + Show(rel.native()));
      continue;
    }
    ManifestItem item;
    item.path = rel.native();
    item.folder = S_ISDIR(st.st_mode);
    item.stored = item.path + (!item.folder && options.encrypt ? ".venc" : "");
    item.mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    if (!item.folder)
      item.size = static_cast<uint64_t>(st.st_size);
    total += item.size;
    item.key = items.size() + 1;
    items.push_back(item);
    if (item.folder)
      Walk(root, rel, options, items, total, unreadable);
  }
}

}  // namespace

int Backup(const Options& options) {
  const fs::path source = fs::absolute(options.source);
  const fs::path backup = fs::absolute(options.backup);
  if (!fs::is_directory(source)) {
    std::fprintf(stderr, "orvcopy: %s is not a folder\n", Show(source.native()).c_str());
    return kExitUsage;
  }
  std::error_code ec;
  if (fs::exists(backup / kManifestName)) {
    std::fprintf(stderr, "orvcopy: %s already holds a backup\n", Show(backup.native()).c_str());
    return kExitUsage;
  }
  if (fs::exists(backup / kDataFolder)) {
    std::fprintf(stderr,
                 "orvcopy: %s holds a backup that never finished (no manifest); delete it or "
                 "choose another folder\n",
                 Show(backup.native()).c_str());
    return kExitUsage;
  }
  fs::create_directories(backup, ec);
  if (ec) {
    std::fprintf(stderr, "orvcopy: cannot create %s: %s\n", Show(backup.native()).c_str(),
                 ec.message().c_str());
    return kExitUsage;
  }
  std::optional<std::string> password;
  int exitCode = kExitDone;
  if (options.encrypt && !(password = Password(options, true, exitCode)))
    return exitCode;

  Manifest manifest;
  manifest.encrypt = options.encrypt;
  manifest.compress = options.compress;
  manifest.split = options.split;
  uint64_t total = 0;
  size_t unreadable = 0;
  Walk(source, {}, options, manifest.items, total, unreadable);

  LogFile log(options.logFile);
  Host host(manifest.items.size(), total, !options.quiet);
  Manager manager;
  manager.Initialize();
  manager.SetDestRootFolder(FileNameToWide((backup / kDataFolder).native()).c_str());
  manager.SetCallBack(&host);
  host.DropRecordsOf(&manager);
  manager.SetBufferCapacity(options.buffer, 1);
  manifest.buffer = manager.GetBufferCapacity();
  manager.m_bCompress = options.compress ? 1 : 0;
  if (password)
    ApplyPassword(manager, *password, options.encrypt);
  if (options.split)
    manager.AddSplitSize(options.split);
  for (const ManifestItem& item : manifest.items) {
    const fs::path stored(item.stored);
    manager.AddItem(FileNameToWide((source / item.path).native()).c_str(),
                    FileNameToWide((item.folder ? stored : stored.parent_path()).native()).c_str(),
                    item.folder ? L"" : FileNameToWide(stored.filename().native()).c_str(),
                    item.key, options.encrypt ? 1 : 0, 1, item.size, 0, 1, item.folder ? 1 : 0,
                    nullptr);
  }

  InstallInterruptHandlers();
  int status = 0;
  bool crashed = false;
  try {
    status = manager.Copy(0);
  } catch (const CException& e) {
    crashed = true;
    const ManifestItem* item = host.CurrentKey() >= 1 && host.CurrentKey() <= manifest.items.size()
                                   ? &manifest.items[host.CurrentKey() - 1]
                                   : nullptr;
    host.Result(host.CurrentKey()).failed = true;
    host.FinishProgress();
    std::fprintf(stderr, "orvcopy: %s: %s\n", item ? Show(item->path).c_str() : "?", e.what());
  }
  host.FinishProgress();
  if (status == OrvCopy::StatusStopped) {
    // The item under way when the stop came is reported ended, but its copy is cut short.
    host.Result(host.CurrentKey()).ended = false;
  }

  size_t done = 0, failed = 0;
  for (ManifestItem& item : manifest.items) {
    const ItemResult& r = host.Result(item.key);
    const fs::path stored = backup / kDataFolder / item.stored;
    bool ok;
    if (options.compress && !item.folder) {
      ok = !r.failed && fs::exists(stored);  // an archive is renamed into place when complete
    } else {
      // The library passes over a folder it could not make; the backup does not.
      ok = r.ended && !r.failed && (!item.folder || fs::is_directory(stored));
    }
    if (ok && !item.folder && !options.compress && r.bytes != item.size) {
      // The file changed between the listing and the copy: the backup holds what was read.
      std::fprintf(stderr,
                   "warning: %s changed while it was backed up (%llu bytes listed, %llu "
                   "backed up)\n",
                   Show(item.path).c_str(), static_cast<unsigned long long>(item.size),
                   static_cast<unsigned long long>(r.bytes));
      item.size = r.bytes;
    }
    item.parts = r.volumes + 1;
    item.flags = options.encrypt ? OrvCopy::ArchiveItemFlagAES : 0;
    if (ok && !item.folder && !options.encrypt && !options.compress)
      item.crc = r.crc;
    if (ok) {
      item.status = "done";
      ++done;
      if (options.verbose)
        std::fprintf(stderr, "backed up: %s\n", Show(item.path).c_str());
    } else if (r.failed || r.ended || (options.compress && !g_interrupted)) {
      item.status = "failed";
      ++failed;
      std::fprintf(stderr, "failed: %s\n", Show(item.path).c_str());
    }
  }
  manifest.complete = !g_interrupted && !crashed;
  std::string error;
  if (!SaveManifest(backup, manifest, error)) {
    std::fprintf(stderr, "orvcopy: %s\n", error.c_str());
    return kExitItemsFailed;
  }
  Say(options, "%s\n",
      "backed up " + std::to_string(done) + " of " + std::to_string(manifest.items.size()) +
          " items" + (failed ? ", " + std::to_string(failed) + " failed" : std::string()) +
          (unreadable ? ", " + std::to_string(unreadable) + " paths could not be read"
                      : std::string()) +
          (g_interrupted ? " (interrupted)" : ""));
  if (g_interrupted || status == OrvCopy::StatusStopped)
    return kExitInterrupted;
  return failed || crashed || unreadable ? kExitItemsFailed : kExitDone;
}

// --- Restore, verify --------------------------------------------------------------------

namespace {

// Extracts (or, in a trial, reads through) the one entry of an archive; libzip checks the
// entry's CRC-32 as it reads.
bool Extract(const fs::path& archive, const std::string& password, const fs::path* out) {
  int error = 0;
  zip_t* za = zip_open(archive.c_str(), ZIP_RDONLY, &error);
  if (za == nullptr)
    return false;
  if (!password.empty())
    zip_set_default_password(za, password.c_str());
  bool ok = zip_get_num_entries(za, 0) == 1;
  zip_file_t* entry = ok ? zip_fopen_index(za, 0, 0) : nullptr;
  std::ofstream file;
  if (entry != nullptr && out != nullptr)
    file.open(*out, std::ios::binary | std::ios::trunc);
  std::vector<char> buffer(1 << 20);
  zip_int64_t n = 0;
  while (entry != nullptr && (n = zip_fread(entry, buffer.data(), buffer.size())) > 0) {
    if (out != nullptr)
      file.write(buffer.data(), n);
  }
  ok = entry != nullptr && n == 0 && (out == nullptr || file.good());
  if (entry != nullptr)
    zip_fclose(entry);
  zip_discard(za);
  return ok;
}

// Reads a backup's manifest and, for an encrypted one, the password, which is checked against
// the first encrypted file's header before anything is written.
int OpenBackup(const Options& options, Manifest& manifest, std::optional<std::string>& password) {
  const fs::path backup = fs::absolute(options.backup);
  std::string error;
  if (!LoadManifest(backup, manifest, error)) {
    std::fprintf(stderr, "orvcopy: %s\n", error.c_str());
    return kExitUnusable;
  }
  if (!manifest.encrypt)
    return kExitDone;
  int exitCode = kExitDone;
  if (!(password = Password(options, false, exitCode)))
    return exitCode;
  for (const ManifestItem& item : manifest.items) {
    if (item.folder || item.status != "done" || !manifest.compress)
      continue;
    // An archive opens only with its password: the first one tells before anything is written.
    if (!Extract(backup / kDataFolder / item.stored, *password, nullptr)) {
      std::fprintf(stderr, "orvcopy: wrong password, or %s is damaged\n",
                   Show(item.stored).c_str());
      return kExitUnusable;
    }
    return kExitDone;
  }
  for (const ManifestItem& item : manifest.items) {
    if (item.folder || item.status != "done")
      continue;
    uint8_t header[64] = {};
    std::ifstream(backup / kDataFolder / item.stored, std::ios::binary)
        .read(reinterpret_cast<char*>(header), sizeof header);
    uint32_t unit = 0;
    const int check = orv::CEncryption::CheckPassword(
        header, sizeof header, FileNameToWide(*password).c_str(), &unit, nullptr);
    if (check == orv::CEncryption::CheckWrongPassword) {
      std::fprintf(stderr, "orvcopy: wrong password\n");
      return kExitUnusable;
    }
    if (check == orv::CEncryption::CheckNotAHeader || unit != manifest.buffer) {
      std::fprintf(stderr, "orvcopy: %s is not an encrypted file of this backup\n",
                   Show(item.stored).c_str());
      return kExitUnusable;
    }
    break;
  }
  return kExitDone;
}

// Where a restore writes; nothing in a trial.
fs::path TargetOf(const Options& options) {
  return options.target.empty() ? fs::path("/nonexistent-trial-target")
                                : fs::absolute(options.target);
}

struct RestoreOutcome {
  size_t restored = 0, verified = 0, sizeChecked = 0, failed = 0;
  bool interrupted = false;
};

RestoreOutcome RestoreArchives(const Options& options, const Manifest& manifest,
                               const std::string& password) {
  RestoreOutcome outcome;
  const fs::path backup = fs::absolute(options.backup), target = TargetOf(options);
  for (const ManifestItem& item : manifest.items) {
    if (g_interrupted) {
      outcome.interrupted = true;
      break;
    }
    if (item.status != "done")
      continue;
    const fs::path dest = target / item.path;
    if (item.folder) {
      if (!options.trial)
        fs::create_directories(dest);
      continue;
    }
    if (!options.trial)
      fs::create_directories(dest.parent_path());
    const fs::path partial = dest.native() + ".partial";
    if (Extract(backup / kDataFolder / item.stored, password, options.trial ? nullptr : &partial)) {
      if (!options.trial) {
        fs::rename(partial, dest);
        SetMtime(dest, item.mtime);
      }
      ++outcome.restored;
      ++outcome.verified;
      if (options.verbose) {
        std::fprintf(stderr, "%s: %s (CRC-32 verified)\n", options.trial ? "checked" : "restored",
                     Show(item.path).c_str());
      }
    } else {
      ++outcome.failed;
      std::fprintf(stderr, "failed: %s\n", Show(item.path).c_str());
    }
  }
  return outcome;
}

RestoreOutcome RestoreFiles(const Options& options, const Manifest& manifest,
                            const std::optional<std::string>& password) {
  const fs::path backup = fs::absolute(options.backup), target = TargetOf(options);
  const fs::path data = backup / kDataFolder;
  uint64_t total = 0, maxKey = 0;
  for (const ManifestItem& item : manifest.items) {
    total += item.size;
    maxKey = std::max(maxKey, item.key);
  }
  Host host(maxKey, total, !options.quiet);
  OrvCopy::COrvCopyManager manager;
  manager.Initialize();
  manager.SetSourceRootFolder(FileNameToWide(data.native()).c_str());
  manager.SetDestRootFolder(FileNameToWide(target.native()).c_str());
  manager.SetCallBack(&host);
  manager.SetBufferCapacity(manifest.buffer, 0);  // a body decrypts only with its own capacity
  if (password)
    ApplyPassword(manager, *password, manifest.encrypt);

  for (const ManifestItem& item : manifest.items) {
    if (item.status != "done")
      continue;
    const fs::path path(item.path);
    const std::wstring folder = FileNameToWide((item.folder ? path : path.parent_path()).native());
    if (item.folder) {
      manager.AddItem(FileNameToWide(item.stored).c_str(), folder.c_str(), L"", item.key, 0, 1, 0,
                      0, 1, 1, nullptr);
      continue;
    }
    // Parts after the first are appended in plain; an encrypted first part is sized by the
    // plain bytes the later parts do not hold.
    uint64_t later = 0;
    std::error_code ec;
    for (int p = 1; p < item.parts; ++p) {
      const uint64_t size = fs::file_size(data / PartName(item.stored, p), ec);
      if (!ec)
        later += size;  // a missing part fails on its own; it holds no bytes here
    }
    for (int p = 0; p < item.parts; ++p) {
      uint32_t flags = 0;
      if (p > 0)
        flags |= OrvCopy::ArchiveItemFlagAppend;
      if (p + 1 < item.parts)
        flags |= OrvCopy::ArchiveItemFlagMoreParts;
      const std::string part = PartName(item.stored, p);
      uint64_t size = fs::file_size(data / part, ec);
      if (ec)
        size = 0;
      if (p == 0 && manifest.encrypt)
        size = item.size >= later ? item.size - later : 0;
      manager.AddItem(FileNameToWide(part).c_str(), folder.c_str(),
                      FileNameToWide(path.filename().native()).c_str(), item.key,
                      manifest.encrypt ? 1 : 0, 1, size, flags, 1, 0, nullptr);
    }
  }

  RestoreOutcome outcome;
  manager.InitAction();
  InstallInterruptHandlers();
  int status = 0;
  try {
    status = manager.Restore(options.trial ? 1 : 0, 0);
  } catch (const CException& e) {
    host.FinishProgress();
    host.Result(host.CurrentKey()).failed = true;
    for (const ManifestItem& item : manifest.items) {
      if (item.key == host.CurrentKey()) {
        std::fprintf(stderr, "orvcopy: %s: %s\n", Show(item.path).c_str(), e.what());
      }
    }
  }
  host.FinishProgress();
  outcome.interrupted = status == OrvCopy::StatusStopped || g_interrupted;

  for (const ManifestItem& item : manifest.items) {
    if (item.status != "done" || item.folder)
      continue;
    const ItemResult& r = host.Result(item.key);
    const fs::path dest = target / item.path;
    bool ok = r.ended && !r.failed;
    bool checked = false;
    std::error_code ec;
    if (ok && !options.trial)
      ok = fs::file_size(dest, ec) == item.size && !ec;
    if (ok && item.crc) {
      // A plain item's CRC covers all its data only when it has one part; a joined item is
      // read back whole. A trial reads the stored parts back instead.
      std::optional<uint32_t> crc;
      if (options.trial) {
        std::vector<fs::path> parts;
        for (int p = 0; p < item.parts; ++p)
          parts.push_back(data / PartName(item.stored, p));
        crc = FileRegister(parts);
      } else {
        crc = item.parts == 1 ? std::optional<uint32_t>(r.crc) : FileRegister({dest});
      }
      ok = crc && *crc == *item.crc;
      checked = true;
    }
    if (ok && !options.trial)
      SetMtime(dest, item.mtime);
    if (ok) {
      ++outcome.restored;
      checked ? ++outcome.verified : ++outcome.sizeChecked;
      if (options.verbose) {
        std::fprintf(stderr, "%s: %s (%s)\n", options.trial ? "checked" : "restored",
                     Show(item.path).c_str(), checked ? "CRC-32 verified" : "size checked");
      }
    } else if (r.ended || r.failed || !outcome.interrupted) {
      ++outcome.failed;
      std::fprintf(stderr, "failed: %s\n", Show(item.path).c_str());
      std::error_code ec;
      if (!options.trial && fs::exists(dest, ec)) {
        fs::rename(dest, dest.native() + ".partial", ec);  // never an incomplete file by its name
      }
    }
  }
  return outcome;
}

int Finish(const Options& options, const Manifest& manifest, const RestoreOutcome& outcome,
           const char* verb) {
  size_t notBackedUp = 0;
  for (const ManifestItem& item : manifest.items) {
    if (item.status != "done" && !item.folder)
      ++notBackedUp;
  }
  std::string summary = std::string(verb) + " " + std::to_string(outcome.restored) + " files (" +
                        std::to_string(outcome.verified) + " verified by CRC-32, " +
                        std::to_string(outcome.sizeChecked) + " checked by size only)";
  if (outcome.failed)
    summary += ", " + std::to_string(outcome.failed) + " failed";
  if (notBackedUp)
    summary += "; " + std::to_string(notBackedUp) + " were not in the backup";
  Say(options, "%s\n", summary);
  if (outcome.interrupted)
    return kExitInterrupted;
  return outcome.failed ? kExitItemsFailed : kExitDone;
}

}  // namespace

int Restore(const Options& options) {
  Manifest manifest;
  std::optional<std::string> password;
  if (const int code = OpenBackup(options, manifest, password); code != kExitDone)
    return code;
  LogFile log(options.logFile);
  if (!options.trial) {
    std::error_code ec;
    fs::create_directories(fs::absolute(options.target), ec);
  }
  const RestoreOutcome outcome = manifest.compress
                                     ? RestoreArchives(options, manifest, password.value_or(""))
                                     : RestoreFiles(options, manifest, password);
  return Finish(options, manifest, outcome, options.trial ? "checked" : "restored");
}

int Verify(const Options& options) {
  Manifest manifest;
  std::optional<std::string> password;
  if (const int code = OpenBackup(options, manifest, password); code != kExitDone)
    return code;
  // Every backup file is there, at the size its data gives.
  const fs::path data = fs::absolute(options.backup) / kDataFolder;
  size_t missing = 0;
  for (const ManifestItem& item : manifest.items) {
    if (item.status != "done")
      continue;
    std::error_code ec;
    if (item.folder) {
      if (!fs::is_directory(data / item.stored))
        ++missing;
      continue;
    }
    uint64_t sum = 0;
    bool present = true;
    for (int p = 0; p < item.parts; ++p) {
      const uint64_t size = fs::file_size(data / PartName(item.stored, p), ec);
      present = present && !ec;
      if (p > 0)
        sum += size;
    }
    bool sizeOk = present;
    if (present && !manifest.compress) {
      const uint64_t first = fs::file_size(data / item.stored, ec);
      if (manifest.encrypt) {
        const uint64_t plain = item.size - std::min(item.size, sum);
        const uint64_t unit = manifest.buffer;
        const uint64_t body = plain / unit * unit + (plain % unit + 15) / 16 * 16;
        sizeOk = first == 64 + body;
      } else {
        sizeOk = first + sum == item.size;
      }
    }
    if (!sizeOk) {
      ++missing;
      std::fprintf(stderr, "%s: %s\n", present ? "wrong size" : "missing",
                   Show(item.stored).c_str());
    }
  }
  Options trial = options;
  trial.trial = true;
  LogFile log(options.logFile);
  const RestoreOutcome outcome = manifest.compress
                                     ? RestoreArchives(trial, manifest, password.value_or(""))
                                     : RestoreFiles(trial, manifest, password);
  const int code = Finish(options, manifest, outcome, "checked");
  if (code != kExitDone)
    return code;
  return missing ? kExitItemsFailed : kExitDone;
}

int List(const Options& options) {
  Manifest manifest;
  std::string error;
  if (!LoadManifest(fs::absolute(options.backup), manifest, error)) {
    std::fprintf(stderr, "orvcopy: %s\n", error.c_str());
    return kExitUnusable;
  }
  std::printf("# %s backup, %s%s%s\n", manifest.complete ? "complete" : "interrupted",
              manifest.encrypt ? ("AES-" + std::to_string(manifest.encrypt) + ", ").c_str() : "",
              manifest.compress ? "compressed, " : "",
              ("buffer " + std::to_string(manifest.buffer)).c_str());
  for (const ManifestItem& item : manifest.items) {
    std::printf("%-7s %-6s %12llu %3d  %s\n", item.status.c_str(), item.folder ? "folder" : "file",
                static_cast<unsigned long long>(item.size), item.parts, Show(item.path).c_str());
  }
  return kExitDone;
}

int Remove(const Options& options) {
  const fs::path backup = fs::absolute(options.backup);
  Manifest manifest;
  std::string error;
  if (!LoadManifest(backup, manifest, error)) {
    std::fprintf(stderr, "orvcopy: %s\n", error.c_str());
    return kExitUnusable;
  }
  LogFile log(options.logFile);
  Host host(manifest.items.size(), 0, false);
  OrvCopy::COrvCopyManager manager;
  manager.Initialize();
  manager.SetSourceRootFolder(FileNameToWide((backup / kDataFolder).native()).c_str());
  manager.SetCallBack(&host);
  // Files (every part) first, then folders, deepest first, so that the folders are empty.
  for (const ManifestItem& item : manifest.items) {
    if (item.folder)
      continue;
    for (int p = 0; p < item.parts; ++p) {
      manager.AddItem(FileNameToWide(PartName(item.stored, p)).c_str(), L"", L"", item.key, 0, 1, 0,
                      0, 1, 0, nullptr);
    }
  }
  for (auto it = manifest.items.rbegin(); it != manifest.items.rend(); ++it) {
    if (it->folder) {
      manager.AddItem(FileNameToWide(it->stored).c_str(), L"", L"", it->key, 0, 1, 0, 0, 1, 1,
                      nullptr);
    }
  }
  manager.Remove();
  std::error_code ec;
  fs::remove(backup / kManifestName, ec);
  fs::remove(backup / kDataFolder, ec);  // only when empty
  const bool left = fs::exists(backup / kDataFolder);
  if (!left)
    fs::remove(backup, ec);
  Say(options, "%s\n",
      left ? "removed the backup; files not listed in it were left in place"
           : "removed the backup");
  return left ? kExitItemsFailed : kExitDone;
}

}  // namespace orvcopy
