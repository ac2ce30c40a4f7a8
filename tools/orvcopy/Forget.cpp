// orvcopy forget and remove: generations go with the library's removal, one by one, under the
// backup folder's writer lock.
#include "Commands.h"

#include "Common.h"
#include "Generations.h"
#include "Text.h"

#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <set>

namespace orvcopy {
namespace fs = std::filesystem;

namespace {

// Removes one generation and says so; false when something of it was left.
bool Forget(const Options& options, const Generation& generation, uint64_t& freed) {
  const Removal removal = RemoveGeneration(generation);
  freed += removal.freed;
  if (!options.quiet) {
    std::printf("removed %s%s: %zu entries, %llu bytes freed\n", generation.id.c_str(),
                generation.complete ? "" : " (unfinished)", removal.entries,
                static_cast<unsigned long long>(removal.freed));
  }
  for (const std::string& left : removal.left)
    ReportFailure(left, "it could not be removed");
  return removal.left.empty();
}

}  // namespace

int Forget(const Options& options) {
  const fs::path backup = fs::absolute(options.backup);
  if (const int code = RefuseInsideBackupFolder(backup); code != kExitDone)
    return code;
  if (!IsBackupFolder(backup))
    return Refuse(kExitUnusable,
                  "no backup in " + Show(backup) + " (not an orvcopy backup folder)");
  WriterLock lock;
  std::string error;
  if (!lock.Take(backup, error))
    return Refuse(kExitFailed, error);
  const std::vector<Generation> all = ListGenerations(backup, true);
  std::vector<DatedGeneration> complete;
  for (const Generation& generation : all) {
    Manifest manifest;
    if (generation.complete && LoadManifest(generation.folder, manifest, error))
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
    whole = Forget(options, generation, freed) && whole;
    ++removed;
  }
  Say(options, "kept " + std::to_string(kept.size()) +
                   (kept.size() == 1 ? " generation" : " generations") + ", removed " +
                   std::to_string(removed) + ", " + std::to_string(freed) + " bytes freed");
  return whole ? kExitDone : kExitFailed;
}

int Remove(const Options& options) {
  const fs::path backup = fs::absolute(options.backup);
  if (const int code = RefuseInsideBackupFolder(backup); code != kExitDone)
    return code;
  std::error_code ec;
  if (!IsBackupFolder(backup))
    return Refuse(kExitUnusable,
                  "no backup in " + Show(backup) + " (not an orvcopy backup folder)");
  WriterLock lock;
  std::string error;
  if (!lock.Take(backup, error))
    return Refuse(kExitFailed, error);
  const std::vector<Generation> all = ListGenerations(backup, true);
  uint64_t freed = 0;
  bool whole = true;
  for (const Generation& generation : all)
    whole = Forget(options, generation, freed) && whole;
  ::unlink((backup / kLockName).c_str());
  if (fs::remove(backup, ec)) {  // only when empty
    Say(options, "removed the backup, " + std::to_string(freed) + " bytes freed");
    return whole ? kExitDone : kExitFailed;
  }
  std::string others;
  for (fs::directory_iterator it(backup, ec), end; !ec && it != end; it.increment(ec))
    others += (others.empty() ? "" : ", ") + Escape(it->path().filename().native());
  Say(options, "removed the backup; left in place what is not part of it: " + others);
  return kExitFailed;
}

}  // namespace orvcopy
