// Bytes as orvcopy shows and stores them: names escaped for a terminal, binary values as hex.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orvcopy {

// True when the bytes are valid UTF-8 (no overlong forms, no surrogates).
bool IsUtf8(std::string_view bytes);

// A name as it is printed: valid UTF-8 stays as it is, except the backslash ("\\"), control
// characters ("\n", "\t", "\r", others "\xNN" per byte) and the characters that reorder or
// break lines ("\u202e"); every byte that is not part of valid UTF-8 becomes "\xNN". So a name
// always prints on one line, and different names print differently.
std::string Escape(std::string_view bytes);

// Compares keyed values in a time that does not depend on where they differ.
bool EqualSecret(std::string_view a, std::string_view b);

// A 64-bit hash of a path (FNV-1a), for sets of a whole tree's paths that must stay small.
uint64_t PathHash(std::string_view path);

// Whether path `a` comes before path `b` in the order a backup lists a tree: folder by folder,
// names in byte order, each folder's content right after it (a slash sorts before any byte).
bool BeforeInWalk(std::string_view a, std::string_view b);
// Whether `path` lies below the folder `folder` (both relative, without trailing slashes).
bool IsBelow(std::string_view path, std::string_view folder);

// A count and its noun, plural unless the count is one: "1 file", "3 files" (or `plural`).
std::string Counted(uint64_t count, std::string_view noun, std::string_view plural = {});

std::string Hex(std::string_view bytes);
// Lower-case hex digits only; false for anything else or an odd count.
bool FromHex(std::string_view hex, std::string& bytes);

}  // namespace orvcopy
