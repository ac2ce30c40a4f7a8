#include "BlockWriter.h"

#include <utility>

namespace OrvCopy {

CBlockWriter::CBlockWriter() : m_thread([this] { Run(); }) {}

CBlockWriter::~CBlockWriter() {
  {
    std::lock_guard lock(m_mutex);
    m_bQuit = true;
  }
  m_queued.notify_one();
  m_thread.join();
}

void CBlockWriter::Begin(CFile& dest, uint32_t nCapacity) {
  std::lock_guard lock(m_mutex);
  if (m_nCapacity != nCapacity) {
    m_nCapacity = 0;  // until every buffer has the new size
    for (Slot& slot : m_slots) {
      slot.buffer = CBuffer<uint8_t>(nCapacity);
    }
    m_nCapacity = nCapacity;
  }
  m_pDest = &dest;
}

uint8_t* CBlockWriter::NextBuffer() {
  std::unique_lock lock(m_mutex);
  m_written.wait(lock, [this] { return m_nQueued - m_nWritten < kSlots; });
  return m_slots[m_nQueued % kSlots].buffer.GetData();
}

void CBlockWriter::Submit(uint32_t n) {
  std::exception_ptr failure;
  {
    std::lock_guard lock(m_mutex);
    m_slots[m_nQueued % kSlots].n = n;
    ++m_nQueued;
    failure = std::exchange(m_failure, nullptr);
  }
  m_queued.notify_one();
  if (failure) {
    std::rethrow_exception(failure);
  }
}

std::exception_ptr CBlockWriter::Drain() {
  std::unique_lock lock(m_mutex);
  m_written.wait(lock, [this] { return m_nWritten == m_nQueued; });
  return std::exchange(m_failure, nullptr);
}

std::exception_ptr CBlockWriter::Finish() {
  std::exception_ptr failure = Drain();
  const std::lock_guard lock(m_mutex);
  m_pDest = nullptr;
  m_bFailed = false;
  return failure;
}

void CBlockWriter::Run() {
  std::unique_lock lock(m_mutex);
  for (;;) {
    m_queued.wait(lock, [this] { return m_bQuit || m_nWritten != m_nQueued; });
    if (m_nWritten == m_nQueued) {
      return;  // asked to end, with nothing left to write
    }
    const Slot& slot = m_slots[m_nWritten % kSlots];
    CFile* const dest = m_bFailed ? nullptr : m_pDest;
    lock.unlock();
    std::exception_ptr failure;
    if (dest != nullptr) {
      try {
        dest->Write(slot.buffer.GetData(), slot.n);
      } catch (...) {
        failure = std::current_exception();
      }
    }
    lock.lock();
    if (failure) {
      m_failure = failure;
      m_bFailed = true;
    }
    ++m_nWritten;
    m_written.notify_one();
  }
}

CBlockWriter::Session::Session(CBlockWriter& writer, CFile& dest, uint32_t nCapacity)
    : m_pWriter(&writer) {
  writer.Begin(dest, nCapacity);
}

CBlockWriter::Session::~Session() {
  if (m_pWriter != nullptr) {
    m_pWriter->Finish();  // leaving early: the failure, if any, is not the caller's news
  }
}

CBlockWriter::Session::Session(Session&& other) noexcept
    : m_pWriter(std::exchange(other.m_pWriter, nullptr)) {}

CBlockWriter::Session& CBlockWriter::Session::operator=(Session&& other) noexcept {
  if (this != &other) {
    if (m_pWriter != nullptr) {
      m_pWriter->Finish();
    }
    m_pWriter = std::exchange(other.m_pWriter, nullptr);
  }
  return *this;
}

void CBlockWriter::Session::Drain() {
  if (m_pWriter != nullptr) {
    if (const std::exception_ptr failure = m_pWriter->Drain()) {
      std::rethrow_exception(failure);
    }
  }
}

void CBlockWriter::Session::Finish() {
  if (m_pWriter == nullptr) {
    return;
  }
  const std::exception_ptr failure = std::exchange(m_pWriter, nullptr)->Finish();
  if (failure) {
    std::rethrow_exception(failure);
  }
}

}  // namespace OrvCopy
