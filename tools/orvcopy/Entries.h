// What a restore makes besides file data: folders, hard and symbolic links, named pipes, and
// every entry's owner, mode and time. Nothing here writes through a symbolic link: entries are
// opened with O_NOFOLLOW, links are replaced rather than followed, and every path lies below
// folders this restore made or checked.
#pragma once

#include "Manifest.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace orvcopy {

// The system calls the restore of entries makes, one virtual function each, so that a test can
// make any of them fail. Each returns what the call returns: -1 with errno on failure.
class SystemCalls {
 public:
  virtual ~SystemCalls() = default;
  virtual int Lstat(const char* path, struct stat* st);
  virtual int Mkdir(const char* path, mode_t mode);
  virtual int Unlink(const char* path);
  virtual int Rename(const char* from, const char* to);
  virtual int Link(const char* existing, const char* path);
  virtual int Symlink(const char* target, const char* path);
  virtual int Mkfifo(const char* path, mode_t mode);
  virtual int Open(const char* path, int flags);
  virtual int Fchown(int fd, uid_t uid, gid_t gid);
  virtual int Fchmod(int fd, mode_t mode);
  virtual int Futimens(int fd, const struct timespec times[2]);
  virtual int Lchown(const char* path, uid_t uid, gid_t gid);
  virtual int Lutimens(const char* path, const struct timespec times[2]);
};

// Makes entries below a restore's target. Every function returns false with `error` holding
// the reason when it could not do all it should.
class EntryMaker {
 public:
  // `asRoot`: owners and groups are set (by name where the name exists here, else by number).
  // `userUmask`: the permission bits an entry of a manifest without them gets are those a new
  // file or folder gets under it.
  EntryMaker(const std::filesystem::path& target, SystemCalls& system, bool asRoot,
             mode_t userUmask);

  // Makes `rel` a real folder, private (0700) until FinishFolder: one that exists is kept, a
  // link or anything else standing there is replaced by a new folder.
  bool MakeFolder(const std::string& rel, std::string& error);
  // Removes what stands at `rel` unless it is a folder, which is an error.
  bool ClearPath(const std::string& rel, std::string& error);
  // Gives the restored file at `partialRel` the item's metadata, then puts it at its path.
  bool PlaceFile(const std::string& partialRel, const ManifestItem& item, std::string& error);
  bool MakeHardLink(const ManifestItem& item, std::string& error);
  bool MakeFifo(const ManifestItem& item, std::string& error);
  bool MakeSymlink(const ManifestItem& item, std::string& error);
  // Owner, mode and time of a folder whose content is in place ("" is the target itself).
  bool FinishFolder(const std::string& rel, const std::optional<Metadata>& meta, int64_t mtime,
                    std::string& error);

 private:
  std::string Path(const std::string& rel) const;
  bool KeepPrivate(const std::string& path, const struct stat& st, std::string& error);
  bool ApplyMetadata(const std::string& rel, const std::optional<Metadata>& meta, int64_t mtime,
                     bool folder, std::string& error);
  // The owner and group to give an entry here.
  std::pair<uid_t, gid_t> OwnerOf(const Metadata& meta);

  std::filesystem::path m_target;
  SystemCalls& m_system;
  bool m_asRoot;
  mode_t m_umask;
  std::map<std::string, std::optional<uid_t>> m_users;
  std::map<std::string, std::optional<gid_t>> m_groups;
};

// The name a restored file is written under until it is complete and checked: NAME followed by
// the suffix (".partial"), NAME shortened where the whole would pass the system's limit for a
// name.
inline constexpr size_t kNameMax = 255;  // the longest name the system takes
inline constexpr const char* kPartialSuffix = ".partial";
std::string PartialName(const std::string& rel, const std::string& suffix = kPartialSuffix);

}  // namespace orvcopy
