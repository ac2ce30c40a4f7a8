// Opening a backup folder to read it: its manifest and, when it is encrypted, the password.
#pragma once

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

  std::filesystem::path Data() const { return folder / kDataFolder; }
};

// Reads the manifest and, for an encrypted backup, asks for the password and checks it before
// anything is read or written: a wrong password is exit 4, a manifest changed since the
// backup exit 1 (its keyed tag), each with a message that says which. A password given for a
// backup that is not encrypted is not used, with a warning. Returns kExitDone or the exit code.
int OpenBackup(const Options& options, OpenedBackup& opened);

}  // namespace orvcopy
