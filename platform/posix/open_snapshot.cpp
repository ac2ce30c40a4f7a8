#include "open_snapshot.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace orv::platform::posix {

namespace {

struct Entry {
  OpenSnapshot snapshot;
  bool present = false;
  bool lengthFresh = false;
};

// Indexed by descriptor number; handles may be used from any thread.
std::mutex g_mutex;
std::vector<Entry> g_entries;
// How many entries still hold an unused length; reads and seeks look at the table only then.
std::atomic<int> g_freshLengths{0};

Entry* Find(int fd) {
  if (fd < 0 || static_cast<size_t>(fd) >= g_entries.size() || !g_entries[fd].present) {
    return nullptr;
  }
  return &g_entries[fd];
}

// The entry's length is no longer used. The caller holds the lock.
void EndFreshLength(Entry& entry) {
  if (entry.lengthFresh) {
    entry.lengthFresh = false;
    g_freshLengths.fetch_sub(1, std::memory_order_release);
  }
}

}  // namespace

OpenSnapshot SnapshotOf(const struct statx& stx) {
  // File systems without a birth time report the last write as the creation.
  return OpenSnapshot{static_cast<int64_t>(stx.stx_size),
                      (stx.stx_mask & STATX_BTIME) ? stx.stx_btime : stx.stx_mtime, stx.stx_atime,
                      stx.stx_mtime};
}

void RememberOpen(int fd, const OpenSnapshot& snapshot) {
  if (fd < 0)
    return;
  const std::lock_guard lock(g_mutex);
  if (static_cast<size_t>(fd) >= g_entries.size()) {
    g_entries.resize(static_cast<size_t>(fd) + 1);
  }
  EndFreshLength(g_entries[fd]);
  g_entries[fd] = Entry{snapshot, true, true};
  g_freshLengths.fetch_add(1, std::memory_order_release);
}

void ForgetOpen(int fd) {
  const std::lock_guard lock(g_mutex);
  if (Entry* entry = Find(fd)) {
    EndFreshLength(*entry);
    entry->present = false;
  }
}

std::optional<int64_t> LengthSeenAtOpen(int fd) {
  const std::lock_guard lock(g_mutex);
  const Entry* entry = Find(fd);
  if (entry == nullptr || !entry->lengthFresh) {
    return std::nullopt;
  }
  return entry->snapshot.size;
}

void HandleMoved(int fd) {
  if (g_freshLengths.load(std::memory_order_acquire) == 0)
    return;
  const std::lock_guard lock(g_mutex);
  if (Entry* entry = Find(fd)) {
    EndFreshLength(*entry);
  }
}

std::optional<OpenSnapshot> TimesSeenAtOpen(int fd) {
  const std::lock_guard lock(g_mutex);
  const Entry* entry = Find(fd);
  if (entry == nullptr) {
    return std::nullopt;
  }
  return entry->snapshot;
}

}  // namespace orv::platform::posix
