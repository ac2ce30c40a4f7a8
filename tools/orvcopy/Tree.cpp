#include "Tree.h"

#include "Common.h"
#include "Text.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace orvcopy {
namespace fs = std::filesystem;

namespace {

// A symbolic link's target, any bytes; nothing when it cannot be read.
std::optional<std::string> LinkTarget(const fs::path& path, const struct stat& st) {
  std::vector<char> buffer(static_cast<size_t>(std::max<off_t>(st.st_size, 255)) + 1);
  for (;;) {
    const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0)
      return std::nullopt;
    if (static_cast<size_t>(n) < buffer.size())
      return std::string(buffer.data(), static_cast<size_t>(n));
    if (buffer.size() > 65536)
      return std::nullopt;
    buffer.resize(buffer.size() * 2);  // it grew since it was examined
  }
}

}  // namespace

const std::string& OwnerNames::User(uint32_t uid) {
  return Remembered(m_users, uid, [uid] {
    return LookUpAccount<passwd>(uid, ::getpwuid_r,
                                 [](const passwd& p) { return std::string(p.pw_name); })
        .value_or("");
  });
}

const std::string& OwnerNames::Group(uint32_t gid) {
  return Remembered(m_groups, gid, [gid] {
    return LookUpAccount<group>(gid, ::getgrgid_r,
                                [](const group& g) { return std::string(g.gr_name); })
        .value_or("");
  });
}

Metadata MetadataOf(const struct stat& st, OwnerNames& names) {
  Metadata meta;
  meta.mode = st.st_mode & 07777;
  meta.uid = st.st_uid;
  meta.gid = st.st_gid;
  meta.user = names.User(st.st_uid);
  meta.group = names.Group(st.st_gid);
  return meta;
}

int64_t MtimeOf(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

TreeWalk::TreeWalk(const fs::path& root, const std::optional<FileId>& exclude, bool quiet,
                   WalkCounts& counts, const Excludes* patterns, bool silent)
    : m_root(root),
      m_exclude(exclude),
      m_quiet(quiet),
      m_silent(silent),
      m_counts(counts),
      m_patterns(patterns) {
  struct stat st {};
  if (::stat(root.c_str(), &st) == 0)
    Enter({}, st);
  else
    Unreadable(root, std::strerror(errno));
}

bool TreeWalk::Next(ManifestItem& item) {
  while (!m_folders.empty()) {
    Folder& folder = m_folders.back();
    if (folder.next == folder.names.size()) {
      m_folders.pop_back();
      continue;
    }
    const fs::path rel = folder.relative / folder.names[folder.next++];
    const bool changeable = folder.changeable;
    struct stat st {};
    if (::lstat((m_root / rel).c_str(), &st) != 0) {  // type, size and time in one call
      Unreadable(rel, std::strerror(errno));
      continue;
    }
    if (!Add(rel, st, item))
      continue;
    m_lastChangeable = changeable;
    if (S_ISDIR(st.st_mode))
      Enter(rel, st);  // `folder` may move
    return true;
  }
  return false;
}

// Lists a folder the walk goes into next.
void TreeWalk::Enter(const fs::path& relative, const struct stat& st) {
  Folder folder;
  folder.relative = relative;
  folder.changeable = st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  std::error_code ec;
  for (fs::directory_iterator it(m_root / relative, ec), end; !ec && it != end; it.increment(ec)) {
    folder.names.push_back(it->path().filename().native());
  }
  if (ec)
    Unreadable(m_root / relative, ec.message());
  std::sort(folder.names.begin(), folder.names.end());
  m_folders.push_back(std::move(folder));
}

void TreeWalk::Unreadable(const fs::path& path, const std::string& why) {
  if (!m_silent)
    std::fprintf(stderr, "orvcopy: cannot read %s: %s\n", Escape(path.native()).c_str(),
                 why.c_str());
  ++m_counts.unreadable;
}

void TreeWalk::Skip(const char* what, const fs::path& rel) {
  if (!m_quiet && !m_silent)
    std::fprintf(stderr, "skipped (%s): %s\n", what, Escape(rel.native()).c_str());
  ++m_counts.skipped;
}

// Lists one entry; false when it is left out.
bool TreeWalk::Add(const fs::path& rel, const struct stat& st, ManifestItem& item) {
  if (m_exclude && FileId(st.st_dev, st.st_ino) == *m_exclude) {
    Skip("the backup folder itself", rel);
    return false;
  }
  if (m_patterns && m_patterns->Excluded(rel.native(), S_ISDIR(st.st_mode))) {
    ++m_counts.excluded;
    return false;
  }
  item = ManifestItem{};
  item.path = rel.native();
  item.mtime = MtimeOf(st);
  item.meta = MetadataOf(st, m_names);
  if (S_ISDIR(st.st_mode)) {
    item.type = EntryType::Folder;
  } else if (S_ISREG(st.st_mode)) {
    item.size = static_cast<uint64_t>(st.st_size);
    if (st.st_nlink > 1) {
      const auto [first, isNew] = m_links.emplace(FileId(st.st_dev, st.st_ino), item.path);
      if (!isNew) {
        item.type = EntryType::HardLink;
        item.link = first->second;
        item.size = 0;
      }
    }
    m_counts.fileBytes += item.size;
  } else if (S_ISLNK(st.st_mode)) {
    const std::optional<std::string> target = LinkTarget(m_root / rel, st);
    if (!target) {
      Unreadable(rel, std::strerror(errno));
      return false;
    }
    item.type = EntryType::Symlink;
    item.link = *target;
  } else if (S_ISFIFO(st.st_mode)) {
    item.type = EntryType::Fifo;
  } else {
    Skip(S_ISSOCK(st.st_mode) ? "socket" : "device", rel);
    return false;
  }
  item.key = ++m_count;
  return true;
}

}  // namespace orvcopy
