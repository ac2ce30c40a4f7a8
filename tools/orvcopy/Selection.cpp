#include "Selection.h"

#include "Text.h"

#include <unordered_map>
#include <unordered_set>

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
  return path.compare(0, top.size(), top) == 0 &&
         (path.size() == top.size() || path[top.size()] == '/');
}

}  // namespace

bool SelectEntries(Manifest& manifest, const std::vector<std::string>& given, std::string& error) {
  if (given.empty())
    return true;
  std::vector<std::string> paths;
  std::unordered_set<std::string> above;  // folders that lead to a selected path
  for (const std::string& path : given) {
    paths.push_back(Normalized(path));
    for (size_t slash = paths.back().find('/'); slash != std::string::npos;
         slash = paths.back().find('/', slash + 1)) {
      above.insert(paths.back().substr(0, slash));
    }
  }
  std::unordered_set<std::string> found;
  std::unordered_map<std::string, const ManifestItem*> files;  // every file, by path
  std::unordered_map<std::string, std::string> copies;  // a left-out file: where it is kept now
  std::deque<ManifestItem> kept;
  for (const ManifestItem& item : manifest.items) {
    if (item.IsFile())
      files.emplace(item.path, &item);
    bool selected = item.IsFolder() && above.count(item.path);
    for (const std::string& path : paths) {
      if (AtOrBelow(item.path, path)) {
        selected = true;
        found.insert(path);
      }
    }
    if (!selected)
      continue;
    kept.push_back(item);
    ManifestItem& entry = kept.back();
    if (entry.IsFile())
      copies[entry.path] = entry.path;
    if (entry.type == EntryType::HardLink) {
      if (const auto copy = copies.find(entry.link); copy != copies.end()) {
        entry.link = copy->second;
      } else if (const auto file = files.find(entry.link); file != files.end()) {
        // The first kept name of a file left out takes its data; later names link to it.
        const std::string name = entry.path;
        copies[entry.link] = name;
        entry = *file->second;
        entry.path = name;
      } else {
        error = "the backup's hard link " + Escape(entry.path) + " leads to no file it holds";
        return false;
      }
    }
    entry.key = kept.size();
  }
  for (const std::string& path : paths) {
    if (!found.count(path)) {
      error = "the backup holds no entry " + Escape(path);
      return false;
    }
  }
  manifest.items = std::move(kept);
  return true;
}

}  // namespace orvcopy
