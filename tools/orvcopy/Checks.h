// Reading stored files back: the CRC-32 register of plain data, the keyed tags of encrypted
// files and archives, and the extraction of an archive's one entry.
#pragma once

#include <OrvCopy/external/orv_encryption.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace orvcopy {

// The library's CRC register (not inverted) over the files one after the other; nothing when
// one cannot be read.
std::optional<uint32_t> FileRegister(const std::vector<std::filesystem::path>& paths);

// The tag of an encrypted file (version 2) read through: header and body as stored. Empty when
// the file cannot be read or is no encrypted file of the engine's key length.
std::string StoredFileTag(orv::CEncryption& engine, const std::filesystem::path& path);

// The engine's tag of a host's data over a whole file (an archive); empty when it cannot be read.
std::string HostTagOfFile(orv::CEncryption& engine, const std::filesystem::path& path);

// Announces an encrypted file to the engine before the library decrypts it: its first bytes
// and its length. False when the file cannot be read.
bool AnnounceStoredFile(orv::CEncryption& engine, const std::filesystem::path& path);

// Extracts (or, without `out`, reads through) the one entry of an archive; libzip checks the
// entry's CRC-32 and, for WinZip AES, its authentication code as it reads.
bool Extract(const std::filesystem::path& archive, const std::string& password,
             const std::filesystem::path* out);

}  // namespace orvcopy
