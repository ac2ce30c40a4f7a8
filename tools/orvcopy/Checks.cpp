#include "Checks.h"

#include <zip.h>
#include <zlib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <fstream>

namespace orvcopy {
namespace fs = std::filesystem;

namespace {

constexpr size_t kChunk = 1 << 20;

// Reads a file chunk by chunk; false when it cannot be read to its end.
template <typename Fn>
bool ReadThrough(const fs::path& path, Fn&& consume) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return false;
  std::vector<char> buffer(kChunk);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    consume(reinterpret_cast<const uint8_t*>(buffer.data()), static_cast<size_t>(in.gcount()));
  }
  return !in.bad();
}

// A file's first header bytes and its length.
bool ReadHeader(const fs::path& path, uint8_t header[orv::CEncryption::kHeaderSize],
                uint64_t& size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  struct stat st {};
  const bool ok = ::fstat(fd, &st) == 0 && ::pread(fd, header, orv::CEncryption::kHeaderSize, 0) ==
                                               static_cast<ssize_t>(orv::CEncryption::kHeaderSize);
  ::close(fd);
  size = static_cast<uint64_t>(st.st_size);
  return ok;
}

}  // namespace

std::optional<uint32_t> FileRegister(const std::vector<fs::path>& paths) {
  uLong crc = 0xFFFFFFFFul;  // raw(0) = ~crc32(~0)
  for (const fs::path& path : paths) {
    const bool read = ReadThrough(path, [&crc](const uint8_t* data, size_t n) {
      crc = crc32(crc, data, static_cast<uInt>(n));
    });
    if (!read)
      return std::nullopt;
  }
  return static_cast<uint32_t>(~crc);
}

bool AnnounceStoredFile(orv::CEncryption& engine, const fs::path& path) {
  uint8_t header[orv::CEncryption::kHeaderSize];
  uint64_t size = 0;
  if (!ReadHeader(path, header, size))
    return false;
  return engine.SetNextFrameHeader(header, sizeof header, size);
}

std::string StoredFileTag(orv::CEncryption& engine, const fs::path& path) {
  if (!AnnounceStoredFile(engine, path))
    return {};
  engine.ResetChain();
  uint64_t offset = 0;
  bool usable = true;
  const bool read = ReadThrough(path, [&](const uint8_t* data, size_t n) {
    // The header went into the tag with the announcement.
    const size_t skip = offset < orv::CEncryption::kHeaderSize
                            ? std::min<uint64_t>(n, orv::CEncryption::kHeaderSize - offset)
                            : 0;
    usable = usable && engine.AddToFrameTag(data + skip, n - skip);
    offset += n;
  });
  uint8_t tag[orv::CEncryption::kTagSize];
  if (!read || !usable || !engine.GetFrameTag(tag))
    return {};
  return std::string(reinterpret_cast<const char*>(tag), sizeof tag);
}

std::string HostTagOfFile(orv::CEncryption& engine, const fs::path& path) {
  if (!engine.BeginHostTag())
    return {};
  const bool read =
      ReadThrough(path, [&engine](const uint8_t* data, size_t n) { engine.AddToHostTag(data, n); });
  uint8_t tag[orv::CEncryption::kHostTagSize];
  if (!engine.EndHostTag(tag) || !read)
    return {};
  return std::string(reinterpret_cast<const char*>(tag), sizeof tag);
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
