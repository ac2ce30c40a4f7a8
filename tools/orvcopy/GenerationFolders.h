// A backup folder holds generations: one complete mirror per backup run, in a folder named by
// the run's UTC start time. A generation is complete when its manifest is in place; the
// manifest is renamed into place only after everything it lists has reached the disk. A run
// that was cut short leaves a folder without that manifest, which no reader lists.
#pragma once

#include "Commands.h"
#include "Manifest.h"

#include <ctime>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace orvcopy {

inline constexpr const char* kLockName = "orvcopy.lock";
// What an interrupted run recorded, so that the next run can keep what it finished.
inline constexpr const char* kUnfinishedName = "orvcopy-unfinished.json";
// The generation of a backup folder written before generations: data/ and the manifest at the
// top of the backup folder.
inline constexpr const char* kLegacyId = "legacy";

struct Generation {
  std::string id;
  std::filesystem::path folder;  // holds data/ and the manifest
  bool complete = false;
};

// The generations of a backup folder, oldest first: the one of the earlier layout first, then
// by id. Unfinished ones are listed only when `unfinished` is set, and only in a folder that
// holds the lock file.
std::vector<Generation> ListGenerations(const std::filesystem::path& backup, bool unfinished);

// Whether a folder is a backup folder: it holds orvcopy's lock file, a complete generation or
// the earlier layout's backup. Nothing in any other folder is ever taken for orvcopy's own.
bool IsBackupFolder(const std::filesystem::path& backup);

// The backup folder a folder lies in (a generation's folder given by mistake for the backup
// folder, say); nothing when it lies in none.
std::optional<std::filesystem::path> EnclosingBackupFolder(const std::filesystem::path& folder);

// For the commands that write: refuses (exit 2, with a message) a folder that lies inside a
// backup folder; kExitDone when it does not.
int RefuseInsideBackupFolder(const std::filesystem::path& folder);

// Flushes a folder's entries to the disk; false when that fails.
bool SyncFolder(const std::filesystem::path& folder);

// Whether a name is a generation's: "20261206T073156Z", or with "-2", "-3"... when two runs
// started in the same second.
bool IsGenerationId(const std::string& name);
// The id of a run started at `start`: one that no folder in `backup` has yet, and that comes
// after every generation there is.
std::string NewGenerationId(const std::filesystem::path& backup, std::time_t start);
// The start time a generation's id gives; nothing for the earlier layout's.
std::optional<std::time_t> GenerationTime(const std::string& id);
// When a generation's run started: as its manifest records it, else as its id or, for the
// earlier layout, its manifest's time says.
std::time_t GenerationStart(const Generation& generation, const Manifest& manifest);
// Reads a generation's manifest without keeping its items: its header and the count of its
// items; for the earlier layout, which records no bytes written, the bytes of every file
// backed up are counted into bytesWritten.
bool ReadGenerationSummary(const std::filesystem::path& folder, Manifest& manifest,
                           std::string& error);
// "2026-12-06T07:31:56Z".
std::string IsoTime(std::time_t time);

// Which complete generations forget keeps: the `last` newest, and the newest of each of the
// latest `daily` days, `weekly` ISO weeks and `monthly` months (UTC) that have one.
struct KeepRules {
  int last = 1, daily = 0, weekly = 0, monthly = 0;
};
struct DatedGeneration {
  std::string id;
  std::time_t start = 0;
};
// `complete` oldest first; returns the ids kept.
std::set<std::string> KeptGenerations(const std::vector<DatedGeneration>& complete,
                                      const KeepRules& rules);

// The lock of the one process that writes to a backup folder: an flock on its lock file, which
// the system releases when the process ends, however it ends.
class WriterLock {
 public:
  WriterLock() = default;
  ~WriterLock();
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;
  // False, with `error` set, when another process holds it or it cannot be taken.
  bool Take(const std::filesystem::path& backup, std::string& error);

 private:
  int m_fd = -1;
};

// Removes a generation with the library: every file below its data folder (a stored file that
// another generation links to lives on there), its folders, its manifests and, unless it is
// the earlier layout's, its own folder. Nothing is followed through a link. The manifest goes
// first, so that a reader never finds a generation with files missing. Returns the bytes
// freed; `left` names what could not be removed.
struct Removal {
  uint64_t freed = 0;
  size_t entries = 0;
  std::vector<std::string> left;
};
Removal RemoveGeneration(const Generation& generation);
// RemoveGeneration, said on stdout (unless --quiet) with each entry left named on stderr. The
// bytes freed are added to `freed`; false when something of the generation was left.
bool RemoveAndReport(const Options& options, const Generation& generation, uint64_t& freed);
// For the commands that remove generations: refuses (with a message, returning the exit code)
// a folder inside a backup folder or one that is no backup folder, and takes the writer lock.
// kExitDone when the lock is taken.
int LockForRemoval(const std::filesystem::path& backup, WriterLock& lock);

}  // namespace orvcopy
