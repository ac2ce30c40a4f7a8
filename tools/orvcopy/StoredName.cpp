#include "StoredName.h"

#include <algorithm>
#include <cctype>

namespace orvcopy {
namespace {

constexpr std::string_view kDistinct = ".orv";

bool EndsWithNoCase(std::string_view name, std::string_view end) {
  return !end.empty() && name.size() >= end.size() &&
         std::equal(end.begin(), end.end(), name.end() - end.size(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         });
}

// Whether a name ends as a later part's suffix does: a dot and three or more digits.
bool EndsAsPart(std::string_view name) {
  const size_t dot = name.rfind('.');
  return dot != std::string_view::npos && name.size() - dot > 3 &&
         std::all_of(name.begin() + dot + 1, name.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

// Whether a name, kept as it is, could equal another entry's stored name. Stored files end in
// the extension and later parts in their number: a folder's name must end in neither, and so
// must a file's when files get no extension.
bool MayMeet(std::string_view name, bool isFile, const StoredNaming& naming) {
  if (isFile && !naming.extension.empty())
    return false;
  return EndsWithNoCase(name, naming.extension) || (naming.split && EndsAsPart(name));
}

// Whether names of this kind can be changed at all. Those that can are changed also when they
// end in the marker, so that a changed name never equals one kept as it is.
bool Changeable(bool isFile, const StoredNaming& naming) {
  if (isFile && !naming.extension.empty())
    return false;
  return !naming.extension.empty() || naming.split;
}

void AppendName(std::string& out, std::string_view name, bool isFile, const StoredNaming& naming) {
  out += name;
  if (Changeable(isFile, naming) &&
      (MayMeet(name, isFile, naming) || EndsWithNoCase(name, kDistinct)))
    out += kDistinct;
}

}  // namespace

std::string StoredPath(std::string_view path, bool isFile, const StoredNaming& naming) {
  std::string stored;
  for (size_t start = 0;;) {
    const size_t slash = path.find('/', start);
    const bool last = slash == std::string_view::npos;
    AppendName(stored, path.substr(start, last ? std::string_view::npos : slash - start),
               last && isFile, naming);
    if (last)
      break;
    stored += '/';
    start = slash + 1;
  }
  if (isFile)
    stored += naming.extension;
  return stored;
}

}  // namespace orvcopy
