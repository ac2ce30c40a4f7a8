// Taking files over from an earlier generation: a file unchanged since then becomes a hard link
// to what the earlier generation stored of it, so its data is neither read nor written again.
#pragma once

#include "BackupFolder.h"
#include "ItemStream.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvcopy {

// An earlier generation, its items read alongside the tree's walk: both come in the order a
// backup lists a tree, so each lookup moves on from the last one.
class Earlier {
 public:
  // `passed`, when given, gets every earlier entry the walk no longer has (in the walk's order,
  // the rest once Finish is called). A remote backup's stored files are not checked here (they
  // are not on this disk): `localData` false.
  explicit Earlier(OpenedBackup opened, std::function<void(const ManifestItem&)> passed = {},
                   bool localData = true);
  Earlier(const Earlier&) = delete;  // its stream reads its own listing
  Earlier& operator=(const Earlier&) = delete;

  const OpenedBackup& Opened() const { return m_opened; }
  const Manifest& Listing() const { return m_opened.manifest; }

  // The earlier entry `item` can be linked to: a file backed up whole, stored under `stored`,
  // with the same size, time to the nanosecond, mode, owner and group; and with `source` (the
  // file in the tree, for --checksum) the same CRC-32 of its content. Null when there is none.
  // Items are asked for in the walk's order; the entry is valid until the next call.
  const ManifestItem* Unchanged(const ManifestItem& item, const std::string& stored,
                                const std::filesystem::path* source);
  // The earlier entry of the same path, or null; asked for in the walk's order, like Unchanged.
  const ManifestItem* Find(const std::string& path);
  // The walk is over: the entries not reached are passed over.
  void Finish();

 private:
  void PassOver(const ManifestItem& item);

  OpenedBackup m_opened;
  std::function<void(const ManifestItem&)> m_passed;
  bool m_localData;
  std::string m_found;                  // the path of the entry Find last gave
  std::unique_ptr<ItemStream> m_items;  // from the first item not before the last one asked for
};

// What a new generation builds on: the settings of the backup folder, its latest complete
// generation (whose files unchanged ones are linked to) and an unfinished one to resume.
class EarlierGenerations {
 public:
  // Lists the generations of the backup folder (its writer lock held) and opens the latest
  // complete one: a run whose options differ from its settings is refused (exit 2), and so is
  // a wrong password (exit 4), asked for here when the folder is encrypted. Returns kExitDone
  // or the exit code, after a message.
  int Open(const Options& options, const std::filesystem::path& backup,
           std::optional<std::string>& password);
  // The newest unfinished generation whose record can be trusted is resumed: the files it
  // finished that have not changed since are kept. The others are discarded. Says which.
  void ChooseResume(const Options& options, const std::optional<std::string>& password);

  Earlier* Previous() { return m_previous ? &*m_previous : nullptr; }
  Earlier* Resumed() { return m_resumed ? &*m_resumed : nullptr; }

  std::string previousId, resumedId;
  std::vector<Generation> unfinished;  // all of them are removed once the new one is complete
  // An encrypted folder's salt, key check and buffer capacity; empty and 0 when there are none
  // yet.
  std::string salt, keyCheck;
  uint64_t buffer = 0;

 private:
  // Why an unfinished generation cannot be resumed; empty when it is taken.
  std::string TryResume(const Options& options, const Generation& generation,
                        const std::optional<std::string>& password);
  void TakeSettings(const Manifest& manifest);

  std::filesystem::path m_backup;
  std::optional<Earlier> m_previous, m_resumed;
};

// Why a backup's options differ from the settings of the backup folder that `folder` (a
// generation's manifest) was made with; empty when they do not.
std::string SettingsConflict(const Options& options, const Manifest& folder);

// Hard links every stored part of `was` from one data folder into another, making the folders
// on the way as needed (private, by the mask orvcopy runs with). False, with `error` set and
// nothing left linked, when one fails.
bool LinkStored(const std::filesystem::path& from, const std::filesystem::path& to,
                const ManifestItem& was, std::string& error);

}  // namespace orvcopy
