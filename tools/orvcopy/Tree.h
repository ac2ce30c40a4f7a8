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

// The tree below `root` listed one entry at a time (keys from 1, no stored paths yet): names
// in byte order, folders before their content, a file with more links than one listed once and
// then as hard links to that first entry. Devices and sockets are named and left out, and so is
// the folder `exclude` (the backup folder when it lies inside), and what the patterns exclude.
// Paths that cannot be read are named on stderr (unless `silent`) and counted; the walk goes on
// with the rest. What it holds is the listings of the folders it is in, not the tree.
class TreeWalk {
 public:
  TreeWalk(const std::filesystem::path& root, const std::optional<FileId>& exclude, bool quiet,
           WalkCounts& counts, const Excludes* patterns = nullptr, bool silent = false);

  // The next entry; false once the tree is listed.
  bool Next(ManifestItem& item);
  // Whether another user can change the folder that holds the entry Next gave last (it is not
  // ours, or it is writable by group or others).
  bool InChangeableFolder() const { return m_lastChangeable; }

 private:
  struct Folder {
    std::filesystem::path relative;
    std::vector<std::string> names;  // in byte order
    size_t next = 0;
    bool changeable = false;
  };

  void Enter(const std::filesystem::path& relative, const struct stat& st);
  bool Add(const std::filesystem::path& rel, const struct stat& st, ManifestItem& item);
  void Unreadable(const std::filesystem::path& path, const std::string& why);
  void Skip(const char* what, const std::filesystem::path& rel);

  const std::filesystem::path m_root;
  const std::optional<FileId> m_exclude;
  const bool m_quiet, m_silent;
  WalkCounts& m_counts;
  const Excludes* m_patterns;
  OwnerNames m_names;
  std::map<FileId, std::string> m_links;  // files with more than one link: the first path
  std::vector<Folder> m_folders;          // the folders the walk is in, the root first
  uint64_t m_count = 0;
  bool m_lastChangeable = false;
};

}  // namespace orvcopy
