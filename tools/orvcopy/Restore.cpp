// orvcopy restore: the tree comes back with what every entry was. Folders are made (or checked)
// first, so that no write goes through a link; file data is written under NAME.partial and
// put in place only once it is whole and checked; links and pipes come after the files, and
// every folder gets its mode and time once its content is in place.
#include "BackupFolder.h"
#include "Checks.h"
#include "Common.h"
#include "Entries.h"
#include "Host.h"
#include "PathSet.h"
#include "Selection.h"
#include "Text.h"

#include <OrvCopy/OrvCopyStrings.h>
#include <OrvCopy/external/OrvFramework.h>

#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <memory>
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

class RestoreRun {
 public:
  RestoreRun(const Options& options, const OpenedBackup& opened, SystemCalls& system)
      : m_options(options),
        m_opened(opened),
        m_manifest(opened.manifest),
        m_target(fs::absolute(options.target)),
        m_entries(m_target, system, ::geteuid() == 0, static_cast<mode_t>(options.userUmask)),
        m_outcomes(m_manifest.items.size()) {}

  int Run() {
    if (const int code = PrepareTarget(); code != kExitDone)
      return code;
    ChoosePartials();
    MakeFolders();
    if (m_manifest.compress) {
      RestoreArchives();
    } else {
      RestoreFileData();
    }
    if (!m_interrupted) {
      MakeOtherEntries();
      FinishFolders();
    }
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

  void Fail(size_t index, const std::string& reason) {
    m_outcomes[index].state = Outcome::Failed;
    m_reasons[index] = reason;
  }

  bool Wanted(size_t index) const {
    return m_manifest.items[index].status == "done" && m_outcomes[index].state == Outcome::Pending;
  }

  // The name each file is written under until it is checked: NAME.partial, or NAME.KEY.partial
  // where that is itself a name in the backup or another file's.
  void ChoosePartials() {
    PathSet taken;
    for (const ManifestItem& item : m_manifest.items)
      taken.Insert(item.path, PathSet::Other);
    m_keyedPartial.resize(m_manifest.items.size());
    for (size_t i = 0; i < m_manifest.items.size(); ++i) {
      const ManifestItem& item = m_manifest.items[i];
      // By hash: two names with the same hash only make a file take the longer name.
      if (item.IsFile() && !taken.Insert(PartialName(item.path), PathSet::Other)) {
        m_keyedPartial[i] = true;
        taken.Insert(Partial(i), PathSet::Other);
      }
    }
  }

  std::string Partial(size_t index) const {
    const ManifestItem& item = m_manifest.items[index];
    return m_keyedPartial[index]
               ? PartialName(item.path, "." + std::to_string(item.key) + ".partial")
               : PartialName(item.path);
  }

  // Every folder of the backup, in order, so that each parent is a real folder before anything
  // goes into it. What lies below a folder that cannot be made is not restored.
  void MakeFolders() {
    std::unordered_set<std::string> blocked;
    for (size_t i = 0; i < m_manifest.items.size(); ++i) {
      const ManifestItem& item = m_manifest.items[i];
      std::string error;
      if (blocked.count(ParentOf(item.path))) {
        Fail(i, "its folder could not be made");
      } else if (item.IsFolder() && !m_entries.MakeFolder(item.path, error)) {
        Fail(i, error);
      }
      if (item.IsFolder() && m_outcomes[i].state == Outcome::Failed)
        blocked.insert(item.path);
    }
  }

  // The managers restore every file into its NAME.partial, in rounds: this thread prepares
  // a batch of files for each manager (ItemsPerRun), and the managers restore theirs at once,
  // each on a thread of its own (--jobs). A file error the library lets through (a full disk)
  // ends a manager's run: that file is failed, and a new run goes on after it.
  void RestoreFileData() {
    uint64_t total = 0;
    for (const ManifestItem& item : m_manifest.items)
      total += item.size;
    const size_t lanes = JobCount(m_options);
    RunState state(m_manifest.items.size(), total, !m_options.quiet, lanes);
    std::vector<std::unique_ptr<Host>> hosts;
    for (size_t l = 0; l < lanes; ++l)
      hosts.push_back(std::make_unique<Host>(state, l));
    InstallInterruptHandlers();
    const size_t batch = ItemsPerRun();
    for (size_t next = 0; next < m_manifest.items.size() && !m_interrupted;) {
      std::vector<std::vector<size_t>> round(lanes);
      for (size_t taken = 0; next < m_manifest.items.size() && taken < batch * lanes; ++next) {
        if (m_manifest.items[next].IsFile() && Wanted(next) && PrepareFile(next))
          round[taken++ % lanes].push_back(next);
      }
      RunRound(hosts, round);
    }
    state.FinishProgress();
    for (size_t i = 0; i < m_manifest.items.size(); ++i) {
      if (m_manifest.items[i].IsFile() && Wanted(i))
        FinishFile(i, *state.Result(i + 1));
    }
  }

  // One round: every manager restores its files, the first on this thread.
  void RunRound(const std::vector<std::unique_ptr<Host>>& hosts,
                const std::vector<std::vector<size_t>>& round) {
    std::vector<char> stopped(round.size(), 0);
    RunAtOnce(round.size(), [&](size_t l) { stopped[l] = RunLane(*hosts[l], round[l]); });
    m_interrupted = g_interrupted || std::find(stopped.begin(), stopped.end(), 1) != stopped.end();
  }

  // A manager's files of a round, run after run; true when the restore was stopped.
  bool RunLane(Host& host, const std::vector<size_t>& files) {
    host.Activate();
    bool stopped = false;
    for (size_t from = 0; from < files.size() && !stopped;)
      from = RunLibrary(host, files, from, stopped);
    return stopped;
  }

  // One run of the library over files[from] and those after it; returns where the next run
  // starts (the end when this one finished).
  size_t RunLibrary(Host& host, const std::vector<size_t>& files, size_t from, bool& stopped) {
    Manager manager;
    manager.Initialize();
    manager.SetSourceRootFolder(FileNameToWide(m_opened.Data().native()).c_str());
    manager.SetDestRootFolder(FileNameToWide(m_target.native()).c_str());
    manager.SetCallBack(&host);
    manager.SetBufferCapacity(m_manifest.buffer, 0);  // a body decrypts only with its capacity
    manager.m_bPipelinedCopy = 1;  // large files: written while the next blocks are read
    if (m_opened.password)
      ApplyPassword(manager, *m_opened.password, m_manifest.encrypt);
    // Every encrypted file is announced to the engine just before the library opens it, and a
    // file of version 2 comes back with its tag, whatever its manifest says.
    const bool encrypted = m_opened.password.has_value();
    host.DriveManager(&manager, encrypted);
    for (size_t n = from; n < files.size(); ++n)
      AddParts(manager, files[n]);
    manager.InitAction();
    host.SetItemCheck([&](uint64_t key) {
      if (encrypted &&
          !AnnounceStoredFile(*manager.Engine(), m_opened.Data() / m_manifest.items[key - 1].stored,
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
      // The file after the failed one (keys are indexes + 1); always onward.
      const auto failed = std::find(files.begin() + static_cast<std::ptrdiff_t>(from), files.end(),
                                    host.CurrentKey() - 1);
      next = failed == files.end() ? from + 1 : static_cast<size_t>(failed - files.begin()) + 1;
    }
    host.DriveManager(nullptr, false);
    host.SetItemCheck({});
    stopped = status == OrvCopy::StatusStopped;
    return next;
  }

  // Whether a file can be restored: its stored parts are there, and its NAME.partial is free
  // to be written. A file that cannot is failed.
  bool PrepareFile(size_t index) {
    const ManifestItem& item = m_manifest.items[index];
    for (int p = 0; p < item.parts; ++p) {
      if (const std::string problem = m_opened.StoredProblem(PartName(item.stored, p));
          !problem.empty()) {
        Fail(index, problem);
        return false;
      }
    }
    std::string error;
    if (!m_entries.ClearPath(Partial(index), error)) {
      Fail(index, error);
      return false;
    }
    return true;
  }

  // The parts of one file as library items, written into its NAME.partial.
  void AddParts(Manager& manager, size_t index) {
    const ManifestItem& item = m_manifest.items[index];
    const fs::path partialPath(Partial(index));
    const std::wstring folder = FileNameToWide(partialPath.parent_path().native());
    const std::wstring name = FileNameToWide(partialPath.filename().native());
    const fs::path data = m_opened.Data();
    // Parts after the first are appended in plain; an encrypted first part is sized by the
    // plain bytes the later parts do not hold.
    std::error_code ec;
    uint64_t later = 0;
    for (int p = 1; p < item.parts; ++p)
      later += fs::file_size(data / PartName(item.stored, p), ec);
    const bool encrypted = m_manifest.encrypt != 0;
    for (int p = 0; p < item.parts; ++p) {
      uint32_t flags = 0;
      if (p > 0)
        flags |= OrvCopy::ArchiveItemFlagAppend;
      if (p + 1 < item.parts)
        flags |= OrvCopy::ArchiveItemFlagMoreParts;
      const std::string part = PartName(item.stored, p);
      uint64_t size = fs::file_size(data / part, ec);
      if (p == 0 && encrypted)
        size = item.size >= later ? item.size - later : 0;
      manager.AddFile(FileNameToWide(part), folder, name, item.key, encrypted ? 1 : 0, size, flags);
    }
  }

  // Checks a file the library restored and puts it in place.
  void FinishFile(size_t index, const ItemResult& r) {
    const ManifestItem& item = m_manifest.items[index];
    const std::string partial = Partial(index);
    if (!r.ended && !r.failed && m_interrupted)
      return;  // not reached, or cut short by the stop: at most a .partial stands
    Outcome& outcome = m_outcomes[index];
    std::error_code ec;
    std::string reason = r.reason;
    bool ok = r.ended && !r.failed;
    if (ok && fs::file_size(m_target / partial, ec) != item.size) {
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
      const std::optional<uint32_t> crc =
          item.parts == 1 ? std::optional<uint32_t>(r.crc) : FileRegister({m_target / partial});
      ok = crc && *crc == *item.crc;
      outcome.check = Outcome::Crc;
      if (!ok)
        reason = "it was changed or damaged in the backup (its CRC-32 does not match)";
    } else if (ok) {
      outcome.check = Outcome::Size;
    }
    if (!ok)
      return Fail(index, reason.empty() ? "it could not be restored" : reason);
    Place(index, partial);
  }

  void Place(size_t index, const std::string& partial) {
    std::string error;
    const bool placed = m_entries.PlaceFile(partial, m_manifest.items[index], error);
    if (!error.empty())
      Fail(index, error);
    if (placed)
      m_outcomes[index].state = Outcome::Restored;
    if (placed && m_options.verbose)
      std::fprintf(stderr, "restored: %s\n", Escape(m_manifest.items[index].path).c_str());
  }

  // Compressed backups: each archive is extracted into NAME.partial by orvcopy.
  void RestoreArchives() {
    std::optional<orv::CEncryption> engine;
    if (m_opened.password && m_manifest.version >= 2) {
      engine.emplace();
      ConfigureEngine(*engine, *m_opened.password, m_manifest.encrypt, m_manifest.salt);
    }
    for (size_t i = 0; i < m_manifest.items.size(); ++i) {
      const ManifestItem& item = m_manifest.items[i];
      if (!item.IsFile() || !Wanted(i))
        continue;
      if (g_interrupted) {
        m_interrupted = true;
        break;
      }
      const fs::path stored = m_opened.Data() / item.stored;
      const std::string partial = Partial(i);
      std::string error = m_opened.StoredProblem(item.stored);
      if (!error.empty() || !m_entries.ClearPath(partial, error)) {
        Fail(i, error);
        continue;
      }
      const fs::path out = m_target / partial;
      if (!Extract(stored, m_opened.password.value_or(""), &out)) {
        Fail(i, "the archive could not be read (damaged, or not this backup's)");
        continue;
      }
      m_outcomes[i].check = engine ? Outcome::Tag : Outcome::Crc;
      if (engine && !EqualSecret(HostTagOfFile(*engine, stored), item.tag)) {
        Fail(i, kTagMismatch);
        continue;
      }
      Place(i, partial);
    }
  }

  // Hard links, pipes and symbolic links, after every file: a link made earlier could
  // otherwise lead a later write out of the target.
  void MakeOtherEntries() {
    std::unordered_map<std::string, size_t> files;  // the files hard links lead to, by path
    for (size_t i = 0; i < m_manifest.items.size(); ++i) {
      const ManifestItem& item = m_manifest.items[i];
      if (item.IsFile())
        files.emplace(item.path, i);
      if (item.IsFile() || item.IsFolder() || !Wanted(i))
        continue;
      std::string error;
      bool made = false;
      if (item.type == EntryType::HardLink) {
        // The manifest was checked: a hard link leads to an earlier file, which is looked up
        // by its exact path here.
        const auto file = files.find(item.link);
        made = file != files.end() && m_outcomes[file->second].state == Outcome::Restored
                   ? m_entries.MakeHardLink(item, error)
                   : (error = "the file it is a link to was not restored", false);
      } else if (item.type == EntryType::Fifo) {
        made = m_entries.MakeFifo(item, error);
      } else {
        made = m_entries.MakeSymlink(item, error);
      }
      if (!error.empty())
        Fail(i, error);
      else if (made)
        m_outcomes[i].state = Outcome::Restored;
    }
  }

  // Owner, mode and time of every folder, deepest first, once its content is in place; and
  // of the target itself when this restore made it.
  void FinishFolders() {
    for (size_t i = m_manifest.items.size(); i-- > 0;) {
      const ManifestItem& item = m_manifest.items[i];
      if (!item.IsFolder() || m_outcomes[i].state == Outcome::Failed)
        continue;
      std::string error;
      if (m_entries.FinishFolder(item.path, item.meta, item.mtime, error)) {
        m_outcomes[i].state = Outcome::Restored;
      } else {
        Fail(i, error);
      }
    }
    std::string error;
    if (m_createdTarget && m_manifest.rootMeta &&
        !m_entries.FinishFolder("", m_manifest.rootMeta, m_manifest.rootMtime, error)) {
      ReportFailure(m_target.native(), error);
      m_rootFailed = true;
    }
  }

  int Summary() {
    size_t files = 0, restored = 0, others = 0, failed = 0, notBackedUp = 0;
    size_t byCheck[4] = {};
    for (size_t i = 0; i < m_manifest.items.size(); ++i) {
      const ManifestItem& item = m_manifest.items[i];
      const Outcome& outcome = m_outcomes[i];
      if (item.status != "done") {
        notBackedUp += item.IsFolder() ? 0 : 1;
        continue;
      }
      files += item.IsFile() ? 1 : 0;
      if (outcome.state == Outcome::Failed) {
        ++failed;
        ReportFailure(item.path, m_reasons[i]);
      } else if (outcome.state == Outcome::Restored && item.IsFile()) {
        ++restored;
        ++byCheck[outcome.check];
      } else if (outcome.state == Outcome::Restored && !item.IsFolder()) {
        ++others;
      }
    }
    std::string summary = (m_interrupted ? "interrupted: restored " : "restored ") +
                          std::to_string(restored) + " of " + std::to_string(files) + " files (" +
                          std::to_string(byCheck[Outcome::Tag]) + " verified by keyed tag, " +
                          std::to_string(byCheck[Outcome::Crc]) + " by CRC-32, " +
                          std::to_string(byCheck[Outcome::Size]) + " checked by size only)";
    if (others)
      summary += ", " + std::to_string(others) + " links and pipes";
    if (failed)
      summary += ", " + std::to_string(failed) + " failed";
    if (notBackedUp)
      summary += "; " + std::to_string(notBackedUp) + " entries were not in the backup";
    Say(m_options, summary);
    if (m_interrupted)
      return kExitInterrupted;
    return failed || m_rootFailed ? kExitFailed : kExitDone;
  }

  const Options& m_options;
  const OpenedBackup& m_opened;
  const Manifest& m_manifest;
  const fs::path m_target;
  EntryMaker m_entries;
  std::vector<Outcome> m_outcomes;                    // by item index
  std::unordered_map<size_t, std::string> m_reasons;  // by item index: why it failed
  std::vector<bool> m_keyedPartial;  // by item index: written under NAME.KEY.partial
  bool m_createdTarget = false;
  bool m_interrupted = false;
  bool m_rootFailed = false;
};

// A trial: the library opens and measures every stored file, and nothing is written.
int Trial(const Options& options, const OpenedBackup& opened) {
  const Manifest& manifest = opened.manifest;
  Host host(manifest.items.size(), 0, !options.quiet);
  Manager manager;
  manager.Initialize();
  manager.SetSourceRootFolder(FileNameToWide(opened.Data().native()).c_str());
  manager.SetCallBack(&host);
  size_t files = 0, failed = 0;
  for (const ManifestItem& item : manifest.items) {
    if (!item.IsFile() || item.status != "done")
      continue;
    ++files;
    for (int p = 0; p < item.parts; ++p) {
      manager.AddFile(FileNameToWide(PartName(item.stored, p)), L"", L"", item.key, 0, 0, 0);
    }
  }
  InstallInterruptHandlers();
  const int status = manager.Restore(1, 0);
  host.FinishProgress();
  for (const ManifestItem& item : manifest.items) {
    const ItemResult& r = host.Result(item.key);
    if (item.IsFile() && item.status == "done" && (r.failed || !r.ended) &&
        status != OrvCopy::StatusStopped) {
      ++failed;
      ReportFailure(item.path, r.reason.empty() ? "its stored file cannot be opened" : r.reason);
    }
  }
  Say(options, "opened " + std::to_string(files - failed) + " of " + std::to_string(files) +
                   " stored files" + (failed ? ", " + std::to_string(failed) + " failed" : ""));
  if (status == OrvCopy::StatusStopped)
    return kExitInterrupted;
  return failed ? kExitFailed : kExitDone;
}

}  // namespace

int Restore(const Options& options, SystemCalls& system) {
  OpenedBackup opened;
  if (const int code = OpenBackup(options, opened); code != kExitDone)
    return code;
  if (std::string error; !SelectEntries(opened.manifest, options.paths, error))
    return Refuse(kExitFailed, error);
  LogFile log(options.logFile);
  if (options.trial)
    return Trial(options, opened);
  return RestoreRun(options, opened, system).Run();
}

int Restore(const Options& options) {
  SystemCalls system;
  return Restore(options, system);
}

}  // namespace orvcopy
