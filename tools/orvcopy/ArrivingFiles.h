// Stored files of a remote backup fetched on a thread of its own, each usable as soon as it is
// whole on this disk: a restore takes the first files while the others are still on their
// way, instead of waiting for all of them. Small files come in one rclone call, the others in
// a second one after it, each read as its size is best read.
#pragma once

#include "BackupFolder.h"
#include "RemoteStore.h"

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

namespace orvcopy {

class ArrivingFiles {
 public:
  // The files go below `root`; `list` is the name of the files in the scratch folder that
  // hold their names for rclone (with ".small" for the small files).
  ArrivingFiles(const OpenedBackup& opened, const std::string& list, std::filesystem::path root);
  // Stops a fetch still under way, then deletes what arrived and was not released.
  ~ArrivingFiles();
  ArrivingFiles(const ArrivingFiles&) = delete;
  ArrivingFiles& operator=(const ArrivingFiles&) = delete;

  // Starts fetching the stored files `small` and `other` name (`small`: files that one read
  // request brings whole); false, with `error` set, when a list of names cannot be written
  // (nothing is fetched then).
  bool Start(const std::vector<std::string>& small, const std::vector<std::string>& other,
             std::string& error);
  // Waits until each of `parts` has arrived or the fetch has ended. False, with `error` set,
  // when the fetch failed before all of them arrived. A file that a fetch which succeeded did
  // not bring is missing on the remote: the reader finds it missing.
  bool Await(const std::vector<std::string>& parts, std::string& error);
  // Deletes those of `parts` that arrived: the restore is done with them.
  void Release(const std::vector<std::string>& parts);

 private:
  void Fetch();
  void Arrived(const std::string& part);

  const OpenedBackup& m_opened;
  const std::filesystem::path m_list, m_root;
  std::vector<std::pair<std::filesystem::path, RemoteStore::Reads>> m_calls;  // in turn

  std::mutex m_mutex;  // guards what follows
  std::condition_variable m_changed;
  std::unordered_set<std::string> m_expected;  // the parts asked for that have not arrived
  std::unordered_set<std::string> m_arrived;   // and not released
  bool m_ended = false;
  std::string m_error;  // why the fetch failed, once ended

  std::atomic<bool> m_cancel = false;
  std::thread m_thread;
};

}  // namespace orvcopy
