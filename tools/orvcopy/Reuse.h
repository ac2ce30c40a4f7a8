// Taking files over from an earlier generation: a file unchanged since then becomes a hard link
// to what the earlier generation stored of it, so its data is neither read nor written again.
#pragma once

#include "BackupFolder.h"

#include <filesystem>
#include <string>
#include <unordered_map>

namespace orvcopy {

class Earlier {
 public:
  explicit Earlier(OpenedBackup opened);
  Earlier(const Earlier&) = delete;  // it points into its own listing
  Earlier& operator=(const Earlier&) = delete;

  const OpenedBackup& Opened() const { return m_opened; }
  const Manifest& Listing() const { return m_opened.manifest; }

  // The earlier entry `item` can be linked to: a file backed up whole, stored under `stored`,
  // with the same size, time to the nanosecond, mode, owner and group; and with `source` (the
  // file in the tree, for --checksum) the same CRC-32 of its content. Null when there is none.
  const ManifestItem* Unchanged(const ManifestItem& item, const std::string& stored,
                                const std::filesystem::path* source) const;

 private:
  OpenedBackup m_opened;
  std::unordered_map<std::string, const ManifestItem*> m_files;  // backed-up files, by path
};

// Hard links every stored part of `was` from one data folder into another, making the folders
// on the way as needed (private, by the mask orvcopy runs with). False, with `error` set and nothing left linked, when one
// fails.
bool LinkStored(const std::filesystem::path& from, const std::filesystem::path& to,
                const ManifestItem& was, std::string& error);

}  // namespace orvcopy
