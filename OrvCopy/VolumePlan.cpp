// The split-volume plan and the volume state: whether output is split, where the current
// volume ends, and every change of the volume counters (split index, resume offset, volume
// number, continuation flag, bytes of the volume and of the item).
//
// A volume size of 0 means "no limit" for the volume it applies to. Taken literally it would
// cut every block to nothing and end volume after volume without progress, so it is never
// used as a limit.
#include <OrvCopy/OrvCopyManager.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>

namespace OrvCopy {

int COrvCopyManager::IsSplitEnabled() const {
  return m_arrSplitSizes.empty() ? 0 : 1;
}

void COrvCopyManager::AddSplitSize(uint64_t nSize) {
  m_arrSplitSizes.push_back(nSize);
}

uint64_t COrvCopyManager::GetSplitSize() const {
  if (m_arrSplitSizes.empty()) {
    throw std::out_of_range("invalid vector<T> subscript");
  }
  // The index is 0 in every action; a negative one, which no operation sets, selects the first.
  const int count = static_cast<int>(std::min<size_t>(m_arrSplitSizes.size(), INT32_MAX));
  if (m_nSplitIndex < 0) {
    return m_arrSplitSizes.front();
  }
  return m_nSplitIndex < count ? m_arrSplitSizes[static_cast<size_t>(m_nSplitIndex)]
                               : m_arrSplitSizes.back();
}

uint32_t COrvCopyManager::ApplyVolumeLimit(uint32_t nRead, int bFileData, bool& bVolumeFull) {
  bVolumeFull = false;
  if (IsSplitEnabled()) {
    const uint64_t limit = GetSplitSize();
    if (limit != 0 && m_nVolumeWritten + nRead > limit) {
      bVolumeFull = true;
      // A file block ends exactly at the limit, the rest is read again by the next part; a
      // host-streamed block cannot be read again and is written whole.
      if (bFileData) {
        nRead = m_nVolumeWritten < limit ? static_cast<uint32_t>(limit - m_nVolumeWritten) : 0;
      }
    }
  }
  CountItemBytes(nRead);
  return nRead;
}

void COrvCopyManager::CountItemBytes(uint64_t nBytes) {
  m_nItemProcessed += nBytes;
  m_nVolumeWritten += nBytes;
}

void COrvCopyManager::CountSimulatedItem(uint64_t nDataSize) {
  m_nItemProcessed = nDataSize;
  m_nVolumeWritten += nDataSize;
}

void COrvCopyManager::MeasureItem(uint64_t nLength) {
  m_nItemProcessed = m_nVolumeWritten = nLength;
}

void COrvCopyManager::EndPartAtFullVolume() {
  m_bContinueInNextVolume = 1;
  m_nResumeOffset = m_nItemProcessed;
}

void COrvCopyManager::AdvanceVolume() {
  ++m_nVolumeNumber;
  m_nVolumeWritten = 0;
}

void COrvCopyManager::ResetItemVolumeState() {
  m_nSplitIndex = 0;
  m_nResumeOffset = 0;
  m_nVolumeNumber = 0;
  m_bContinueInNextVolume = 0;
}

void COrvCopyManager::ResetByteCounters() {
  m_nTotalProcessed = 0;
  m_nItemProcessed = 0;
  m_nVolumeWritten = 0;
}

void COrvCopyManager::ResetRunCounters() {
  m_strLastFolderMade.clear();
  ResetByteCounters();
  ResetItemVolumeState();
}

void COrvCopyManager::StartItem() {
  ResetItemVolumeState();
  m_nItemProcessed = 0;
  m_dwItemCRC = 0;
}

void COrvCopyManager::StartRestoredItem() {
  StartItem();
  m_nVolumeWritten = 0;  // on restore: the bytes of the item read so far
}

bool COrvCopyManager::FitsInCurrentVolume(uint64_t nDataSize) const {
  if (!IsSplitEnabled()) {
    return true;
  }
  const uint64_t limit = GetSplitSize();
  return limit == 0 || (m_nVolumeWritten <= limit && nDataSize <= limit - m_nVolumeWritten);
}

}  // namespace OrvCopy
