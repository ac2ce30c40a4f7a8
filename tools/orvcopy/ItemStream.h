// The items of a manifest read from a file, taken one at a time in their order: a thread
// parses a few hundred items ahead, so that a reader going through a million items next to
// other work holds none of the rest.
#pragma once

#include "Manifest.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace orvcopy {

class ItemStream {
 public:
  // Reads the items of `manifest` again from its file (see ReadManifestItems); the manifest
  // must outlive the stream, and nothing else may read its items meanwhile.
  explicit ItemStream(const Manifest& manifest);
  ~ItemStream();
  ItemStream(const ItemStream&) = delete;
  ItemStream& operator=(const ItemStream&) = delete;

  // The next item, or null at the end. An item is valid until Pop. A file that cannot be read
  // again (or changed since) ends the stream early.
  const ManifestItem* Peek();
  void Pop();

 private:
  void Read(const Manifest& manifest);

  std::mutex m_mutex;  // guards what follows
  std::condition_variable m_changed;
  std::deque<ManifestItem> m_ahead;
  bool m_ended = false, m_closing = false;
  std::thread m_reader;
};

}  // namespace orvcopy
