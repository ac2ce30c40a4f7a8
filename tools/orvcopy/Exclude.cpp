#include "Exclude.h"

#include <cstdint>
#include <fstream>

namespace orvcopy {

namespace {

// Glob matching with every (pattern position, text position) answered once, so that patterns
// with many stars cost at most their length times the path's, never an exponential search.
class GlobMatcher {
 public:
  GlobMatcher(std::string_view glob, std::string_view text)
      : m_glob(glob), m_text(text), m_memo((glob.size() + 1) * (text.size() + 1), kUnknown) {}

  bool Matches(size_t g, size_t t) {
    int8_t& known = m_memo[g * (m_text.size() + 1) + t];
    if (known == kUnknown)
      known = Compute(g, t) ? 1 : 0;
    return known == 1;
  }

 private:
  static constexpr int8_t kUnknown = -1;

  bool Compute(size_t g, size_t t) {
    const std::string_view glob = m_glob.substr(g);
    const bool more = t < m_text.size();
    if (glob.empty())
      return !more;
    if (glob.substr(0, 3) == "**/") {
      // No folder, or one more whole folder: "a/**/b" takes "a/b" and "a/x/y/b".
      return Matches(g + 3, t) || (more && m_text[t] != '/' && SkipFolder(g, t));
    }
    if (glob.substr(0, 2) == "**")
      return Matches(g + 2, t) || (more && Matches(g, t + 1));
    if (glob.front() == '*')
      return Matches(g + 1, t) || (more && m_text[t] != '/' && Matches(g, t + 1));
    if (!more || (glob.front() == '?' ? m_text[t] == '/' : glob.front() != m_text[t]))
      return false;
    return Matches(g + 1, t + 1);
  }

  // "**/" at `g` after the folder name that starts at `t`.
  bool SkipFolder(size_t g, size_t t) {
    const size_t slash = m_text.find('/', t);
    return slash != std::string_view::npos && Matches(g, slash + 1);
  }

  std::string_view m_glob, m_text;
  std::vector<int8_t> m_memo;
};

}  // namespace

bool GlobMatches(std::string_view glob, std::string_view text) {
  return GlobMatcher(glob, text).Matches(0, 0);
}

bool Excludes::Add(const std::string& given, std::string& error) {
  Pattern pattern;
  std::string glob = given;
  if (!glob.empty() && glob.back() == '/') {
    pattern.folderOnly = true;
    glob.pop_back();
  }
  pattern.wholePath = glob.find('/') != std::string::npos;
  if (!glob.empty() && glob.front() == '/')
    glob.erase(0, 1);
  if (glob.empty()) {
    error = "--exclude: the pattern \"" + given + "\" names nothing";
    return false;
  }
  pattern.glob = glob;
  m_patterns.push_back(std::move(pattern));
  m_given.push_back(given);
  return true;
}

bool Excludes::AddFile(const std::string& file, std::string& error) {
  std::ifstream in(file);
  if (!in) {
    error = "--exclude-from: cannot read " + file;
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (!line.empty() && line.front() != '#' && !Add(line, error))
      return false;
  }
  return true;
}

bool Excludes::Excluded(std::string_view path, bool folder) const {
  const size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  for (const Pattern& pattern : m_patterns) {
    if (pattern.folderOnly && !folder)
      continue;
    if (GlobMatches(pattern.glob, pattern.wholePath ? path : name))
      return true;
  }
  return false;
}

}  // namespace orvcopy
