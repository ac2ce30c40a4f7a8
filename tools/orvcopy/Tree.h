// The tree below a folder as a backup lists it: every entry with its type, permission bits,
// owner, time and link target, folders before their content.
#pragma once

#include "Exclude.h"
#include "Manifest.h"

#include <sys/stat.h>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvcopy {

// A file's identity on its system.
using FileId = std::pair<dev_t, ino_t>;

// User and group names by number, each looked up once.
class OwnerNames {
 public:
  const std::string& User(uint32_t uid);
  const std::string& Group(uint32_t gid);

 private:
  std::map<uint32_t, std::string> m_users, m_groups;
};

Metadata MetadataOf(const struct stat& st, OwnerNames& names);
int64_t MtimeOf(const struct stat& st);

struct WalkCounts {
  uint64_t fileBytes = 0;  // the size of every file listed
  size_t unreadable = 0;   // paths that could not be listed or examined
  size_t skipped = 0;      // devices, sockets and the backup folder itself
  size_t excluded = 0;     // entries that match an exclude pattern (a folder counts once)
};

// Lists the tree below `root` into `items` (keys from 1, no stored paths yet): names in byte
// order, folders before their content, a file with more links than one listed once and then
// as hard links to that first entry. Devices and sockets are named and left out, and so is
// the folder `exclude` (the backup folder when it lies inside), and what the patterns exclude.
// Paths that cannot be read are named on stderr and counted; the walk goes on with the rest.
void WalkTree(const std::filesystem::path& root, const std::optional<FileId>& exclude, bool quiet,
              std::deque<ManifestItem>& items, WalkCounts& counts,
              const Excludes* patterns = nullptr);

}  // namespace orvcopy
