// The hand-over of a remote backup: what the library wrote into its temporary folder, or only
// accounted for (a plain file is uploaded straight from the tree), is gathered in a staging
// folder under its stored name and uploaded a list at a time.
#pragma once

#include "Host.h"
#include "Manifest.h"
#include "RemoteStore.h"

#include <OrvCopy/external/orv_encryption.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace orvcopy {

class HandOver {
 public:
  // `entryOf` gives the entry of a key of the current window (null for none); `source` is the
  // tree's root, `libraryTemp` the manager's temporary folder. `archiveTags`: the engine that
  // tags archives of an encrypted compressed backup (null otherwise).
  HandOver(RemoteStore& store, std::filesystem::path source, std::filesystem::path stage,
           std::filesystem::path libraryTemp, std::function<const ManifestItem*(uint64_t)> entryOf,
           orv::CEncryption* archiveTags);

  // Takes every record the manager holds and clears them: a file the library wrote is moved
  // from its temporary folder to the stage, a file it only accounted for is linked there from
  // the tree (and its CRC-32 read, as the library computes none for it). Each item taken has
  // `staged` set in its result; one that cannot be staged is failed.
  void Take(Manager& manager, Host& host);
  // Uploads what is staged, in one rclone call, and empties the stage.
  bool Send(std::string& error);
  // The bytes staged, and the files.
  uint64_t Waiting() const { return m_waiting; }
  size_t Count() const { return m_names.size(); }

 private:
  bool Stage(const OrvCompression::_SimulatedBackedupFile& record, const ManifestItem& item,
             int part, ItemResult& r, const std::filesystem::path& staged);

  RemoteStore& m_store;
  const std::filesystem::path m_source, m_stage, m_libraryTemp;
  std::function<const ManifestItem*(uint64_t)> m_entryOf;
  orv::CEncryption* m_archiveTags;
  std::vector<std::string> m_names;  // staged, relative to the stage
  uint64_t m_waiting = 0;
  uint64_t m_lastKey = 0;  // the item of the last record taken, and its next part
  int m_nextPart = 0;
};

// The host of a remote backup's manager: it takes the records as the items end and hands them
// over when the library ends a volume (or the compressed output reaches the cache size), and
// also once `handOverAt` bytes wait. An upload that fails stops the library.
class UploadHost : public Host {
 public:
  UploadHost(RunState& state, HandOver& handOver, uint64_t handOverAt)
      : Host(state, 0), m_handOver(handOver), m_handOverAt(handOverAt) {}

  void Drive(Manager& manager, bool tagItems) {
    m_manager = &manager;
    DriveManager(&manager, tagItems);
  }
  // Takes and, when enough waits, sends; false once an upload has failed.
  bool TakeRecords();
  // Takes and sends all that waits.
  bool SendAll();
  const std::string& UploadError() const { return m_uploadError; }

  void OnItemEnd(uint64_t nItemKey, uint32_t dwCRC, int nVolumeNumber) override;
  int OnVolumeFiles(int nReserved,
                    const std::vector<OrvCompression::_SimulatedBackedupFile>* pFiles) override;
  int IsAbortRequested() override;

 private:
  bool Send();

  HandOver& m_handOver;
  const uint64_t m_handOverAt;
  Manager* m_manager = nullptr;
  std::string m_uploadError;
};

}  // namespace orvcopy
