#include "StoredItem.h"

#include <OrvCopy/external/orv_encryption.h>

#include "TestSupport.h"

#include <cstring>

namespace fs = std::filesystem;

namespace orvtest {

std::optional<std::string> Reassemble(const std::vector<fs::path>& parts, bool encrypted,
                                      const std::wstring& password, uint32_t capacity,
                                      uint64_t totalSize) {
  uint64_t firstPartSize = totalSize;
  for (size_t p = 1; p < parts.size(); ++p) {
    const uint64_t size = fs::file_size(parts[p]);
    if (size > firstPartSize)
      return std::nullopt;
    firstPartSize -= size;
  }
  std::string data;
  for (size_t p = 0; p < parts.size(); ++p) {
    std::string bytes = ReadFile(parts[p]);
    if (p == 0 && encrypted) {
      uint32_t unit = 0;
      uint64_t plainSize = 0;
      if (orv::CEncryption::CheckPassword(reinterpret_cast<const uint8_t*>(bytes.data()),
                                          bytes.size(), password.c_str(), &unit,
                                          &plainSize) != orv::CEncryption::CheckPasswordOK ||
          plainSize != totalSize || unit != capacity) {
        return std::nullopt;
      }
      orv::CEncryption engine;
      engine.SetMethod(0);
      engine.SetPassword(password.c_str(), false);
      // The header holds the key length in bytes (16, 24 or 32) at offset 10, little-endian.
      const int keyBytes = static_cast<uint8_t>(bytes[10]) | static_cast<uint8_t>(bytes[11]) << 8;
      engine.SetAESParams(keyBytes, keyBytes, 16);
      const size_t header = engine.GetHeaderSize();
      std::vector<uint8_t> in(capacity), out(capacity);
      std::string plain;
      for (size_t off = header; off < bytes.size(); off += capacity) {
        const size_t n = std::min<size_t>(capacity, bytes.size() - off);
        std::memcpy(in.data(), bytes.data() + off, n);
        engine.Decrypt(in.data(), out.data(), capacity);
        plain.append(reinterpret_cast<char*>(out.data()), n);
      }
      if (plain.size() < firstPartSize)
        return std::nullopt;
      bytes = plain.substr(0, firstPartSize);
    }
    data += bytes;
  }
  return data;
}

}  // namespace orvtest
