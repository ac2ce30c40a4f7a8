// The mark a backup leaves on a remote folder while it writes into it, and what a later run
// makes of one it finds: a run still under way, or one that was stopped and left files behind.
#pragma once

#include "RemoteStore.h"

#include <ctime>
#include <filesystem>
#include <string>
#include <unordered_set>

namespace orvcopy {

// The mark of this process, for a backup started at `started`.
std::string MarkOfThisRun(std::time_t started);

// Why a run must not write into a folder whose mark says `found`: another orvcopy on this
// machine is writing into it, or one on another machine may be. Empty when the run that left
// it is over (it was stopped): then what it left is collected after this run.
std::string MarkConflict(const std::string& found, const std::string& location);

// Deletes from the remote's data/ every file that `listed` (the stored files of the manifest
// now in place) does not name: what stopped runs uploaded and never listed, or never deleted.
// `count` receives how many; `list` is the file their names are handed to rclone in.
bool CollectLeftovers(RemoteStore& store, const std::unordered_set<std::string>& listed,
                      const std::filesystem::path& list, size_t& count, std::string& error);

}  // namespace orvcopy
