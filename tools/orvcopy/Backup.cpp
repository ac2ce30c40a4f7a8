// orvcopy backup: the tree is listed with what every entry is, its files and folders go
// through the library, and the manifest records the outcome of each.
#include "Checks.h"
#include "Common.h"
#include "Host.h"
#include "Manifest.h"
#include "Text.h"
#include "Tree.h"

#include <OrvCopy/OrvCopyStrings.h>
#include <OrvCopy/external/OrvFramework.h>

#include <sys/stat.h>
#include <cerrno>
#include <cstdio>
#include <unordered_set>

namespace orvcopy {
namespace fs = std::filesystem;

namespace {

using OrvCopy::FileNameToWide;

class BackupRun {
 public:
  explicit BackupRun(const Options& options)
      : m_options(options),
        m_source(fs::absolute(options.source)),
        m_backup(fs::absolute(options.backup)) {}

  int Run() {
    if (const int code = Prepare(); code != kExitDone)
      return code;
    LogFile log(m_options.logFile);
    Host host(m_manifest.items.size(), m_counts.fileBytes, !m_options.quiet);
    Manager manager;
    SetUp(manager, host);
    InstallInterruptHandlers();
    int status = 0;
    try {
      status = manager.Copy(0);
    } catch (const CException& e) {
      m_crashed = true;
      ItemResult& r = host.Result(host.CurrentKey());
      r.failed = true;
      r.reason = e.what();
    }
    host.FinishProgress();
    if (status == OrvCopy::StatusStopped) {
      // The item under way when the stop came is reported ended, but its copy is cut short.
      host.Result(host.CurrentKey()).ended = false;
    }
    NoteFolder("", m_manifest.rootMeta);
    for (ManifestItem& item : m_manifest.items)
      Record(item, host.Result(item.key), manager.Engine());
    return Finish(manager.Engine(), status);
  }

 private:
  // The folders, the password and the listing of the tree.
  int Prepare() {
    std::error_code ec;
    if (!fs::is_directory(m_source, ec))
      return Refuse(kExitFailed, Show(m_source) + " is not a folder");
    if (Inside(m_source, m_backup))
      return Refuse(kExitUsage, "the source " + Show(m_source) + " lies inside the backup folder");
    if (fs::exists(m_backup / kManifestName, ec))
      return Refuse(kExitFailed, Show(m_backup) + " already holds a backup");
    if (fs::exists(m_backup / kDataFolder, ec))
      return Refuse(kExitFailed, Show(m_backup) +
                                     " holds a backup that never finished (no manifest); delete "
                                     "it or choose another folder");
    if (m_options.encrypt && !(m_password = AskPassword(m_options, true)))
      return kExitFailed;
    if (m_password && !ChooseSalt())
      return Refuse(kExitFailed, "the keys of the backup cannot be made (no random source?)");
    struct stat folder = {};
    struct stat root = {};
    if (!MakePrivateFolder(m_backup, m_options.userUmask, ec) ||
        ::stat(m_backup.c_str(), &folder) != 0)
      return Refuse(kExitFailed, "cannot create " + Show(m_backup) + ": " + ec.message());
    if (::stat(m_source.c_str(), &root) != 0)
      return Refuse(kExitFailed, "cannot read " + Show(m_source));
    OwnerNames names;
    m_manifest.rootMeta = MetadataOf(root, names);
    m_manifest.rootMtime = MtimeOf(root);
    m_manifest.encrypt = m_options.encrypt;
    m_manifest.compress = m_options.compress;
    m_manifest.split = m_options.split;
    WalkTree(m_source, FileId(folder.st_dev, folder.st_ino), m_options.quiet, m_manifest.items,
             m_counts);
    return kExitDone;
  }

  // One random salt for the backup: its files and its manifest are keyed with it. The key check
  // that goes into the manifest comes with it.
  bool ChooseSalt() {
    orv::CEncryption engine;
    uint8_t check[orv::CEncryption::kKeyCheckSize];
    if (!RandomBytes(orv::CEncryption::kSaltSize, m_manifest.salt))
      return false;
    ConfigureEngine(engine, *m_password, m_options.encrypt, m_manifest.salt);
    if (!engine.GetKeyCheck(check))
      return false;
    m_manifest.keyCheck.assign(reinterpret_cast<char*>(check), sizeof check);
    return true;
  }

  std::string StoredName(const ManifestItem& item) const {
    if (!item.IsFile())
      return item.path;
    return item.path + (m_options.compress ? ".zip" : m_options.encrypt ? ".venc" : "");
  }

  void SetUp(Manager& manager, Host& host) {
    manager.Initialize();
    manager.SetDestRootFolder(FileNameToWide((m_backup / kDataFolder).native()).c_str());
    manager.SetCallBack(&host);
    host.DriveManager(&manager, m_password && !m_options.compress);
    manager.SetBufferCapacity(m_options.buffer, 1);
    m_manifest.buffer = manager.GetBufferCapacity();
    manager.m_bCompress = m_options.compress ? 1 : 0;
    if (m_password) {
      ApplyPassword(manager, *m_password, m_options.encrypt);
      manager.PrepareEngine()->SetSalt(reinterpret_cast<const uint8_t*>(m_manifest.salt.data()));
    }
    if (m_options.split)
      manager.AddSplitSize(m_options.split);
    // Files and folders go through the library; links and pipes are recorded only.
    for (ManifestItem& item : m_manifest.items) {
      if (!item.IsFile() && !item.IsFolder())
        continue;
      item.stored = StoredName(item);
      const fs::path stored(item.stored);
      manager.AddItem(
          FileNameToWide((m_source / item.path).native()).c_str(),
          FileNameToWide((item.IsFolder() ? stored : stored.parent_path()).native()).c_str(),
          item.IsFolder() ? L"" : FileNameToWide(stored.filename().native()).c_str(), item.key,
          m_password ? 1 : 0, 1, item.size, 0, 1, item.IsFolder() ? 1 : 0, nullptr);
    }
  }

  // Whether a file item's stored data is whole, and why not.
  bool FileBackedUp(ManifestItem& item, const ItemResult& r, orv::CEncryption* engine,
                    std::string& reason) {
    const fs::path stored = m_backup / kDataFolder / item.stored;
    std::error_code ec;
    if (m_options.compress) {
      // An archive is renamed into place when complete.
      if (r.failed || !fs::exists(stored, ec))
        return false;
      if (m_password && (item.tag = HostTagOfFile(*engine, stored)).empty()) {
        reason = "the archive could not be read back";
        return false;
      }
      return true;
    }
    if (!r.ended || r.failed)
      return false;
    if (m_password) {
      // The engine's tag covers what it encrypted; it must have taken every byte read.
      if (r.tag.empty() || r.plainBytes != r.bytes) {
        reason = "the encryption stopped before the end of the file";
        return false;
      }
      item.tag = r.tag;
    }
    if (r.bytes != item.size) {
      // The file changed between the listing and the copy: the backup holds what was read.
      std::fprintf(stderr,
                   "warning: %s changed while it was backed up (%llu bytes listed, %llu "
                   "backed up)\n",
                   Escape(item.path).c_str(), static_cast<unsigned long long>(item.size),
                   static_cast<unsigned long long>(r.bytes));
      item.size = r.bytes;
    }
    if (!m_password)
      item.crc = r.crc;
    return true;
  }

  // Folders another user can change (not ours, or writable by group or others), by path ("" is
  // the source itself); the items list every folder before its content.
  void NoteFolder(const std::string& path, const std::optional<Metadata>& meta) {
    if (meta && (meta->uid != ::geteuid() || (meta->mode & (S_IWGRP | S_IWOTH)) != 0))
      m_changeable.insert(path);
  }

  // Whether the source path is still a file (or gone). The library opens it by its name: in a
  // folder another user can change, a file swapped for a link while the backup ran would give
  // the linked file's data under this one's name and mode. (A link swapped in and out again
  // before this look is not seen.)
  bool StillAFile(const ManifestItem& item, std::string& reason) const {
    const size_t slash = item.path.rfind('/');
    if (!m_changeable.count(slash == std::string::npos ? "" : item.path.substr(0, slash)))
      return true;
    struct stat st {};
    if (::lstat((m_source / item.path).c_str(), &st) != 0 ? errno == ENOENT : S_ISREG(st.st_mode))
      return true;
    reason = "it was replaced by a link or a special file while it was backed up";
    return false;
  }

  void Record(ManifestItem& item, const ItemResult& r, orv::CEncryption* engine) {
    std::string reason = r.reason;
    bool ok = true;
    std::error_code ec;
    if (item.IsFolder()) {
      NoteFolder(item.path, item.meta);
      // The library passes over a folder it could not make; the backup does not.
      ok = r.ended && !r.failed && fs::is_directory(m_backup / kDataFolder / item.stored, ec);
    } else if (item.IsFile()) {
      item.parts = r.volumes + 1;
      item.flags = m_password ? OrvCopy::ArchiveItemFlagAES : 0;
      ok = FileBackedUp(item, r, engine, reason) && StillAFile(item, reason);
    }
    if (ok) {
      item.status = "done";
      ++m_done;
      if (m_options.verbose)
        std::fprintf(stderr, "backed up: %s\n", Escape(item.path).c_str());
    } else if (r.failed || r.ended || !reason.empty() || (m_options.compress && !g_interrupted)) {
      item.status = "failed";
      ++m_failed;
      ReportFailure(item.path, reason.empty() ? "it could not be backed up" : reason);
    }
  }

  int Finish(orv::CEncryption* engine, int status) {
    m_manifest.complete = !g_interrupted && !m_crashed;
    std::string error;
    const ManifestTagger tagger = m_password ? ManifestTaggerOf(*engine) : ManifestTagger{};
    if (!SaveManifest(m_backup, m_manifest, m_password ? &tagger : nullptr, error))
      return Refuse(kExitFailed, error);
    std::string summary = "backed up " + std::to_string(m_done) + " of " +
                          std::to_string(m_manifest.items.size()) + " entries";
    if (m_failed)
      summary += ", " + std::to_string(m_failed) + " failed";
    if (m_counts.unreadable)
      summary += ", " + std::to_string(m_counts.unreadable) + " paths could not be read";
    if (m_counts.skipped)
      summary += ", " + std::to_string(m_counts.skipped) + " skipped";
    Say(m_options, summary + (g_interrupted ? " (interrupted)" : ""));
    if (g_interrupted || status == OrvCopy::StatusStopped)
      return kExitInterrupted;
    return m_failed || m_crashed || m_counts.unreadable ? kExitFailed : kExitDone;
  }

  const Options& m_options;
  const fs::path m_source, m_backup;
  Manifest m_manifest;
  std::optional<std::string> m_password;
  WalkCounts m_counts;
  std::unordered_set<std::string> m_changeable;
  size_t m_done = 0, m_failed = 0;
  bool m_crashed = false;
};

}  // namespace

int Backup(const Options& options) {
  return BackupRun(options).Run();
}

}  // namespace orvcopy
