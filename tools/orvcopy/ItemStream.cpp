#include "ItemStream.h"

#include <exception>
#include <string>

namespace orvcopy {
namespace {

constexpr size_t kAhead = 256;

struct Closing : std::exception {};

}  // namespace

ItemStream::ItemStream(const Manifest& manifest) {
  try {
    m_reader = std::thread([this, &manifest] { Read(manifest); });
  } catch (const std::system_error&) {
    m_ended = true;  // no thread: an empty stream, and nothing is taken over
  }
}

ItemStream::~ItemStream() {
  {
    const std::lock_guard lock(m_mutex);
    m_closing = true;
  }
  m_changed.notify_all();
  if (m_reader.joinable())
    m_reader.join();
}

void ItemStream::Read(const Manifest& manifest) {
  std::string error;
  // The parser stops at the exception the sink throws once the stream closes. Whatever else
  // goes wrong ends the stream early: its reader then takes over nothing more.
  try {
    ReadManifestItems(
        manifest,
        [this](ManifestItem&& item) {
          std::unique_lock lock(m_mutex);
          m_changed.wait(lock, [this] { return m_closing || m_ahead.size() < kAhead; });
          if (m_closing)
            throw Closing();
          m_ahead.push_back(std::move(item));
          m_changed.notify_all();
        },
        error);
  } catch (...) {
  }
  const std::lock_guard lock(m_mutex);
  m_ended = true;
  m_changed.notify_all();
}

const ManifestItem* ItemStream::Peek() {
  std::unique_lock lock(m_mutex);
  m_changed.wait(lock, [this] { return m_ended || !m_ahead.empty(); });
  return m_ahead.empty() ? nullptr : &m_ahead.front();
}

void ItemStream::Pop() {
  {
    const std::lock_guard lock(m_mutex);
    if (!m_ahead.empty())
      m_ahead.pop_front();
  }
  m_changed.notify_all();
}

}  // namespace orvcopy
