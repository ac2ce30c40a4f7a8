// orvcopy remove: every generation goes with the library's removal, then the backup folder
// itself, when nothing but the backup was in it.
#include "Commands.h"

#include "Common.h"
#include "GenerationFolders.h"
#include "Text.h"

#include <unistd.h>

namespace orvcopy {
namespace fs = std::filesystem;

int Remove(const Options& options) {
  const fs::path backup = fs::absolute(options.backup);
  WriterLock lock;
  if (const int code = LockForRemoval(backup, lock); code != kExitDone)
    return code;
  uint64_t freed = 0;
  bool whole = true;
  for (const Generation& generation : ListGenerations(backup, true))
    whole = RemoveAndReport(options, generation, freed) && whole;
  ::unlink((backup / kLockName).c_str());
  std::error_code ec;
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
