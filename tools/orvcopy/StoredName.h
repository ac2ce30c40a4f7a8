// The names a backup gives the files and folders it stores below data/.
#pragma once

#include "Commands.h"

#include <string>
#include <string_view>

namespace orvcopy {

// How a backup names what it stores: the extension every stored file gets (".venc", ".zip" or
// none), and whether files are cut into parts, the later ones named ".001", ".002" and so on.
struct StoredNaming {
  std::string_view extension;
  bool split = false;
};

inline constexpr std::string_view kEncryptedExtension = ".venc";

// The naming of a backup made with these options.
inline StoredNaming NamingOf(const Options& options) {
  return {options.compress  ? ".zip"
          : options.encrypt ? kEncryptedExtension
                            : "",
          options.split != 0};
}

// The stored path of a tree entry. A name that could meet another entry's stored name gets
// ".orv" appended: a folder named as a file is stored ("x.venc" beside a file "x"), a name that
// ends as a later part does ("big.001" beside a cut "big"), and a name that ends in ".orv"
// itself, so that no two entries share a stored name. Plain, uncut backups keep every name.
std::string StoredPath(std::string_view path, bool isFile, const StoredNaming& naming);

}  // namespace orvcopy
