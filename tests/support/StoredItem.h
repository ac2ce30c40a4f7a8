// Reads an item back from the files a mirror backup stored for it, without the restore code.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace orvtest {

// The data of an item as restored from its parts: the first part decrypted with `password`
// (at the key length its header names) when it was encrypted, the later (plain) parts appended. The
// first part's plain bytes are what the later parts do not hold. Nothing when the encrypted header
// does not match.
std::optional<std::string> Reassemble(const std::vector<std::filesystem::path>& parts,
                                      bool encrypted, const std::wstring& password,
                                      uint32_t capacity, uint64_t totalSize);

}  // namespace orvtest
