// orvcopy's manifest reader with arbitrary text: it accepts or refuses, and what it accepts
// holds only safe relative paths.
#include "Manifest.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iterator>
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
  if (orvcopy::ParseManifest(std::string_view(reinterpret_cast<const char*>(data), size), "input",
                             manifest, error)) {
    for (const orvcopy::ManifestItem& item : manifest.items) {
      if (!StaysInside(item.path) || !StaysInside(item.stored) || item.parts < 1) {
        __builtin_trap();
      }
    }
  } else if (error.empty()) {
    __builtin_trap();  // a refusal always says why
  }
  return 0;
}
