// File names between the file system and the library's wide strings.
//
// On POSIX a file name is bytes and need not be UTF-8. The library takes every byte that is
// not part of valid UTF-8 as the code point U+DC00 + byte and gives it back unchanged, so any
// name round-trips. A host that lists folders itself converts with these. On Windows the
// narrow side is UTF-8 (file names are wide there already).
#pragma once

#include <OrvCopy/OrvCopyExport.h>

#include <string>
#include <string_view>

namespace OrvCopy {

// The wide form of a file name; never fails.
ORVCOPY_API std::wstring FileNameToWide(std::string_view bytes);

// The bytes of a wide file name. False for characters no file name can hold.
ORVCOPY_API bool WideToFileName(std::wstring_view wide, std::string& bytes);

// UTF-8 for display: escaped bytes come back as they were, other unencodable characters as
// U+FFFD.
ORVCOPY_API std::string WideToDisplay(std::wstring_view wide);

}  // namespace OrvCopy
