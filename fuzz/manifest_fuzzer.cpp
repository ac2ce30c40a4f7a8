// orvcopy's manifest reader with arbitrary text: it accepts or refuses, and what it accepts
// holds only safe relative paths.
#include "Manifest.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orvcopy::Manifest manifest;
  std::string error;
  if (orvcopy::ParseManifest(std::string_view(reinterpret_cast<const char*>(data), size), "input",
                             manifest, error)) {
    for (const orvcopy::ManifestItem& item : manifest.items) {
      if (item.path.empty() || item.path[0] == '/' || item.path.find("..") == 0 || item.parts < 1) {
        __builtin_trap();
      }
    }
  } else if (error.empty()) {
    __builtin_trap();  // a refusal always says why
  }
  return 0;
}
