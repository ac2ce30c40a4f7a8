// Opening a backup folder to read it: its manifest and, when it is encrypted, the password.
#pragma once

#include "Checks.h"
#include "Commands.h"
#include "GenerationFolders.h"
#include "Manifest.h"
#include "RemoteStore.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvcopy {

// A backup on a remote store: its stored files are fetched into the scratch folder's data/ as
// they are needed, and deleted once used.
struct RemoteSource {
  RemoteSource(const std::string& remote, const std::string& location) : store(remote, location) {}
  RemoteStore store;
  ScratchFolder scratch;
};

struct OpenedBackup {
  std::filesystem::path backup;  // the backup folder, absolute
  std::string generation;        // the generation's id
  std::filesystem::path folder;  // the generation's folder: data/ and the manifest
  Manifest manifest;             // its header: the items are read from its file as they are needed
  // The first file backed up: a password of an encrypted backup of the first version, which
  // keeps no key check, is tried on it.
  std::optional<ManifestItem> firstFile;
  std::optional<std::string> password;   // encrypted backups
  mutable StoredPaths stored{{}};        // what may be taken from the data folder
  std::shared_ptr<RemoteSource> remote;  // a remote backup's (folder is then its scratch folder)

  std::filesystem::path Data() const { return folder / kDataFolder; }
  // Why a stored file (or folder) of the backup cannot be used: missing, or reached through a
  // link; empty when it can.
  std::string StoredProblem(const std::string& path) const;
};

// Stored files of a remote backup fetched into its scratch folder's data/, one rclone call for
// each list of them; deleted when the next list is fetched, on Clear, and when this goes.
class FetchedFiles {
 public:
  // `list`: the name of the file in the scratch folder that holds the names for rclone; the
  // files go below the backup's data folder.
  FetchedFiles(const OpenedBackup& opened, std::string list);
  ~FetchedFiles() { Clear(); }
  FetchedFiles(const FetchedFiles&) = delete;
  FetchedFiles& operator=(const FetchedFiles&) = delete;

  // Fetches the stored files `parts` names, in place of those held.
  bool Get(const std::vector<std::string>& parts, std::string& error);
  void Clear();

 private:
  const OpenedBackup& m_opened;
  const std::filesystem::path m_list, m_root;
  std::vector<std::string> m_held;  // below the root
};

// For a remote backup, how many files were fetched in how many rclone calls (for a summary);
// empty for a backup folder.
std::string FetchedNote(const OpenedBackup& opened);

// The backup's data folder with links resolved above it; empty when the data folder itself is
// a link or missing (then no stored file is taken).
std::filesystem::path RealDataFolder(const std::filesystem::path& folder);

// The generation a reader takes: the one --generation names, else the latest complete one.
// Returns kExitDone or the exit code, after a message that says why there is none.
int PickGeneration(const Options& options, const std::filesystem::path& backup,
                   Generation& generation);

// Reads a generation's manifest (the file `name` in its folder) and, for an encrypted backup,
// checks the password before anything is read or written, asking for it unless `opened`
// already holds it: a wrong password is exit 4, a manifest changed since the backup exit 1
// (its keyed tag), each with a message that says which. A password given for a backup whose
// manifest says it is not encrypted is refused (exit 1): the manifest may have been changed to
// say so. Returns kExitDone or the exit code.
// `survey`, when given, sees every item as the manifest is read (before the checks of the
// whole file are over: what it notes is dropped when the reading fails).
using ItemSurvey = std::function<void(const ManifestItem&)>;
int OpenGeneration(const Options& options, const Generation& generation, const char* name,
                   OpenedBackup& opened, const ItemSurvey& survey = {});

// The two halves of OpenGeneration: reading the manifest (false, with `error` set, when it
// cannot be used), and checking the password against it.
bool LoadGeneration(const std::filesystem::path& backup, const Generation& generation,
                    const char* name, OpenedBackup& opened, std::string& error,
                    const ItemSurvey& survey = {});

int CheckPassword(const Options& options, OpenedBackup& opened);

// Whether a password opens a version-2 manifest of an encrypted backup: its key check and the
// keyed tag of the bytes of the file it was read from.
enum class KeyCheck { Matches, WrongPassword, ChangedManifest };
KeyCheck CheckManifestKeys(const Manifest& manifest, const std::string& password);

// PickGeneration, then LoadGeneration of its manifest; for a remote backup (rclone:REMOTE:PATH)
// its manifest fetched into a scratch folder and read there. The password is not checked.
// Returns kExitDone or the exit code, after a message.
int LoadBackup(const Options& options, OpenedBackup& opened, const ItemSurvey& survey = {});
// LoadBackup, then CheckPassword.
int OpenBackup(const Options& options, OpenedBackup& opened, const ItemSurvey& survey = {});

// A command that works on backup folders only refuses a remote backup, saying `why`; kExitDone
// for a backup folder.
int RefuseRemote(const Options& options, const char* why);

}  // namespace orvcopy
