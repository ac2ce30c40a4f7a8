#include "RemoteHandOver.h"

#include "Checks.h"

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace orvcopy {
namespace fs = std::filesystem;

HandOver::HandOver(RemoteStore& store, fs::path source, fs::path stage, fs::path libraryTemp,
                   std::function<const ManifestItem*(uint64_t)> entryOf,
                   orv::CEncryption* archiveTags)
    : m_store(store),
      m_source(std::move(source)),
      m_stage(std::move(stage)),
      m_libraryTemp(std::move(libraryTemp)),
      m_entryOf(std::move(entryOf)),
      m_archiveTags(archiveTags) {}

void HandOver::Take(Manager& manager, Host& host) {
  for (const OrvCompression::_SimulatedBackedupFile& record : manager.FileRecords()) {
    // The records of one item follow each other, one per part.
    const uint64_t key = record.nItemKey;
    const int part = key == m_lastKey ? m_nextPart : 0;
    m_lastKey = key;
    m_nextPart = part + 1;
    const ManifestItem* item = m_entryOf(key);
    ItemResult& r = host.Result(key);
    if (item == nullptr || !item->IsFile() || r.failed)
      continue;  // a failed item's copy, if any, is left to the scratch folder's removal
    const std::string name = PartName(item->stored, part);
    const fs::path staged = m_stage / name;
    std::error_code ec;
    fs::create_directories(staged.parent_path(), ec);
    if (!Stage(record, *item, part, r, staged)) {
      r.failed = true;
      continue;
    }
    r.staged = true;
    m_names.push_back(name);
    struct stat st {};
    if (::stat(staged.c_str(), &st) == 0)
      m_waiting += static_cast<uint64_t>(st.st_size);
  }
  manager.ClearFileRecords();
}

bool HandOver::Stage(const OrvCompression::_SimulatedBackedupFile& record, const ManifestItem& item,
                     int part, ItemResult& r, const fs::path& staged) {
  if ((record.bFlags & 1) != 0) {
    // The library's copy is named by its file name alone (the record's path may be cut short).
    const fs::path written = m_libraryTemp / fs::path(PartName(item.stored, part)).filename();
    if (::rename(written.c_str(), staged.c_str()) != 0) {
      r.reason = "its copy for the upload is missing: " + std::string(std::strerror(errno));
      return false;
    }
    if (m_archiveTags && (r.tag = HostTagOfFile(*m_archiveTags, staged)).empty()) {
      r.reason = "the archive could not be read back";
      return false;
    }
    return true;
  }
  // Accounted for only: uploaded from the tree through a link, with the CRC-32 a restore checks.
  const fs::path source = m_source / item.path;
  const std::optional<uint32_t> crc = FileRegister({source});
  if (!crc || ::symlink(source.c_str(), staged.c_str()) != 0) {
    r.reason = crc ? "it could not be staged for the upload" : "it could not be read";
    return false;
  }
  r.crc = *crc;
  return true;
}

bool HandOver::Send(std::string& error) {
  if (m_names.empty())
    return true;
  const fs::path list = m_stage.parent_path() / "upload.list";
  const bool sent = WriteNameList(list, m_names) && m_store.Upload(m_stage, list, error);
  for (const std::string& name : m_names)
    ::unlink((m_stage / name).c_str());
  m_names.clear();
  m_waiting = 0;
  return sent;
}

bool UploadHost::Send() {
  if (!m_uploadError.empty())
    return false;
  std::string error;
  if (!m_handOver.Send(error))
    m_uploadError = error.empty() ? "the list of files to upload could not be written" : error;
  return m_uploadError.empty();
}

bool UploadHost::TakeRecords() {
  // The names wait in memory too: a tree of empty files sends every so many of them.
  constexpr size_t kMostNames = 50000;
  if (m_manager)
    m_handOver.Take(*m_manager, *this);
  return (m_handOver.Waiting() < m_handOverAt && m_handOver.Count() < kMostNames) || Send();
}

bool UploadHost::SendAll() {
  if (m_manager)
    m_handOver.Take(*m_manager, *this);
  return Send();
}

void UploadHost::OnItemEnd(uint64_t nItemKey, uint32_t dwCRC, int nVolumeNumber) {
  Host::OnItemEnd(nItemKey, dwCRC, nVolumeNumber);
  TakeRecords();
}

int UploadHost::OnVolumeFiles(int, const std::vector<OrvCompression::_SimulatedBackedupFile>*) {
  if (m_manager)
    m_handOver.Take(*m_manager, *this);
  return Send() ? 1 : 0;
}

int UploadHost::IsAbortRequested() {
  return m_uploadError.empty() ? Host::IsAbortRequested() : 1;
}

}  // namespace orvcopy
