#include "open_snapshot.h"

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

Entry* Find(int fd) {
  if (fd < 0 || static_cast<size_t>(fd) >= g_entries.size() || !g_entries[fd].present) {
    return nullptr;
  }
  return &g_entries[fd];
}

}  // namespace

void RememberOpen(int fd, const OpenSnapshot& snapshot) {
  if (fd < 0)
    return;
  const std::lock_guard lock(g_mutex);
  if (static_cast<size_t>(fd) >= g_entries.size()) {
    g_entries.resize(static_cast<size_t>(fd) + 1);
  }
  g_entries[fd] = Entry{snapshot, true, true};
}

void ForgetOpen(int fd) {
  const std::lock_guard lock(g_mutex);
  if (Entry* entry = Find(fd)) {
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
  const std::lock_guard lock(g_mutex);
  if (Entry* entry = Find(fd)) {
    entry->lengthFresh = false;
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

void TimesChanged(int fd) {
  ForgetOpen(fd);
}

}  // namespace orv::platform::posix
