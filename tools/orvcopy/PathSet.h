// A set of paths kept small: one word per path.
#pragma once

#include "Text.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace orvcopy {

// A set of paths by their hashes, each with its kind: one word per path in a table with open
// addressing, which a million paths fill with 16 to 32 MB less than node-based sets would.
class PathSet {
 public:
  enum Kind : uint64_t { Other = 1, Folder = 2, File = 3 };

  // False when the path is in the set already, of any kind.
  bool Insert(std::string_view path, Kind kind) {
    if (2 * (m_count + 1) > m_slots.size())
      Grow();
    const uint64_t key = Key(path);
    uint64_t& slot = m_slots[Slot(key)];
    if (slot != 0)
      return false;
    slot = key | kind;
    ++m_count;
    return true;
  }
  bool Contains(std::string_view path, Kind kind) const {
    const uint64_t key = Key(path);
    return !m_slots.empty() && m_slots[Slot(key)] == (key | kind);
  }

 private:
  static uint64_t Key(std::string_view path) { return PathHash(path) & ~uint64_t{3}; }

  // The slot that holds the key, or the empty one where it would go (linear probing).
  size_t Slot(uint64_t key) const {
    const size_t mask = m_slots.size() - 1;
    size_t i = (key >> 2) & mask;
    while (m_slots[i] != 0 && (m_slots[i] & ~uint64_t{3}) != key)
      i = (i + 1) & mask;
    return i;
  }

  void Grow() {
    std::vector<uint64_t> old(std::max<size_t>(1024, 2 * m_slots.size()), 0);
    old.swap(m_slots);
    for (const uint64_t entry : old) {
      if (entry != 0)
        m_slots[Slot(entry & ~uint64_t{3})] = entry;
    }
  }

  std::vector<uint64_t> m_slots;
  size_t m_count = 0;
};

}  // namespace orvcopy
