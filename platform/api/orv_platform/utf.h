// Conversions between the library's wide strings and the encodings outside it.
//
// On POSIX a wide string holds Unicode code points and the file system takes bytes. File
// names need not be valid UTF-8, so decoding maps every byte 0xXY that is not part of a valid
// UTF-8 sequence to the code point U+DCXY, and encoding maps U+DC80..U+DCFF back to the byte
// ("surrogate escape"): every POSIX file name round-trips through a wide string.
//
// On Windows a wide string holds UTF-16 units, as the system's file names do; the narrow side
// (log formats, archive entry names) is UTF-8 with the same escapes.
#pragma once

#include <string>
#include <string_view>

namespace orv::platform {

// A wide-string argument of the API, which may be null: null reads as the empty string.
inline const wchar_t* OrEmpty(const wchar_t* text) {
  return text != nullptr ? text : L"";
}

// Encodes a wide string as file-system bytes. Returns false (and leaves `out` unspecified)
// when the string holds a code point that no byte sequence stands for: a surrogate outside
// U+DC80..U+DCFF, a value above U+10FFFF, or NUL.
bool WideToNative(std::wstring_view wide, std::string& out);

// Decodes file-system bytes; never fails.
std::wstring NativeToWide(std::string_view bytes);

// Encodes for display and logs: like WideToNative, with U+FFFD for what cannot be encoded.
std::string WideToUtf8Lossy(std::wstring_view wide);

// UTF-16 code units, as the host records hold them. Code points above U+FFFF become surrogate
// pairs; escaped bytes (U+DC80..U+DCFF) stay single units, so they round-trip too.
std::u16string WideToUtf16(std::wstring_view wide);
std::wstring Utf16ToWide(std::u16string_view utf16);

}  // namespace orv::platform
