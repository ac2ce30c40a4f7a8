// The library's owning byte buffer: an array of bytes released when the buffer goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace OrvCopy {

template <typename T = uint8_t>
class CBuffer {
 public:
  CBuffer() = default;
  // Allocates nCount elements, left uninitialised (a copy buffer is always written before it
  // is read). Throws std::bad_alloc when the memory is not there.
  explicit CBuffer(size_t nCount)
      : m_pData(std::make_unique_for_overwrite<T[]>(nCount)), m_nCount(nCount) {}

  T* GetData() { return m_pData.get(); }
  const T* GetData() const { return m_pData.get(); }
  size_t GetCount() const { return m_nCount; }
  std::span<T> GetSpan() { return {m_pData.get(), m_nCount}; }
  explicit operator bool() const { return m_pData != nullptr; }

 private:
  std::unique_ptr<T[]> m_pData;
  size_t m_nCount = 0;
};

}  // namespace OrvCopy
