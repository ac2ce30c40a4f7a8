#include "RunFetcher.h"

#include <sys/stat.h>

namespace orvcopy {

namespace fs = std::filesystem;

RunFetcher::RunFetcher(const OpenedBackup& opened, std::vector<std::vector<std::string>> runs,
                       size_t folders, bool encrypted)
    : m_runs(std::move(runs)), m_encrypted(encrypted), m_folderOf(m_runs.size(), SIZE_MAX) {
  for (size_t f = 0; f < folders; ++f) {
    fs::path root = opened.Data() / ("run-" + std::to_string(f));
    ::mkdir(root.c_str(), 0700);
    m_folders.push_back(std::make_unique<FetchedFiles>(
        opened, "fetch-" + std::to_string(f) + ".list", std::move(root)));
    m_free.push_back(f);
  }
  m_thread = std::thread([this] { FetchAll(); });
}

RunFetcher::~RunFetcher() {
  {
    const std::lock_guard lock(m_mutex);
    m_stop = true;
  }
  m_changed.notify_all();
  m_thread.join();
}

void RunFetcher::FetchAll() {
  for (size_t run = 0; run < m_runs.size(); ++run) {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return m_stop || !m_free.empty(); });
    if (m_stop)
      return;
    const size_t folder = m_free.front();
    m_free.pop_front();
    lock.unlock();
    std::string error;
    const bool fetched = m_folders[folder]->Get(m_runs[run], m_encrypted, error);
    lock.lock();
    m_folderOf[run] = folder;
    m_fetched = run + 1;
    if (!fetched) {
      m_error = error;
      m_failedFrom = run;
      m_fetched = m_runs.size();
    }
    m_changed.notify_all();
    if (!fetched)
      return;
  }
}

FetchedFiles* RunFetcher::Take(size_t run, std::string& error) {
  std::unique_lock lock(m_mutex);
  m_changed.wait(lock, [&] { return m_fetched > run; });
  if (run >= m_failedFrom) {
    error = m_error;
    return nullptr;
  }
  return m_folders[m_folderOf[run]].get();
}

void RunFetcher::Release(size_t run) {
  std::unique_lock lock(m_mutex);
  const size_t folder = m_folderOf[run];
  if (folder == SIZE_MAX)
    return;
  m_folderOf[run] = SIZE_MAX;
  lock.unlock();
  m_folders[folder]->Clear();  // no one else uses a folder that is not free
  lock.lock();
  m_free.push_back(folder);
  m_changed.notify_all();
}

}  // namespace orvcopy
