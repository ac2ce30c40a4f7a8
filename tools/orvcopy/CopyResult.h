// What a backup records of a file the library copied.
#pragma once

#include "Host.h"
#include "Manifest.h"

#include <string>

namespace orvcopy {

// Whether the library copied a file whole (`r` is its result), and what a restore checks it by
// into `item`: the tag of an encrypted file, else its CRC-32. A file that changed while it was
// read is recorded with the size read, after a warning. False, with `reason` set where there is
// one more to say than the library's, when it was not copied whole.
bool CopiedWhole(ManifestItem& item, const ItemResult& r, bool encrypted, std::string& reason);

}  // namespace orvcopy
