// The stored files of a remote restore, fetched ahead of the managers that restore them.
#pragma once

#include "BackupFolder.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvcopy {

// Fetches the stored files of a round's runs one run after another, in order, on a thread of
// its own, while the managers restore the runs before: a run's files go into a folder of its
// own, and a folder takes the next run once the run it held is restored. With a folder for
// each manager and one more, the next run is fetched while every manager restores one.
class RunFetcher {
 public:
  // `runs`: the stored names of each run's files. `encrypted`: files take the names the
  // library reads them under.
  RunFetcher(const OpenedBackup& opened, std::vector<std::vector<std::string>> runs, size_t folders,
             bool encrypted);
  // Stops the fetching; the files still held are deleted.
  ~RunFetcher();
  RunFetcher(const RunFetcher&) = delete;
  RunFetcher& operator=(const RunFetcher&) = delete;

  // Waits until run `run` is fetched: its files, or null with why they could not be fetched.
  FetchedFiles* Take(size_t run, std::string& error);
  // The run is restored: its files are deleted and its folder is free.
  void Release(size_t run);

 private:
  void FetchAll();

  std::vector<std::vector<std::string>> m_runs;
  const bool m_encrypted;
  std::vector<std::unique_ptr<FetchedFiles>> m_folders;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<size_t> m_free;       // folders that hold no run
  std::vector<size_t> m_folderOf;  // per run, once it is fetched
  size_t m_fetched = 0;            // runs fetched (or failed) so far
  std::string m_error;             // why run m_failedFrom and those after it were not fetched
  size_t m_failedFrom = SIZE_MAX;
  bool m_stop = false;
  std::thread m_thread;
};

}  // namespace orvcopy
