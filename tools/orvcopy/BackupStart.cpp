#include "BackupStart.h"

#include "Common.h"
#include "Tree.h"

namespace orvcopy {

bool ReadExcludes(const Options& options, Excludes& excludes, std::string& error) {
  if (!options.excludeFrom.empty() && !excludes.AddFile(options.excludeFrom, error))
    return false;
  for (const std::string& pattern : options.excludes) {
    if (!excludes.Add(pattern, error))
      return false;
  }
  return true;
}

bool ChooseSalt(const std::string& password, int bits, Manifest& manifest) {
  orv::CEncryption engine;
  uint8_t check[orv::CEncryption::kKeyCheckSize];
  if (!RandomBytes(orv::CEncryption::kSaltSize, manifest.salt))
    return false;
  ConfigureEngine(engine, password, bits, manifest.salt);
  if (!engine.GetKeyCheck(check))
    return false;
  manifest.keyCheck.assign(reinterpret_cast<char*>(check), sizeof check);
  return true;
}

std::string CountsNote(size_t failed, const WalkCounts& counts) {
  std::string note;
  const std::pair<size_t, const char*> parts[] = {{failed, " failed"},
                                                  {counts.unreadable, " paths could not be read"},
                                                  {counts.skipped, " skipped"},
                                                  {counts.excluded, " excluded"}};
  for (const auto& [count, what] : parts) {
    if (count)
      note += ", " + std::to_string(count) + what;
  }
  return note;
}

void StartHeader(const Options& options, const struct stat& root, const Excludes& excludes,
                 std::time_t started, Manifest& manifest) {
  OwnerNames names;
  manifest.rootMeta = MetadataOf(root, names);
  manifest.rootMtime = MtimeOf(root);
  manifest.encrypt = options.encrypt;
  manifest.compress = options.compress;
  manifest.split = options.split;
  manifest.started = started;
  manifest.excludes = excludes.Patterns();
}

}  // namespace orvcopy
