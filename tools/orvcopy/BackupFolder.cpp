#include "BackupFolder.h"

#include "Checks.h"
#include "Common.h"
#include "Host.h"
#include "Text.h"

#include <OrvCopy/OrvCopyStrings.h>
#include <OrvCopy/external/orv_encryption.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <fstream>

namespace orvcopy {
namespace fs = std::filesystem;

namespace {

enum class FirstFile { None, Opens, DoesNotOpen, Foreign };

// Whether the password opens the backup's first stored file: by its header's own key check,
// or, for an archive, by opening it.
FirstFile TryFirstFile(const OpenedBackup& opened) {
  const Manifest& manifest = opened.manifest;
  if (!opened.firstFile)
    return FirstFile::None;
  const fs::path stored = opened.Data() / opened.firstFile->stored;
  if (manifest.compress)  // an archive opens only with its password
    return Extract(stored, *opened.password, nullptr) ? FirstFile::Opens : FirstFile::DoesNotOpen;
  uint8_t header[orv::CEncryption::kHeaderSize] = {};
  std::ifstream(stored, std::ios::binary).read(reinterpret_cast<char*>(header), sizeof header);
  uint32_t unit = 0;
  const int check = orv::CEncryption::CheckPassword(
      header, sizeof header, OrvCopy::FileNameToWide(*opened.password).c_str(), &unit);
  if (check == orv::CEncryption::CheckNotAHeader || unit != manifest.buffer)
    return FirstFile::Foreign;
  return check == orv::CEncryption::CheckPasswordOK ? FirstFile::Opens : FirstFile::DoesNotOpen;
}

int WrongPassword(const OpenedBackup& opened) {
  return Refuse(kExitUnusable,
                "wrong password for this backup folder (" + Show(opened.backup) + ")");
}

int ChangedManifest(const OpenedBackup& opened) {
  return Refuse(kExitFailed, "the manifest of " + Show(opened.folder) +
                                 " was changed after the backup (its keyed tag does not match); "
                                 "nothing in it is trusted");
}

// Version 2: the key check and the manifest's tag, both under the password and the salt. A key
// check that fails is a wrong password, unless the password opens a stored file: then the
// manifest's salt or key check was changed.
int CheckKeys(const OpenedBackup& opened) {
  switch (CheckManifestKeys(opened.manifest, *opened.password)) {
    case KeyCheck::Matches:
      return kExitDone;
    case KeyCheck::ChangedManifest:
      return ChangedManifest(opened);
    default:
      return TryFirstFile(opened) == FirstFile::Opens ? ChangedManifest(opened)
                                                      : WrongPassword(opened);
  }
}

// Version 1 keeps no key check of its own: the first stored file tells.
int CheckFirstFile(const OpenedBackup& opened) {
  switch (TryFirstFile(opened)) {
    case FirstFile::DoesNotOpen:
      return opened.manifest.compress ? Refuse(kExitUnusable,
                                               "wrong password, or the first "
                                               "archive of the backup is damaged")
                                      : WrongPassword(opened);
    case FirstFile::Foreign:
      return Refuse(kExitUnusable, "the first stored file of " + Show(opened.folder) +
                                       " is not one of this backup");
    default:
      return kExitDone;
  }
}

}  // namespace

KeyCheck CheckManifestKeys(const Manifest& manifest, const std::string& password) {
  orv::CEncryption engine;
  ConfigureEngine(engine, password, manifest.encrypt, manifest.salt);
  uint8_t check[orv::CEncryption::kKeyCheckSize];
  if (!engine.GetKeyCheck(check) ||
      !EqualSecret(std::string(reinterpret_cast<char*>(check), sizeof check), manifest.keyCheck))
    return KeyCheck::WrongPassword;
  const std::string tag = ManifestTagOfFile(engine, manifest);
  return !tag.empty() && EqualSecret(tag, manifest.tag) ? KeyCheck::Matches
                                                        : KeyCheck::ChangedManifest;
}

std::string OpenedBackup::StoredProblem(const std::string& path) const {
  if (stored.Inside(path))
    return {};
  std::error_code ec;
  return "its stored " + Escape(path) +
         (fs::exists(fs::symlink_status(Data() / path, ec)) ? " is reached through a link"
                                                            : " is missing");
}

fs::path RealDataFolder(const fs::path& folder) {
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(folder / kDataFolder, ec)))
    return {};
  return fs::canonical(folder / kDataFolder, ec);
}

int PickGeneration(const Options& options, const fs::path& backup, Generation& generation) {
  const std::vector<Generation> all = ListGenerations(backup, true);
  const Generation* latest = nullptr;
  for (const Generation& g : all) {
    if (g.complete && (options.generation.empty() || g.id == options.generation))
      latest = &g;
  }
  if (latest) {
    generation = *latest;
    return kExitDone;
  }
  if (!options.generation.empty())
    return Refuse(kExitUsage, Show(backup) + " has no complete generation " +
                                  Escape(options.generation) + " (orvcopy generations lists them)");
  if (!all.empty()) {
    return Refuse(
        kExitUnusable,
        Show(backup) + " holds no complete backup: " +
            (all.back().id == kLegacyId ? std::string("it") : "the one started " + all.back().id) +
            " never finished; run the backup again to complete it");
  }
  return Refuse(kExitUnusable, "no backup in " + Show(backup) + " (not an orvcopy backup folder)");
}

bool LoadGeneration(const std::filesystem::path& backup, const Generation& generation,
                    const char* name, OpenedBackup& opened, std::string& error,
                    const ItemSurvey& survey) {
  opened.backup = backup;
  opened.generation = generation.id;
  opened.folder = generation.folder;
  opened.stored = StoredPaths(RealDataFolder(opened.folder));
  opened.firstFile.reset();
  return ReadManifest(
      opened.folder, opened.manifest,
      [&opened, &survey](ManifestItem&& item) {
        if (survey)
          survey(item);
        if (!opened.firstFile && item.IsFile() && item.status == "done")
          opened.firstFile = std::move(item);
      },
      error, name);
}

int OpenGeneration(const Options& options, const Generation& generation, const char* name,
                   OpenedBackup& opened, const ItemSurvey& survey) {
  std::string error;
  if (!LoadGeneration(fs::absolute(options.backup), generation, name, opened, error, survey))
    return Refuse(kExitUnusable, error);
  return CheckPassword(options, opened);
}

int CheckPassword(const Options& options, OpenedBackup& opened) {
  const Manifest& manifest = opened.manifest;
  const bool passwordGiven =
      !options.password.file.empty() || !options.password.environment.empty();
  if (manifest.encrypt == 0) {
    // An encrypted backup whose manifest was changed to say otherwise would be restored unchecked.
    return passwordGiven ? Refuse(kExitFailed, "a password was given, but the manifest of " +
                                                   Show(opened.folder) +
                                                   " says the backup is not encrypted; if it was, "
                                                   "the manifest has been changed")
                         : kExitDone;
  }
  if (!opened.password && !(opened.password = AskPassword(options, false)))
    return kExitFailed;
  return manifest.version >= 2 ? CheckKeys(opened) : CheckFirstFile(opened);
}

std::string FetchedNote(const OpenedBackup& opened) {
  if (!opened.remote)
    return {};
  const RemoteStore& store = opened.remote->store;
  return "; " + Counted(store.Fetched(), "file") + " fetched (" +
         Counted(store.Calls(), "rclone call") + ")";
}

FetchedFiles::FetchedFiles(const OpenedBackup& opened, std::string list)
    : m_opened(opened), m_list(opened.folder / list), m_root(opened.Data()) {}

bool FetchedFiles::Get(const std::vector<std::string>& parts, std::string& error) {
  Clear();
  if (parts.empty())
    return true;
  m_held = parts;
  if (!WriteNameList(m_list, parts) || !m_opened.remote->store.Fetch(m_list, m_root, error)) {
    error = "cannot fetch from " + m_opened.remote->store.Location() + ": " + error;
    return false;
  }
  return true;
}

void FetchedFiles::Clear() {
  for (const std::string& name : m_held)
    ::unlink((m_root / name).c_str());
  m_held.clear();
}

namespace {

int LoadRemoteBackup(const Options& options, const std::string& remote, OpenedBackup& opened,
                     const ItemSurvey& survey) {
  InstallInterruptHandlers();  // Ctrl-C during a call to rclone still removes the scratch folder
  auto source = std::make_shared<RemoteSource>(remote, options.backup);
  std::string error;
  if (!source->scratch.Make(options.temp, error))
    return Refuse(kExitFailed, error);
  const fs::path folder = source->scratch.Path();
  if (::mkdir((folder / kDataFolder).c_str(), 0700) != 0)
    return Refuse(kExitFailed, "cannot prepare " + Show(folder));
  // The manifest is asked for first: when it comes, the folder holds a backup, and a listing
  // of its top would only cost one more call. When it does not come, the listing says why.
  if (!source->store.FetchManifest(folder / kManifestName, error)) {
    RemoteStore::Holds holds{};
    if (std::string why; !source->store.Open(holds, why))
      return Refuse(kExitFailed, why);
    if (holds != RemoteStore::Holds::Backup)
      return Refuse(kExitUnusable,
                    "no backup in " + options.backup + " (no orvcopy manifest there)");
    return Refuse(kExitFailed, error);
  }
  if (!LoadGeneration(options.backup, Generation{"", folder, true}, kManifestName, opened, error,
                      survey))
    return Refuse(kExitUnusable, error);
  opened.generation = opened.manifest.generation;
  opened.remote = std::move(source);
  if (!options.generation.empty() && options.generation != opened.generation)
    return Refuse(kExitUsage, options.backup + " keeps one generation, " + opened.generation +
                                  " (a remote backup keeps no others)");
  return kExitDone;
}

}  // namespace

int LoadBackup(const Options& options, OpenedBackup& opened, const ItemSurvey& survey) {
  if (const std::optional<std::string> remote = RemoteOf(options.backup)) {
    const int code = LoadRemoteBackup(options, *remote, opened, survey);
    return code != kExitDone && g_interrupted ? kExitInterrupted : code;
  }
  const fs::path backup = fs::absolute(options.backup);
  Generation generation;
  if (const int code = PickGeneration(options, backup, generation))
    return code;
  std::string error;
  if (!LoadGeneration(backup, generation, kManifestName, opened, error, survey))
    return Refuse(kExitUnusable, error);
  return kExitDone;
}

int OpenBackup(const Options& options, OpenedBackup& opened, const ItemSurvey& survey) {
  if (const int code = LoadBackup(options, opened, survey); code != kExitDone)
    return code;
  return CheckPassword(options, opened);
}

int RefuseRemote(const Options& options, const char* why) {
  return RemoteOf(options.backup) ? Refuse(kExitUsage, options.backup + ": " + why) : kExitDone;
}

}  // namespace orvcopy
