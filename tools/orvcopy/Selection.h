// A part of a backup: the entries at or below some paths.
#pragma once

#include "Manifest.h"

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace orvcopy {

// The entries at or below the given paths (relative to the backed-up folder; "./" and a
// trailing '/' are allowed) and the folders above them, taken as the manifest's items go by,
// in order, with keys renumbered from 1. A hard link kept without the file it links to becomes
// a copy of that file, so that it can be restored on its own. No paths keep every entry.
// What it holds is the paths and the files that such links need, not the entries.
class Selection {
 public:
  explicit Selection(const std::vector<std::string>& paths);

  // The first reading: every item of the manifest, in order; whether the item is kept.
  bool Survey(const ManifestItem& item);
  // After the survey: false, with `error` naming it, when a path is not in the manifest.
  bool Check(std::string& error) const;
  // The entries kept.
  size_t Count() const { return m_count; }

  // Every reading after the survey: Restart, then every item in order. False when the item
  // is left out; else the item is made the entry the part holds.
  void Restart();
  bool Take(ManifestItem& item);

 private:
  bool Kept(const ManifestItem& item) const;
  bool KeptPath(const std::string& path) const;

  std::vector<std::string> m_paths;
  std::unordered_set<std::string> m_above;  // folders that lead to a selected path
  std::unordered_set<std::string> m_found;
  std::unordered_set<std::string> m_needed;  // files left out that kept hard links lead to
  size_t m_count = 0;
  // In a reading: the needed files seen so far, and where each is kept now (its first link).
  std::unordered_map<std::string, ManifestItem> m_sources;
  std::unordered_map<std::string, std::string> m_copies;
  uint64_t m_key = 0;
};

}  // namespace orvcopy
