#include "RemoteHandOver.h"

#include "Checks.h"
#include "Tree.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace orvcopy {
namespace fs = std::filesystem;

namespace {

constexpr size_t kStreamChunk = 1 << 20;

struct FileDescriptor {
  int fd = -1;
  ~FileDescriptor() {
    if (fd >= 0)
      ::close(fd);
  }
};

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

StreamUpload::StreamUpload(RemoteStore& store, fs::path file, std::string name, uint64_t window)
    : m_file(std::move(file)), m_window(window) {
  m_thread = std::thread([this, &store, name = std::move(name)] {
    std::string error;
    const bool sent = store.UploadStream(
        name, [this](int fd) { return Feed(fd); }, error);
    const std::lock_guard lock(m_mutex);
    m_over = true;
    if (!sent && m_error.empty())
      m_error = error;
    m_changed.notify_all();
  });
}

StreamUpload::~StreamUpload() {
  Stop();
  if (m_thread.joinable())
    m_thread.join();
}

void StreamUpload::Stop() {
  const std::lock_guard lock(m_mutex);
  m_stopped = true;
  m_changed.notify_all();
}

void StreamUpload::Written(uint64_t written) {
  // The library waits while more than the window of what it has written is not sent. The
  // upload may catch up with the file on the disk and wait there: the library's writer is
  // behind, or has failed (then the file stops short). After a second of that the library goes
  // on: it can queue only a few blocks more, and a failed writer fails the item.
  std::unique_lock lock(m_mutex);
  for (int caughtUp = 0; caughtUp < 20;) {
    if (written <= m_sent + m_window || m_over || m_stopped || g_interrupted)
      return;
    struct stat st {};
    const bool allSent =
        ::stat(m_file.c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) <= m_sent;
    caughtUp = allSent ? caughtUp + 1 : 0;
    m_changed.wait_for(lock, std::chrono::milliseconds(50));
  }
}

std::string StreamUpload::Failure() {
  const std::lock_guard lock(m_mutex);
  return m_over && !m_whole ? (m_error.empty() ? "the upload ended early" : m_error) : "";
}

bool StreamUpload::Finish(std::string& error) {
  {
    const std::lock_guard lock(m_mutex);
    m_whole = true;
    m_changed.notify_all();
  }
  m_thread.join();
  error = m_error;
  return m_error.empty();
}

// Sends the file as it grows, from a descriptor of its own, freeing what has been sent. The
// library creates the file once it has begun the item; it is whole once Finish says so. True
// when all of it was sent; false (rclone is then stopped) when it was not.
bool StreamUpload::Feed(int fd) {
  std::vector<char> buffer(kStreamChunk);
  FileDescriptor file;
  uint64_t offset = 0, freed = 0;
  for (;;) {
    bool whole = false;
    {
      const std::lock_guard lock(m_mutex);
      if (m_stopped)
        return false;
      whole = m_whole;
    }
    if (file.fd < 0)
      file.fd = ::open(m_file.c_str(), O_RDWR | O_CLOEXEC);  // written to free what was sent
    const ssize_t n =
        file.fd < 0 ? 0
                    : ::pread(file.fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
    if (n < 0 && errno != EINTR)
      return Failed("the file to upload could not be read: " + std::string(std::strerror(errno)));
    if (n > 0) {
      if (!WriteAll(fd, buffer.data(), static_cast<size_t>(n)))
        return false;  // rclone has gone: it says why
      offset += static_cast<uint64_t>(n);
      // Whole blocks already sent leave the disk (a file system that cannot free them keeps
      // them: the file then takes its whole size).
      const uint64_t upTo = offset / 4096 * 4096;
      if (upTo > freed &&
          ::fallocate(file.fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                      static_cast<off_t>(freed), static_cast<off_t>(upTo - freed)) == 0)
        freed = upTo;
      const std::lock_guard lock(m_mutex);
      m_sent = offset;
      m_changed.notify_all();
      continue;
    }
    if (whole) {  // read to its end after it was whole: all of it is sent
      struct stat st {};
      if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || static_cast<uint64_t>(st.st_size) != offset)
        return Failed("the library's copy of the file is missing or not whole");
      return true;
    }
    // Nothing new: rclone may have gone meanwhile (its end of the pipe closed).
    pollfd pipe{fd, 0, 0};
    if (::poll(&pipe, 1, 0) > 0 && (pipe.revents & (POLLERR | POLLHUP)) != 0)
      return false;
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::milliseconds(50));
  }
}

bool StreamUpload::Failed(const std::string& error) {
  const std::lock_guard lock(m_mutex);
  if (m_error.empty())
    m_error = error;
  return false;
}

HandOver::HandOver(RemoteStore& store, fs::path source, fs::path stage, fs::path libraryTemp,
                   std::function<const ManifestItem*(uint64_t)> entryOf,
                   orv::CEncryption* archiveTags, bool uploadFromTree,
                   std::function<void(uint64_t, const std::string&)> fail)
    : m_uploadFromTree(uploadFromTree),
      m_fail(std::move(fail)),
      m_store(store),
      m_source(std::move(source)),
      m_stage(std::move(stage)),
      m_libraryTemp(std::move(libraryTemp)),
      m_entryOf(std::move(entryOf)),
      m_archiveTags(archiveTags) {}

HandOver::~HandOver() {
  if (m_sending)
    m_sending->thread.join();
}

void HandOver::BeginItem(uint64_t key, uint64_t streamAt, uint64_t window) {
  const ManifestItem* item = m_entryOf(key);
  if (streamAt == 0 || item == nullptr || !item->IsFile() || item->size < streamAt)
    return;
  const std::string name = PartName(item->stored, 0);
  m_stream = std::make_unique<StreamUpload>(m_store, m_libraryTemp / fs::path(name).filename(),
                                            name, window);
  m_streamKey = key;
}

bool HandOver::EndItem(uint64_t key, bool whole, std::string& error) {
  if (!m_stream || key != m_streamKey)
    return true;
  const bool sent = whole && m_stream->Finish(error);
  m_stream.reset();
  if (sent)
    m_streamed.insert(key);
  return sent || !whole;
}

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
    if (m_streamed.erase(key)) {  // uploaded as it was written
      ::unlink((m_libraryTemp / fs::path(name).filename()).c_str());
      r.staged = true;
      continue;
    }
    const fs::path staged = m_stage / name;
    const bool written = (record.bFlags & 1) != 0;
    if (written && staged.parent_path() != m_lastFolder) {
      std::error_code ec;
      fs::create_directories(staged.parent_path(), ec);
      m_lastFolder = staged.parent_path();
    }
    if (!Stage(record, *item, part, r, staged)) {
      r.failed = true;
      continue;
    }
    r.staged = true;
    struct stat st {};
    if (written && ::stat(staged.c_str(), &st) == 0) {
      m_names.push_back(name);
      m_waiting += static_cast<uint64_t>(st.st_size);
    }
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
  if (!m_uploadFromTree) {
    r.reason = "the library wrote no copy of it";
    return false;
  }
  // Accounted for only: uploaded from the tree as it is, with the CRC-32 a restore checks.
  const std::optional<uint32_t> crc = FileRegister({m_source / item.path});
  if (!crc) {
    r.reason = "it could not be read";
    return false;
  }
  r.crc = *crc;
  m_fromTree.push_back({item.key, item.path, item.size, item.mtime, item.stored[0] == 'b'});
  m_waiting += item.size;
  return true;
}

// rclone passes over a file that is gone by the time it is uploaded, and uploads one that
// changes as it is: each file uploaded from the tree must still be what was listed and read.
void HandOver::CheckFromTree(const std::vector<FromTree>& files) {
  for (const FromTree& file : files) {
    struct stat st {};
    if (::lstat((m_source / file.path).c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) != file.size || MtimeOf(st) != file.mtime)
      m_fail(file.key, "it changed or was deleted while it was uploaded");
  }
}

void HandOver::StartSend() {
  std::string error;
  if (!FinishSend(error) || (m_names.empty() && m_fromTree.empty())) {
    m_sendError = error;
    return;
  }
  auto batch = std::make_unique<Batch>();
  batch->names = std::move(m_names);
  batch->fromTree = std::move(m_fromTree);
  m_names.clear();
  m_fromTree.clear();
  m_waiting = 0;
  // Two lists take turns: the next batch's is written while this one's is read.
  batch->list = m_stage.parent_path() / (m_sentBatches++ % 2 ? "upload-1.list" : "upload-0.list");
  batch->thread = std::thread([this, b = batch.get()] { Upload(*b); });
  m_sending = std::move(batch);
}

// What the library wrote goes up from the stage, a plain file from the tree into its slot (a
// call each, for those there are).
void HandOver::Upload(Batch& batch) {
  std::vector<std::string> slots[2];
  for (const FromTree& file : batch.fromTree)
    slots[file.slotB ? 1 : 0].push_back(file.path);
  const fs::path list = batch.list;
  batch.sent = true;
  if (!batch.names.empty())
    batch.sent = WriteNameList(list, batch.names) && m_store.Upload(m_stage, list, "", batch.error);
  for (int slot = 0; slot < 2 && batch.sent; ++slot) {
    if (!slots[slot].empty())
      batch.sent = WriteNameList(list, slots[slot]) &&
                   m_store.Upload(m_source, list, slot ? "b" : "a", batch.error);
  }
  if (!batch.sent && batch.error.empty())
    batch.error = "the list of files to upload could not be written";
  batch.over = true;
}

bool HandOver::FinishSend(std::string& error) {
  if (!m_sendError.empty()) {
    error = m_sendError;
    return false;
  }
  if (!m_sending)
    return true;
  std::unique_ptr<Batch> batch = std::move(m_sending);
  batch->thread.join();
  CheckFromTree(batch->fromTree);
  for (const std::string& name : batch->names)
    ::unlink((m_stage / name).c_str());
  error = batch->error;
  return batch->sent;
}

bool HandOver::Send(std::string& error) {
  StartSend();
  return FinishSend(error);
}

bool UploadHost::Send() {
  if (!m_uploadError.empty())
    return false;
  std::string error;
  if (!m_handOver.Send(error))
    m_uploadError = error;
  return m_uploadError.empty();
}

bool UploadHost::TakeRecords() {
  // The names wait in memory too: a tree of empty files sends every so many of them.
  constexpr size_t kMostNames = 50000;
  if (m_manager)
    m_handOver.Take(*m_manager, *this);
  return (m_handOver.Waiting() < m_handOverAt && m_handOver.Count() < kMostNames) || Send();
}

bool UploadHost::StartSend() {
  if (m_manager)
    m_handOver.Take(*m_manager, *this);
  if (!m_uploadError.empty())
    return false;
  m_handOver.StartSend();
  return true;
}

bool UploadHost::FinishSend() {
  std::string error;
  if (m_uploadError.empty() && !m_handOver.FinishSend(error))
    m_uploadError = error;
  return m_uploadError.empty();
}

void UploadHost::OnItemBegin(uint64_t nItemKey) {
  Host::OnItemBegin(nItemKey);
  // What waits is sent first when the item would take it past the volume: the temporary folder
  // holds at most a volume.
  const uint64_t size = m_handOver.SizeOf(nItemKey);
  if (m_handOver.Count() > 0 && m_handOver.Waiting() + size > m_handOverAt)
    Send();
  m_handOver.BeginItem(nItemKey, m_streamAt, m_handOverAt);
}

void UploadHost::OnProgress() {
  Host::OnProgress();
  m_handOver.Written(CurrentBytes());
}

void UploadHost::OnItemEnd(uint64_t nItemKey, uint32_t dwCRC, int nVolumeNumber) {
  Host::OnItemEnd(nItemKey, dwCRC, nVolumeNumber);
  std::string error;
  if (!m_handOver.EndItem(nItemKey, !Result(nItemKey).failed, error) && m_uploadError.empty())
    m_uploadError = error;
  TakeRecords();
}

void UploadHost::OnItemFailed(uint64_t nItemKey, int nReserved) {
  Host::OnItemFailed(nItemKey, nReserved);
  std::string error;
  m_handOver.EndItem(nItemKey, false, error);
}

void UploadHost::EndRun() {
  std::string error;
  m_handOver.EndItem(CurrentKey(), false, error);
}

int UploadHost::OnVolumeFiles(int, const std::vector<OrvCompression::_SimulatedBackedupFile>*) {
  if (m_manager)
    m_handOver.Take(*m_manager, *this);
  return Send() ? 1 : 0;
}

int UploadHost::IsAbortRequested() {
  if (m_uploadError.empty())
    m_uploadError = m_handOver.StreamFailure();  // the library stops, not writes on for nothing
  return m_uploadError.empty() ? Host::IsAbortRequested() : 1;
}

}  // namespace orvcopy
