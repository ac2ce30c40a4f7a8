// Writing on a second thread: the blocks of one destination file at a time are written in
// order by a thread of their own while the copy reads, checksums and encrypts the next ones.
// The blocks pass through a small ring of buffers that is kept from file to file.
#pragma once

#include <orv_platform/framework.h>

#include "Buffer.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>

namespace OrvCopy {

class CBlockWriter {
 public:
  CBlockWriter();
  ~CBlockWriter();  // writes what is queued, then ends the thread
  CBlockWriter(const CBlockWriter&) = delete;
  CBlockWriter& operator=(const CBlockWriter&) = delete;

  // One destination file, from Begin to Finish. The file is the writer's in between: the
  // caller does not touch it until Finish has returned, which the destructor makes sure of.
  class Session {
   public:
    Session() = default;
    Session(CBlockWriter& writer, CFile& dest, uint32_t nCapacity);
    ~Session();
    Session(Session&& other) noexcept;
    Session& operator=(Session&& other) noexcept;

    explicit operator bool() const { return m_pWriter != nullptr; }
    // The buffer of nCapacity bytes that the next block goes into; waits until one is free.
    uint8_t* NextBuffer() { return m_pWriter->NextBuffer(); }
    // Queues n bytes of the buffer NextBuffer gave. Throws the exception of a write that has
    // failed since the last call: the blocks queued after it are dropped, never written.
    void Submit(uint32_t n) { m_pWriter->Submit(n); }
    // Waits until every queued block is written. Throws the exception of a failed write that
    // Submit has not thrown yet.
    void Drain();
    // Drain, and the file is the caller's again.
    void Finish();

   private:
    CBlockWriter* m_pWriter = nullptr;
  };

 private:
  static constexpr size_t kSlots = 3;
  struct Slot {
    CBuffer<uint8_t> buffer;
    uint32_t n = 0;
  };

  void Begin(CFile& dest, uint32_t nCapacity);
  uint8_t* NextBuffer();
  void Submit(uint32_t n);
  std::exception_ptr Drain();
  std::exception_ptr Finish();
  void Run();

  std::mutex m_mutex;
  std::condition_variable m_queued;   // the thread waits for a block (or for the end)
  std::condition_variable m_written;  // the caller waits for a free buffer (or for the end)
  std::array<Slot, kSlots> m_slots;
  uint32_t m_nCapacity = 0;
  uint64_t m_nQueued = 0;   // blocks queued since the thread started
  uint64_t m_nWritten = 0;  // blocks the thread is done with (written or dropped)
  CFile* m_pDest = nullptr;
  std::exception_ptr m_failure;  // the first failed write of the current file, not yet thrown
  bool m_bFailed = false;        // a write of the current file failed: the rest is dropped
  bool m_bQuit = false;
  std::thread m_thread;  // last: started when everything above is ready
};

}  // namespace OrvCopy
