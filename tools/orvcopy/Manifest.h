// The manifest of a backup folder: the options it was written with and, per entry of the
// tree, what it is (type, mode, owner, time, link target), what was backed up and where.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvcopy {

inline constexpr const char* kManifestName = "orvcopy-manifest.json";
inline constexpr const char* kDataFolder = "data";

enum class EntryType : uint8_t { File, Folder, Symlink, HardLink, Fifo };

// Owner, group and permission bits of an entry. Manifests of version 1 have none.
struct Metadata {
  uint32_t mode = 0;  // permission bits with set-user-ID, set-group-ID and sticky: 07777 at most
  uint32_t uid = 0, gid = 0;
  std::string user, group;  // names where they resolved when the backup was made
};

struct ManifestItem {
  std::string path;    // relative path in the source tree, file-system bytes
  std::string stored;  // files and folders: relative path of the backup file (first part) below
                       // data/
  EntryType type = EntryType::File;
  uint64_t size = 0;
  int64_t mtime = 0;  // nanoseconds since 1970
  uint64_t key = 0;
  std::optional<uint32_t> crc;  // the library's CRC-32 register over all the item's data
  int parts = 1;
  uint32_t flags = 0;              // item flags of the backup
  std::string status = "pending";  // "done", "failed" or "pending" (not reached)
  std::optional<Metadata> meta;
  std::string link;  // a symbolic link's target (any bytes); a hard link's earlier entry's path
  std::string tag;   // encrypted backups: the keyed tag of the stored bytes (raw bytes)

  bool IsFolder() const { return type == EntryType::Folder; }
  bool IsFile() const { return type == EntryType::File; }
};

// A manifest's file as it was read: its size and the times of its last write and last
// change (the latter no one can set back), in nanoseconds.
struct ManifestStamp {
  uint64_t size = 0;
  int64_t mtime = 0, ctime = 0;
  bool operator==(const ManifestStamp&) const = default;
};

// The file a manifest was read from, held open while the manifest lives: what is read from it
// again (its items, the bytes of its tag) comes from the same file, unchanged since.
class ManifestFile {
 public:
  ManifestFile(int fd, const ManifestStamp& stamp) : m_fd(fd), m_stamp(stamp) {}
  ~ManifestFile();
  ManifestFile(const ManifestFile&) = delete;
  ManifestFile& operator=(const ManifestFile&) = delete;

  int Descriptor() const { return m_fd; }
  uint64_t Size() const { return m_stamp.size; }
  // Whether the file is as it was when it was read.
  bool Unchanged() const;

 private:
  int m_fd;
  ManifestStamp m_stamp;
};

struct Manifest {
  int version = 2;
  int encrypt = 0;  // key length in bits, 0 when not encrypted
  bool compress = false;
  uint64_t split = 0;
  uint64_t buffer = 0;
  bool complete = false;
  std::string salt;                  // encrypted: the backup's salt (raw bytes)
  std::string keyCheck;              // encrypted: the key check of password and salt (raw bytes)
  std::optional<Metadata> rootMeta;  // the backed-up folder itself
  int64_t rootMtime = 0;
  // The run that made the backup folder's generation: its id (empty for a backup written
  // before generations), start time, bytes the library wrote and bytes taken over from an
  // earlier generation by links, and the patterns of the entries left out.
  std::string generation;
  int64_t started = 0;  // seconds since 1970
  uint64_t bytesWritten = 0, bytesLinked = 0;
  std::vector<std::string> excludes;
  std::deque<ManifestItem> items;  // a deque: a million items are never moved to grow
  size_t itemCount = 0;            // read back: how many items the manifest lists
  // Read back: the keyed tag at the manifest's end and how many bytes before it it covers,
  // and the file the manifest was read from (none for a manifest parsed from text).
  std::string tag;
  size_t taggedLength = 0;
  std::shared_ptr<const ManifestFile> file;
  std::string fileName;  // for messages
};

// The keyed tag of an encrypted backup's manifest: fed the manifest's bytes in order, then
// asked for the tag. Null for a backup that is not encrypted.
struct ManifestTagger {
  std::function<void(std::string_view)> add;
  std::function<std::string()> finish;
};

// Writes the manifest atomically: a temporary file, flushed to disk, renamed over the old one,
// and the folder's entry flushed after. With a tagger the manifest ends in the tag of
// everything before it. `name` is the manifest's file name in the folder.
bool SaveManifest(const std::filesystem::path& folder, const Manifest& manifest,
                  const ManifestTagger* tagger, std::string& error,
                  const char* name = kManifestName);

// The items of a manifest written while a backup runs, kept as text in a file without a name
// in the backup's folder: each item is appended once its outcome is known, so that no item
// stays in memory, and every save of the manifest copies them in.
class ItemSpool {
 public:
  ItemSpool() = default;
  ~ItemSpool();
  ItemSpool(const ItemSpool&) = delete;
  ItemSpool& operator=(const ItemSpool&) = delete;

  // Its file, in `folder`, is named kSpoolPrefix and six characters, and deleted as soon as it
  // is open: only a run killed in between leaves it.
  bool Open(const std::filesystem::path& folder, std::string& error);
  static constexpr std::string_view kSpoolPrefix = ".orvcopy-items-";
  void Append(const ManifestItem& item);
  size_t Count() const { return m_count; }
  // Writes out what is buffered; false once a write has failed.
  bool Flush();
  // Feeds the text of the items appended so far, in order; false when it cannot be read back.
  bool Read(const std::function<void(std::string_view)>& feed);

 private:
  int m_fd = -1;
  std::string m_buffer;
  uint64_t m_written = 0;
  size_t m_count = 0;
  bool m_failed = false;
};

// The same with the items of a spool (those of `manifest` are left out).
bool SaveManifest(const std::filesystem::path& folder, const Manifest& manifest, ItemSpool& spool,
                  const ManifestTagger* tagger, std::string& error,
                  const char* name = kManifestName);

// Reads and checks a manifest as it goes, item by item: the header into `manifest` (its
// items stay empty), each item to `each` once it is checked. Anything damaged, foreign or
// unsafe (a path that leaves the backup folder, say) is refused with a message; the items
// handed on before a refusal must then be dropped.
using ItemSink = std::function<void(ManifestItem&&)>;
bool ReadManifest(const std::filesystem::path& folder, Manifest& manifest, const ItemSink& each,
                  std::string& error, const char* name = kManifestName);

// The same for a manifest's text; `file` names it in the messages.
bool ParseManifest(std::string_view text, const std::string& file, Manifest& manifest,
                   std::string& error);

// Reads the items of a manifest read from a file again, one by one, from that file; false with
// `error` set when the file has changed since it was read (the items handed on must then be
// dropped). Every item is checked again as it comes, as the first time (a reader acts on each
// at once), and none past the count the first reading found is handed on.
bool ReadManifestItems(const Manifest& manifest, const ItemSink& each, std::string& error);

// Feeds the bytes of a manifest read from a file that its tag covers, in order; false when
// the file cannot be read or has changed since it was read.
bool ReadTaggedBytes(const Manifest& manifest, const std::function<void(std::string_view)>& feed);

// An item as a manifest writes it: two items of the same text are the same entry.
std::string ItemText(const ManifestItem& item);

// The stored files of a file item, its first part first, appended to `names`.
void AppendPartNames(const ManifestItem& item, std::vector<std::string>& names);

// The file name of part `part` (0 = the first) of a stored file.
std::string PartName(const std::string& stored, int part);

const char* TypeName(EntryType type);

}  // namespace orvcopy
