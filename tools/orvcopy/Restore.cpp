// orvcopy restore: the tree comes back with what every entry was. Each folder is made (or
// checked) before anything below it, so that no write goes through a link; file data is
// written under NAME.partial and put in place only once it is whole and checked; links and
// pipes come after the files, and every folder gets its mode and time once its content is in
// place.
#include "ArrivingFiles.h"
#include "BackupFolder.h"
#include "Checks.h"
#include "Common.h"
#include "Entries.h"
#include "Host.h"
#include "Selection.h"
#include "StoredName.h"
#include "Text.h"

#include <OrvCopy/OrvCopyStrings.h>
#include <OrvCopy/external/OrvFramework.h>

#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

namespace orvcopy {
namespace fs = std::filesystem;

namespace {

using OrvCopy::FileNameToWide;

// What became of one entry (why it failed is kept apart: few entries fail).
struct Outcome {
  enum State : uint8_t { Pending, Restored, Failed } state = Pending;
  enum Check : uint8_t { None, Crc, Tag, Size } check = None;
};

std::string ParentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Thrown by a reading's sink to end the reading early.
struct EndOfReading : std::exception {};

// The entries of the part of a backup restored, read from its manifest's file once per step:
// `each` gets every kept entry in order. False, with the reason, when the manifest's file
// has changed since it was opened (a reading ended with EndOfReading is not).
bool ReadPart(const OpenedBackup& opened, Selection& selection,
              const std::function<void(ManifestItem&)>& each, std::string& error) {
  selection.Restart();
  bool ended = false;
  const bool read = ReadManifestItems(
      opened.manifest,
      [&](ManifestItem&& item) {
        try {
          if (!selection.Take(item))
            return;
          if (item.key > selection.Count())  // each entry's state is kept by its key
            throw std::runtime_error("it holds other entries than when it was opened");
          each(item);
        } catch (const EndOfReading&) {
          ended = true;
          throw;
        }
      },
      error);
  return read || ended;
}

// What the first reading of the manifest, as the backup is opened, notes for a restore.
struct Survey {
  uint64_t bytes = 0;                             // of the files restored, for the progress line
  std::unordered_set<std::string> partialsTaken;  // names in the backup that end in the suffix
};

// A lane's sources of a remote backup: the stored files of its round, which arrive while the
// round is restored. A batch the library asks for is waited for; one that cannot be fetched
// fails the items, and calls `failed` with why.
class LaneFetcher : public SourceProvider {
 public:
  LaneFetcher(Host& host, std::function<const ManifestItem&(uint64_t)> itemOf,
              std::function<void(const std::string&)> failed)
      : m_host(host), m_itemOf(std::move(itemOf)), m_failed(std::move(failed)) {}

  // The files of the round restored next.
  void Use(ArrivingFiles* files) { m_files = files; }

  bool PrepareBatch(const std::vector<uint64_t>& keys) override { return Await(keys); }
  // The library asks for a part of a file alone in its batch (a large one), or for one that
  // did not arrive: it is read once all of the file's parts are here.
  bool PrepareOne(uint64_t key, const std::wstring&) override { return Await({key}); }

  // Waits for the stored files of the items `keys` names; false, with the items failed, when
  // they cannot be fetched. After a Ctrl-C, which stops the fetch too, the library is let on:
  // it stops before the next file it would open.
  bool Await(const std::vector<uint64_t>& keys) {
    std::vector<std::string> parts;
    for (const uint64_t key : keys)
      AppendPartNames(m_itemOf(key), parts);
    std::string error = "nothing is fetched";
    if ((m_files && m_files->Await(parts, error)) || g_interrupted)
      return true;
    for (const uint64_t key : keys)
      m_host.Result(key).reason = error;
    m_failed(error);
    return false;
  }

 private:
  ArrivingFiles* m_files = nullptr;
  Host& m_host;
  std::function<const ManifestItem&(uint64_t)> m_itemOf;
  std::function<void(const std::string&)> m_failed;
};

// One of the managers that restore at once, with its host.
struct Lane {
  Lane(RunState& state, size_t lane) : host(state, lane) {}
  Host host;
  std::unique_ptr<Manager> manager;      // made when first needed
  std::unique_ptr<LaneFetcher> fetcher;  // remote backups
};

// A file of a round of the restore: its entry and the name it is written under.
struct RoundFile {
  ManifestItem item;
  std::string partial;
};

// The restore reads the manifest twice after opening it, holding two bytes per entry and one
// round of files: folders are made and the files' data is restored round by round; then links
// and pipes are made, and each folder is finished once the reading has left it.
class RestoreRun {
 public:
  RestoreRun(const Options& options, const OpenedBackup& opened, Selection& selection,
             Survey&& survey, SystemCalls& system)
      : m_options(options),
        m_opened(opened),
        m_manifest(opened.manifest),
        m_selection(selection),
        m_target(fs::absolute(options.target)),
        m_entries(m_target, system, ::geteuid() == 0, static_cast<mode_t>(options.userUmask)),
        m_outcomes(selection.Count()),
        m_survey(std::move(survey)) {}

  int Run() {
    if (const int code = PrepareTarget(); code != kExitDone)
      return code;
    InstallInterruptHandlers();
    bool read = m_manifest.compress ? RestoreArchives() : RestoreFileData();
    if (read)
      read = m_interrupted ? Read([this](const ManifestItem& item) { Tally(item); })
                           : MakeOtherEntries();
    if (!read)
      return Refuse(kExitFailed, m_readError + "; the restore is not complete");
    return Summary();
  }

 private:
  int PrepareTarget() {
    std::error_code ec;
    if (Inside(m_target, m_opened.backup))
      return Refuse(kExitUsage,
                    Show(m_target) + " lies inside the backup folder; restore elsewhere");
    m_createdTarget = !fs::exists(m_target, ec);
    struct stat st {};
    if (!m_createdTarget && ::stat(m_target.c_str(), &st) == 0 &&
        ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 || st.st_uid != ::geteuid())) {
      // What this restore makes inside is private until it ends, but the target's own entries
      // are not: a user who swaps one of them for a link while the files go in could lead
      // them elsewhere.
      std::fprintf(stderr,
                   "warning: other users can change %s while the restore runs; restore into a "
                   "folder only you can change\n",
                   Show(m_target).c_str());
    }
    if (!MakePrivateFolder(m_target, m_options.userUmask, ec))  // private until the end
      return Refuse(kExitFailed, "cannot create " + Show(m_target) + ": " + ec.message());
    return kExitDone;
  }

  bool Read(const std::function<void(ManifestItem&)>& each) {
    return ReadPart(m_opened, m_selection, each, m_readError);
  }

  Outcome& OutcomeOf(const ManifestItem& item) { return m_outcomes[item.key - 1]; }

  void Fail(const ManifestItem& item, const std::string& reason) {
    OutcomeOf(item).state = Outcome::Failed;
    m_reasons[item.key] = reason;
  }

  bool Wanted(const ManifestItem& item) {
    return item.status == "done" && OutcomeOf(item).state == Outcome::Pending;
  }

  // Makes each folder as the reading meets it (before anything below it), so that each parent
  // is a real folder before anything goes into it; what lies below a folder that cannot be
  // made is not restored. Notes the files hard links lead to. False when the entry is done with.
  bool Enter(const ManifestItem& item) {
    std::string error;
    if (item.type == EntryType::HardLink)
      m_linkTargets.emplace(item.link, false);
    if (m_blocked.count(ParentOf(item.path))) {
      Fail(item, "its folder could not be made");
    } else if (item.IsFolder() && !m_entries.MakeFolder(item.path, error)) {
      Fail(item, error);
    }
    if (item.IsFolder() && OutcomeOf(item).state == Outcome::Failed)
      m_blocked.insert(item.path);
    return item.IsFile() && Wanted(item);
  }

  // The name a file is written under until it is checked: NAME.partial, or NAME.KEY.partial
  // where that is itself a name in the backup or another file's. Only names as long as the
  // system takes can be another file's (two long names cut to the same, or a cut one and one
  // that just fits): those are kept.
  std::string ChoosePartial(const ManifestItem& item) {
    std::string partial = PartialName(item.path);
    const size_t slash = partial.rfind('/');
    const bool atLimit = partial.size() - (slash == std::string::npos ? 0 : slash + 1) >= kNameMax;
    if (m_survey.partialsTaken.count(partial) ||
        (atLimit && !m_survey.partialsTaken.insert(partial).second)) {
      partial = PartialName(item.path, "." + std::to_string(item.key) + kPartialSuffix);
      m_survey.partialsTaken.insert(partial);
    }
    return partial;
  }

  // The managers restore every file into its NAME.partial, in rounds: this thread prepares
  // a batch of files for each manager (ItemsPerRun), and the managers restore theirs at once,
  // each on a thread of its own (--jobs); then each file is checked and put in place. A file
  // error the library lets through (a full disk) ends a manager's run: that file is failed,
  // and a new run goes on after it.
  bool RestoreFileData() {
    const size_t count = JobCount(m_options);
    RunState state(0, m_survey.bytes, !m_options.quiet, count);
    std::deque<Lane> lanes;  // a host stays where it is made
    for (size_t l = 0; l < count; ++l)
      AddLane(lanes, state);
    const size_t most = ItemsPerRun() * count;
    const bool read = Read([&](ManifestItem& item) {
      if (m_interrupted)
        throw EndOfReading();
      if (!Enter(item) || !PrepareFile(item))
        return;
      const std::string partial = ChoosePartial(item);
      if (!ClearPartial(item, partial))
        return;
      AddToRound(std::move(item), partial);
      if (RoundFull(most))
        RunRound(state, lanes);
    });
    if (read && !m_round.empty() && !m_interrupted)
      RunRound(state, lanes);
    state.FinishProgress();
    return read;
  }

  void AddLane(std::deque<Lane>& lanes, RunState& state) {
    Lane& lane = lanes.emplace_back(state, lanes.size());
    if (!m_opened.remote)
      return;
    lane.fetcher = std::make_unique<LaneFetcher>(
        lane.host, [this](uint64_t key) -> const ManifestItem& { return RoundFileOf(key).item; },
        [this](const std::string& error) { FetchFailed(error); });
    lane.host.SetSourceProvider(lane.fetcher.get());
  }

  // A file joins the round. A remote backup's round is fetched whole: it is kept to a volume
  // (or one larger file).
  void AddToRound(ManifestItem&& item, const std::string& partial) {
    m_roundBytes = (m_round.empty() ? 0 : m_roundBytes) + item.size;
    m_round.push_back({std::move(item), partial});
  }
  bool RemoteRoundFull() const { return m_opened.remote && m_roundBytes >= m_options.volume; }
  // A round's results are kept by key: it spans a bounded range of them, `most` files, or eight
  // times that for a remote backup: each of its rounds is one rclone call, which opens its
  // connections anew before its first file comes.
  bool RoundFull(size_t most) const {
    most *= m_opened.remote ? 8 : 1;
    return m_round.size() == most || m_round.back().item.key - m_round.front().item.key >= most ||
           RemoteRoundFull();
  }

  // The stored files of the round's files from `begin` to before `end`.
  std::vector<std::string> PartsOf(size_t begin, size_t end) const {
    std::vector<std::string> parts;
    for (size_t n = begin; n < end; ++n)
      AppendPartNames(m_round[n].item, parts);
    return parts;
  }

  // A remote backup's archives of the round, in one call; false, with the round failed and the
  // restore stopped, when they cannot be fetched.
  bool FetchRound(FetchedFiles& fetched) {
    std::string error;
    if (fetched.Get(PartsOf(0, m_round.size()), error))
      return true;
    for (const RoundFile& file : m_round)
      Fail(file.item, error);
    FetchFailed(error);
    m_interrupted = true;
    m_round.clear();
    return false;
  }

  // A remote backup whose files cannot be fetched: the restore stops.
  void FetchFailed(const std::string& error) {
    if (g_interrupted)
      return;  // rclone stopped by the same Ctrl-C
    const std::lock_guard lock(m_fetchMutex);
    if (!m_fetchFailed.exchange(true))
      m_fetchError = error;
  }

  // The stored file of a part as the library reads it (a remote backup's: once fetched).
  fs::path SourceOf(const std::string& part) const { return m_opened.Data() / part; }

  // One round: the managers restore its files, taking them a chunk at a time, the first on this
  // thread, and check each chunk's files and put them in place. A remote backup's round is
  // fetched in one rclone call while it is restored: each chunk waits for its own files only. A
  // fetch that fails fails the files it did not bring, and ends the restore after the round:
  // the files being restored meanwhile are finished, not cut short.
  void RunRound(RunState& state, std::deque<Lane>& lanes) {
    const uint64_t first = m_round.front().item.key;
    state.Window(first, m_round.back().item.key - first + 1);
    std::vector<char> stopped(lanes.size(), 0);
    std::optional<ArrivingFiles> arriving;
    if (m_opened.remote)
      StartFetch(arriving, lanes);
    Chunks chunks(m_round.size(), lanes.size());
    RunAtOnce(lanes.size(), [&](size_t l) {
      stopped[l] = RunLane(lanes[l], state, chunks, arriving ? &*arriving : nullptr);
    });
    for (Lane& lane : lanes)
      if (lane.fetcher)
        lane.fetcher->Use(nullptr);
    arriving.reset();  // what was not restored is deleted
    m_interrupted = g_interrupted || m_fetchFailed ||
                    std::find(stopped.begin(), stopped.end(), 1) != stopped.end();
    for (Chunks::Range chunk = chunks.Next(); chunk.first < chunk.end; chunk = chunks.Next())
      FinishFiles(state, chunk, true);  // those no manager reached, once the restore stopped
    m_round.clear();
  }

  // The fetch of a remote backup's round, started; a list that cannot be written fails it.
  // Files of one part that a read request of 32 KiB (rclone's for SFTP) brings whole, with
  // their header and tag when encrypted, are fetched apart from the others.
  void StartFetch(std::optional<ArrivingFiles>& arriving, std::deque<Lane>& lanes) {
    constexpr uint64_t kOneRead = 32 * 1024 - 1024;
    std::vector<std::string> small, other;
    for (const RoundFile& file : m_round)
      AppendPartNames(file.item,
                      file.item.parts == 1 && file.item.size <= kOneRead ? small : other);
    arriving.emplace(m_opened, "fetch.list", m_opened.Data());
    std::string error;
    if (!arriving->Start(small, other, error)) {
      FetchFailed(error);
      arriving.reset();
    }
    for (Lane& lane : lanes)
      lane.fetcher->Use(arriving ? &*arriving : nullptr);
  }

  // The chunks of a round a manager takes, each finished once restored; true when the restore
  // was stopped. The fetched files of a remote backup are deleted once their chunk is restored.
  bool RunLane(Lane& lane, RunState& state, Chunks& chunks, ArrivingFiles* arriving) {
    lane.host.Activate();
    bool stopped = false;
    for (Chunks::Range chunk = chunks.Next(); chunk.first < chunk.end && !stopped;
         chunk = chunks.Next()) {
      stopped = RunFiles(lane, chunk.first, chunk.end);
      if (arriving)
        arriving->Release(PartsOf(chunk.first, chunk.end));
      FinishFiles(state, chunk, stopped);
    }
    return stopped;
  }

  // Checks a chunk's files and puts them in place, one chunk at a time: while the managers go
  // on with the next ones. `stopped` when its run was cut short.
  void FinishFiles(RunState& state, Chunks::Range chunk, bool stopped) {
    const std::lock_guard lock(m_finishMutex);
    stopped = stopped || g_interrupted || m_fetchFailed;
    for (size_t n = chunk.first; n < chunk.end; ++n)
      FinishFile(m_round[n], *state.Result(m_round[n].item.key), stopped);
  }

  // The round's files from `begin` to before `end`, restored by a lane's manager, run after run
  // (a run after a library failure starts from the file after it); true when stopped.
  bool RunFiles(Lane& lane, size_t begin, size_t end) {
    std::vector<size_t> files(end - begin);  // positions in the round
    std::iota(files.begin(), files.end(), begin);
    bool stopped = false;
    for (size_t from = 0; from < files.size() && !stopped;)
      from = RunLibrary(lane, files, from, stopped);
    return stopped;
  }

  // One run of the library over files[from] and those after it; returns where the next run
  // starts (the end when this one finished).
  // A manager's run after a library failure starts from a new one.
  size_t RunLibrary(Lane& lane, const std::vector<size_t>& files, size_t from, bool& stopped) {
    if (!lane.manager)
      lane.manager = NewManager(lane);
    Manager& manager = *lane.manager;
    Host& host = lane.host;
    manager.ClearActionData();
    // Every encrypted file is announced to the engine just before the library opens it, and a
    // file of version 2 comes back with its tag, whatever its manifest says.
    const bool encrypted = m_opened.password.has_value();
    host.DriveManager(&manager, encrypted);
    for (size_t n = from; n < files.size(); ++n)
      AddParts(manager, lane, m_round[files[n]]);
    manager.InitAction();
    host.SetItemCheck([&](uint64_t key) {
      if (g_interrupted)
        return 0;  // a fetch stopped by the same Ctrl-C may not have brought it: not reached
      if (encrypted &&
          !AnnounceStoredFile(*manager.Engine(), SourceOf(RoundFileOf(key).item.stored),
                              m_manifest.salt)) {
        host.Result(key).failed = true;  // it is restored all the same, and set aside
        host.Result(key).reason = kNotOfThisBackup;
      }
      return 1;
    });
    size_t next = files.size();
    int status = 0;
    try {
      status = manager.Restore(0, 0);
    } catch (const CException& e) {
      ItemResult& r = host.Result(host.CurrentKey());
      r.failed = true;
      r.reason = e.what();
      // The file after the failed one; always onward.
      const auto failed =
          std::find_if(files.begin() + static_cast<std::ptrdiff_t>(from), files.end(),
                       [&](size_t n) { return m_round[n].item.key == host.CurrentKey(); });
      next = failed == files.end() ? from + 1 : static_cast<size_t>(failed - files.begin()) + 1;
      lane.manager.reset();
    }
    host.DriveManager(nullptr, false);
    host.SetItemCheck({});
    stopped = status == OrvCopy::StatusStopped;
    return next;
  }

  std::unique_ptr<Manager> NewManager(Lane& lane) const {
    Host& host = lane.host;
    auto manager = std::make_unique<Manager>();
    manager->Initialize();
    manager->SetSourceRootFolder(FileNameToWide(m_opened.Data().native()).c_str());
    manager->SetDestRootFolder(FileNameToWide(m_target.native()).c_str());
    manager->SetCallBack(&host);
    manager->SetBufferCapacity(m_manifest.buffer, 0);  // a body decrypts only with its capacity
    manager->m_bPipelinedCopy = 1;  // large files: written while the next blocks are read
    if (m_opened.password)
      ApplyPassword(*manager, *m_opened.password, m_manifest.encrypt);
    if (m_opened.remote)  // fetched by this host as the library asks, a batch at a time
      manager->SetFlags(OrvCopy::JobFlagHostProvidesSource | OrvCopy::JobFlagBatchSources);
    return manager;
  }

  const RoundFile& RoundFileOf(uint64_t key) const {
    return *std::lower_bound(m_round.begin(), m_round.end(), key,
                             [](const RoundFile& f, uint64_t k) { return f.item.key < k; });
  }

  // Whether a file can be restored: its stored parts are there, and its NAME.partial is free
  // to be written. A file that cannot is failed.
  bool PrepareFile(const ManifestItem& item) {
    for (int p = 0; p < item.parts && !m_opened.remote; ++p) {
      if (const std::string problem = m_opened.StoredProblem(PartName(item.stored, p));
          !problem.empty()) {
        Fail(item, problem);
        return false;
      }
    }
    return true;
  }

  // Clears the place of a file's NAME.partial; false, with the file failed, when it cannot be.
  bool ClearPartial(const ManifestItem& item, const std::string& partial) {
    std::string error;
    if (m_entries.ClearPath(partial, error))
      return true;
    Fail(item, error);
    return false;
  }

  // The parts of one file as library items, written into its NAME.partial.
  void AddParts(Manager& manager, const Lane& lane, const RoundFile& file) {
    const ManifestItem& item = file.item;
    const fs::path partialPath(file.partial);
    const std::wstring folder = FileNameToWide(partialPath.parent_path().native());
    const std::wstring name = FileNameToWide(partialPath.filename().native());
    const std::vector<uint64_t> sizes = StoredSizes(lane, item);
    // Parts after the first are appended in plain; an encrypted first part is sized by the
    // plain bytes the later parts do not hold.
    const uint64_t later = std::accumulate(sizes.begin() + 1, sizes.end(), uint64_t{0});
    const bool encrypted = m_manifest.encrypt != 0;
    // The library asks the host for an encrypted file under its name without a ".venc" at the
    // end: a remote backup's parts, fetched under their stored names, are given one more.
    const std::string suffix(encrypted && m_opened.remote ? kEncryptedExtension : "");
    for (int p = 0; p < item.parts; ++p) {
      uint32_t flags = 0;
      if (p > 0)
        flags |= OrvCopy::ArchiveItemFlagAppend;
      if (p + 1 < item.parts)
        flags |= OrvCopy::ArchiveItemFlagMoreParts;
      uint64_t size = sizes[static_cast<size_t>(p)];
      if (p == 0 && encrypted)
        size = item.size >= later ? item.size - later : 0;
      manager.AddFile(FileNameToWide(PartName(item.stored, p) + suffix), folder, name, item.key,
                      encrypted ? 1 : 0, size, flags);
    }
  }

  // The sizes of a file's stored parts: one part holds the file, several are measured where
  // the lane's manager reads them (a remote backup's once they have arrived).
  std::vector<uint64_t> StoredSizes(const Lane& lane, const ManifestItem& item) const {
    if (item.parts == 1)
      return {item.size};
    if (lane.fetcher)
      lane.fetcher->Await({item.key});
    std::vector<uint64_t> sizes;
    std::error_code ec;
    for (int p = 0; p < item.parts; ++p)
      sizes.push_back(fs::file_size(SourceOf(PartName(item.stored, p)), ec));
    return sizes;
  }

  // Checks a file the library restored and puts it in place. Once the restore is `stopped`, a
  // file the library did not reach is left as it is.
  void FinishFile(const RoundFile& file, const ItemResult& r, bool stopped) {
    const ManifestItem& item = file.item;
    if (!r.ended && !r.failed && stopped)
      return;  // not reached, or cut short by the stop: at most a .partial stands
    Outcome& outcome = OutcomeOf(item);
    std::error_code ec;
    std::string reason = r.reason;
    bool ok = r.ended && !r.failed;
    if (ok && fs::file_size(m_target / file.partial, ec) != item.size) {
      ok = false;
      reason = "it came back with the wrong size";
    }
    if (ok && (!item.tag.empty() || !r.tag.empty())) {
      ok = EqualSecret(r.tag, item.tag);
      outcome.check = Outcome::Tag;
      if (!ok)
        reason = item.tag.empty() ? kTagNotKept : kTagMismatch;
    } else if (ok && item.crc) {
      // A plain item's CRC covers all its data only when it has one part; a joined item is
      // read back whole.
      const std::optional<uint32_t> crc = item.parts == 1 ? std::optional<uint32_t>(r.crc)
                                                          : FileRegister({m_target / file.partial});
      ok = crc && *crc == *item.crc;
      outcome.check = Outcome::Crc;
      if (!ok)
        reason = "it was changed or damaged in the backup (its CRC-32 does not match)";
    } else if (ok) {
      outcome.check = Outcome::Size;
    }
    if (!ok)
      return Fail(item, reason.empty() ? "it could not be restored" : reason);
    Place(item, file.partial);
  }

  void Place(const ManifestItem& item, const std::string& partial) {
    std::string error;
    const bool placed = m_entries.PlaceFile(partial, item, error);
    if (!error.empty())
      Fail(item, error);
    if (placed)
      OutcomeOf(item).state = Outcome::Restored;
    if (placed && m_options.verbose)
      std::fprintf(stderr, "restored: %s\n", Escape(item.path).c_str());
  }

  // Compressed backups: each archive is extracted into NAME.partial by orvcopy, in rounds as
  // the library's files are (--jobs).
  bool RestoreArchives() {
    std::vector<std::unique_ptr<orv::CEncryption>> engines(JobCount(m_options));
    for (auto& engine : engines) {
      if (m_opened.password && m_manifest.version >= 2) {
        engine = std::make_unique<orv::CEncryption>();
        ConfigureEngine(*engine, *m_opened.password, m_manifest.encrypt, m_manifest.salt);
      }
    }
    const size_t most = ItemsPerRun() * engines.size();
    const bool read = Read([&](ManifestItem& item) {
      if (m_interrupted)
        throw EndOfReading();
      if (!Enter(item))
        return;
      if (const std::string problem = m_opened.remote ? "" : m_opened.StoredProblem(item.stored);
          !problem.empty())
        return Fail(item, problem);
      const std::string partial = ChoosePartial(item);
      if (!ClearPartial(item, partial))
        return;
      AddToRound(std::move(item), partial);
      if (m_round.size() == most || RemoteRoundFull())
        ExtractRound(engines);
    });
    if (read && !m_round.empty() && !m_interrupted)
      ExtractRound(engines);
    return read;
  }

  // One round of archives: the lanes extract them at once, a chunk at a time, each with an
  // engine of its own for their tags; then each is checked and put in place on this thread.
  void ExtractRound(const std::vector<std::unique_ptr<orv::CEncryption>>& engines) {
    FetchedFiles fetched(m_opened, "archives.list");
    if (m_opened.remote && !FetchRound(fetched))
      return;
    enum : uint8_t { NotReached, Extracted, Unreadable };
    std::vector<uint8_t> states(m_round.size(), NotReached);
    std::vector<std::string> tags(m_round.size());
    Chunks chunks(m_round.size(), engines.size());
    RunAtOnce(engines.size(), [&](size_t l) {
      for (Chunks::Range chunk = chunks.Next(); chunk.first < chunk.end && !g_interrupted;
           chunk = chunks.Next()) {
        for (size_t n = chunk.first; n < chunk.end; ++n) {
          const fs::path stored = m_opened.Data() / m_round[n].item.stored;
          const fs::path out = m_target / m_round[n].partial;
          states[n] =
              Extract(stored, m_opened.password.value_or(""), &out) ? Extracted : Unreadable;
          if (engines[l] && states[n] == Extracted)
            tags[n] = HostTagOfFile(*engines[l], stored);
        }
      }
    });
    m_interrupted = g_interrupted;
    for (size_t n = 0; n < m_round.size(); ++n) {
      const ManifestItem& item = m_round[n].item;
      if (states[n] == Unreadable) {
        Fail(item, "the archive could not be read (damaged, or not this backup's)");
      } else if (states[n] == Extracted) {
        OutcomeOf(item).check = engines.front() ? Outcome::Tag : Outcome::Crc;
        if (engines.front() && !EqualSecret(tags[n], item.tag))
          Fail(item, kTagMismatch);
        else
          Place(item, m_round[n].partial);
      }
    }
    m_round.clear();
  }

  // Hard links, pipes and symbolic links, after every file: a link made earlier could
  // otherwise lead a later write out of the target. Each folder is finished (owner, mode and
  // time) once the reading has left it, so after all its content; the target last, when this
  // restore made it. Each entry is tallied once its outcome is final.
  bool MakeOtherEntries() {
    std::vector<ManifestItem> open;      // the folders the reading is in
    std::vector<ManifestItem> deferred;  // folders left that their owner cannot enter or write
    const auto leave = [&] {
      if (Restrictive(open.back()))
        deferred.push_back(std::move(open.back()));  // deepest first, as they are left
      else
        FinishFolder(open.back());
      open.pop_back();
    };
    const bool read = Read([&](ManifestItem& item) {
      while (!open.empty() && !IsBelow(item.path, open.back().path))
        leave();
      if (item.IsFolder() && OutcomeOf(item).state != Outcome::Failed) {
        open.push_back(item);
        return;
      }
      if (item.IsFile()) {
        if (const auto target = m_linkTargets.find(item.path); target != m_linkTargets.end())
          target->second = OutcomeOf(item).state == Outcome::Restored;
      } else if (!item.IsFolder() && Wanted(item)) {
        MakeOtherEntry(item);
      }
      Tally(item);
    });
    if (!read)
      return false;
    while (!open.empty())
      leave();
    // Hard links made after them could need to go through them.
    for (const ManifestItem& folder : deferred)
      FinishFolder(folder);
    std::string error;
    if (m_createdTarget && m_manifest.rootMeta &&
        !m_entries.FinishFolder("", m_manifest.rootMeta, m_manifest.rootMtime, error)) {
      ReportFailure(m_target.native(), error);
      m_rootFailed = true;
    }
    return true;
  }

  // A folder whose own mode does not let its owner in (read, write and enter): it is finished
  // after every link is made.
  static bool Restrictive(const ManifestItem& folder) {
    return folder.meta && (folder.meta->mode & S_IRWXU) != S_IRWXU;
  }

  void MakeOtherEntry(const ManifestItem& item) {
    std::string error;
    bool made = false;
    if (item.type == EntryType::HardLink) {
      // The manifest was checked: a hard link leads to an earlier file, whose outcome was
      // noted by its exact path as the reading went past it.
      const auto file = m_linkTargets.find(item.link);
      made = file != m_linkTargets.end() && file->second
                 ? m_entries.MakeHardLink(item, error)
                 : (error = "the file it is a link to was not restored", false);
    } else if (item.type == EntryType::Fifo) {
      made = m_entries.MakeFifo(item, error);
    } else {
      made = m_entries.MakeSymlink(item, error);
    }
    if (!error.empty())
      Fail(item, error);
    else if (made)
      OutcomeOf(item).state = Outcome::Restored;
  }

  void FinishFolder(const ManifestItem& item) {
    std::string error;
    if (m_entries.FinishFolder(item.path, item.meta, item.mtime, error)) {
      OutcomeOf(item).state = Outcome::Restored;
    } else {
      Fail(item, error);
    }
    Tally(item);
  }

  // Counts an entry whose outcome is final; a failure is named.
  void Tally(const ManifestItem& item) {
    const Outcome& outcome = OutcomeOf(item);
    if (item.status != "done") {
      m_counts.notBackedUp += item.IsFolder() ? 0 : 1;
      return;
    }
    m_counts.files += item.IsFile() ? 1 : 0;
    if (outcome.state == Outcome::Failed) {
      ++m_counts.failed;
      ReportFailure(item.path, m_reasons[item.key]);
    } else if (outcome.state == Outcome::Restored && item.IsFile()) {
      ++m_counts.restored;
      ++m_counts.byCheck[outcome.check];
    } else if (outcome.state == Outcome::Restored && !item.IsFolder()) {
      ++m_counts.others;
    }
  }

  int Summary() {
    const Counts& c = m_counts;
    if (m_fetchFailed)
      Refuse(kExitFailed, m_fetchError + "; the restore stopped");
    std::string summary = (m_fetchFailed   ? "stopped: restored "
                           : m_interrupted ? "interrupted: restored "
                                           : "restored ") +
                          std::to_string(c.restored) + " of " + std::to_string(c.files) +
                          " files (" + std::to_string(c.byCheck[Outcome::Tag]) +
                          " verified by keyed tag, " + std::to_string(c.byCheck[Outcome::Crc]) +
                          " by CRC-32, " + std::to_string(c.byCheck[Outcome::Size]) +
                          " checked by size only)";
    if (c.others)
      summary += ", " + std::to_string(c.others) + " links and pipes";
    if (c.failed)
      summary += ", " + std::to_string(c.failed) + " failed";
    if (c.notBackedUp)
      summary += "; " + std::to_string(c.notBackedUp) + " entries were not in the backup";
    Say(m_options, summary + FetchedNote(m_opened));
    if (m_fetchFailed)
      return kExitFailed;
    if (m_interrupted)
      return kExitInterrupted;
    return c.failed || m_rootFailed ? kExitFailed : kExitDone;
  }

  struct Counts {
    size_t files = 0, restored = 0, others = 0, failed = 0, notBackedUp = 0;
    size_t byCheck[4] = {};
  };

  const Options& m_options;
  const OpenedBackup& m_opened;
  const Manifest& m_manifest;
  Selection& m_selection;
  const fs::path m_target;
  EntryMaker m_entries;
  std::vector<Outcome> m_outcomes;                      // by key - 1
  std::unordered_map<uint64_t, std::string> m_reasons;  // by key: why it failed
  Survey m_survey;  // the partial names taken grow with the files' that were cut to fit
  std::unordered_set<std::string> m_blocked;            // folders that could not be made
  std::unordered_map<std::string, bool> m_linkTargets;  // files hard links lead to: restored?
  std::vector<RoundFile> m_round;
  uint64_t m_roundBytes = 0;  // of the round's files
  std::string m_readError;
  bool m_createdTarget = false;
  bool m_interrupted = false;
  bool m_rootFailed = false;
  Counts m_counts;
  std::mutex m_finishMutex;                 // one chunk's files are finished at a time
  std::atomic<bool> m_fetchFailed = false;  // a remote backup's files cannot be fetched
  std::mutex m_fetchMutex;                  // guards what follows
  std::string m_fetchError;
};

// A trial: the library opens and measures every stored file, a batch at a time, and nothing
// is written.
class Trial {
 public:
  Trial(const Options& options, const OpenedBackup& opened, Selection& selection)
      : m_options(options),
        m_opened(opened),
        m_selection(selection),
        m_state(0, 0, !options.quiet),
        m_host(m_state, 0) {}

  int Run() {
    m_host.Activate();
    InstallInterruptHandlers();
    std::string error;
    const size_t most = ItemsPerRun();
    const bool read = ReadPart(
        m_opened, m_selection,
        [&](ManifestItem& item) {
          if (m_stopped)
            throw EndOfReading();
          if (!item.IsFile() || item.status != "done")
            return;
          ++m_files;
          m_bytes += item.size;
          m_batch.push_back(std::move(item));
          // A remote backup's batch is fetched whole: it is kept to a volume.
          if (m_batch.size() == most || m_batch.back().key - m_batch.front().key >= most ||
              (m_opened.remote && m_bytes >= m_options.volume))
            RunBatch();
        },
        error);
    if (read && !m_batch.empty() && !m_stopped)
      RunBatch();
    m_state.FinishProgress();
    if (!read)
      return Refuse(kExitFailed, error);
    Say(m_options, "opened " + std::to_string(m_files - m_failed) + " of " +
                       std::to_string(m_files) + " stored files" +
                       (m_failed ? ", " + std::to_string(m_failed) + " failed" : ""));
    if (m_stopped)
      return m_fetchFailed ? kExitFailed : kExitInterrupted;
    return m_failed ? kExitFailed : kExitDone;
  }

 private:
  void RunBatch() {
    // A remote backup's files of the batch are fetched with one call, and go with the batch.
    FetchedFiles fetched(m_opened, "trial.list");
    std::vector<std::string> parts;
    for (const ManifestItem& item : m_batch) {
      if (m_opened.remote)
        AppendPartNames(item, parts);
    }
    if (std::string error; !fetched.Get(parts, error)) {
      m_fetchFailed = !g_interrupted;  // else rclone was stopped by the same Ctrl-C
      if (m_fetchFailed)
        Refuse(kExitFailed, error);
      m_stopped = true;
      return;
    }
    Manager manager;
    manager.Initialize();
    manager.SetSourceRootFolder(FileNameToWide(m_opened.Data().native()).c_str());
    manager.SetCallBack(&m_host);
    for (const ManifestItem& item : m_batch) {
      for (int p = 0; p < item.parts; ++p)
        manager.AddFile(FileNameToWide(PartName(item.stored, p)), L"", L"", item.key, 0, 0, 0);
    }
    const uint64_t first = m_batch.front().key;
    m_state.Window(first, m_batch.back().key - first + 1);
    m_stopped = manager.Restore(1, 0) == OrvCopy::StatusStopped;
    for (const ManifestItem& item : m_batch) {
      const ItemResult& r = m_host.Result(item.key);
      if ((r.failed || !r.ended) && !m_stopped) {
        ++m_failed;
        ReportFailure(item.path, r.reason.empty() ? "its stored file cannot be opened" : r.reason);
      }
    }
    m_batch.clear();
    m_bytes = 0;
  }

  const Options& m_options;
  const OpenedBackup& m_opened;
  Selection& m_selection;
  RunState m_state;
  Host m_host;
  std::vector<ManifestItem> m_batch;
  uint64_t m_bytes = 0;
  size_t m_files = 0, m_failed = 0;
  bool m_stopped = false, m_fetchFailed = false;
};

}  // namespace

int Restore(const Options& options, SystemCalls& system) {
  OpenedBackup opened;
  Selection selection(options.paths);
  Survey survey;
  const auto note = [&](const ManifestItem& item) {
    if (selection.Survey(item) && item.IsFile() && item.status == "done")
      survey.bytes += item.size;
    if (EndsWith(item.path, kPartialSuffix))
      survey.partialsTaken.insert(item.path);
  };
  if (const int code = OpenBackup(options, opened, note); code != kExitDone)
    return code;
  if (std::string error; !selection.Check(error))
    return Refuse(kExitFailed, error);
  LogFile log(options.logFile);
  if (options.trial)
    return Trial(options, opened, selection).Run();
  return RestoreRun(options, opened, selection, std::move(survey), system).Run();
}

int Restore(const Options& options) {
  SystemCalls system;
  return Restore(options, system);
}

}  // namespace orvcopy
