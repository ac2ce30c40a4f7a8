#include "Selection.h"

#include "Text.h"

namespace orvcopy {

namespace {

std::string Normalized(std::string path) {
  while (path.size() > 2 && path.compare(0, 2, "./") == 0)
    path.erase(0, 2);
  while (path.size() > 1 && path.back() == '/')
    path.pop_back();
  return path;
}

bool AtOrBelow(const std::string& path, const std::string& top) {
  return path == top || IsBelow(path, top);
}

}  // namespace

Selection::Selection(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    m_paths.push_back(Normalized(path));
    for (size_t slash = m_paths.back().find('/'); slash != std::string::npos;
         slash = m_paths.back().find('/', slash + 1)) {
      m_above.insert(m_paths.back().substr(0, slash));
    }
  }
}

bool Selection::KeptPath(const std::string& path) const {
  if (m_paths.empty())
    return true;
  for (const std::string& top : m_paths) {
    if (AtOrBelow(path, top))
      return true;
  }
  return false;
}

bool Selection::Kept(const ManifestItem& item) const {
  return KeptPath(item.path) || (item.IsFolder() && m_above.count(item.path));
}

bool Selection::Survey(const ManifestItem& item) {
  for (const std::string& top : m_paths) {
    if (AtOrBelow(item.path, top))
      m_found.insert(top);
  }
  if (!Kept(item))
    return false;
  ++m_count;
  // The manifest was checked: a hard link leads to an earlier file.
  if (item.type == EntryType::HardLink && !KeptPath(item.link))
    m_needed.insert(item.link);
  return true;
}

bool Selection::Check(std::string& error) const {
  for (const std::string& path : m_paths) {
    if (!m_found.count(path)) {
      error = "the backup holds no entry " + Escape(path);
      return false;
    }
  }
  return true;
}

void Selection::Restart() {
  m_sources.clear();
  m_copies.clear();
  m_key = 0;
}

bool Selection::Take(ManifestItem& item) {
  if (m_paths.empty())
    return true;
  if (item.IsFile() && m_needed.count(item.path))
    m_sources.emplace(item.path, item);
  if (!Kept(item))
    return false;
  if (item.type == EntryType::HardLink && !KeptPath(item.link)) {
    if (const auto copy = m_copies.find(item.link); copy != m_copies.end()) {
      item.link = copy->second;
    } else {
      // The first kept name of a file left out takes its data; later names link to it.
      const std::string name = item.path;
      m_copies.emplace(item.link, name);
      item = m_sources.at(item.link);
      item.path = name;
    }
  }
  item.key = ++m_key;
  return true;
}

}  // namespace orvcopy
