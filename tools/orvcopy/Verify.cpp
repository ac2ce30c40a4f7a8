// orvcopy verify: every stored file is read back and checked against the manifest, by its
// keyed tag (encrypted backups), its CRC-32 (plain ones) or, for archives, by libzip.
#include "BackupFolder.h"
#include "Checks.h"
#include "Common.h"
#include "Host.h"
#include "Text.h"

#include <algorithm>
#include <cstdio>

namespace orvcopy {
namespace fs = std::filesystem;

namespace {

enum class Check { Tag, Crc, Size };

class Verifier {
 public:
  explicit Verifier(const OpenedBackup& opened) : m_opened(opened), m_manifest(opened.manifest) {
    if (opened.password) {
      m_engine.emplace();
      ConfigureEngine(*m_engine, *opened.password, m_manifest.encrypt, m_manifest.salt);
    }
  }

  // Checks a file's stored parts; false with the reason when they are not what was backed up.
  bool CheckFile(const ManifestItem& item, Check& check, std::string& reason) {
    std::vector<fs::path> parts;
    uint64_t later = 0, first = 0;
    for (int p = 0; p < item.parts; ++p) {
      std::error_code ec;
      parts.push_back(m_opened.Data() / PartName(item.stored, p));
      if (!(reason = m_opened.StoredProblem(PartName(item.stored, p))).empty())
        return false;
      (p == 0 ? first : later) += fs::file_size(parts.back(), ec);
    }
    if (m_manifest.compress)
      return CheckArchive(item, parts[0], check, reason);
    if (StoredSize(item, later) != first + later) {
      reason = "its stored file has the wrong size";
      return false;
    }
    if (m_engine) {
      // A file of version 2 has a tag; one of version 1 (an older orvcopy's) has none, and
      // neither has its manifest.
      const std::optional<std::string> tag = StoredFileTag(*m_engine, parts[0], m_manifest.salt);
      if (!tag) {
        reason = kNotOfThisBackup;
        return false;
      }
      check = tag->empty() && item.tag.empty() ? Check::Size : Check::Tag;
      reason = item.tag.empty() ? kTagNotKept : kTagMismatch;
      return EqualSecret(*tag, item.tag);
    }
    check = Check::Crc;
    reason = "it was changed or damaged in the backup (its CRC-32 does not match)";
    return FileRegister(parts) == item.crc;
  }

 private:
  // What the stored parts must add up to: the plain size, or for an encrypted first part its
  // header and its body of whole cipher blocks.
  uint64_t StoredSize(const ManifestItem& item, uint64_t later) const {
    if (m_manifest.encrypt == 0)
      return item.size;
    const uint64_t plain = item.size - std::min(item.size, later);
    const uint64_t unit = m_manifest.buffer;
    return orv::CEncryption::kHeaderSize + plain / unit * unit + (plain % unit + 15) / 16 * 16 +
           later;
  }

  bool CheckArchive(const ManifestItem& item, const fs::path& archive, Check& check,
                    std::string& reason) {
    check = Check::Crc;
    if (!Extract(archive, m_opened.password.value_or(""), nullptr)) {
      reason = "its archive cannot be read (damaged, or not this backup's)";
      return false;
    }
    if (m_engine && m_manifest.version >= 2) {
      check = Check::Tag;
      reason = kTagMismatch;
      return EqualSecret(HostTagOfFile(*m_engine, archive), item.tag);
    }
    return true;
  }

  const OpenedBackup& m_opened;
  const Manifest& m_manifest;
  std::optional<orv::CEncryption> m_engine;
};

// The outcome of the checks of one generation.
class Tally {
 public:
  Tally(const Options& options, const OpenedBackup& opened)
      : m_options(options), m_opened(opened), m_verifier(opened) {}

  void Entry(const ManifestItem& item) {
    if (item.status != "done") {
      notBackedUp += item.IsFolder() ? 0 : 1;
      return;
    }
    std::string reason;
    Check check = Check::Size;
    bool ok = true;
    if (item.IsFile()) {
      ++files;
      ok = m_verifier.CheckFile(item, check, reason);
    } else if (item.IsFolder() && !m_opened.remote) {  // a remote backup stores no folders
      std::error_code ec;
      reason = m_opened.StoredProblem(item.stored);
      ok = reason.empty() && fs::is_directory(m_opened.Data() / item.stored, ec);
      if (reason.empty())
        reason = "its stored folder is no folder";
    }
    if (!ok) {
      ++failed;
      ReportFailure(item.path, reason);
    } else if (item.IsFile()) {
      ++byCheck[static_cast<int>(check)];
      if (m_options.verbose)
        std::fprintf(stderr, "checked: %s\n", Escape(item.path).c_str());
    }
  }

  size_t files = 0, failed = 0, notBackedUp = 0;
  size_t byCheck[3] = {};

 private:
  const Options& m_options;
  const OpenedBackup& m_opened;
  Verifier m_verifier;
};

// A remote backup's files are checked a batch at a time: fetched with one call, checked, and
// deleted. False when a batch cannot be fetched.
class RemoteBatches {
 public:
  RemoteBatches(const Options& options, const OpenedBackup& opened, Tally& tally)
      : m_options(options), m_fetched(opened, "verify.list"), m_tally(tally) {}

  bool Add(ManifestItem&& item) {
    if (!item.IsFile() || item.status != "done") {
      m_tally.Entry(item);
      return true;
    }
    m_bytes += item.size;
    m_batch.push_back(std::move(item));
    return m_batch.size() < ItemsPerRun() && m_bytes < m_options.volume ? true : Flush();
  }

  bool Flush() {
    std::vector<std::string> parts;
    for (const ManifestItem& item : m_batch)
      AppendPartNames(item, parts);
    if (!m_fetched.Get(parts, m_error))
      return false;
    for (const ManifestItem& item : m_batch)
      m_tally.Entry(item);
    m_fetched.Clear();
    m_batch.clear();
    m_bytes = 0;
    return true;
  }

  const std::string& Error() const { return m_error; }

 private:
  const Options& m_options;
  FetchedFiles m_fetched;
  Tally& m_tally;
  std::vector<ManifestItem> m_batch;
  uint64_t m_bytes = 0;
  std::string m_error;
};

// Checks one generation that is open.
int VerifyGeneration(const Options& options, const OpenedBackup& opened) {
  const Manifest& manifest = opened.manifest;
  Tally tally(options, opened);
  RemoteBatches remote(options, opened, tally);
  InstallInterruptHandlers();
  // The items one by one from the manifest's file: none is kept.
  std::string error;
  bool fetched = true;
  bool read = ReadManifestItems(
      opened.manifest,
      [&](ManifestItem&& item) {
        if (g_interrupted || !fetched)
          return;
        if (opened.remote)
          fetched = remote.Add(std::move(item));
        else
          tally.Entry(item);
      },
      error);
  if (read && opened.remote && fetched && !g_interrupted)
    fetched = remote.Flush();
  if (!fetched && !g_interrupted)  // else rclone was stopped by the same Ctrl-C
    return Refuse(kExitFailed, remote.Error() + "; the check stopped");
  const size_t files = tally.files, failed = tally.failed, notBackedUp = tally.notBackedUp;
  const size_t* byCheck = tally.byCheck;
  if (!read)
    return Refuse(kExitUnusable, error);
  std::string summary = opened.generation + ": checked " + std::to_string(files - failed) + " of " +
                        std::to_string(files) + " files (" + std::to_string(byCheck[0]) +
                        " by keyed tag, " + std::to_string(byCheck[1]) + " by CRC-32, " +
                        std::to_string(byCheck[2]) + " by size only)";
  if (failed)
    summary += ", " + std::to_string(failed) + " failed";
  Say(options, summary + FetchedNote(opened) + (g_interrupted ? " (interrupted)" : ""));
  if (g_interrupted)
    return kExitInterrupted;
  if (!manifest.complete) {
    std::fprintf(stderr,
                 "orvcopy: the backup never finished (it was interrupted): %zu entries were not "
                 "backed up\n",
                 notBackedUp);
    return kExitFailed;
  }
  return failed ? kExitFailed : kExitDone;
}

}  // namespace

int Verify(const Options& options) {
  if (!options.allGenerations) {
    OpenedBackup opened;
    if (const int code = OpenBackup(options, opened); code != kExitDone)
      return code;
    return VerifyGeneration(options, opened);
  }
  if (const int code = RefuseRemote(options,
                                    "a remote backup keeps one generation: verify it "
                                    "without --all");
      code != kExitDone)
    return code;
  const fs::path backup = fs::absolute(options.backup);
  const std::vector<Generation> all = ListGenerations(backup, false);
  if (all.empty()) {
    Generation none;
    return PickGeneration(options, backup, none);  // says why there is none
  }
  std::optional<std::string> password;  // asked for once
  int worst = kExitDone;
  for (const Generation& generation : all) {
    OpenedBackup opened;
    opened.password = password;
    std::string error;
    if (!LoadGeneration(backup, generation, kManifestName, opened, error)) {
      worst = Refuse(kExitUnusable, error);  // the others can still be checked
      continue;
    }
    int code = CheckPassword(options, opened);
    if (code == kExitUnusable)
      return code;  // a wrong password is wrong for every generation
    if (code == kExitDone)
      code = VerifyGeneration(options, opened);
    password = opened.password;
    worst = std::max(worst, code);
    if (code == kExitInterrupted || g_interrupted)
      return kExitInterrupted;
  }
  return worst;
}

}  // namespace orvcopy
