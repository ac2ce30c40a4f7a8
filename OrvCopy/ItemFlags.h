// Reading an item's flag word.
#pragma once

#include <OrvCopy/OrvCopyManager.h>

#include <cstdint>

namespace OrvCopy {

inline bool HasFlag(const CArchiveItem& item, uint32_t flag) {
  return (item.m_dwFlags & flag) != 0;
}

}  // namespace OrvCopy
