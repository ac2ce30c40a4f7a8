// The entries a backup leaves out: patterns matched against paths relative to the source.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvcopy {

// `*` matches any characters but '/', `?` one character but '/', `**` any characters
// including '/'. A trailing '/' makes a pattern match folders only. A pattern without a '/'
// (other than a trailing one) matches an entry's name at any depth; one with a '/' matches the
// whole relative path (a leading '/' only anchors it).
class Excludes {
 public:
  // False, with `error` set, for a pattern that can match nothing (empty, or "/").
  bool Add(const std::string& pattern, std::string& error);
  // Adds the patterns of a file, one per line; empty lines and lines starting with '#' are
  // not patterns.
  bool AddFile(const std::string& file, std::string& error);

  bool Excluded(std::string_view path, bool folder) const;
  const std::vector<std::string>& Patterns() const { return m_given; }

 private:
  struct Pattern {
    std::string glob;
    bool folderOnly = false;
    bool wholePath = false;
  };
  std::vector<Pattern> m_patterns;
  std::vector<std::string> m_given;  // as the user wrote them
};

// Whether `text` matches the glob (`*`, `?`, `**`) as a whole.
bool GlobMatches(std::string_view glob, std::string_view text);

}  // namespace orvcopy
