#include "Manifest.h"

#include <OrvCopy/OrvCopyStrings.h>

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>

namespace orvcopy {
namespace {

using nlohmann::json;
constexpr const char* kFormat = "orvcopy-manifest";
constexpr int kVersion = 1;
constexpr int kMaxParts = 1000000;

bool IsUtf8(const std::string& bytes) {
  for (wchar_t c : OrvCopy::FileNameToWide(bytes)) {
    if (c >= 0xDC80 && c <= 0xDCFF)
      return false;
  }
  return true;
}

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

bool FromHex(const std::string& hex, std::string& out) {
  if (hex.size() % 2)
    return false;
  out.clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    auto value = [](char c) -> int {
      if (c >= '0' && c <= '9')
        return c - '0';
      if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
      return -1;
    };
    const int hi = value(hex[i]), lo = value(hex[i + 1]);
    if (hi < 0 || lo < 0)
      return false;
    out.push_back(static_cast<char>(hi * 16 + lo));
  }
  return true;
}

// Paths in JSON: UTF-8 text where the name is UTF-8, the bytes in hex where it is not.
bool GetPath(const json& j, const char* field, std::string& path) {
  if (j.contains(field) && j[field].is_string()) {
    path = j[field].get<std::string>();
    return true;
  }
  const std::string hexField = std::string(field) + "_hex";
  return j.contains(hexField) && j[hexField].is_string() &&
         FromHex(j[hexField].get<std::string>(), path);
}

// A relative path that stays inside the folder it is joined to.
bool IsSafeRelative(const std::string& path) {
  if (path.empty() || path.front() == '/' || path.find('\0') != std::string::npos)
    return false;
  std::stringstream parts(path);
  std::string part;
  while (std::getline(parts, part, '/')) {
    if (part.empty() || part == "." || part == "..")
      return false;
  }
  return true;
}

// A whole number that fits T; anything else (a fraction, a huge value, text) is refused.
template <typename T>
T Integer(const json& object, const char* field) {
  const json& value = object.at(field);
  if (!value.is_number_integer()) {
    throw std::runtime_error(std::string(field) + " is not a whole number");
  }
  if (value.is_number_unsigned()) {
    const uint64_t u = value.get<uint64_t>();
    if (u > static_cast<uint64_t>(std::numeric_limits<T>::max())) {
      throw std::runtime_error(std::string(field) + " is out of range");
    }
    return static_cast<T>(u);
  }
  const int64_t v = value.get<int64_t>();
  if (v < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
      (v > 0 && static_cast<uint64_t>(v) > static_cast<uint64_t>(std::numeric_limits<T>::max()))) {
    throw std::runtime_error(std::string(field) + " is out of range");
  }
  return static_cast<T>(v);
}

}  // namespace

std::string PartName(const std::string& stored, int part) {
  if (part == 0)
    return stored;
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".%.3d", part);
  return stored + suffix;
}

bool SaveManifest(const std::filesystem::path& folder, const Manifest& manifest,
                  std::string& error) {
  const std::filesystem::path target = folder / kManifestName;
  const std::filesystem::path temporary = folder / (std::string(kManifestName) + ".tmp");
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "cannot write " + temporary.string();
    return false;
  }
  // Written item by item through a buffer of about 1 MiB: a backup of a million files does not
  // hold its whole manifest, as a document or as text, in memory.
  std::string text;
  bool written = true;
  const auto flush = [&](size_t above) {
    if (text.size() <= above)
      return;
    size_t done = 0;
    while (written && done < text.size()) {
      const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
      written = n > 0;
      done += written ? static_cast<size_t>(n) : 0;
    }
    text.clear();
  };
  const json options = {{"encrypt", manifest.encrypt},
                        {"compress", manifest.compress},
                        {"split", manifest.split},
                        {"buffer", manifest.buffer}};
  text += "{\n \"format\": " + json(kFormat).dump() + ",\n \"version\": " + json(kVersion).dump() +
          ",\n \"complete\": " + json(manifest.complete).dump() +
          ",\n \"options\": " + options.dump() + ",\n \"items\": [";
  // One item per line, its fields written directly (a document per item cost more than the
  // copying of a small-file backup): {"key": value, ...}.
  const auto field = [&text](const char* name, const std::string& value, bool last = false) {
    text += '"';
    text += name;
    text += "\": ";
    text += value;
    text += last ? "}" : ", ";
  };
  const auto quoted = [](const std::string& s) { return json(s).dump(); };
  const auto path = [&](const char* name, const std::string& value) {
    if (IsUtf8(value)) {
      field(name, quoted(value));
    } else {
      field((std::string(name) + "_hex").c_str(), quoted(Hex(value)));
    }
  };
  for (size_t i = 0; i < manifest.items.size(); ++i) {
    const ManifestItem& item = manifest.items[i];
    text += i == 0 ? "\n  {" : ",\n  {";
    field("crc", item.crc ? std::to_string(*item.crc) : "null");
    field("flags", std::to_string(item.flags));
    field("key", std::to_string(item.key));
    field("mtime", std::to_string(item.mtime));
    field("parts", std::to_string(item.parts));
    path("path", item.path);
    field("size", std::to_string(item.size));
    field("status", quoted(item.status));
    path("stored", item.stored);
    field("type", item.folder ? "\"folder\"" : "\"file\"", true);
    flush(1 << 20);
  }
  text += "\n ]\n}\n";
  flush(0);
  if (!written) {
    ::close(fd);
    ::unlink(temporary.c_str());
    error = "cannot write " + temporary.string();
    return false;
  }
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  if (!synced || ::rename(temporary.c_str(), target.c_str()) != 0) {
    ::unlink(temporary.c_str());
    error = "cannot write " + target.string();
    return false;
  }
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

bool LoadManifest(const std::filesystem::path& folder, Manifest& manifest, std::string& error) {
  const std::filesystem::path file = folder / kManifestName;
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = "no manifest in " + folder.string() +
            (std::filesystem::exists(folder / kDataFolder)
                 ? " (a backup that never finished: nothing in it is listed)"
                 : " (not an orvcopy backup folder)");
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return ParseManifest(text.str(), file.string(), manifest, error);
}

bool ParseManifest(std::string_view text, const std::string& file, Manifest& manifest,
                   std::string& error) {
  json root = json::parse(text, nullptr, false);
  if (root.is_discarded() || !root.is_object()) {
    error = "the manifest " + file + " is damaged (not valid JSON)";
    return false;
  }
  try {
    if (!root.contains("format") || root["format"] != kFormat || !root.contains("version") ||
        !root["version"].is_number_integer() || root["version"] != kVersion) {
      error = "the manifest " + file + " is not an orvcopy manifest of version 1";
      return false;
    }
    const json& options = root.at("options");
    manifest.encrypt = Integer<int>(options, "encrypt");
    manifest.compress = options.at("compress").get<bool>();
    manifest.split = Integer<uint64_t>(options, "split");
    manifest.buffer = Integer<uint64_t>(options, "buffer");
    manifest.complete = root.at("complete").get<bool>();
    if (manifest.encrypt != 0 && manifest.encrypt != 128 && manifest.encrypt != 192 &&
        manifest.encrypt != 256) {
      throw std::runtime_error("unknown key length");
    }
    if (manifest.buffer == 0 || manifest.buffer > 0xFFFFFFFFull) {
      throw std::runtime_error("unusable buffer size");
    }
    manifest.items.clear();
    for (const json& j : root.at("items")) {
      ManifestItem item;
      if (!GetPath(j, "path", item.path) || !GetPath(j, "stored", item.stored) ||
          !IsSafeRelative(item.path) || !IsSafeRelative(item.stored)) {
        throw std::runtime_error("an item path is missing or leaves the backup folder");
      }
      const std::string type = j.at("type").get<std::string>();
      if (type != "file" && type != "folder")
        throw std::runtime_error("unknown item type");
      item.folder = type == "folder";
      item.size = Integer<uint64_t>(j, "size");
      item.mtime = Integer<int64_t>(j, "mtime");
      item.key = Integer<uint64_t>(j, "key");
      if (!j.at("crc").is_null())
        item.crc = Integer<uint32_t>(j, "crc");
      item.parts = Integer<int>(j, "parts");
      item.flags = Integer<uint32_t>(j, "flags");
      item.status = j.at("status").get<std::string>();
      if (item.parts < 1 || item.parts > kMaxParts || item.key == 0) {
        throw std::runtime_error("an item has an impossible key or part count");
      }
      manifest.items.push_back(std::move(item));
    }
  } catch (const std::exception& e) {
    error = "the manifest " + file + " is damaged: " + e.what();
    return false;
  }
  return true;
}

}  // namespace orvcopy
