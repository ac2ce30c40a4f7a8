// orvcopy generations: one line per complete generation, with its start, entries and bytes.
#include "Commands.h"

#include "BackupFolder.h"
#include "Common.h"
#include "GenerationFolders.h"
#include "Manifest.h"

#include <cstdio>

namespace orvcopy {
namespace fs = std::filesystem;

int Generations(const Options& options) {
  if (const int code =
          RefuseRemote(options, "a remote backup keeps one generation (orvcopy list names it)");
      code != kExitDone)
    return code;
  const fs::path backup = fs::absolute(options.backup);
  const std::vector<Generation> all = ListGenerations(backup, false);
  if (all.empty()) {
    Generation none;
    return PickGeneration(options, backup, none);  // says why there is none
  }
  int code = kExitDone;
  for (const Generation& generation : all) {
    Manifest manifest;
    std::string error;
    if (!ReadGenerationSummary(generation.folder, manifest, error)) {
      ReportFailure(generation.id, error);
      code = kExitFailed;
      continue;
    }
    std::printf("%s %s %zu %llu %llu\n", generation.id.c_str(),
                IsoTime(GenerationStart(generation, manifest)).c_str(), manifest.itemCount,
                static_cast<unsigned long long>(manifest.bytesWritten),
                static_cast<unsigned long long>(manifest.bytesLinked));
  }
  return code;
}

}  // namespace orvcopy
