// orvcopy remove: every generation goes with the library's removal, then the backup folder
// itself, when nothing but the backup was in it.
#include "Commands.h"
#include "RemoteStore.h"

#include "Common.h"
#include "GenerationFolders.h"
#include "Text.h"

#include <unistd.h>

namespace orvcopy {
namespace fs = std::filesystem;

namespace {

// A remote backup folder goes in one rclone call, once it is known to hold a backup and
// nothing else.
int RemoveRemote(const Options& options, const std::string& remote) {
  RemoteStore store(remote, options.backup);
  RemoteStore::Holds holds{};
  std::string error;
  if (!store.Open(holds, error))
    return Refuse(kExitFailed, error);
  if (holds == RemoteStore::Holds::Nothing)
    return Refuse(kExitUnusable, "no backup in " + options.backup);
  if (holds == RemoteStore::Holds::Other)
    return Refuse(
        kExitFailed,
        options.backup + " holds other files than an orvcopy backup; nothing was removed");
  if (!store.Purge(error))
    return Refuse(kExitFailed, "the backup could not be removed whole: " + error);
  Say(options, "removed the backup " + options.backup);
  return kExitDone;
}

}  // namespace

int Remove(const Options& options) {
  if (const std::optional<std::string> remote = RemoteOf(options.backup))
    return RemoveRemote(options, *remote);
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
