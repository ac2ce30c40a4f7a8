// Reading stored files back: the CRC-32 register of plain data, the keyed tags of encrypted
// files and archives, and the extraction of an archive's one entry.
#pragma once

#include "Manifest.h"

#include <OrvCopy/external/orv_encryption.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace orvcopy {

// Tells whether stored paths name files or folders below the backup's data folder that are
// reached without following a link, so that a backup changed to lead a restore, verify or
// removal elsewhere through a link is not followed. The folders on the way are resolved once.
class StoredPaths {
 public:
  // `realData`: the data folder, links resolved; empty when there is none to take.
  explicit StoredPaths(std::filesystem::path realData) : m_realData(std::move(realData)) {}
  bool Inside(const std::string& stored);

 private:
  std::filesystem::path m_realData;
  std::unordered_set<std::string> m_folders;  // folders found inside, relative
};

// The library's CRC register (not inverted) over the files one after the other; nothing when
// one cannot be read. Here and below, stored files are read only when they are regular files
// and their own names are no links.
std::optional<uint32_t> FileRegister(const std::vector<std::filesystem::path>& paths);

// The tag of an encrypted file read through: header and body as stored; empty for a file of
// version 1, which has none. Nothing when the file cannot be read or is no encrypted file of
// the engine's key length and the backup's salt.
std::optional<std::string> StoredFileTag(orv::CEncryption& engine,
                                         const std::filesystem::path& path,
                                         const std::string& salt);

// Why a stored file fails its keyed tag.
inline constexpr const char* kNotOfThisBackup =
    "its stored file is not one of this backup (a damaged header, or another backup's file)";
inline constexpr const char* kTagMismatch =
    "it was changed or damaged in the backup (its keyed tag does not match)";
inline constexpr const char* kTagNotKept =
    "it carries a keyed tag that its manifest does not keep: the manifest was changed";

// What a keyed tag of orvcopy's own data covers first, so that the tag of one kind of data is
// never the tag of another.
inline constexpr std::string_view kManifestLabel{"orvcopy manifest\0", 17};
inline constexpr std::string_view kArchiveLabel{"orvcopy archive\0", 16};

// The tag of a manifest read from its file (ReadManifest), over the manifest label and the
// bytes its tag covers; empty without usable keys, or when the file cannot be read again or
// has changed since it was read.
std::string ManifestTagOfFile(orv::CEncryption& engine, const Manifest& manifest);

// The tag of a manifest as SaveManifest writes it: over the manifest label and its bytes.
// Its `finish` gives nothing when the engine has no usable keys.
ManifestTagger ManifestTaggerOf(orv::CEncryption& engine);

// The same over the label and a whole file (an archive); empty when it cannot be read.
std::string HostTagOfFile(orv::CEncryption& engine, const std::filesystem::path& path);

// Announces an encrypted file to the engine before the library decrypts it: its first bytes
// and its length. False, and the announced frame decrypts nothing, when the file cannot be
// read or is a version-2 file of another salt than the backup's.
bool AnnounceStoredFile(orv::CEncryption& engine, const std::filesystem::path& path,
                        const std::string& salt);

// Extracts (or, without `out`, reads through) the one entry of an archive; libzip checks the
// entry's CRC-32 and, for WinZip AES, its authentication code as it reads.
bool Extract(const std::filesystem::path& archive, const std::string& password,
             const std::filesystem::path* out);

}  // namespace orvcopy
