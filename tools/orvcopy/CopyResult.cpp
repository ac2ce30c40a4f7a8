#include "CopyResult.h"

#include "Text.h"

#include <cstdio>

namespace orvcopy {

bool CopiedWhole(ManifestItem& item, const ItemResult& r, bool encrypted, std::string& reason) {
  if (!r.ended || r.failed)
    return false;
  if (encrypted) {
    // The engine's tag covers what it encrypted; it must have taken every byte read.
    if (r.tag.empty() || r.plainBytes != r.bytes) {
      reason = "the encryption stopped before the end of the file";
      return false;
    }
    item.tag = r.tag;
  }
  if (r.bytes != item.size) {
    // The file changed between the listing and the copy: the backup holds what was read.
    std::fprintf(stderr,
                 "warning: %s changed while it was backed up (%llu bytes listed, %llu "
                 "backed up)\n",
                 Escape(item.path).c_str(), static_cast<unsigned long long>(item.size),
                 static_cast<unsigned long long>(r.bytes));
    item.size = r.bytes;
  }
  if (!encrypted)
    item.crc = r.crc;
  return true;
}

}  // namespace orvcopy
