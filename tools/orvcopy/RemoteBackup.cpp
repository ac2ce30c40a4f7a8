// orvcopy backup into a remote folder (rclone:REMOTE:PATH). The remote holds one copy of the
// tree and its manifest: a run uploads the files that are new or changed since the remote's
// manifest, then the new manifest, then deletes what no manifest lists any longer. A file
// that changed is uploaded beside its old copy (data/a/ and data/b/ take turns), so until the
// new manifest is in place the old one describes files that are all there: a run that is
// interrupted or fails leaves the remote's previous backup whole.
#include "BackupFolder.h"
#include "BackupStart.h"
#include "Common.h"
#include "CopyResult.h"
#include "GenerationFolders.h"
#include "Host.h"
#include "Manifest.h"
#include "RemoteHandOver.h"
#include "RemoteMark.h"
#include "RemoteStore.h"
#include "Reuse.h"
#include "StoredName.h"
#include "Text.h"
#include "Tree.h"

#include <OrvCopy/OrvCopyStrings.h>
#include <OrvCopy/external/OrvFramework.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <ctime>
#include <deque>
#include <fstream>
#include <unordered_set>

namespace orvcopy {
namespace fs = std::filesystem;

namespace {

using OrvCopy::FileNameToWide;

constexpr const char* kOldManifest = "old";  // the scratch folder's copy of the remote manifest

// An entry of the tree on its way to the remote, and what the remote held for its path.
struct RemoteEntry {
  ManifestItem item;
  bool kept = false;                // unchanged: its stored files stay
  std::optional<ManifestItem> was;  // the earlier entry of its path, when that was a file
  ItemResult result;                // once its window has been run
  std::string wasText;  // the earlier entry as its manifest has it, while the run changed nothing
};

class RemoteBackupRun {
 public:
  RemoteBackupRun(const Options& options, const std::string& remote)
      : m_options(options),
        m_source(fs::absolute(options.source)),
        m_store(remote, options.backup),
        m_started(std::time(nullptr)) {}

  int Run() {
    InstallInterruptHandlers();  // before rclone is first called: the scratch folder goes
    if (const int code = Prepare(); code != kExitDone)
      return g_interrupted ? kExitInterrupted : code;
    LogFile log(m_options.logFile);
    RunState state(0, 0, !m_options.quiet);
    m_state = &state;
    HandOver handOver(
        m_store, m_source, Stage(), LibraryTemp(), [this](uint64_t key) { return EntryOf(key); },
        m_options.compress && m_password ? &*m_tagEngine : nullptr, !UsesTempFolder(),
        [this](uint64_t key, const std::string& reason) { FailUploaded(key, reason); });
    // An encrypted file as large as a volume is uploaded as it is written: the library does not
    // cut encrypted files (it would write their later parts in plain).
    UploadHost host(state, handOver, HandOverAt(),
                    m_password && !m_options.compress ? HandOverAt() : 0);
    host.Activate();
    Manager manager;
    Configure(manager, host);
    const int status = Walk(state, manager, host);
    state.FinishProgress();
    return Finish(status, host);
  }

 private:
  int Prepare() {
    std::error_code ec;
    std::string error;
    if (!fs::is_directory(m_source, ec))
      return Refuse(kExitFailed, Show(m_source) + " is not a folder");
    if (!ReadExcludes(m_options, m_excludes, error))
      return Refuse(kExitUsage, error);
    if (!m_scratch.Make(m_options.temp, error))
      return Refuse(kExitFailed, error);
    for (const char* folder : {kOldManifest, "stage", "library"}) {
      if (::mkdir((m_scratch.Path() / folder).c_str(), 0700) != 0)
        return Refuse(kExitFailed, "cannot prepare " + Show(m_scratch.Path()));
    }
    if (const int code = OpenRemote(); code != kExitDone)
      return code;
    if (const int code = CheckMark(); code != kExitDone)
      return code;
    return StartManifest();
  }

  // What the remote holds: nothing yet, or a backup whose settings and password this run
  // must share.
  int OpenRemote() {
    std::string error;
    RemoteStore::Holds holds{};
    if (!m_store.Open(holds, error))
      return Refuse(kExitFailed, error);
    if (holds == RemoteStore::Holds::Other)
      return Refuse(kExitFailed, m_store.Location() +
                                     " is not empty and holds no orvcopy backup; back up into a "
                                     "new or an empty folder");
    if (holds == RemoteStore::Holds::Nothing)
      return NewRemote();
    const fs::path old = m_scratch.Path() / kOldManifest;
    if (!m_store.FetchManifest(old / kManifestName, error))
      return Refuse(kExitFailed, error);
    OpenedBackup opened;
    if (!LoadGeneration(m_store.Location(), Generation{"remote", old, true}, kManifestName, opened,
                        error))
      return Refuse(kExitUnusable, error);
    if (const std::string conflict = SettingsConflict(m_options, opened.manifest);
        !conflict.empty())
      return Refuse(kExitUsage, conflict);
    if (const int code = CheckPassword(m_options, opened); code != kExitDone)
      return code;
    m_password = opened.password;
    m_manifest.salt = opened.manifest.salt;
    m_manifest.keyCheck = opened.manifest.keyCheck;
    m_manifest.buffer = opened.manifest.buffer;
    m_gone.open(m_scratch.Path() / "gone.list", std::ios::binary);
    m_removed.open(m_scratch.Path() / "removed.list", std::ios::binary);
    m_earlier.emplace(
        std::move(opened),
        [this](const ManifestItem& was) {
          if (was.IsFile())
            Gone(m_removed, was.stored, was.parts);
        },
        false);
    return kExitDone;
  }

  // A mark on the remote: a run under way refuses this one; one that a stopped run left means
  // files to collect once this run is in place. This run marks the remote before it writes.
  int CheckMark() {
    if (const std::string& found = m_store.FoundMark(); !found.empty()) {
      if (const std::string conflict = MarkConflict(found, m_store.Location()); !conflict.empty())
        return Refuse(kExitFailed, conflict);
      m_collect = true;
      Say(m_options, "an earlier backup into " + m_store.Location() +
                         " was stopped: what it left there is deleted after this one");
    }
    m_store.MarkWrites(MarkOfThisRun(m_started));
    return kExitDone;
  }

  int NewRemote() {
    if (m_options.encrypt && !(m_password = AskPassword(m_options, true)))
      return kExitFailed;
    if (m_password && !ChooseSalt(*m_password, m_options.encrypt, m_manifest))
      return Refuse(kExitFailed, "the keys of the backup cannot be made (no random source?)");
    return kExitDone;
  }

  int StartManifest() {
    struct stat root = {}, scratch = {};
    if (::stat(m_source.c_str(), &root) != 0 || ::stat(m_scratch.Path().c_str(), &scratch) != 0)
      return Refuse(kExitFailed, "cannot read " + Show(m_source));
    StartHeader(m_options, root, m_excludes, m_started, m_manifest);
    m_manifest.generation = NewGenerationId(m_scratch.Path(), m_started);
    if (m_manifest.buffer == 0) {
      Manager probe;
      probe.SetBufferCapacity(m_options.buffer, 1);
      m_manifest.buffer = probe.GetBufferCapacity();
    }
    if (m_password) {
      m_tagEngine.emplace();
      ConfigureEngine(*m_tagEngine, *m_password, m_options.encrypt, m_manifest.salt);
      // rclone's checksum after each upload is left out: every stored file carries a keyed
      // tag, which restore and verify check (rclone's crypt remotes rely on theirs alike).
      m_store.CheckUploads(false);
    }
    // The scratch folder is left out of the walk when it lies inside the tree.
    m_walk.emplace(m_source, FileId(scratch.st_dev, scratch.st_ino), m_options.quiet, m_counts,
                   &m_excludes);
    std::string error;
    if (!m_spool.Open(m_scratch.Path(), error))
      return Refuse(kExitFailed, error);
    return kExitDone;
  }

  fs::path Stage() const { return m_scratch.Path() / "stage"; }
  fs::path LibraryTemp() const { return m_scratch.Path() / "library"; }

  // Hands over once this much waits: the volume size, or the cache size of a compressed backup.
  uint64_t HandOverAt() const {
    if (m_options.compress)
      return m_options.cache ? m_options.cache : m_options.volume;
    return m_options.split ? m_options.split : m_options.volume;
  }

  // The manager writes below the stage. A plain file is only accounted for: it is uploaded
  // from the tree, whole, so it takes no room on this disk (with a volume size the library
  // would copy each file that overflows a volume). Encrypted, cut and compressed files are
  // written into the temporary folder first.
  void Configure(Manager& manager, UploadHost& host) {
    manager.Initialize();
    manager.KeepFileRecords();
    manager.SetCallBack(&host);
    manager.SetDestRootFolder(FileNameToWide(Stage().native()).c_str());
    manager.SetTempFolder(FileNameToWide(LibraryTemp().native()).c_str());
    manager.SetBufferCapacity(m_manifest.buffer, 0);
    manager.m_bPipelinedCopy = 1;
    manager.m_bCompress = m_options.compress ? 1 : 0;
    manager.m_bUseTempFolder = UsesTempFolder() ? 1 : 0;
    manager.m_bSimulate = manager.m_bUseTempFolder ? 0 : 1;
    manager.m_nOnlineCacheSize = m_options.compress ? HandOverAt() : 0;
    if (m_password) {
      ApplyPassword(manager, *m_password, m_options.encrypt);
      manager.PrepareEngine()->SetSalt(reinterpret_cast<const uint8_t*>(m_manifest.salt.data()));
    }
    // Only --split cuts files (never encrypted ones: the library writes the parts after the
    // first in plain).
    if (m_options.split)
      manager.AddSplitSize(m_options.split);
  }

  bool UsesTempFolder() const { return m_password || m_options.split || m_options.compress; }

  // The entry of `key` among `entries` (their keys follow each other), or null.
  template <typename Entries>
  static RemoteEntry* Find(Entries& entries, uint64_t key) {
    if (entries.empty() || key < entries.front().item.key ||
        key - entries.front().item.key >= entries.size())
      return nullptr;
    return &entries[key - entries.front().item.key];
  }

  const ManifestItem* EntryOf(uint64_t key) {
    const RemoteEntry* entry = Find(m_window, key);
    return entry ? &entry->item : nullptr;
  }

  std::string StoredName(const ManifestItem& item, char slot) const {
    return std::string(1, slot) + "/" + StoredPath(item.path, item.IsFile(), NamingOf(m_options));
  }

  // Lists the next entries of the tree; a file unchanged since the remote's manifest keeps its
  // stored files, a changed one gets the place its earlier copy does not take.
  bool FillWindow() {
    m_window.clear();
    const size_t most = ItemsPerRun();
    for (RemoteEntry entry; m_window.size() < most && !g_interrupted && m_walk->Next(entry.item);) {
      if (!Listable(entry.item))
        continue;
      entry.item.key = ++m_lastKey;  // keys follow each other in a manifest
      entry.kept = false;
      entry.was.reset();
      const ManifestItem* was = m_earlier ? m_earlier->Find(entry.item.path) : nullptr;
      entry.wasText = was && m_unchangedSoFar ? ItemText(*was) : std::string();
      m_unchangedSoFar = m_unchangedSoFar && was;
      if (was && was->IsFile()) {
        entry.was = *was;
      }
      if (was && was->IsFile() != entry.item.IsFile() && (was->IsFolder() || entry.item.IsFolder()))
        m_typeChanged.push_back(*was);
      const char slot = entry.was && entry.was->stored.compare(0, 2, "a/") == 0 ? 'b' : 'a';
      entry.item.stored = entry.item.IsFile() || entry.item.IsFolder()
                              ? StoredName(entry.item, slot)
                              : std::string();
      if (entry.item.IsFile() && entry.was)
        entry.kept = TakeOverUnchanged(entry.item, entry.was->stored);
      m_window.push_back(std::move(entry));
    }
    return !m_window.empty();
  }

  // rclone takes the names it transfers as lines: a name with a line break in it is left out
  // (and a hard link to one), as the walk leaves out what it cannot back up.
  bool Listable(const ManifestItem& item) {
    const auto breaks = [](const std::string& path) {
      return path.find_first_of("\n\r") != std::string::npos;
    };
    if (!breaks(item.path) && !(item.type == EntryType::HardLink && breaks(item.link)))
      return true;
    if (!m_options.quiet)
      std::fprintf(stderr, "skipped (a line break in the name): %s\n", Escape(item.path).c_str());
    ++m_counts.skipped;
    return false;
  }

  bool TakeOverUnchanged(ManifestItem& item, const std::string& stored) {
    const fs::path source = m_source / item.path;
    const ManifestItem* was =
        m_earlier->Unchanged(item, stored, m_options.checksum ? &source : nullptr);
    if (!was)
      return false;
    item.stored = was->stored;
    item.parts = was->parts;
    item.flags = was->flags;
    item.crc = was->crc;
    item.tag = was->tag;
    item.status = "done";
    ++m_unchanged;
    ++m_done;
    m_manifest.bytesLinked += item.size;
    if (m_options.verbose)
      std::fprintf(stderr, "unchanged: %s\n", Escape(item.path).c_str());
    return true;
  }

  // Uploads go on while the next windows are run: what the windows stage while one is under
  // way goes up in one call after it, as each call costs rclone its connections anew. Entries
  // are recorded once their uploads are over (a file uploaded from the tree is checked then);
  // eight windows of them wait at most.
  int Walk(RunState& state, Manager& manager, UploadHost& host) {
    const size_t mostWaiting = 8 * ItemsPerRun();
    int status = 0;
    while (FillWindow()) {
      if (!ClearTypeChanges(host))
        return OrvCopy::StatusStopped;
      state.Window(m_window.front().item.key, m_window.size());
      const int result = RunWindow(manager, host);
      status = result != 0 ? result : status;
      if (result == OrvCopy::StatusStopped || result == OrvCopy::StatusCompressionFailed ||
          g_interrupted || !host.UploadError().empty())
        return result == OrvCopy::StatusCompressionFailed ? result : OrvCopy::StatusStopped;
      for (RemoteEntry& entry : m_window) {
        entry.result = *state.Result(entry.item.key);
        m_pending.push_back(std::move(entry));
      }
      m_window.clear();
      if ((!host.Uploading() || m_pending.size() >= mostWaiting) && !SendPending(host))
        return OrvCopy::StatusStopped;
    }
    if (!SendPending(host) || !host.FinishSend())
      return OrvCopy::StatusStopped;
    RecordSent();
    return status;
  }

  // Waits for the upload under way, records what it took, and starts one of all staged since.
  bool SendPending(UploadHost& host) {
    if (!host.FinishSend())
      return false;
    RecordSent();
    m_sent = m_pending.size();
    return host.StartSend();
  }

  void RecordSent() {
    for (; m_sent > 0; --m_sent) {
      Record(m_pending.front(), m_pending.front().result);
      m_pending.pop_front();
    }
  }

  // A file found failed once its upload was over: of the windows run before, or of the window
  // being run.
  void FailUploaded(uint64_t key, const std::string& reason) {
    RemoteEntry* pending = Find(m_pending, key);
    ItemResult* r = pending ? &pending->result : m_state ? m_state->Result(key) : nullptr;
    if (r != nullptr) {
      r->failed = true;
      r->reason = reason;
    }
  }

  // The window's changed files through the library, each taken into the stage as it ends (the
  // uploads start once the window is run). A compressed file is run alone: the library names
  // an archive in its temporary folder by its file name only, so two archives of one run could
  // meet there.
  int RunWindow(Manager& manager, UploadHost& host) {
    std::vector<const ManifestItem*> files;
    for (const RemoteEntry& entry : m_window) {
      if (entry.item.IsFile() && !entry.kept)
        files.push_back(&entry.item);
    }
    const size_t perRun = m_options.compress ? 1 : files.size();
    int status = 0;
    for (size_t first = 0; first < files.size() && !g_interrupted; first += perRun) {
      manager.ClearActionData();
      host.Drive(manager, m_password && !m_options.compress);
      for (size_t n = first; n < std::min(first + perRun, files.size()); ++n)
        AddItem(manager, *files[n]);
      int result = 0;
      try {
        result = manager.Copy(0);
      } catch (const CException& e) {
        ItemResult& r = host.Result(host.CurrentKey());
        r.failed = true;
        r.reason = e.what();
      }
      host.EndRun();
      if (!host.TakeRecords())
        return OrvCopy::StatusStopped;
      status = result != 0 ? result : status;
      if (result == OrvCopy::StatusStopped || result == OrvCopy::StatusCompressionFailed)
        return result;
    }
    return status;
  }

  // A path that was a file and is now a folder, or the reverse, stands in the way of what goes
  // up in its place (the stored files keep the tree's paths): its earlier files go first.
  // Until this run's manifest is in place, the previous backup then lacks that path. The upload
  // under way ends first: the deletion also removes the folders it finds empty.
  bool ClearTypeChanges(UploadHost& host) {
    if (m_typeChanged.empty())
      return true;
    if (!host.FinishSend())
      return false;
    std::string error;
    bool cleared = true;
    for (const ManifestItem& was : m_typeChanged) {
      if (was.IsFolder()) {
        for (const char* slot : {"a/", "b/"})
          cleared = cleared && m_store.PurgeFolder(slot + was.path, error);
      } else {
        std::vector<std::string> parts;
        AppendPartNames(was, parts);
        const fs::path list = m_scratch.Path() / "changed.list";
        cleared = cleared && WriteNameList(list, parts) && m_store.Delete({list}, error);
      }
    }
    m_typeChanged.clear();
    if (!cleared)
      m_uploadError =
          "what a path that changed between file and folder held could not be "
          "cleared: " +
          error;
    return cleared;
  }

  void AddItem(Manager& manager, const ManifestItem& item) {
    const fs::path stored(item.stored);
    manager.AddFile(FileNameToWide((m_source / item.path).native()),
                    FileNameToWide(stored.parent_path().native()),
                    FileNameToWide(stored.filename().native()), item.key, m_password ? 1 : 0,
                    item.size, 0);
  }

  void Record(RemoteEntry& entry, ItemResult& r) {
    ManifestItem& item = entry.item;
    std::string reason = r.reason;
    bool ok = true;
    if (item.IsFile() && !entry.kept) {
      item.parts = r.volumes + 1;
      item.flags = m_password ? OrvCopy::ArchiveItemFlagAES : 0;
      if (m_options.compress) {
        r.ended = r.staged;  // the archive engine reports no item's end
        item.tag = r.tag;
        ok = r.staged && !r.failed;
      } else {
        ok = r.staged && CopiedWhole(item, r, m_password.has_value(), reason);
      }
    }
    if (!item.IsFile() || !entry.kept) {
      // A file that failed keeps its earlier copy, listed as it was; otherwise the earlier
      // stored files are no longer listed once the new manifest is in place.
      const bool keepEarlier =
          !ok && item.IsFile() && entry.was && entry.was->status == "done" && !g_interrupted;
      if (keepEarlier) {
        const uint64_t key = item.key;
        item = *entry.was;
        item.key = key;
        reason = (reason.empty() ? "it could not be backed up" : reason) +
                 " (its copy from the previous backup is kept)";
      } else if (entry.was) {
        Gone(m_gone, entry.was->stored, entry.was->parts);
      }
      if (ok) {
        item.status = "done";
        ++m_done;
        m_manifest.bytesWritten += item.IsFile() ? item.size : 0;
        if (m_options.verbose && item.IsFile())
          std::fprintf(stderr, "backed up: %s\n", Escape(item.path).c_str());
      } else {
        item.status = keepEarlier ? "done" : "failed";
        ++m_failed;
        ReportFailure(item.path, reason.empty() ? "it could not be backed up" : reason);
      }
    }
    m_unchangedSoFar = m_unchangedSoFar && ItemText(item) == entry.wasText;
    for (int p = 0; m_collect && item.IsFile() && item.status == "done" && p < item.parts; ++p)
      m_listed.insert(PartName(item.stored, p));
    m_spool.Append(item);
  }

  // Whether the new manifest would say what the remote's says: every entry the same, none
  // gone, and the same root and excludes. Then it is left as it is (two calls fewer).
  bool NothingChanged() const {
    if (!m_earlier || !m_unchangedSoFar || m_goneCount || m_failed || m_store.Uploaded())
      return false;
    const Manifest& was = m_earlier->Listing();
    const auto root = [](const Manifest& m) {
      ManifestItem root;
      root.type = EntryType::Folder;
      root.meta = m.rootMeta;
      root.mtime = m.rootMtime;
      return ItemText(root);
    };
    return was.itemCount == m_spool.Count() && was.excludes == m_manifest.excludes &&
           root(was) == root(m_manifest);
  }

  // Stored files to delete from the remote after the new manifest is in place: the earlier
  // copies of changed files, and those of entries gone from the tree.
  void Gone(std::ofstream& list, const std::string& stored, int parts) {
    for (int p = 0; p < parts; ++p)
      list << PartName(stored, p) << '\n';
    ++m_goneCount;
  }

  int Finish(int status, UploadHost& host) {
    const std::string kept = "; " + m_store.Location() +
                             (m_earlier ? " keeps its previous backup" : " lists no backup yet");
    if (g_interrupted) {  // rclone, stopped by the same Ctrl-C, may have failed too
      Say(m_options, "interrupted" + kept);
      return kExitInterrupted;
    }
    if (!m_uploadError.empty())
      return Refuse(kExitFailed, m_uploadError + kept);
    if (!host.UploadError().empty())
      return Refuse(kExitFailed, "the upload failed: " + host.UploadError() + kept);
    if (status == OrvCopy::StatusCompressionFailed)
      return Refuse(kExitFailed,
                    "no archive can be made (the compression engine does not start)" + kept);
    if (status == OrvCopy::StatusStopped)
      return Refuse(kExitFailed, "the backup stopped" + kept);
    if (m_earlier)
      m_earlier->Finish();
    if (NothingChanged()) {
      Say(m_options, "nothing changed since the backup on " + m_store.Location() + " (" +
                         Counted(m_spool.Count(), "entry", "entries") + ", " +
                         Counted(m_store.Calls(), "rclone call") + ")");
      FinishMark();
      return m_counts.unreadable ? kExitFailed : kExitDone;
    }
    m_manifest.complete = true;
    std::string error;
    const ManifestTagger tagger = m_password ? ManifestTaggerOf(*m_tagEngine) : ManifestTagger{};
    if (!SaveManifest(m_scratch.Path(), m_manifest, m_spool, m_password ? &tagger : nullptr,
                      error) ||
        !m_store.PutManifest(m_scratch.Path() / kManifestName, error))
      return Stopped(error);
    if (DeleteGone())
      FinishMark();
    Say(m_options, Summary());
    return m_failed || m_counts.unreadable ? kExitFailed : kExitDone;
  }

  // A failure of the run's end; rclone stopped by Ctrl-C fails too, and it is said as such.
  int Stopped(const std::string& error) {
    if (!g_interrupted)
      return Refuse(kExitFailed, error);
    Say(m_options, "interrupted; " + m_store.Location() +
                       (m_earlier ? " keeps its previous backup" : " lists no backup yet"));
    return kExitInterrupted;
  }

  // An entry the walk could not read is missing from the tree as it is from a deleted one:
  // the files of entries gone are then kept (as rclone sync keeps them after an error).
  bool DeleteGone() {
    if (m_goneCount == 0)
      return true;
    m_gone.close();
    m_removed.close();
    std::vector<std::filesystem::path> lists{m_scratch.Path() / "gone.list"};
    if (m_counts.unreadable == 0)
      lists.push_back(m_scratch.Path() / "removed.list");
    else
      std::fprintf(stderr,
                   "warning: as some paths could not be read, the files of entries gone from "
                   "the tree stay on %s (unlisted)\n",
                   m_store.Location().c_str());
    std::string error;
    if (m_gone && m_removed && m_store.Delete(lists, error))
      return true;
    std::fprintf(stderr,
                 "warning: files of the previous backup could not be deleted from %s (%s); "
                 "they take space but do no harm, and the next backup deletes them\n",
                 m_store.Location().c_str(), error.c_str());
    return false;
  }

  // The run is whole: what stopped runs left goes, then the mark. A mark that stays has the
  // next run collect again; so does one while a path could not be read (its entries' files
  // stay, unlisted).
  void FinishMark() {
    std::string error;
    if (m_counts.unreadable != 0)
      return;
    if (m_collect && !CollectLeftovers(m_store, m_listed, m_scratch.Path() / "leftovers.list",
                                       m_leftovers, error)) {
      std::fprintf(stderr,
                   "warning: what a stopped backup left on %s could not be deleted (%s); the "
                   "next backup tries again\n",
                   m_store.Location().c_str(), error.c_str());
      return;
    }
    if ((m_collect || m_store.Marked()) && !m_store.ClearMark(error))
      std::fprintf(stderr, "warning: %s stays marked as being written (%s)\n",
                   m_store.Location().c_str(), error.c_str());
  }

  std::string Summary() const {
    std::string summary = "backed up " + std::to_string(m_done) + " of " +
                          std::to_string(m_spool.Count()) + " entries to " + m_store.Location() +
                          ": " + Counted(m_store.Uploaded(), "file") + " uploaded";
    if (m_earlier)
      summary += ", " + std::to_string(m_unchanged) + " unchanged";
    if (m_goneCount)
      summary += ", " + Counted(m_goneCount, "earlier file") + " deleted";
    if (m_leftovers)
      summary += ", " + Counted(m_leftovers, "file") + " left by a stopped backup deleted";
    summary += CountsNote(m_failed, m_counts);
    return summary + " (" + Counted(m_store.Calls(), "rclone call") + ")";
  }

  const Options& m_options;
  const fs::path m_source;
  RemoteStore m_store;
  const std::time_t m_started;
  ScratchFolder m_scratch;
  Manifest m_manifest;
  std::optional<std::string> m_password;
  std::optional<orv::CEncryption> m_tagEngine;  // the manifest's tag and the archives'
  Excludes m_excludes;
  WalkCounts m_counts;
  std::optional<TreeWalk> m_walk;
  std::optional<Earlier> m_earlier;  // the remote's manifest, read alongside the walk
  std::vector<RemoteEntry> m_window;
  std::deque<RemoteEntry> m_pending;  // run, and waiting for their uploads to be over
  size_t m_sent = 0;                  // of them, those the upload under way takes
  RunState* m_state = nullptr;
  uint64_t m_lastKey = 0;
  std::vector<ManifestItem> m_typeChanged;  // earlier entries of the window's paths
  std::string m_uploadError;                // a failure of this run's own calls
  ItemSpool m_spool;
  std::ofstream m_gone, m_removed;
  size_t m_goneCount = 0;
  size_t m_done = 0, m_failed = 0, m_unchanged = 0;
  bool m_unchangedSoFar = true;  // every entry so far as the remote's manifest has it
  bool m_collect = false;        // a stopped run left files: those not listed go at the end
  std::unordered_set<std::string> m_listed;  // then: the stored files this run lists
  size_t m_leftovers = 0;
};

}  // namespace

int RemoteBackup(const Options& options, const std::string& remote) {
  return RemoteBackupRun(options, remote).Run();
}

}  // namespace orvcopy
