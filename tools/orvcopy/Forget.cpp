// orvcopy forget: the generations that the keep rules do not keep go with the library's
// removal, one by one, under the backup folder's writer lock.
#include "BackupFolder.h"
#include "Commands.h"

#include "Common.h"
#include "GenerationFolders.h"

#include <algorithm>
#include <set>

namespace orvcopy {
namespace fs = std::filesystem;

int Forget(const Options& options) {
  if (const int code =
          RefuseRemote(options, "a remote backup keeps one generation: there is none to forget");
      code != kExitDone)
    return code;
  const fs::path backup = fs::absolute(options.backup);
  WriterLock lock;
  if (const int code = LockForRemoval(backup, lock); code != kExitDone)
    return code;
  const std::vector<Generation> all = ListGenerations(backup, true);
  std::vector<DatedGeneration> complete;
  for (const Generation& generation : all) {
    Manifest manifest;
    std::string error;
    if (generation.complete && ReadGenerationSummary(generation.folder, manifest, error))
      complete.push_back({generation.id, GenerationStart(generation, manifest)});
  }
  const std::set<std::string> kept = KeptGenerations(
      complete, {options.keepLast, options.keepDaily, options.keepWeekly, options.keepMonthly});
  uint64_t freed = 0;
  size_t removed = 0;
  bool whole = true;
  for (const Generation& generation : all) {
    // A complete generation whose manifest cannot be read is left to the user.
    const bool listed =
        std::any_of(complete.begin(), complete.end(),
                    [&](const DatedGeneration& d) { return d.id == generation.id; });
    if (kept.count(generation.id) || (generation.complete && !listed))
      continue;
    whole = RemoveAndReport(options, generation, freed) && whole;
    ++removed;
  }
  Say(options, "kept " + std::to_string(kept.size()) +
                   (kept.size() == 1 ? " generation" : " generations") + ", removed " +
                   std::to_string(removed) + ", " + std::to_string(freed) + " bytes freed");
  return whole ? kExitDone : kExitFailed;
}

}  // namespace orvcopy
