// The hand-over of a remote backup: what the library wrote into its temporary folder, or only
// accounted for (a plain file is uploaded straight from the tree), is gathered in a staging
// folder under its stored name and uploaded a list at a time.
#pragma once

#include "Host.h"
#include "Manifest.h"
#include "RemoteStore.h"

#include <OrvCopy/external/orv_encryption.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace orvcopy {

// A large file uploaded while the library writes it into its temporary folder: what has been
// sent is cut out of the file (its blocks freed), and the library waits while more than
// `window` bytes wait for the upload, so the file never takes more than that on the disk.
class StreamUpload {
 public:
  StreamUpload(RemoteStore& store, std::filesystem::path file, std::string name, uint64_t window);
  ~StreamUpload();  // stops the upload when it was not finished
  StreamUpload(const StreamUpload&) = delete;
  StreamUpload& operator=(const StreamUpload&) = delete;

  // The library has written `written` bytes of the file: waits while more than the window
  // waits for the upload (not past Ctrl-C, nor once the upload has ended).
  void Written(uint64_t written);
  // The file is whole: waits for the upload's end. False, with `error` set, when it failed.
  bool Finish(std::string& error);
  // Why the upload ended before the file was whole; empty while it goes on.
  std::string Failure();

 private:
  bool Feed(int fd);
  bool Failed(const std::string& error);
  void Stop();

  const std::filesystem::path m_file;
  const uint64_t m_window;
  std::mutex m_mutex;  // guards what follows
  std::condition_variable m_changed;
  uint64_t m_sent = 0;
  bool m_whole = false, m_stopped = false, m_over = false;
  std::string m_error;
  std::thread m_thread;  // runs rclone
};

class HandOver {
 public:
  // `entryOf` gives the entry of a key of the current window (null for none); `source` is the
  // tree's root, `libraryTemp` the manager's temporary folder. `archiveTags`: the engine that
  // tags archives of an encrypted compressed backup (null otherwise).
  HandOver(RemoteStore& store, std::filesystem::path source, std::filesystem::path stage,
           std::filesystem::path libraryTemp, std::function<const ManifestItem*(uint64_t)> entryOf,
           orv::CEncryption* archiveTags, bool uploadFromTree,
           std::function<void(uint64_t, const std::string&)> fail);
  ~HandOver();  // waits for an upload under way
  HandOver(const HandOver&) = delete;
  HandOver& operator=(const HandOver&) = delete;

  // Takes every record the manager holds and clears them: a file the library wrote is moved
  // from its temporary folder to the stage, a file it only accounted for is listed to go up
  // from the tree (and its CRC-32 read, as the library computes none for it). Each item taken has
  // `staged` set in its result; one that cannot be staged is failed.
  void Take(Manager& manager, Host& host);
  // Starts the upload of what is staged, in one rclone call, on a thread of its own (after the
  // one started before has finished), and empties the stage for what comes next.
  void StartSend();
  // Waits for the upload started last: the stage of what it took is emptied, and a file
  // uploaded from the tree that is no longer what was read is failed (through `fail`). False,
  // with `error` set, when it failed.
  bool FinishSend(std::string& error);
  // Both: what is staged is uploaded when this returns.
  bool Send(std::string& error);
  // Whether the upload started last still goes on.
  bool Busy() const { return m_sending && !m_sending->over; }
  // The bytes staged, and the files.
  uint64_t Waiting() const { return m_waiting; }
  size_t Count() const { return m_names.size() + m_fromTree.size(); }

  // The size of an item of the window (0 for none).
  uint64_t SizeOf(uint64_t key) const {
    const ManifestItem* item = m_entryOf(key);
    return item ? item->size : 0;
  }
  // An item the library begins to write into its temporary folder: one of at least
  // `streamAt` bytes is uploaded as it is written (see StreamUpload).
  void BeginItem(uint64_t key, uint64_t streamAt, uint64_t window);
  void Written(uint64_t written) {
    if (m_stream)
      m_stream->Written(written);
  }
  // Why the upload of the item being written failed; empty while it goes on (or there is none).
  std::string StreamFailure() { return m_stream ? m_stream->Failure() : std::string(); }
  // The item is done (or failed): its upload, if it streams, ends; false, with `error` set,
  // when it failed.
  bool EndItem(uint64_t key, bool whole, std::string& error);

 private:
  bool Stage(const OrvCompression::_SimulatedBackedupFile& record, const ManifestItem& item,
             int part, ItemResult& r, const std::filesystem::path& staged);

  // A file uploaded from the tree (into data/a or data/b under its own path): what it was
  // when it was listed.
  struct FromTree {
    uint64_t key;
    std::string path;
    uint64_t size;
    int64_t mtime;
    bool slotB;
  };
  void CheckFromTree(const std::vector<FromTree>& files);
  struct Batch;
  void Upload(Batch& batch);

  // An upload under way, and what it takes.
  struct Batch {
    std::vector<std::string> names;
    std::vector<FromTree> fromTree;
    std::filesystem::path list;
    bool sent = false;
    std::string error;
    std::atomic<bool> over{false};
    std::thread thread;
  };

  const bool m_uploadFromTree;  // plain files are uploaded from the tree (else none is)
  std::function<void(uint64_t, const std::string&)> m_fail;  // an item found failed after all
  std::vector<FromTree> m_fromTree;
  std::unique_ptr<Batch> m_sending;
  std::string m_sendError;  // of an upload that failed before the next one could start
  uint64_t m_sentBatches = 0;
  std::filesystem::path m_lastFolder;  // of the stage, made last

  RemoteStore& m_store;
  const std::filesystem::path m_source, m_stage, m_libraryTemp;
  std::function<const ManifestItem*(uint64_t)> m_entryOf;
  orv::CEncryption* m_archiveTags;
  std::vector<std::string> m_names;  // staged, relative to the stage
  uint64_t m_waiting = 0;
  uint64_t m_lastKey = 0;  // the item of the last record taken, and its next part
  int m_nextPart = 0;
  std::unique_ptr<StreamUpload> m_stream;
  uint64_t m_streamKey = 0;
  std::set<uint64_t> m_streamed;  // items uploaded as they were written (of the run)
};

// The host of a remote backup's manager: it takes the records as the items end and hands them
// over when the library ends a volume (or the compressed output reaches the cache size), and
// also once `handOverAt` bytes wait. An upload that fails stops the library.
class UploadHost : public Host {
 public:
  // `streamAt`: files of this size or more are uploaded as they are written (0: none).
  UploadHost(RunState& state, HandOver& handOver, uint64_t handOverAt, uint64_t streamAt)
      : Host(state, 0), m_handOver(handOver), m_handOverAt(handOverAt), m_streamAt(streamAt) {}

  void Drive(Manager& manager, bool tagItems) {
    m_manager = &manager;
    DriveManager(&manager, tagItems);
  }
  // Takes and, when enough waits, sends; false once an upload has failed.
  bool TakeRecords();
  // Takes all that waits and starts its upload, to go on while the library copies the next
  // files; FinishSend waits for it. False once an upload has failed.
  bool StartSend();
  bool FinishSend();
  bool Uploading() const { return m_handOver.Busy(); }
  const std::string& UploadError() const { return m_uploadError; }

  // Stops an upload the library left unfinished (a run that stopped).
  void EndRun();

  void OnItemBegin(uint64_t nItemKey) override;
  void OnItemEnd(uint64_t nItemKey, uint32_t dwCRC, int nVolumeNumber) override;
  void OnItemFailed(uint64_t nItemKey, int nReserved) override;
  void OnProgress() override;
  int OnVolumeFiles(int nReserved,
                    const std::vector<OrvCompression::_SimulatedBackedupFile>* pFiles) override;
  int IsAbortRequested() override;

 private:
  bool Send();

  HandOver& m_handOver;
  const uint64_t m_handOverAt, m_streamAt;
  Manager* m_manager = nullptr;
  std::string m_uploadError;
};

}  // namespace orvcopy
