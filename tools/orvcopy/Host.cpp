#include "Host.h"

#include "Text.h"

#include <OrvCopy/OrvCopyLog.h>
#include <OrvCopy/OrvCopyStrings.h>

#include <unistd.h>
#include <csignal>
#include <cstdio>

namespace orvcopy {

std::atomic<bool> g_interrupted{false};

namespace {

thread_local Host* g_activeHost = nullptr;

void OnSignal(int) {
  if (g_interrupted.exchange(true)) {
    ::_exit(3);  // a second Ctrl-C: at once
  }
}

std::string Bytes(double n) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int u = 0;
  while (n >= 1024 && u < 4) {
    n /= 1024;
    ++u;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", n, units[u]);
  return text;
}

}  // namespace

void InstallInterruptHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

RunState::RunState(size_t itemCount, uint64_t totalBytes, bool showProgress, size_t lanes)
    : m_results(itemCount),
      m_lanes(lanes),
      m_totalBytes(totalBytes),
      m_showProgress(showProgress && ::isatty(STDERR_FILENO)),
      m_start(std::chrono::steady_clock::now()),
      m_lastShown(m_start) {}

ItemResult* RunState::Result(uint64_t key) {
  return key >= m_firstKey && key - m_firstKey < m_results.size() ? &m_results[key - m_firstKey]
                                                                  : nullptr;
}

void RunState::Window(uint64_t firstKey, size_t count) {
  m_firstKey = firstKey;
  m_results.assign(count, ItemResult{});
}

void RunState::AddProcessed(uint64_t bytes) {
  const std::lock_guard lock(m_mutex);
  m_processed += bytes;
}

void RunState::Progress(size_t lane, uint64_t pos, size_t items) {
  if (!m_showProgress)
    return;
  const std::lock_guard lock(m_mutex);
  m_lanes.at(lane) = {pos, items};
  const auto now = std::chrono::steady_clock::now();
  if (now - m_lastShown < std::chrono::milliseconds(200))
    return;
  m_lastShown = now;
  uint64_t bytes = m_processed;
  size_t itemsDone = 0;
  for (const auto& [laneBytes, laneItems] : m_lanes) {
    bytes += laneBytes;
    itemsDone += laneItems;
  }
  const double seconds = std::chrono::duration<double>(now - m_start).count();
  const double done = static_cast<double>(bytes);
  const double rate = seconds > 0 ? done / seconds : 0;
  const double left = rate > 0 && m_totalBytes > done ? (m_totalBytes - done) / rate : 0;
  // Links and pipes are no items of the library's: the count of items done has no total.
  std::fprintf(stderr, "\r%s of %s, %zu items done, %s/s, %.0f s left   ", Bytes(done).c_str(),
               Bytes(static_cast<double>(m_totalBytes)).c_str(), itemsDone, Bytes(rate).c_str(),
               left);
}

void RunState::FinishProgress() {
  if (m_showProgress)
    std::fprintf(stderr, "\r\033[K");
}

Host::Host(size_t itemCount, uint64_t totalBytes, bool showProgress)
    : m_ownState(std::make_unique<RunState>(itemCount, totalBytes, showProgress)),
      m_state(m_ownState.get()) {
  Activate();
}

Host::Host(RunState& state, size_t lane) : m_state(&state), m_lane(lane) {}

Host::~Host() {
  if (g_activeHost == this)
    g_activeHost = nullptr;
}

void Host::Activate() {
  g_activeHost = this;
}

Host* Host::Active() {
  return g_activeHost;
}

void Host::NoteLog(const LOGGER::COrvLogEntry& entry) {
  using Kind = LOGGER::COrvLogEntry::Kind;
  ItemResult& r = Result(m_current);
  if (m_current == 0 || !r.begun || r.ended)
    return;
  // File times that could not be copied: the data is whole, so it is a warning.
  if (OrvCopy::IsRecord(entry, OrvCopy::Records::kUpdateDatesFailed)) {
    std::fprintf(stderr, "\rwarning: file times not kept for item %llu\n",
                 static_cast<unsigned long long>(m_current));
    return;
  }
  // An error record, or the system's error after a block that could not be written, fails
  // the item. The reason shown: the system's text where the library gives one, else the record.
  const bool errorRecord = entry.eKind == Kind::Record && entry.nSeverity == LOGGER::SeverityError;
  const auto systemError = OrvCopy::DetailValue(entry, OrvCopy::Details::kSystemErrorText);
  const auto errorMessage = OrvCopy::DetailValue(entry, OrvCopy::Details::kErrorMessage);
  if (errorRecord || systemError)
    r.failed = true;
  for (const auto& reason : {systemError, errorMessage}) {
    if (reason && reason->find_first_not_of(L"-0123456789") != std::wstring_view::npos)
      r.reason = OrvCopy::WideToDisplay(*reason);
  }
  if (errorRecord && r.reason.empty())
    r.reason = OrvCopy::WideToDisplay(entry.strText);
}

ItemResult& Host::Result(uint64_t key) {
  ItemResult* result = m_state->Result(key);
  return result != nullptr ? *result : m_unknown;
}

int Host::OnPrompt(int nKind, uint64_t nValue, const wchar_t* lpszText) {
  if (nKind == 1) {
    // A read error: not retried unattended; the item is failed and named in the summary.
    std::fprintf(stderr, "\rread error %llu on %s\n", static_cast<unsigned long long>(nValue),
                 Escape(OrvCopy::WideToDisplay(lpszText != nullptr ? lpszText : L"")).c_str());
  }
  return 0;
}

void Host::OnItemBegin(uint64_t nItemKey) {
  if (m_itemHook)
    m_itemHook(nItemKey);
  m_current = nItemKey;
  m_posAtBegin = m_nProcessedPos;
  Result(nItemKey).begun = true;
}

void Host::OnItemEnd(uint64_t nItemKey, uint32_t dwCRC, int) {
  ItemResult& r = Result(nItemKey);
  r.ended = true;
  r.crc = dwCRC;
  r.bytes = m_nProcessedPos - m_posAtBegin;
  ++m_itemsDone;
  if (m_manager != nullptr) {
    m_manager->DropFileRecords();
    uint8_t tag[orv::CEncryption::kTagSize];
    if (m_tagItems && m_manager->Engine() != nullptr &&
        m_manager->Engine()->GetFrameTag(tag, &r.plainBytes)) {
      r.tag.assign(reinterpret_cast<const char*>(tag), sizeof tag);
    }
  }
  if (m_itemHook)
    m_itemHook(nItemKey);
}

int Host::CanRestoreItem(uint64_t nItemKey) {
  // A restore's item begins here: the library asks before it opens anything.
  m_current = nItemKey;
  m_posAtBegin = m_nProcessedPos;
  Result(nItemKey).begun = true;
  return m_itemCheck ? m_itemCheck(nItemKey) : 1;
}

void Host::OnVolumeEnd(uint64_t nItemKey, uint64_t, int) {
  ++Result(nItemKey).volumes;
}

void Host::OnItemFailed(uint64_t nItemKey, int) {
  m_current = nItemKey;
  Result(nItemKey).failed = true;
}

int Host::IsAbortRequested() {
  return g_interrupted.load() ? 1 : 0;
}

int Host::PrepareSourceFile(uint64_t nItemKey, const wchar_t* lpszSourcePath, const wchar_t*) {
  return m_provider && m_provider->PrepareOne(nItemKey, lpszSourcePath) ? 1 : 0;
}

int Host::PrepareSourceFiles(const wchar_t*, const std::vector<uint64_t>& arrKeys, const wchar_t*) {
  return m_provider && m_provider->PrepareBatch(arrKeys) ? 1 : 0;
}

void Host::OnProgress() {
  if (m_manager != nullptr)
    m_manager->DropFileRecords();
  m_state->Progress(m_lane, m_posBase + m_nProcessedPos, m_itemsDone);
}

}  // namespace orvcopy
