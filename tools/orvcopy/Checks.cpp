#include "Checks.h"

#include <isa-l/crc.h>
#include <zip.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <fstream>

namespace orvcopy {
namespace fs = std::filesystem;

namespace {

constexpr size_t kChunk = 1 << 20;

// A stored file opened for reading: a regular file, never one reached through a link at its
// own name. -1 when it is not one.
int OpenStored(const fs::path& path, struct stat& st) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Reads a stored file chunk by chunk; false when it cannot be read to its end.
template <typename Fn>
bool ReadThrough(const fs::path& path, Fn&& consume) {
  struct stat st {};
  const int fd = OpenStored(path, st);
  if (fd < 0)
    return false;
  std::vector<uint8_t> buffer(kChunk);
  ssize_t n;
  while ((n = ::read(fd, buffer.data(), buffer.size())) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0)
      consume(buffer.data(), static_cast<size_t>(n));
  }
  ::close(fd);
  return n == 0;
}

// A stored file's first header bytes and its length.
bool ReadHeader(const fs::path& path, uint8_t header[orv::CEncryption::kHeaderSize],
                uint64_t& size) {
  struct stat st {};
  const int fd = OpenStored(path, st);
  if (fd < 0)
    return false;
  const bool ok = ::pread(fd, header, orv::CEncryption::kHeaderSize, 0) ==
                  static_cast<ssize_t>(orv::CEncryption::kHeaderSize);
  ::close(fd);
  size = static_cast<uint64_t>(st.st_size);
  return ok;
}

}  // namespace

bool StoredPaths::Inside(const std::string& stored) {
  if (m_realData.empty())
    return false;
  const size_t slash = stored.rfind('/');
  if (slash != std::string::npos && !m_folders.count(stored.substr(0, slash))) {
    const std::string folder = stored.substr(0, slash);
    std::error_code ec;
    if (fs::canonical(m_realData / folder, ec) != m_realData / folder || ec)
      return false;
    m_folders.insert(folder);
  }
  struct stat st {};
  return ::lstat((m_realData / stored).c_str(), &st) == 0 &&
         (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode));
}

std::optional<uint32_t> FileRegister(const std::vector<fs::path>& paths) {
  // ISA-L's gzip CRC inverts the register on the way in and out: started from ~0, its
  // inverted result is the library's register started from 0.
  uint32_t crc = 0xFFFFFFFFu;
  for (const fs::path& path : paths) {
    const bool read = ReadThrough(
        path, [&crc](const uint8_t* data, size_t n) { crc = crc32_gzip_refl(crc, data, n); });
    if (!read)
      return std::nullopt;
  }
  return static_cast<uint32_t>(~crc);
}

bool AnnounceStoredFile(orv::CEncryption& engine, const fs::path& path, const std::string& salt) {
  uint8_t header[orv::CEncryption::kHeaderSize] = {};
  uint64_t size = 0;
  // A version-2 header (offset 8) names its salt at offset 48: it must be the backup's.
  const bool read = ReadHeader(path, header, size);
  const bool foreignSalt = header[8] == 2 && header[9] == 0 &&
                           std::string_view(reinterpret_cast<char*>(header) + 48, 16) != salt;
  // Bytes that cannot be used are announced all the same: the frame then decrypts nothing.
  return engine.SetNextFrameHeader(header, read && !foreignSalt ? sizeof header : 0, size);
}

std::optional<std::string> StoredFileTag(orv::CEncryption& engine, const fs::path& path,
                                         const std::string& salt) {
  if (!AnnounceStoredFile(engine, path, salt))
    return std::nullopt;
  engine.ResetChain();
  uint64_t offset = 0;
  bool tagged = true;  // a frame of version 1 takes no bytes for a tag
  const bool read = ReadThrough(path, [&](const uint8_t* data, size_t n) {
    // The header went into the tag with the announcement.
    const size_t skip = offset < orv::CEncryption::kHeaderSize
                            ? std::min<uint64_t>(n, orv::CEncryption::kHeaderSize - offset)
                            : 0;
    tagged = engine.AddToFrameTag(data + skip, n - skip) && tagged;
    offset += n;
  });
  uint8_t tag[orv::CEncryption::kTagSize];
  if (!read || (tagged && !engine.GetFrameTag(tag)))
    return std::nullopt;
  return tagged ? std::string(reinterpret_cast<const char*>(tag), sizeof tag) : std::string();
}

namespace {

// A host tag over the label and what `add` feeds it; empty when `add` or the engine fails.
template <typename Fn>
std::string LabelledTag(orv::CEncryption& engine, std::string_view label, Fn&& add) {
  if (!engine.BeginHostTag())
    return {};
  const auto feed = [&engine](const void* data, size_t n) {
    engine.AddToHostTag(static_cast<const uint8_t*>(data), n);
  };
  feed(label.data(), label.size());
  const bool added = add(feed);
  uint8_t tag[orv::CEncryption::kHostTagSize];
  if (!engine.EndHostTag(tag) || !added)
    return {};
  return std::string(reinterpret_cast<const char*>(tag), sizeof tag);
}

}  // namespace

std::string ManifestTagOfFile(orv::CEncryption& engine, const Manifest& manifest) {
  return LabelledTag(engine, kManifestLabel, [&](auto feed) {
    return ReadTaggedBytes(manifest,
                           [&feed](std::string_view bytes) { feed(bytes.data(), bytes.size()); });
  });
}

ManifestTagger ManifestTaggerOf(orv::CEncryption& engine) {
  const bool begun = engine.BeginHostTag();
  engine.AddToHostTag(reinterpret_cast<const uint8_t*>(kManifestLabel.data()),
                      kManifestLabel.size());
  return {[&engine](std::string_view bytes) {
            engine.AddToHostTag(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
          },
          [&engine, begun] {
            uint8_t tag[orv::CEncryption::kHostTagSize];
            return begun && engine.EndHostTag(tag)
                       ? std::string(reinterpret_cast<char*>(tag), sizeof tag)
                       : std::string();
          }};
}

std::string HostTagOfFile(orv::CEncryption& engine, const fs::path& path) {
  return LabelledTag(engine, kArchiveLabel, [&](auto feed) { return ReadThrough(path, feed); });
}

bool Extract(const fs::path& archive, const std::string& password, const fs::path* out) {
  int error = 0;
  zip_t* za = zip_open(archive.c_str(), ZIP_RDONLY, &error);
  if (za == nullptr)
    return false;
  if (!password.empty())
    zip_set_default_password(za, password.c_str());
  bool ok = zip_get_num_entries(za, 0) == 1;
  zip_file_t* entry = ok ? zip_fopen_index(za, 0, 0) : nullptr;
  std::ofstream file;
  if (entry != nullptr && out != nullptr)
    file.open(*out, std::ios::binary | std::ios::trunc);
  std::vector<char> buffer(kChunk);
  zip_int64_t n = 0;
  while (entry != nullptr && (n = zip_fread(entry, buffer.data(), buffer.size())) > 0) {
    if (out != nullptr)
      file.write(buffer.data(), n);
  }
  if (out != nullptr)
    file.close();
  ok = entry != nullptr && n == 0 && (out == nullptr || file.good());
  if (entry != nullptr)
    zip_fclose(entry);
  zip_discard(za);
  return ok;
}

}  // namespace orvcopy
