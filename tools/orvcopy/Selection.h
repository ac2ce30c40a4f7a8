// A part of a backup: the entries at or below some paths.
#pragma once

#include "Manifest.h"

#include <string>
#include <vector>

namespace orvcopy {

// Keeps the entries at or below the given paths (relative to the backed-up folder; "./" and a
// trailing '/' are allowed) and the folders above them, in order, with keys renumbered from 1.
// A hard link kept without the file it links to becomes a copy of that file, so that it can be
// restored on its own. False, with `error` naming it, when a path is not in the manifest.
bool SelectEntries(Manifest& manifest, const std::vector<std::string>& paths, std::string& error);

}  // namespace orvcopy
