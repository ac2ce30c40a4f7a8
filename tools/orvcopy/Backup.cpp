// orvcopy backup: one new generation in the backup folder. The tree is listed with what every
// entry is, a window of entries at a time; files unchanged since the previous generation are
// linked to its stored files, the other files and the folders go through the library, and the
// manifest records the outcome of each. What a run holds is one window, whatever the size of
// the tree. The manifest is put in place only once everything it lists has reached the disk.
#include "BackupFolder.h"
#include "BackupStart.h"
#include "Checks.h"
#include "Common.h"
#include "CopyResult.h"
#include "GenerationFolders.h"
#include "Host.h"
#include "Manifest.h"
#include "Rclone.h"
#include "Reuse.h"
#include "StoredName.h"
#include "Text.h"
#include "Tree.h"

#include <OrvCopy/OrvCopyStrings.h>
#include <OrvCopy/external/OrvFramework.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

namespace orvcopy {
namespace fs = std::filesystem;

namespace {

using OrvCopy::FileNameToWide;

// An entry of the tree on its way through the backup.
struct WindowEntry {
  ManifestItem item;
  bool reused = false;      // linked to an earlier generation's file
  bool changeable = false;  // its folder can be changed by another user
};

class BackupRun {
 public:
  explicit BackupRun(const Options& options)
      : m_options(options),
        m_source(fs::absolute(options.source)),
        m_backup(fs::absolute(options.backup)),
        m_started(std::time(nullptr)) {}

  int Run() {
    if (const int code = Prepare(); code != kExitDone)
      return code;
    LogFile log(m_options.logFile);
    InstallInterruptHandlers();
    if (m_password) {
      m_recordEngine.emplace();
      ConfigureEngine(*m_recordEngine, *m_password, m_options.encrypt, m_manifest.salt);
    }
    m_manifest.buffer = BufferCapacity();
    const size_t lanes = m_options.split ? 1 : JobCount(m_options);
    RunState state(0, ProgressTotal(), !m_options.quiet, lanes);
    m_state = &state;
    const int status = Walk(state, lanes);
    state.FinishProgress();
    m_state = nullptr;
    return Finish(status);
  }

  // The folders, the lock, the earlier generations, the password and the listing of the tree.
  int Prepare() {
    if (const int code = CheckArguments(); code != kExitDone)
      return code;
    if (const int code = OpenFolder(); code != kExitDone)
      return code;
    if (const int code = ListTree(); code != kExitDone)
      return code;
    return MakeGenerationFolder();
  }

  // What can be refused before anything is made.
  int CheckArguments() {
    std::error_code ec;
    if (!fs::is_directory(m_source, ec))
      return Refuse(kExitFailed, Show(m_source) + " is not a folder");
    if (Inside(m_source, m_backup))
      return Refuse(kExitUsage, "the source " + Show(m_source) + " lies inside the backup folder");
    if (std::string error; !ReadExcludes(m_options, m_excludes, error))
      return Refuse(kExitUsage, error);
    if (const int code = RefuseInsideBackupFolder(m_backup); code != kExitDone)
      return code;
    if (fs::exists(m_backup, ec) && !IsBackupFolder(m_backup) && !fs::is_empty(m_backup, ec))
      return Refuse(kExitFailed, Show(m_backup) +
                                     " is not empty and holds no orvcopy backup; back up into a "
                                     "new or an empty folder");
    // A new folder is made only once there is a password for it.
    if (m_options.encrypt && !fs::exists(m_backup, ec) &&
        !(m_password = AskPassword(m_options, true)))
      return kExitFailed;
    return kExitDone;
  }

  // The backup folder, made when new, locked, and what its earlier generations give: its
  // settings, its password and salt, and the files that can be linked or kept.
  int OpenFolder() {
    std::error_code ec;
    struct stat folder = {};
    if (!MakePrivateFolder(m_backup, m_options.userUmask, ec) ||
        ::stat(m_backup.c_str(), &folder) != 0)
      return Refuse(kExitFailed, "cannot create " + Show(m_backup) + ": " + ec.message());
    m_folderId = FileId(folder.st_dev, folder.st_ino);
    std::string error;
    if (!m_lock.Take(m_backup, error))
      return Refuse(kExitFailed, error);
    if (const int code = m_earlier.Open(m_options, m_backup, m_password); code != kExitDone)
      return code;
    if (m_options.encrypt && !m_password && !(m_password = AskPassword(m_options, true)))
      return kExitFailed;
    m_earlier.ChooseResume(m_options, m_password);
    m_manifest.salt = m_earlier.salt;
    m_manifest.keyCheck = m_earlier.keyCheck;
    if (m_password && m_manifest.salt.empty() &&
        !ChooseSalt(*m_password, m_options.encrypt, m_manifest))
      return Refuse(kExitFailed, "the keys of the backup cannot be made (no random source?)");
    return kExitDone;
  }

  // The options and the root into the manifest, the walk of the tree started, and the file its
  // items are written to as they are done.
  int ListTree() {
    struct stat root = {};
    if (::stat(m_source.c_str(), &root) != 0)
      return Refuse(kExitFailed, "cannot read " + Show(m_source));
    StartHeader(m_options, root, m_excludes, m_started, m_manifest);
    m_walk.emplace(m_source, m_folderId, m_options.quiet, m_counts, &m_excludes);
    return kExitDone;
  }

  int MakeGenerationFolder() {
    m_manifest.generation = NewGenerationId(m_backup, m_started);
    m_folder = m_backup / m_manifest.generation;
    std::string error;
    if (::mkdir(m_folder.c_str(), 0700) != 0 || ::mkdir(Data().c_str(), 0700) != 0)
      return Refuse(kExitFailed, "cannot create " + Show(m_folder) + ": " + std::strerror(errno));
    if (!m_spool.Open(m_folder, error))
      return Refuse(kExitFailed, error);
    return kExitDone;
  }

  // The bytes of the tree's files, for the progress line: a walk of its own ahead of the
  // backup, made only when the line is shown.
  uint64_t ProgressTotal() const {
    if (m_options.quiet || !::isatty(STDERR_FILENO))
      return 0;
    WalkCounts counts;
    TreeWalk walk(m_source, m_folderId, true, counts, &m_excludes, true);
    for (ManifestItem item; walk.Next(item) && !g_interrupted;) {
    }
    return counts.fileBytes;
  }

  fs::path Data() const { return m_folder / kDataFolder; }

  // Lists the next entries of the tree into the window: up to a run's worth, fewer when a
  // record of the run is due (linking with --checksum reads every unchanged file). False when
  // the tree is all listed.
  bool FillWindow() {
    m_window.clear();
    const size_t most = ItemsPerRun();
    for (WindowEntry entry; m_window.size() < most && !g_interrupted && m_walk->Next(entry.item);) {
      entry.changeable = m_walk->InChangeableFolder();
      entry.reused = false;
      if (entry.item.IsFile() || entry.item.IsFolder())
        entry.item.stored = StoredPath(entry.item.path, entry.item.IsFile(), NamingOf(m_options));
      if (entry.item.IsFile())
        entry.reused = TakeOverUnchanged(entry.item);
      m_window.push_back(std::move(entry));
      if (CheckpointDue())
        break;
    }
    return !m_window.empty();
  }

  // A file unchanged since the resumed or the previous generation is linked to its stored
  // files; one whose link fails is copied instead. False when it is not taken over.
  bool TakeOverUnchanged(ManifestItem& item) {
    const fs::path source = m_source / item.path;
    Earlier* previous = m_earlier.Previous();
    for (Earlier* earlier : {m_earlier.Resumed(), previous}) {
      const ManifestItem* was =
          earlier ? earlier->Unchanged(item, item.stored, m_options.checksum ? &source : nullptr)
                  : nullptr;
      std::string error;
      if (was && LinkStored(earlier->Opened().Data(), Data(), *was, error)) {
        TakeOver(item, *was, earlier == previous);
        return true;
      }
      if (was && m_options.verbose)
        std::fprintf(stderr, "copied again: %s: %s\n", Escape(item.path).c_str(), error.c_str());
    }
    return false;
  }

  // An item linked to an earlier generation's file: from the previous generation its data is
  // linked, from the resumed one it was written for this generation.
  void TakeOver(ManifestItem& item, const ManifestItem& was, bool fromPrevious) {
    item.parts = was.parts;
    item.flags = was.flags;
    item.crc = was.crc;
    item.tag = was.tag;
    item.status = "done";
    (fromPrevious ? m_manifest.bytesLinked : m_manifest.bytesWritten) += item.size;
    m_state->AddProcessed(item.size);
    ++(fromPrevious ? m_linked : m_kept);
    ++m_done;
    if (m_options.verbose)
      std::fprintf(stderr, "unchanged: %s\n", Escape(item.path).c_str());
  }

  // The copy buffer's capacity as the library rounds it. An encrypted folder's files all
  // decrypt with its buffer's capacity: the earlier generations' is kept.
  uint64_t BufferCapacity() const {
    Manager probe;
    probe.SetBufferCapacity(m_earlier.buffer ? m_earlier.buffer : m_options.buffer, 1);
    return probe.GetBufferCapacity();
  }

  // A manager for this generation: where, how and with which keys it writes.
  void Configure(Manager& manager) {
    manager.Initialize();
    manager.SetDestRootFolder(FileNameToWide(Data().native()).c_str());
    manager.SetBufferCapacity(m_manifest.buffer, 0);
    manager.m_bCompress = m_options.compress ? 1 : 0;
    manager.m_bPipelinedCopy = 1;  // large files: written while the next blocks are read
    if (m_password) {
      ApplyPassword(manager, *m_password, m_options.encrypt);
      manager.PrepareEngine()->SetSalt(reinterpret_cast<const uint8_t*>(m_manifest.salt.data()));
    }
    if (m_options.split)
      manager.AddSplitSize(m_options.split);
  }

  // The tree a window at a time: its entries listed, the library run over those it copies, and
  // the outcome of each appended to the manifest's items. One manager per lane, each with a
  // host of its own. Stopped when any stopped, else the last failure.
  int Walk(RunState& state, size_t lanes) {
    std::vector<std::unique_ptr<Manager>> managers;
    std::vector<std::unique_ptr<Host>> hosts;
    for (size_t l = 0; l < lanes; ++l) {
      managers.push_back(std::make_unique<Manager>());
      hosts.push_back(std::make_unique<Host>(state, l));
      Configure(*managers[l]);
      PrepareLane(*managers[l], *hosts[l], l);
    }
    int status = 0;
    while (!m_crashed && FillWindow()) {
      state.Window(m_window.front().item.key, m_window.size());
      const int result = RunWindow(managers, hosts);
      status = result != 0 ? result : status;
      RecordBefore(m_window.back().item.key + 1);
      if (result == OrvCopy::StatusStopped || g_interrupted)
        return OrvCopy::StatusStopped;
      if (CheckpointDue())
        SaveRecord();
    }
    return status;
  }

  // The library's entries of the window (every folder, and the files not taken over), taken a
  // chunk at a time by the lanes, which run at once: the first on this thread, the others on
  // threads of their own.
  int RunWindow(std::vector<std::unique_ptr<Manager>>& managers,
                std::vector<std::unique_ptr<Host>>& hosts) {
    std::vector<size_t> work;  // positions in the window
    for (size_t i = 0; i < m_window.size(); ++i) {
      const ManifestItem& item = m_window[i].item;
      if ((item.IsFile() || item.IsFolder()) && !m_window[i].reused)
        work.push_back(i);
    }
    // Every item before a lane's key is over: before a lane takes its first chunk, that holds
    // for the window's first item.
    m_laneKeys.assign(managers.size(), work.empty() ? UINT64_MAX : m_window[work[0]].item.key);
    Chunks chunks(work.size(), managers.size());
    std::vector<int> statuses(managers.size(), 0);
    RunAtOnce(managers.size(),
              [&](size_t l) { statuses[l] = RunLane(*managers[l], *hosts[l], l, work, chunks); });
    const bool stopped =
        std::find(statuses.begin(), statuses.end(), OrvCopy::StatusStopped) != statuses.end();
    const auto failed = std::find_if(statuses.begin(), statuses.end(), [](int s) { return s; });
    return stopped ? OrvCopy::StatusStopped : failed != statuses.end() ? *failed : 0;
  }

  // A lane's manager and host. The lane's items go in order, so every item of the lane before
  // the key its host reports is over, and every item before the lowest key the lanes report
  // is: what lies before it is recorded every so often.
  void PrepareLane(Manager& manager, Host& host, size_t lane) {
    manager.SetCallBack(&host);
    host.SetItemHook([this, lane](uint64_t key) { ReachKey(lane, key); });
  }

  // Lane `lane` has reached the item `key`: a record is made when one is due.
  void ReachKey(size_t lane, uint64_t key) {
    uint64_t lowest = 0;
    {
      const std::lock_guard keys(m_keysMutex);
      m_laneKeys[lane] = key;
      lowest = *std::min_element(m_laneKeys.begin(), m_laneKeys.end());
    }
    // One manager records at a time; the others go on copying meanwhile.
    if (const std::unique_lock record(m_recordMutex, std::try_to_lock); record.owns_lock())
      Checkpoint(lowest);
  }

  // Runs the library over the chunks of the window's entries the lane takes. A failure of the
  // library itself (an exception) ends the backup after the window.
  int RunLane(Manager& manager, Host& host, size_t lane, const std::vector<size_t>& work,
              Chunks& chunks) {
    host.Activate();
    int status = 0;
    for (Chunks::Range chunk = chunks.Next(); chunk.first < chunk.end && !g_interrupted;
         chunk = chunks.Next()) {
      ReachKey(lane, m_window[work[chunk.first]].item.key);
      manager.ClearActionData();
      host.DriveManager(&manager, m_password && !m_options.compress);
      for (size_t n = chunk.first; n < chunk.end; ++n)
        AddItem(manager, m_window[work[n]].item);
      int result = 0;
      try {
        result = manager.Copy(0);
      } catch (const CException& e) {
        m_crashed = true;
        ItemResult& r = host.Result(host.CurrentKey());
        r.failed = true;
        r.reason = e.what();
        break;
      }
      status = result != 0 ? result : status;
      if (result == OrvCopy::StatusCompressionFailed)
        m_crashed = true;  // no archive can be made: the backup ends after the window
      if (result == OrvCopy::StatusStopped || result == OrvCopy::StatusCompressionFailed)
        break;
    }
    if (status == OrvCopy::StatusStopped) {
      // The item under way when the stop came is reported ended, but its copy is cut short.
      host.Result(host.CurrentKey()).ended = false;
    }
    const std::lock_guard keys(m_keysMutex);
    m_laneKeys[lane] = UINT64_MAX;
    return status;
  }

  void AddItem(Manager& manager, const ManifestItem& item) {
    const fs::path stored(item.stored);
    manager.AddItem(
        FileNameToWide((m_source / item.path).native()).c_str(),
        FileNameToWide((item.IsFolder() ? stored : stored.parent_path()).native()).c_str(),
        item.IsFolder() ? L"" : FileNameToWide(stored.filename().native()).c_str(), item.key,
        m_password ? 1 : 0, 1, item.size, 0, 1, item.IsFolder() ? 1 : 0, nullptr);
  }

  // Whether a file item's stored data is whole, and why not.
  bool FileBackedUp(ManifestItem& item, const ItemResult& r, std::string& reason) {
    const fs::path stored = Data() / item.stored;
    std::error_code ec;
    if (m_options.compress) {
      // An archive is renamed into place when complete.
      if (r.failed || !fs::exists(stored, ec))
        return false;
      if (m_password && (item.tag = HostTagOfFile(*m_recordEngine, stored)).empty()) {
        reason = "the archive could not be read back";
        return false;
      }
      return true;
    }
    return CopiedWhole(item, r, m_password.has_value(), reason);
  }

  // Whether the source path is still a file (or gone). The library opens it by its name: in a
  // folder another user can change, a file swapped for a link while the backup ran would give
  // the linked file's data under this one's name and mode. (A link swapped in and out again
  // before this look is not seen.)
  bool StillAFile(const WindowEntry& entry, std::string& reason) const {
    const ManifestItem& item = entry.item;
    if (!entry.changeable)
      return true;
    struct stat st {};
    if (::lstat((m_source / item.path).c_str(), &st) != 0 ? errno == ENOENT : S_ISREG(st.st_mode))
      return true;
    reason = "it was replaced by a link or a special file while it was backed up";
    return false;
  }

  void Record(WindowEntry& entry, const ItemResult& r) {
    ManifestItem& item = entry.item;
    std::string reason = r.reason;
    bool ok = true;
    std::error_code ec;
    if (item.IsFolder()) {
      // The library passes over a folder it could not make; the backup does not.
      ok = r.ended && !r.failed && fs::is_directory(Data() / item.stored, ec);
    } else if (item.IsFile()) {
      item.parts = r.volumes + 1;
      item.flags = m_password ? OrvCopy::ArchiveItemFlagAES : 0;
      ok = FileBackedUp(item, r, reason) && StillAFile(entry, reason);
    }
    if (ok) {
      item.status = "done";
      ++m_done;
      m_manifest.bytesWritten += item.size;
      if (m_options.verbose)
        std::fprintf(stderr, "backed up: %s\n", Escape(item.path).c_str());
    } else if (r.failed || r.ended || !reason.empty() || (m_options.compress && !g_interrupted)) {
      item.status = "failed";
      ++m_failed;
      ReportFailure(item.path, reason.empty() ? "it could not be backed up" : reason);
    }
  }

  // The outcome of every entry of the window before the key `end` not yet recorded, appended
  // to the manifest's items.
  void RecordBefore(uint64_t end) {
    const uint64_t first = m_window.front().item.key;
    for (; m_recorded + 1 < end && m_recorded + 1 - first < m_window.size(); ++m_recorded) {
      WindowEntry& entry = m_window[m_recorded + 1 - first];
      if (!entry.reused)
        Record(entry, *m_state->Result(entry.item.key));
      m_spool.Append(entry.item);
    }
  }

  // Every so often while the library runs, what is finished (the entries before the key
  // `end`) is synced to the disk and recorded as the unfinished generation's manifest, so that
  // a backup killed on the way is resumed from there.
  void Checkpoint(uint64_t end) {
    if (!CheckpointDue())
      return;
    RecordBefore(end);
    SaveRecord();
  }

  bool CheckpointDue() const { return std::chrono::steady_clock::now() >= m_nextCheckpoint; }

  // The record of the generation so far. The pause until the next one grows with the time one
  // takes, so that a large tree spends little on them.
  void SaveRecord() {
    const auto start = std::chrono::steady_clock::now();
    std::string error;
    const ManifestTagger tagger = m_password ? ManifestTaggerOf(*m_recordEngine) : ManifestTagger{};
    if (SyncToDisk())
      SaveManifest(m_folder, m_manifest, m_spool, m_password ? &tagger : nullptr, error,
                   kUnfinishedName);
    const auto took = std::chrono::steady_clock::now() - start;
    m_nextCheckpoint = std::chrono::steady_clock::now() +
                       std::max<std::chrono::steady_clock::duration>(CheckpointPause(), 10 * took);
  }

  static std::chrono::steady_clock::duration CheckpointPause() {
    const char* seconds = std::getenv("ORVCOPY_CHECKPOINT_SECONDS");
    return std::chrono::seconds(seconds ? std::atoi(seconds) : 10);
  }

  int Finish(int status) {
    m_manifest.complete = !g_interrupted && !m_crashed;
    // What the manifest lists reaches the disk before the manifest is put in place.
    std::string error;
    if (!SyncToDisk())
      return Refuse(kExitFailed, "the backup could not be written to the disk (" +
                                     std::string(std::strerror(errno)) + "); it is not listed");
    const ManifestTagger tagger = m_password ? ManifestTaggerOf(*m_recordEngine) : ManifestTagger{};
    const ManifestTagger* tagging = m_password ? &tagger : nullptr;
    if (!SaveManifest(m_folder, m_manifest, m_spool, tagging, error,
                      m_manifest.complete ? kManifestName : kUnfinishedName)) {
      // What was done can still be resumed, when its record can be written.
      m_manifest.complete = false;
      std::string recordError;
      const bool recorded =
          SaveManifest(m_folder, m_manifest, m_spool, tagging, recordError, kUnfinishedName);
      return Refuse(kExitFailed, error + (recorded ? "; the backup is not listed, the next one "
                                                     "resumes it"
                                                   : "; the backup is not listed, and no "
                                                     "record of it could be written"));
    }
    if (m_manifest.complete) {
      ::unlink((m_folder / kUnfinishedName).c_str());  // the last record on the way
      RemoveUnfinished();
    }
    Say(m_options, Summary());
    if (g_interrupted || status == OrvCopy::StatusStopped)
      return kExitInterrupted;
    return m_failed || m_crashed || m_counts.unreadable ? kExitFailed : kExitDone;
  }

  // Everything the generation holds, with one call for the whole file system: a small-file
  // backup would otherwise pay a sync per file.
  bool SyncToDisk() const {
    const int fd = ::open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::syncfs(fd) == 0;
    if (fd >= 0)
      ::close(fd);
    return synced;
  }

  void RemoveUnfinished() {
    for (const Generation& generation : m_earlier.unfinished) {
      const Removal removal = RemoveGeneration(generation);
      for (const std::string& left : removal.left)
        std::fprintf(stderr, "warning: could not remove %s\n", Escape(left).c_str());
    }
  }

  std::string Summary() const {
    std::string summary = "backed up " + std::to_string(m_done) + " of " +
                          std::to_string(m_spool.Count()) + " entries into " +
                          m_manifest.generation;
    if (!m_earlier.previousId.empty())
      summary += ", " + std::to_string(m_linked) + " unchanged since " + m_earlier.previousId;
    if (m_kept)
      summary += ", " + std::to_string(m_kept) + " kept from " + m_earlier.resumedId;
    summary += CountsNote(m_failed, m_counts);
    return summary + (g_interrupted ? " (interrupted; the next backup resumes it)" : "");
  }

  const Options& m_options;
  const fs::path m_source, m_backup;
  const std::time_t m_started;
  fs::path m_folder;  // the new generation's
  WriterLock m_lock;
  FileId m_folderId;  // the backup folder's, left out when it lies inside the source
  Manifest m_manifest;
  std::optional<std::string> m_password;
  Excludes m_excludes;
  WalkCounts m_counts;
  EarlierGenerations m_earlier;
  std::optional<TreeWalk> m_walk;
  // The entries listed and not yet recorded, in the walk's order, and how many were recorded
  // before them (in the spool).
  std::vector<WindowEntry> m_window;
  uint64_t m_recorded = 0;
  ItemSpool m_spool;
  size_t m_done = 0, m_failed = 0, m_linked = 0, m_kept = 0;
  std::chrono::steady_clock::time_point m_nextCheckpoint =
      std::chrono::steady_clock::now() + CheckpointPause();
  // The library failed (an exception, or no archive can be made): the backup stops after the
  // window and is left unfinished.
  std::atomic<bool> m_crashed = false;
  // Kept for the manifest (its tag) and the archives' tags, apart from the managers' engines,
  // which their threads use.
  std::optional<orv::CEncryption> m_recordEngine;
  RunState* m_state = nullptr;  // while the managers run
  std::mutex m_recordMutex;     // guards the record of the items
  std::mutex m_keysMutex;       // guards the lanes' keys
  std::vector<uint64_t> m_laneKeys;
};

}  // namespace

int Backup(const Options& options) {
  if (const std::optional<std::string> remote = RemoteOf(options.backup))
    return RemoteBackup(options, *remote);
  return BackupRun(options).Run();
}

}  // namespace orvcopy
