// What a backup sets up before its walk, into a backup folder or a remote alike: the exclude
// patterns, the keys of a new encrypted backup, and the manifest's header.
#pragma once

#include "Commands.h"
#include "Exclude.h"
#include "Manifest.h"
#include "Tree.h"

#include <sys/stat.h>
#include <ctime>
#include <string>

namespace orvcopy {

// The patterns of --exclude and --exclude-from; false, with `error` set, for a pattern that
// matches nothing or a file that cannot be read.
bool ReadExcludes(const Options& options, Excludes& excludes, std::string& error);

// A random salt for a new encrypted backup, and the key check of the password with it, into
// the manifest; false when there is no random source.
bool ChooseSalt(const std::string& password, int bits, Manifest& manifest);

// The end of a backup's summary: the entries that failed and what the walk could not read,
// skipped or excluded (", 2 failed, 1 skipped"); empty when there were none.
std::string CountsNote(size_t failed, const WalkCounts& counts);

// The header of a backup's manifest: the options, the backed-up folder `root` and the patterns.
void StartHeader(const Options& options, const struct stat& root, const Excludes& excludes,
                 std::time_t started, Manifest& manifest);

}  // namespace orvcopy
