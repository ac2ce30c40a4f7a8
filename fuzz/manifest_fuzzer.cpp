// orvcopy's manifest reader with arbitrary text: it accepts or refuses, and what it accepts
// is a tree a restore can build inside its target: safe relative paths, each parent an
// earlier folder, each hard link to an earlier file, link targets without zero bytes,
// permission bits only, and an owner the system can set.
#include "Manifest.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <set>
#include <string>
#include <string_view>

namespace {

// An accepted path must stay below the folder it is joined to. Judged lexically, independently
// of the reader's own check: names that merely begin with dots ("..a.txt") are ordinary names.
bool StaysInside(const std::string& path) {
  const std::filesystem::path p(path);
  if (path.empty() || p.is_absolute() || path.find('\0') != std::string::npos)
    return false;
  const std::filesystem::path normal = (std::filesystem::path("root") / p).lexically_normal();
  const auto first = normal.begin();
  const auto second = first == normal.end() ? first : std::next(first);
  return first != normal.end() && *first == "root" && second != normal.end() && !second->empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orvcopy::Manifest manifest;
  std::string error;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (orvcopy::ParseManifest(text, "input", manifest, error)) {
    std::set<std::string> folders, files;
    uint64_t key = 0;
    for (const orvcopy::ManifestItem& item : manifest.items) {
      const bool stored = item.IsFile() || item.IsFolder();
      const size_t slash = item.path.rfind('/');
      const bool parentIsFolder =
          slash == std::string::npos || folders.count(item.path.substr(0, slash));
      const bool linked = item.type == orvcopy::EntryType::Symlink
                              ? !item.link.empty() && item.link.find('\0') == std::string::npos
                              : item.type != orvcopy::EntryType::HardLink || files.count(item.link);
      const bool meta = !item.meta || (item.meta->mode <= 07777 && item.meta->uid != UINT32_MAX &&
                                       item.meta->gid != UINT32_MAX);
      if (!StaysInside(item.path) || (stored && !StaysInside(item.stored)) || item.parts < 1 ||
          !parentIsFolder || !linked || !meta || item.key != ++key) {
        __builtin_trap();
      }
      if (item.IsFolder())
        folders.insert(item.path);
      if (item.IsFile())
        files.insert(item.path);
    }
    if (manifest.taggedLength > text.size())
      __builtin_trap();
  } else if (error.empty()) {
    __builtin_trap();  // a refusal always says why
  }
  return 0;
}
