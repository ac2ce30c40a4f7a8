#include "ArrivingFiles.h"

#include "Manifest.h"
#include "RemoteStore.h"

#include <unistd.h>

#include <tuple>

namespace orvcopy {
namespace fs = std::filesystem;

ArrivingFiles::ArrivingFiles(const OpenedBackup& opened, const std::string& list, fs::path root)
    : m_opened(opened), m_list(opened.folder / list), m_root(std::move(root)) {}

ArrivingFiles::~ArrivingFiles() {
  m_cancel = true;
  if (m_thread.joinable())
    m_thread.join();
  for (const std::string& part : m_arrived)
    ::unlink((m_root / part).c_str());
}

bool ArrivingFiles::Start(const std::vector<std::string>& small,
                          const std::vector<std::string>& other, std::string& error) {
  using Reads = RemoteStore::Reads;
  for (const auto& [parts, list, reads] :
       {std::tuple(&small, fs::path(m_list.native() + ".small"), Reads::Single),
        std::tuple(&other, m_list, Reads::Concurrent)}) {
    if (parts->empty())
      continue;
    if (!WriteNameList(list, *parts)) {
      error = "cannot write " + list.native();
      return false;
    }
    m_calls.emplace_back(list, reads);
    m_expected.insert(parts->begin(), parts->end());
  }
  m_thread = std::thread([this] { Fetch(); });
  return true;
}

void ArrivingFiles::Fetch() {
  std::string error;
  bool fetched = true;
  // A call that fails does not keep the next one from bringing its files (a cancel does); the
  // first failure is the one told.
  for (const auto& [list, reads] : m_calls) {
    std::string why;
    if (!m_cancel && m_opened.remote->store.Fetch(
                         list, m_root, why, [this](const std::string& part) { Arrived(part); },
                         &m_cancel, reads))
      continue;
    if (fetched)
      error = why;
    fetched = false;
  }
  const std::lock_guard lock(m_mutex);
  m_ended = true;
  if (!fetched)
    m_error = "cannot fetch from " + m_opened.remote->store.Location() + ": " + error;
  else  // all there, said or not (and deleted when released: one missing on the remote is not)
    m_arrived.merge(m_expected);
  m_changed.notify_all();
}

// A file rclone has written whole, handed to whoever waits for it. Only the files asked for
// are taken, each once.
void ArrivingFiles::Arrived(const std::string& part) {
  const std::lock_guard lock(m_mutex);
  if (auto node = m_expected.extract(part)) {
    m_arrived.insert(std::move(node));
    m_changed.notify_all();
  }
}

bool ArrivingFiles::Await(const std::vector<std::string>& parts, std::string& error) {
  std::unique_lock lock(m_mutex);
  const auto all = [&] {
    for (const std::string& part : parts)
      if (!m_arrived.count(part))
        return false;
    return true;
  };
  m_changed.wait(lock, [&] { return m_ended || all(); });
  if (m_error.empty() || all())
    return true;
  error = m_error;
  return false;
}

void ArrivingFiles::Release(const std::vector<std::string>& parts) {
  std::vector<std::string> done;
  {
    const std::lock_guard lock(m_mutex);
    for (const std::string& part : parts)
      if (m_arrived.erase(part))
        done.push_back(part);
  }
  for (const std::string& part : done)  // the files arriving meanwhile are not held up
    ::unlink((m_root / part).c_str());
}

}  // namespace orvcopy
