#include "Manifest.h"

#include "Text.h"

#include <OrvCopy/OrvCopyManager.h>
#include <OrvCopy/external/orv_encryption.h>

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sstream>
#include <unordered_set>
#include <utility>

namespace orvcopy {
namespace {

using nlohmann::json;
constexpr const char* kFormat = "orvcopy-manifest";
constexpr int kVersion = 2;
constexpr int kMaxParts = 1000000;
constexpr size_t kMaxLinkTarget = 4095;  // the longest path the system takes
constexpr size_t kMaxName = 256;         // user and group names
constexpr const char* kTagField = ",\n \"tag\": \"";
constexpr size_t kSaltSize = orv::CEncryption::kSaltSize;
constexpr size_t kKeyCheckSize = orv::CEncryption::kKeyCheckSize;
constexpr size_t kFileTagSize = orv::CEncryption::kTagSize;
constexpr size_t kHostTagSize = orv::CEncryption::kHostTagSize;

constexpr const char* kTypeNames[] = {"file", "folder", "symlink", "hardlink", "fifo"};

std::runtime_error Damaged(const std::string& what) {
  return std::runtime_error(what);
}

// Feeds the first `length` bytes of the file `fd` in order, a MiB at a time.
bool FeedFile(int fd, uint64_t length, const std::function<void(std::string_view)>& feed) {
  std::vector<char> buffer(1 << 20);
  for (uint64_t done = 0; done < length;) {
    const ssize_t n = ::pread(fd, buffer.data(), std::min<uint64_t>(length - done, buffer.size()),
                              static_cast<off_t>(done));
    if (n <= 0)
      return false;
    feed(std::string_view(buffer.data(), static_cast<size_t>(n)));
    done += static_cast<uint64_t>(n);
  }
  return true;
}

// --- Writing --------------------------------------------------------------------------

// One JSON object on one line, its fields written directly (a document per item cost more than
// the copying of a small-file backup).
class ObjectWriter {
 public:
  explicit ObjectWriter(std::string& text) : m_text(text) { m_text += '{'; }
  ~ObjectWriter() { m_text += '}'; }
  void Raw(const char* name, const std::string& value) {
    m_text += m_first ? "\"" : ", \"";
    m_first = false;
    m_text += name;
    m_text += "\": ";
    m_text += value;
  }
  void Number(const char* name, uint64_t value) { Raw(name, std::to_string(value)); }
  void Signed(const char* name, int64_t value) { Raw(name, std::to_string(value)); }
  void Text(const char* name, const std::string& value) { Raw(name, json(value).dump()); }
  // Bytes: UTF-8 text where they are UTF-8, hex in the field "<name>_hex" where not.
  void Bytes(const char* name, const std::string& value) {
    if (IsUtf8(value)) {
      Text(name, value);
    } else {
      Raw((std::string(name) + "_hex").c_str(), json(Hex(value)).dump());
    }
  }

 private:
  std::string& m_text;
  bool m_first = true;
};

std::string Octal(uint32_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", mode);
  return text;
}

void WriteMetadata(ObjectWriter& out, const std::optional<Metadata>& meta, int64_t mtime) {
  out.Signed("mtime", mtime);
  if (!meta)
    return;
  out.Text("mode", Octal(meta->mode));
  out.Number("uid", meta->uid);
  out.Number("gid", meta->gid);
  if (!meta->user.empty() && IsUtf8(meta->user))
    out.Text("user", meta->user);
  if (!meta->group.empty() && IsUtf8(meta->group))
    out.Text("group", meta->group);
}

void WriteItem(std::string& text, const ManifestItem& item) {
  ObjectWriter out(text);
  out.Number("key", item.key);
  out.Text("type", TypeName(item.type));
  out.Bytes("path", item.path);
  out.Text("status", item.status);
  if (item.IsFile() || item.IsFolder())
    out.Bytes("stored", item.stored);
  if (item.IsFile()) {
    out.Number("size", item.size);
    out.Number("parts", static_cast<uint64_t>(item.parts));
    out.Number("flags", item.flags);
    out.Raw("crc", item.crc ? std::to_string(*item.crc) : "null");
    if (!item.tag.empty())
      out.Text("tag", Hex(item.tag));
  }
  if (item.type == EntryType::Symlink || item.type == EntryType::HardLink)
    out.Bytes("target", item.link);
  WriteMetadata(out, item.meta, item.mtime);
}

std::string Header(const Manifest& manifest) {
  std::string text =
      "{\n \"format\": " + json(kFormat).dump() + ",\n \"version\": " + std::to_string(kVersion) +
      ",\n \"complete\": " + (manifest.complete ? "true" : "false") + ",\n \"options\": ";
  {
    ObjectWriter options(text);
    options.Number("encrypt", static_cast<uint64_t>(manifest.encrypt));
    options.Raw("compress", manifest.compress ? "true" : "false");
    options.Number("split", manifest.split);
    options.Number("buffer", manifest.buffer);
    if (manifest.encrypt) {
      options.Text("salt", Hex(manifest.salt));
      options.Text("key_check", Hex(manifest.keyCheck));
    }
  }
  if (!manifest.generation.empty()) {
    text += ",\n \"generation\": ";
    ObjectWriter generation(text);
    generation.Text("id", manifest.generation);
    generation.Signed("started", manifest.started);
    generation.Number("bytes_written", manifest.bytesWritten);
    generation.Number("bytes_linked", manifest.bytesLinked);
    // The patterns are a record of the run; one that is not UTF-8 is kept with replacements.
    generation.Raw("exclude",
                   json(manifest.excludes).dump(-1, ' ', false, json::error_handler_t::replace));
  }
  text += ",\n \"root\": ";
  {
    ObjectWriter root(text);
    WriteMetadata(root, manifest.rootMeta, manifest.rootMtime);
  }
  text += ",\n \"items\": [";
  return text;
}

// --- Reading --------------------------------------------------------------------------

// Paths and link targets: UTF-8 text, or the bytes in hex under "<field>_hex".
bool GetBytes(const json& j, const char* field, std::string& bytes) {
  if (j.contains(field) && j[field].is_string()) {
    bytes = j[field].get<std::string>();
    return true;
  }
  const std::string hexField = std::string(field) + "_hex";
  return j.contains(hexField) && j[hexField].is_string() &&
         FromHex(j[hexField].get<std::string>(), bytes);
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
  return path.back() != '/';
}

// A whole number that fits T; anything else (a fraction, a huge value, text) is refused.
template <typename T>
T Integer(const json& object, const char* field) {
  if (!object.contains(field))
    throw Damaged(std::string(field) + " is missing");
  const json& value = object.at(field);
  if (!value.is_number_integer()) {
    throw Damaged(std::string(field) + " is not a whole number");
  }
  if (value.is_number_unsigned()) {
    const uint64_t u = value.get<uint64_t>();
    if (u > static_cast<uint64_t>(std::numeric_limits<T>::max())) {
      throw Damaged(std::string(field) + " is out of range");
    }
    return static_cast<T>(u);
  }
  const int64_t v = value.get<int64_t>();
  if (v < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
      (v > 0 && static_cast<uint64_t>(v) > static_cast<uint64_t>(std::numeric_limits<T>::max()))) {
    throw Damaged(std::string(field) + " is out of range");
  }
  return static_cast<T>(v);
}

std::string String(const json& object, const char* field, size_t maxLength) {
  if (!object.contains(field) || !object.at(field).is_string())
    throw Damaged(std::string(field) + " is missing or not text");
  std::string value = object.at(field).get<std::string>();
  if (value.size() > maxLength || value.find('\0') != std::string::npos)
    throw Damaged(std::string(field) + " is too long or holds a zero byte");
  return value;
}

// Raw bytes of a hex field of a fixed length; empty when the field is absent and not required.
std::string HexField(const json& object, const char* field, size_t length, bool required) {
  if (!object.contains(field)) {
    if (required)
      throw Damaged(std::string(field) + " is missing");
    return {};
  }
  std::string bytes;
  if (!object.at(field).is_string() || !FromHex(object.at(field).get<std::string>(), bytes) ||
      bytes.size() != length) {
    throw Damaged(std::string(field) + " is not " + std::to_string(length) + " bytes in hex");
  }
  return bytes;
}

Metadata ReadMetadata(const json& j) {
  Metadata meta;
  const std::string mode = String(j, "mode", 4);
  size_t used = 0;
  unsigned long value = 0;
  try {
    value = std::stoul(mode, &used, 8);
  } catch (const std::exception&) {
    used = 0;
  }
  if (mode.empty() || used != mode.size() || mode.front() == '-' || mode.front() == '+' ||
      value > 07777) {
    throw Damaged("mode is not permission bits in octal");
  }
  meta.mode = static_cast<uint32_t>(value);
  // (uid_t)-1 means "leave unchanged" to the system: no owner can have it.
  meta.uid = Integer<uint32_t>(j, "uid");
  meta.gid = Integer<uint32_t>(j, "gid");
  if (meta.uid == UINT32_MAX || meta.gid == UINT32_MAX)
    throw Damaged("an owner or group number is out of range");
  if (j.contains("user"))
    meta.user = String(j, "user", kMaxName);
  if (j.contains("group"))
    meta.group = String(j, "group", kMaxName);
  return meta;
}

EntryType ReadType(const json& j, int version) {
  const std::string type = String(j, "type", 16);
  for (size_t i = 0; i < std::size(kTypeNames); ++i) {
    if (type == kTypeNames[i] && (version >= 2 || i < 2))
      return static_cast<EntryType>(i);
  }
  throw Damaged("unknown item type");
}

// Checks that the entries make a tree that a restore can build without writing outside its
// target: the entries in the order a backup lists a tree (so each path once), each one's parent
// the folder it lies in that was listed last, each hard link to a file listed before it. What
// it holds is the path of the folders the list is in and the targets of hard links, not the
// tree: that a target is a file is confirmed by a second reading, made only when there are
// hard links.
class TreeCheck {
 public:
  void Add(const ManifestItem& item) {
    if (!BeforeInWalk(m_last, item.path))
      throw Damaged("an item is out of order or listed twice: " + Escape(item.path));
    while (!m_open.empty() && !IsBelow(item.path, m_open.back()))
      m_open.pop_back();
    const size_t slash = item.path.rfind('/');
    const std::string_view parent =
        slash == std::string::npos ? "" : std::string_view(item.path).substr(0, slash);
    if (parent != (m_open.empty() ? "" : m_open.back()))
      throw Damaged("an item comes before its folder, or its folder is not a folder: " +
                    Escape(item.path));
    if (item.type == EntryType::HardLink) {
      if (!BeforeInWalk(item.link, item.path))
        throw Damaged("a hard link does not name an earlier file: " + Escape(item.path));
      m_targets.insert(item.link);
    }
    if (item.IsFolder())
      m_open.push_back(item.path);
    m_last = item.path;
  }

  bool HasLinks() const { return !m_targets.empty(); }
  // The second reading, item by item, then Confirmed.
  void Confirm(const ManifestItem& item) {
    if (item.IsFile())
      m_targets.erase(item.path);
  }
  void Confirmed() const {
    if (!m_targets.empty())
      throw Damaged("a hard link names no file: " + Escape(*m_targets.begin()));
  }

 private:
  std::string m_last;                         // the path of the entry listed last
  std::vector<std::string> m_open;            // the folders it lies in, outermost first
  std::unordered_set<std::string> m_targets;  // of hard links, not yet confirmed files
};

ManifestItem ReadItem(const json& j, int version) {
  ManifestItem item;
  item.type = ReadType(j, version);
  if (!GetBytes(j, "path", item.path) || !IsSafeRelative(item.path))
    throw Damaged("an item path is missing or leaves the backup folder");
  item.key = Integer<uint64_t>(j, "key");
  item.status = String(j, "status", 16);
  if (item.status != "done" && item.status != "failed" && item.status != "pending")
    throw Damaged("an item has an unknown status");
  item.mtime = Integer<int64_t>(j, "mtime");
  if (version >= 2)
    item.meta = ReadMetadata(j);
  if (item.IsFile() || item.IsFolder()) {
    if (!GetBytes(j, "stored", item.stored) || !IsSafeRelative(item.stored))
      throw Damaged("an item's stored path is missing or leaves the backup folder");
  }
  if (item.IsFile()) {
    item.size = Integer<uint64_t>(j, "size");
    if (!j.contains("crc"))
      throw Damaged("crc is missing");
    if (!j.at("crc").is_null())
      item.crc = Integer<uint32_t>(j, "crc");
    item.parts = Integer<int>(j, "parts");
    item.flags = Integer<uint32_t>(j, "flags");
    if (item.parts < 1 || item.parts > kMaxParts)
      throw Damaged("an item has an impossible part count");
    if (j.contains("tag")) {
      const bool archive = String(j, "tag", 2 * kHostTagSize).size() == 2 * kHostTagSize;
      item.tag = HexField(j, "tag", archive ? kHostTagSize : kFileTagSize, true);
    }
  }
  if (item.type == EntryType::Symlink || item.type == EntryType::HardLink) {
    if (!GetBytes(j, "target", item.link) || item.link.empty() ||
        item.link.size() > kMaxLinkTarget || item.link.find('\0') != std::string::npos)
      throw Damaged("a link's target is missing, too long or holds a zero byte");
  }
  return item;
}

// What a file entry holds must fit the backup it is listed in: only an encrypted backup keeps
// tags and encrypted items, and a plain file backed up by this version has its CRC-32. (A
// manifest changed to say "not encrypted" would otherwise restore encrypted files unchecked.)
void CheckAgainstOptions(const ManifestItem& item, const Manifest& manifest) {
  if (!item.IsFile() || manifest.encrypt != 0)
    return;
  if (!item.tag.empty() || (item.flags & OrvCopy::ArchiveItemFlagAES) != 0)
    throw Damaged("an item of a backup that is not encrypted is encrypted or keeps a tag");
  if (manifest.version >= 2 && !manifest.compress && item.status == "done" && !item.crc)
    throw Damaged("a plain file has no CRC-32");
}

void ReadGeneration(const json& j, Manifest& manifest) {
  manifest.generation = String(j, "id", 32);
  manifest.started = Integer<int64_t>(j, "started");
  manifest.bytesWritten = Integer<uint64_t>(j, "bytes_written");
  manifest.bytesLinked = Integer<uint64_t>(j, "bytes_linked");
  if (!j.contains("exclude") || !j.at("exclude").is_array())
    throw Damaged("the generation's exclude patterns are missing");
  for (const json& pattern : j.at("exclude")) {
    if (!pattern.is_string())
      throw Damaged("an exclude pattern is not text");
    manifest.excludes.push_back(pattern.get<std::string>());
  }
}

// The tag at the manifest's end covers every byte before ",\n \"tag\": ". `tail` is the end
// of the manifest's `size` bytes.
void ReadTag(std::string_view tail, uint64_t size, const json& root, Manifest& manifest) {
  if (!root.contains("tag")) {
    if (manifest.encrypt != 0 && manifest.version >= 2)
      throw Damaged("the tag of an encrypted backup's manifest is missing");
    return;
  }
  manifest.tag = HexField(root, "tag", kHostTagSize, true);
  const std::string suffix = kTagField + Hex(manifest.tag) + "\"\n}\n";
  if (tail.size() < suffix.size() || tail.substr(tail.size() - suffix.size()) != suffix)
    throw Damaged("the tag does not end the manifest");
  manifest.taggedLength = size - suffix.size();
}

// A file that is not a manifest of a version this program reads.
struct NotAManifest : std::runtime_error {
  NotAManifest() : std::runtime_error("not a manifest") {}
};

// The fields before the items: format, version, options, generation and root.
void ReadHeader(const json& root, Manifest& manifest) {
  if (!root.contains("format") || root["format"] != kFormat || !root.contains("version") ||
      !root["version"].is_number_integer() || root["version"] < 1 || root["version"] > kVersion) {
    throw NotAManifest();
  }
  manifest.version = root["version"].get<int>();
  const json& options = root.at("options");
  manifest.encrypt = Integer<int>(options, "encrypt");
  manifest.compress = options.at("compress").get<bool>();
  manifest.split = Integer<uint64_t>(options, "split");
  manifest.buffer = Integer<uint64_t>(options, "buffer");
  manifest.complete = root.at("complete").get<bool>();
  if (manifest.encrypt != 0 && manifest.encrypt != 128 && manifest.encrypt != 192 &&
      manifest.encrypt != 256) {
    throw Damaged("unknown key length");
  }
  if (manifest.buffer == 0 || manifest.buffer > 0xFFFFFFFFull) {
    throw Damaged("unusable buffer size");
  }
  const bool encrypted = manifest.encrypt != 0;
  if (manifest.version >= 2) {
    manifest.salt = HexField(options, "salt", kSaltSize, encrypted);
    manifest.keyCheck = HexField(options, "key_check", kKeyCheckSize, encrypted);
    const json& rootMeta = root.at("root");
    manifest.rootMeta = ReadMetadata(rootMeta);
    manifest.rootMtime = Integer<int64_t>(rootMeta, "mtime");
  }
  if (root.contains("generation"))
    ReadGeneration(root.at("generation"), manifest);
}

// The parser's view of a manifest as it is read: the header's fields are kept as they come;
// when the items begin the header is read, and each item is read, checked and handed on as
// soon as it is complete, then dropped, so that no document of the whole manifest is built.
// (Manifests of the first version hold their fields in alphabetical order, the items before
// the options: their items are kept and read once the whole document is.)
class StreamParse {
 public:
  // `most`: the items a manifest read again may have (those it had).
  StreamParse(Manifest& manifest, const ItemSink& each, size_t most = SIZE_MAX)
      : m_manifest(manifest), m_each(each), m_most(most) {}

  bool operator()(int depth, json::parse_event_t event, json& parsed) {
    using Event = json::parse_event_t;
    if (depth == 1) {
      if (event == Event::key) {
        m_key = parsed.get<std::string>();
      } else if (event == Event::array_start && m_key == "items") {
        m_inItems = m_header.contains("version") && m_header.contains("options");
        if (m_inItems)
          ReadHeader(m_header, m_manifest);
        m_headerRead = m_inItems;
      } else if (event == Event::array_end) {
        m_inItems = false;
      } else if (event == Event::value || event == Event::object_end) {
        m_header[m_key] = parsed;
      }
      return true;
    }
    if (!m_inItems || depth != 2)
      return true;
    if (event == Event::value || event == Event::array_end)
      throw Damaged("an item is not an object");
    if (event == Event::object_end) {
      Item(parsed);
      return false;  // dropped from the document
    }
    return true;
  }

  TreeCheck& Tree() { return m_tree; }

  // After the whole document: a header that did not come before the items, and the items
  // that were kept in the document for want of it.
  void ReadKeptItems(const json& root) {
    if (m_headerRead)
      return;
    ReadHeader(root, m_manifest);
    for (const json& j : root.at("items")) {
      if (!j.is_object())
        throw Damaged("an item is not an object");
      Item(j);
    }
  }

 private:
  void Item(const json& j) {
    ManifestItem item = ReadItem(j, m_manifest.version);
    if (item.key != ++m_count)
      throw Damaged("the item keys do not run from 1 in order");
    if (m_count > m_most)
      throw Damaged("it lists more items than when it was opened");
    m_manifest.itemCount = m_count;
    m_tree.Add(item);
    CheckAgainstOptions(item, m_manifest);
    m_each(std::move(item));
  }

  Manifest& m_manifest;
  const ItemSink& m_each;
  json m_header = json::object();
  std::string m_key;
  bool m_inItems = false;
  bool m_headerRead = false;
  uint64_t m_count = 0;
  const size_t m_most;
  TreeCheck m_tree;
};

// Reads a manifest from `in` (from where it stands): the header into `manifest`, the items to
// `each`. `tail` is the
// end of the manifest's `size` bytes (for its tag); `file` names it in the messages.
bool ReadStream(std::FILE* in, std::string_view tail, uint64_t size, const std::string& file,
                Manifest& manifest, const ItemSink& each, std::string& error,
                size_t most = SIZE_MAX) {
  manifest = Manifest{};
  try {
    StreamParse parse(manifest, each, most);
    const json root = json::parse(in, std::ref(parse), false);
    if (root.is_discarded() || !root.is_object()) {
      error = "the manifest " + file + " is damaged (not valid JSON)";
      return false;
    }
    if (!root.contains("items") || !root.at("items").is_array())
      throw Damaged("the items are missing");
    parse.ReadKeptItems(root);
    ReadTag(tail, size, root, manifest);
    if (parse.Tree().HasLinks()) {
      Manifest again;
      TreeCheck& tree = parse.Tree();
      const ItemSink confirm = [&tree](ManifestItem&& item) { tree.Confirm(item); };
      StreamParse second(again, confirm);
      std::rewind(in);
      second.ReadKeptItems(json::parse(in, std::ref(second), false));
      tree.Confirmed();
    }
  } catch (const NotAManifest&) {
    error = "the manifest " + file + " is not an orvcopy manifest of version 1 or 2";
    return false;
  } catch (const std::exception& e) {
    error = "the manifest " + file + " is damaged: " + e.what();
    return false;
  }
  return true;
}

}  // namespace

const char* TypeName(EntryType type) {
  return kTypeNames[static_cast<size_t>(type)];
}

std::string ItemText(const ManifestItem& item) {
  std::string text;
  WriteItem(text, item);
  return text;
}

void AppendPartNames(const ManifestItem& item, std::vector<std::string>& names) {
  for (int p = 0; p < item.parts; ++p)
    names.push_back(PartName(item.stored, p));
}

std::string PartName(const std::string& stored, int part) {
  if (part == 0)
    return stored;
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".%.3d", part);
  return stored + suffix;
}

namespace {

// A manifest's bytes on their way to its file, fed to the tagger as they go until the tag.
class TaggedWriter {
 public:
  TaggedWriter(int fd, const ManifestTagger* tagger) : m_fd(fd), m_tagger(tagger) {}

  void Write(std::string_view text) {
    if (m_tagger)
      m_tagger->add(text);
    while (m_written && !text.empty()) {
      const ssize_t n = ::write(m_fd, text.data(), text.size());
      m_written = n > 0;
      text.remove_prefix(m_written ? static_cast<size_t>(n) : 0);
    }
  }
  // The tag of everything written, which ends what it covers.
  void WriteTag() {
    const ManifestTagger* tagger = std::exchange(m_tagger, nullptr);
    const std::string tag = tagger->finish();
    m_written = m_written && !tag.empty();
    Write(kTagField + Hex(tag) + "\"");
  }
  bool Written() const { return m_written; }

 private:
  int m_fd;
  const ManifestTagger* m_tagger;
  bool m_written = true;
};

// Hands the items' text to a writer in order: false when it could not all be had.
using ItemsText = std::function<bool(TaggedWriter&)>;

// The manifest is made under a temporary name, flushed to disk, renamed over the old one, and
// the folder's entry flushed after.
bool WriteManifest(const std::filesystem::path& folder, const Manifest& manifest,
                   const ItemsText& items, const ManifestTagger* tagger, std::string& error,
                   const char* name) {
  const std::filesystem::path target = folder / name;
  const std::filesystem::path temporary = folder / (std::string(name) + ".tmp");
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "cannot write " + Escape(temporary.native());
    return false;
  }
  TaggedWriter out(fd, tagger);
  out.Write(Header(manifest));
  const bool whole = items(out);
  out.Write("\n ]");
  if (tagger)
    out.WriteTag();
  out.Write("\n}\n");
  if (!whole || !out.Written()) {
    ::close(fd);
    ::unlink(temporary.c_str());
    error = "cannot write " + Escape(temporary.native());
    return false;
  }
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  if (!synced || ::rename(temporary.c_str(), target.c_str()) != 0) {
    ::unlink(temporary.c_str());
    error = "cannot write " + Escape(target.native());
    return false;
  }
  // The new name on the disk too: until then a crash could lose it.
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool entered = dir >= 0 && ::fsync(dir) == 0;
  if (dir >= 0)
    ::close(dir);
  if (!entered) {
    ::unlink(target.c_str());
    error = "cannot write " + Escape(target.native()) +
            " (the folder's entries did not reach the disk)";
  }
  return entered;
}

// An item's line in the manifest's list, `first` or after others.
void AppendItem(std::string& text, const ManifestItem& item, bool first) {
  text += first ? "\n  " : ",\n  ";
  WriteItem(text, item);
}

}  // namespace

bool SaveManifest(const std::filesystem::path& folder, const Manifest& manifest,
                  const ManifestTagger* tagger, std::string& error, const char* name) {
  // Written through a buffer of about 1 MiB: a manifest of a million files is never held
  // whole as text.
  const auto items = [&manifest](TaggedWriter& out) {
    std::string text;
    for (size_t i = 0; i < manifest.items.size(); ++i) {
      AppendItem(text, manifest.items[i], i == 0);
      if (text.size() > (1 << 20) || i + 1 == manifest.items.size()) {
        out.Write(text);
        text.clear();
      }
    }
    return true;
  };
  return WriteManifest(folder, manifest, items, tagger, error, name);
}

ItemSpool::~ItemSpool() {
  if (m_fd >= 0)
    ::close(m_fd);
}

bool ItemSpool::Open(const std::filesystem::path& folder, std::string& error) {
  std::string name = (folder / (std::string(kSpoolPrefix) + "XXXXXX")).native();
  m_fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (m_fd < 0) {
    error = "cannot write in " + Escape(folder.native()) + ": " + std::strerror(errno);
    return false;
  }
  ::unlink(name.c_str());  // the file goes with the run, however it ends
  return true;
}

void ItemSpool::Append(const ManifestItem& item) {
  AppendItem(m_buffer, item, m_count++ == 0);
  if (m_buffer.size() > (1 << 20))
    Flush();
}

bool ItemSpool::Flush() {
  std::string_view text = m_buffer;
  while (!m_failed && !text.empty()) {
    const ssize_t n = ::pwrite(m_fd, text.data(), text.size(), static_cast<off_t>(m_written));
    m_failed = n <= 0;
    m_written += m_failed ? 0 : static_cast<uint64_t>(n);
    text.remove_prefix(m_failed ? text.size() : static_cast<size_t>(n));
  }
  m_buffer.clear();
  return !m_failed;
}

bool ItemSpool::Read(const std::function<void(std::string_view)>& feed) {
  return Flush() && FeedFile(m_fd, m_written, feed);
}

bool SaveManifest(const std::filesystem::path& folder, const Manifest& manifest, ItemSpool& spool,
                  const ManifestTagger* tagger, std::string& error, const char* name) {
  const auto items = [&spool](TaggedWriter& out) {
    return spool.Read([&out](std::string_view text) { out.Write(text); });
  };
  return WriteManifest(folder, manifest, items, tagger, error, name);
}

namespace {

std::optional<ManifestStamp> StampOf(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0)
    return std::nullopt;
  return ManifestStamp{static_cast<uint64_t>(st.st_size),
                       st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec,
                       st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec};
}

// Parses the file `fd` of `size` bytes from its start, through a stream of its own (the
// descriptor stays open and unmoved).
bool ReadFromDescriptor(int fd, uint64_t size, const std::string& file, Manifest& manifest,
                        const ItemSink& each, std::string& error, size_t most = SIZE_MAX) {
  // The end of the file, for the tag.
  std::string tail(std::min<uint64_t>(size, 256), '\0');
  if (::pread(fd, tail.data(), tail.size(), static_cast<off_t>(size - tail.size())) !=
      static_cast<ssize_t>(tail.size())) {
    error = "cannot read " + file;
    return false;
  }
  const int copy = ::dup(fd);
  std::FILE* in = copy >= 0 && ::lseek(copy, 0, SEEK_SET) == 0 ? ::fdopen(copy, "rb") : nullptr;
  if (in == nullptr) {
    if (copy >= 0)
      ::close(copy);
    error = "cannot read " + file;
    return false;
  }
  const bool read = ReadStream(in, tail, size, file, manifest, each, error, most);
  std::fclose(in);
  return read;
}

}  // namespace

ManifestFile::~ManifestFile() {
  ::close(m_fd);
}

bool ManifestFile::Unchanged() const {
  return StampOf(m_fd) == m_stamp;
}

bool ReadManifest(const std::filesystem::path& folder, Manifest& manifest, const ItemSink& each,
                  std::string& error, const char* name) {
  const std::filesystem::path path = folder / name;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const std::optional<ManifestStamp> stamp = fd >= 0 ? StampOf(fd) : std::nullopt;
  if (!stamp) {
    if (fd >= 0)
      ::close(fd);
    std::error_code ec;
    error = "no manifest in " + Escape(folder.native()) +
            (std::filesystem::exists(folder / kDataFolder, ec)
                 ? " (a backup that never finished: nothing in it is listed)"
                 : " (not an orvcopy backup folder)");
    return false;
  }
  auto file = std::make_shared<const ManifestFile>(fd, *stamp);
  const std::string shown = Escape(path.native());
  if (!ReadFromDescriptor(fd, stamp->size, shown, manifest, each, error))
    return false;
  // What was parsed is the file as it was stamped: its tag is checked on it later.
  if (!file->Unchanged()) {
    error = "the manifest " + shown + " changed while it was read";
    return false;
  }
  manifest.file = std::move(file);
  manifest.fileName = shown;
  return true;
}

bool ReadManifestItems(const Manifest& manifest, const ItemSink& each, std::string& error) {
  const ManifestFile* file = manifest.file.get();
  Manifest again;
  error.clear();
  if (file != nullptr && file->Unchanged() &&
      ReadFromDescriptor(file->Descriptor(), file->Size(), manifest.fileName, again, each, error,
                         manifest.itemCount) &&
      file->Unchanged())
    return true;
  if (error.empty())
    error = "the manifest " + manifest.fileName + " changed while it was read";
  return false;
}

bool ParseManifest(std::string_view text, const std::string& file, Manifest& manifest,
                   std::string& error) {
  std::string bytes(text);
  std::FILE* in = bytes.empty() ? nullptr : ::fmemopen(bytes.data(), bytes.size(), "rb");
  if (in == nullptr) {
    error = "the manifest " + file + " is damaged (not valid JSON)";
    return false;
  }
  std::deque<ManifestItem> items;
  const bool read = ReadStream(
      in, text, text.size(), file, manifest,
      [&items](ManifestItem&& item) { items.push_back(std::move(item)); }, error);
  std::fclose(in);
  if (read)
    manifest.items = std::move(items);
  return read;
}

bool ReadTaggedBytes(const Manifest& manifest, const std::function<void(std::string_view)>& feed) {
  return manifest.file && manifest.file->Unchanged() &&
         FeedFile(manifest.file->Descriptor(), manifest.taggedLength, feed) &&
         manifest.file->Unchanged();
}

}  // namespace orvcopy
