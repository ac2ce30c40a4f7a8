#include "Reuse.h"

#include "Checks.h"

#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace orvcopy {
namespace fs = std::filesystem;

Earlier::Earlier(OpenedBackup opened) : m_opened(std::move(opened)) {
  for (const ManifestItem& item : m_opened.manifest.items) {
    if (item.IsFile() && item.status == "done")
      m_files.emplace(item.path, &item);
  }
}

const ManifestItem* Earlier::Unchanged(const ManifestItem& item, const std::string& stored,
                                       const fs::path* source) const {
  const auto found = m_files.find(item.path);
  if (found == m_files.end())
    return nullptr;
  const ManifestItem& was = *found->second;
  const bool sameStat = was.stored == stored && was.size == item.size && was.mtime == item.mtime &&
                        was.meta && item.meta && was.meta->mode == item.meta->mode &&
                        was.meta->uid == item.meta->uid && was.meta->gid == item.meta->gid;
  // What restore checks each file by must be there: a tag when encrypted, else a CRC-32 unless
  // it is an archive (which checks itself).
  const Manifest& manifest = Listing();
  const bool checkable = manifest.encrypt ? !was.tag.empty() : (manifest.compress || was.crc);
  if (!sameStat || !checkable)
    return nullptr;
  for (int p = 0; p < was.parts; ++p) {
    if (!m_opened.stored.Inside(PartName(was.stored, p)))
      return nullptr;
  }
  if (source && FileRegister({*source}) != was.crc)
    return nullptr;
  return &was;
}

bool LinkStored(const fs::path& from, const fs::path& to, const ManifestItem& was,
                std::string& error) {
  for (int p = 0; p < was.parts; ++p) {
    const std::string part = PartName(was.stored, p);
    bool linked = ::link((from / part).c_str(), (to / part).c_str()) == 0;
    if (!linked && errno == ENOENT && p == 0) {
      // Its folder is not there yet: made here, as the library would make it.
      std::error_code ec;
      fs::create_directories((to / part).parent_path(), ec);
      linked = ::link((from / part).c_str(), (to / part).c_str()) == 0;
    }
    if (!linked) {
      error = std::string("it cannot be linked to its earlier copy: ") + std::strerror(errno);
      while (p-- > 0)
        ::unlink((to / PartName(was.stored, p)).c_str());
      return false;
    }
  }
  return true;
}

}  // namespace orvcopy
