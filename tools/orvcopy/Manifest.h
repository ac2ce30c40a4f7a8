// The manifest of a backup folder: the options it was written with and, per item, what was
// backed up and where.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvcopy {

inline constexpr const char* kManifestName = "orvcopy-manifest.json";
inline constexpr const char* kDataFolder = "data";

struct ManifestItem {
  std::string path;    // relative path in the source tree, file-system bytes
  std::string stored;  // relative path of the backup file (first part) below data/
  bool folder = false;
  uint64_t size = 0;
  int64_t mtime = 0;  // nanoseconds since 1970
  uint64_t key = 0;
  std::optional<uint32_t> crc;  // the library's CRC-32 register over all the item's data
  int parts = 1;
  uint32_t flags = 0;              // item flags of the backup
  std::string status = "pending";  // "done", "failed" or "pending" (not reached)
};

struct Manifest {
  int encrypt = 0;  // key length in bits, 0 when not encrypted
  bool compress = false;
  uint64_t split = 0;
  uint64_t buffer = 0;
  bool complete = false;
  std::vector<ManifestItem> items;
};

// Writes the manifest atomically: a temporary file, flushed to disk, renamed over the old one.
bool SaveManifest(const std::filesystem::path& folder, const Manifest& manifest,
                  std::string& error);

// Reads and checks a manifest: anything damaged, foreign or unsafe (a path that leaves the
// backup folder, say) is refused with a message.
bool LoadManifest(const std::filesystem::path& folder, Manifest& manifest, std::string& error);

// The same for a manifest's text; `file` names it in the messages.
bool ParseManifest(std::string_view text, const std::string& file, Manifest& manifest,
                   std::string& error);

// The file name of part `part` (0 = the first) of a stored file.
std::string PartName(const std::string& stored, int part);

}  // namespace orvcopy
