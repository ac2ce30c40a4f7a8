// Opening a backup folder to read it: its manifest and, when it is encrypted, the password.
#pragma once

#include "Checks.h"
#include "Commands.h"
#include "Manifest.h"

#include <filesystem>
#include <optional>
#include <string>

namespace orvcopy {

struct OpenedBackup {
  std::filesystem::path folder;  // absolute
  Manifest manifest;
  std::optional<std::string> password;  // encrypted backups
  mutable StoredPaths stored{{}};       // what may be taken from the data folder

  std::filesystem::path Data() const { return folder / kDataFolder; }
  // Why a stored file (or folder) of the backup cannot be used: missing, or reached through a
  // link; empty when it can.
  std::string StoredProblem(const std::string& path) const;
};

// The backup's data folder with links resolved above it; empty when the data folder itself is
// a link or missing (then no stored file is taken).
std::filesystem::path RealDataFolder(const std::filesystem::path& folder);

// Reads the manifest and, for an encrypted backup, asks for the password and checks it before
// anything is read or written: a wrong password is exit 4, a manifest changed since the
// backup exit 1 (its keyed tag), each with a message that says which. A password given for a
// backup whose manifest says it is not encrypted is refused (exit 1): the manifest may have been
// changed to say so. Returns kExitDone or the exit code.
int OpenBackup(const Options& options, OpenedBackup& opened);

}  // namespace orvcopy
