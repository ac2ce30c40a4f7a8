// orvcopy's side of the library's callback: per-item results, a progress line, and Ctrl-C.
#pragma once

#include <OrvCopy/OrvCopyManager.h>
#include <OrvCopy/external/OrvComp.h>
#include <OrvCopy/external/OrvLogging.h>
#include <OrvCopy/external/orv_encryption.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace orvcopy {

// Set by SIGINT/SIGTERM; the host answers IsAbortRequested with it.
extern std::atomic<bool> g_interrupted;
// Installs the handlers: the first signal asks the library to stop at the next block, a
// second one exits at once with code 3.
void InstallInterruptHandlers();

struct ItemResult {
  bool begun = false;
  bool ended = false;
  bool failed = false;
  uint32_t crc = 0;    // from the last OnItemEnd
  uint64_t bytes = 0;  // bytes read for the item, from its begin to its end
  int volumes = 0;     // OnVolumeEnd calls: the item's parts are volumes + 1
  std::string reason;  // why the item failed, as the library's log gave it (for display)
  // An encrypted item's tag of its stored bytes, as the engine computed it at the item's end
  // (empty when it had none), and the plain bytes the engine took (backup).
  std::string tag;
  uint64_t plainBytes = 0;
  bool staged = false;  // remote backups: its files wait for the upload, or were uploaded
};

// The manager as orvcopy drives it. orvcopy keeps its own list of what it backed up (the
// manifest), so it lets go of the library's per-file records as the run goes: they serve hosts
// that upload what was written, and kept for every file they would grow by a kilobyte each.
class Manager : public OrvCopy::COrvCopyManager {
 public:
  void DropFileRecords() {
    if (!m_keepFileRecords)
      m_arrSimulatedFiles.clear();
  }
  // A remote backup hands the files over itself: it reads the records and clears them.
  void KeepFileRecords() { m_keepFileRecords = true; }
  const std::vector<OrvCompression::_SimulatedBackedupFile>& FileRecords() const {
    return m_arrSimulatedFiles;
  }
  void ClearFileRecords() { m_arrSimulatedFiles.clear(); }
  // The encryption engine, made and configured for the job's password (null without one).
  orv::CEncryption* PrepareEngine() {
    PrepareAESManager();
    return m_pEncryption.get();
  }
  orv::CEncryption* Engine() const { return m_pEncryption.get(); }
  // Adds a file item whose source is a path below the source root. AddItem alone would take it
  // for a folder whenever the same relative path names a folder in the current directory.
  void AddFile(const std::wstring& source, const std::wstring& destFolder, const std::wstring& name,
               uint64_t key, int aes, uint64_t size, uint32_t flags) {
    AddItem(source.c_str(), destFolder.c_str(), name.c_str(), key, aes, 1, size, flags, 1, 0,
            nullptr);
    m_arrItems.back().m_bIsFolder = 0;
  }

 private:
  bool m_keepFileRecords = false;
};

// What the hosts of one run share when several managers run at once (one host each, on a
// thread of its own): every item's result, by key, and one progress line over all of them.
class RunState {
 public:
  // Keys run from 1 to itemCount; totalBytes sizes the progress line; `lanes` hosts report.
  RunState(size_t itemCount, uint64_t totalBytes, bool showProgress, size_t lanes = 1);

  // The result of an item with a key in range; each is written by the host of its manager.
  ItemResult* Result(uint64_t key);
  // A run that goes a window of items at a time holds the results of one window: the keys
  // from `firstKey`, `count` of them, with no results yet. Only while no manager runs.
  void Window(uint64_t firstKey, size_t count);
  // Bytes that count as processed though no manager copies them (files taken over).
  void AddProcessed(uint64_t bytes);
  // Lane `lane` has processed `pos` bytes in all and `items` items; the line is shown at most
  // five times a second.
  void Progress(size_t lane, uint64_t pos, size_t items);
  void FinishProgress();

 private:
  std::vector<ItemResult> m_results;
  uint64_t m_firstKey = 1;
  std::mutex m_mutex;                                // guards what follows
  uint64_t m_processed = 0;                          // by no manager
  std::vector<std::pair<uint64_t, size_t>> m_lanes;  // bytes and items by lane
  uint64_t m_totalBytes;
  bool m_showProgress;
  std::chrono::steady_clock::time_point m_start, m_lastShown;
};

// Makes a restore's stored files available where the library reads them, when it asks (the
// files of a remote backup): a batch of items' at once, or one file.
class SourceProvider {
 public:
  virtual ~SourceProvider() = default;
  virtual bool PrepareBatch(const std::vector<uint64_t>& keys) = 0;
  virtual bool PrepareOne(uint64_t key, const std::wstring& path) = 0;
};

class Host : public OrvCompression::COrvCallBack {
 public:
  // A host alone in its run: keys run from 1 to itemCount, and totalBytes sizes the progress
  // line. While it lives, the host is the one that hears of the library's log on the thread
  // that made it (see NoteLog).
  Host(size_t itemCount, uint64_t totalBytes, bool showProgress);
  // One of several hosts of a run, reporting as lane `lane`; Activate it on its thread.
  Host(RunState& state, size_t lane);
  ~Host() override;
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Makes this host the one that hears of the library's log on the calling thread.
  void Activate();

  // The manager whose file records are let go after every block and item, and whose engine
  // gives each encrypted item's tag at its end (with tagItems), or null. A run may use one
  // manager after another: the progress goes on from where the last one left it.
  void DriveManager(Manager* manager, bool tagItems) {
    if (manager != nullptr) {
      m_posBase += m_nProcessedPos;
      m_nProcessedPos = m_nProcessedSize = 0;
      m_current = 0;  // no item of the new run has begun
    }
    m_manager = manager;
    m_tagItems = tagItems;
  }
  // Called with an item's key as it begins and after it ends: every item of this host's before
  // it is over.
  void SetItemHook(std::function<void(uint64_t)> hook) { m_itemHook = std::move(hook); }
  // What CanRestoreItem answers (a restore prepares each item there); 1 when not set.
  void SetItemCheck(std::function<int(uint64_t)> check) { m_itemCheck = std::move(check); }

  // Who fetches the sources the library asks for (JobFlagHostProvidesSource), or null.
  void SetSourceProvider(SourceProvider* provider) { m_provider = provider; }

  // The living host of the calling thread, or null.
  static Host* Active();
  // An entry of the library's log. Some failures reach the host only this way: a block that
  // could not be written (a full disk) logs the system's error and the item still ends.
  // An error logged between an item's begin and its end fails the item; the last error text
  // logged for it is its reason.
  void NoteLog(const LOGGER::COrvLogEntry& entry);

  ItemResult& Result(uint64_t key);
  uint64_t CurrentKey() const { return m_current; }
  // The bytes of the current item processed so far.
  uint64_t CurrentBytes() const { return m_nProcessedPos - m_posAtBegin; }
  void FinishProgress() { m_state->FinishProgress(); }

  int OnPrompt(int nKind, uint64_t nValue, const wchar_t* lpszText) override;
  void OnItemBegin(uint64_t nItemKey) override;
  void OnItemEnd(uint64_t nItemKey, uint32_t dwCRC, int nVolumeNumber) override;
  void OnVolumeEnd(uint64_t nItemKey, uint64_t nVolumeBytes, int nVolumeNumber) override;
  void OnItemFailed(uint64_t nItemKey, int nReserved) override;
  int CanRestoreItem(uint64_t nItemKey) override;
  void OnProgress() override;
  int IsAbortRequested() override;
  int PrepareSourceFile(uint64_t nItemKey, const wchar_t* lpszSourcePath,
                        const wchar_t* lpszJobName) override;
  int PrepareSourceFiles(const wchar_t* lpszSourceRoot, const std::vector<uint64_t>& arrKeys,
                         const wchar_t* lpszJobName) override;

 private:
  SourceProvider* m_provider = nullptr;
  std::unique_ptr<RunState> m_ownState;  // a host alone in its run
  RunState* m_state;
  size_t m_lane = 0;
  ItemResult m_unknown;  // what a key out of range reads and writes
  uint64_t m_current = 0;
  Manager* m_manager = nullptr;
  bool m_tagItems = false;
  std::function<int(uint64_t)> m_itemCheck;
  std::function<void(uint64_t)> m_itemHook;
  uint64_t m_posAtBegin = 0;  // m_nProcessedPos when the current item began
  uint64_t m_posBase = 0;     // what the managers before the current one processed
  size_t m_itemsDone = 0;
};

}  // namespace orvcopy
