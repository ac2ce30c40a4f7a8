#include "Entries.h"

#include "Common.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <vector>

namespace orvcopy {
namespace {

std::string Failure(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

timespec Time(int64_t ns) {
  timespec t{};
  t.tv_sec = static_cast<time_t>(ns / 1000000000);
  t.tv_nsec = static_cast<long>(ns % 1000000000);
  if (t.tv_nsec < 0) {
    t.tv_nsec += 1000000000;
    --t.tv_sec;
  }
  return t;
}

}  // namespace

int SystemCalls::Lstat(const char* path, struct stat* st) {
  return ::lstat(path, st);
}
int SystemCalls::Mkdir(const char* path, mode_t mode) {
  return ::mkdir(path, mode);
}
int SystemCalls::Unlink(const char* path) {
  return ::unlink(path);
}
int SystemCalls::Rename(const char* from, const char* to) {
  return ::rename(from, to);
}
int SystemCalls::Link(const char* existing, const char* path) {
  return ::link(existing, path);
}
int SystemCalls::Symlink(const char* target, const char* path) {
  return ::symlink(target, path);
}
int SystemCalls::Mkfifo(const char* path, mode_t mode) {
  return ::mkfifo(path, mode);
}
int SystemCalls::Open(const char* path, int flags) {
  return ::open(path, flags);
}
int SystemCalls::Fchown(int fd, uid_t uid, gid_t gid) {
  return ::fchown(fd, uid, gid);
}
int SystemCalls::Fchmod(int fd, mode_t mode) {
  return ::fchmod(fd, mode);
}
int SystemCalls::Futimens(int fd, const struct timespec times[2]) {
  return ::futimens(fd, times);
}
int SystemCalls::Lchown(const char* path, uid_t uid, gid_t gid) {
  return ::lchown(path, uid, gid);
}
int SystemCalls::Lutimens(const char* path, const struct timespec times[2]) {
  return ::utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW);
}

std::string PartialName(const std::string& rel, const std::string& suffix) {
  const size_t slash = rel.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const size_t keep = std::min(rel.size() - nameStart, kNameMax - suffix.size());
  return rel.substr(0, nameStart + keep) + suffix;
}

EntryMaker::EntryMaker(const std::filesystem::path& target, SystemCalls& system, bool asRoot,
                       mode_t userUmask)
    : m_target(target), m_system(system), m_asRoot(asRoot), m_umask(userUmask) {}

std::string EntryMaker::Path(const std::string& rel) const {
  return rel.empty() ? m_target.native() : (m_target / rel).native();
}

bool EntryMaker::MakeFolder(const std::string& rel, std::string& error) {
  const std::string path = Path(rel);
  struct stat st {};
  if (m_system.Lstat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode))
      return KeepPrivate(path, st, error);
    // A link or file where the folder belongs is replaced, never followed.
    if (m_system.Unlink(path.c_str()) != 0) {
      error = Failure("cannot remove what stands where the folder belongs");
      return false;
    }
  } else if (errno != ENOENT) {
    error = Failure("cannot examine the folder");
    return false;
  }
  if (m_system.Mkdir(path.c_str(), 0700) != 0) {
    error = Failure("cannot make the folder");
    return false;
  }
  return true;
}

// A folder that is already there is kept private and open to its owner while the restore fills
// it, as one it makes is: what goes in is never readable through it by more users than in the
// source, and a folder an earlier restore made read-only can be filled again. FinishFolder gives
// it its own mode. A folder of another user's, which only the superuser may change, is left.
bool EntryMaker::KeepPrivate(const std::string& path, const struct stat& st, std::string& error) {
  if ((!m_asRoot && st.st_uid != ::geteuid()) || (st.st_mode & 07777) == 0700)
    return true;
  const int fd = m_system.Open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC);
  const bool done = fd >= 0 && m_system.Fchmod(fd, 0700) == 0;
  if (!done)
    error = Failure("cannot keep the folder private while it is filled");
  if (fd >= 0)
    ::close(fd);
  return done;
}

bool EntryMaker::ClearPath(const std::string& rel, std::string& error) {
  const std::string path = Path(rel);
  struct stat st {};
  if (m_system.Lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT)
      return true;
    error = Failure("cannot examine what stands in its place");
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    error = "a folder stands in its place";
    return false;
  }
  if (m_system.Unlink(path.c_str()) != 0) {
    error = Failure("cannot remove what stands in its place");
    return false;
  }
  return true;
}

std::pair<uid_t, gid_t> EntryMaker::OwnerOf(const Metadata& meta) {
  // By name where the name exists here, else by number.
  const auto uid = Remembered(m_users, meta.user, [&] {
    return LookUpAccount<passwd>(meta.user.c_str(), ::getpwnam_r,
                                 [](const passwd& p) { return p.pw_uid; });
  });
  const auto gid = Remembered(m_groups, meta.group, [&] {
    return LookUpAccount<group>(meta.group.c_str(), ::getgrnam_r,
                                [](const group& g) { return g.gr_gid; });
  });
  return {meta.user.empty() ? meta.uid : uid.value_or(meta.uid),
          meta.group.empty() ? meta.gid : gid.value_or(meta.gid)};
}

bool EntryMaker::ApplyMetadata(const std::string& rel, const std::optional<Metadata>& meta,
                               int64_t mtime, bool folder, std::string& error) {
  // Opened without following a link and without waiting for a pipe's writer.
  const int fd = m_system.Open(Path(rel).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = Failure("cannot open it to set its owner, mode and time");
    return false;
  }
  mode_t mode = meta ? meta->mode : (folder ? 0777 : 0666) & ~m_umask;
  if (m_asRoot && meta) {
    const auto [uid, gid] = OwnerOf(*meta);
    if (m_system.Fchown(fd, uid, gid) != 0) {
      error = Failure("cannot set its owner");
      mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);  // never set-ID under the wrong owner
    }
  }
  if (m_system.Fchmod(fd, mode) != 0 && error.empty())
    error = Failure("cannot set its mode");
  const timespec times[2] = {{0, UTIME_OMIT}, Time(mtime)};
  if (m_system.Futimens(fd, times) != 0 && error.empty())
    error = Failure("cannot set its time");
  ::close(fd);
  return error.empty();
}

bool EntryMaker::PlaceFile(const std::string& partialRel, const ManifestItem& item,
                           std::string& error) {
  // The data is whole and checked: it goes into place even when its metadata could not be set.
  ApplyMetadata(partialRel, item.meta, item.mtime, false, error);
  if (m_system.Rename(Path(partialRel).c_str(), Path(item.path).c_str()) != 0) {
    error = Failure(errno == EISDIR ? "a folder stands in its place" : "cannot put it in place");
    return false;
  }
  return error.empty();
}

bool EntryMaker::MakeHardLink(const ManifestItem& item, std::string& error) {
  if (!ClearPath(item.path, error))
    return false;
  if (m_system.Link(Path(item.link).c_str(), Path(item.path).c_str()) != 0) {
    error = Failure("cannot link it");
    return false;
  }
  return true;
}

bool EntryMaker::MakeFifo(const ManifestItem& item, std::string& error) {
  if (!ClearPath(item.path, error))
    return false;
  if (m_system.Mkfifo(Path(item.path).c_str(), 0600) != 0) {
    error = Failure("cannot make the pipe");
    return false;
  }
  return ApplyMetadata(item.path, item.meta, item.mtime, false, error);
}

bool EntryMaker::MakeSymlink(const ManifestItem& item, std::string& error) {
  if (!ClearPath(item.path, error))
    return false;
  const std::string path = Path(item.path);
  if (m_system.Symlink(item.link.c_str(), path.c_str()) != 0) {
    error = Failure("cannot make the link");
    return false;
  }
  if (m_asRoot && item.meta) {
    const auto [uid, gid] = OwnerOf(*item.meta);
    if (m_system.Lchown(path.c_str(), uid, gid) != 0)
      error = Failure("cannot set its owner");
  }
  const timespec times[2] = {{0, UTIME_OMIT}, Time(item.mtime)};
  if (m_system.Lutimens(path.c_str(), times) != 0 && error.empty())
    error = Failure("cannot set its time");
  return error.empty();
}

bool EntryMaker::FinishFolder(const std::string& rel, const std::optional<Metadata>& meta,
                              int64_t mtime, std::string& error) {
  return ApplyMetadata(rel, meta, mtime, true, error);
}

}  // namespace orvcopy
